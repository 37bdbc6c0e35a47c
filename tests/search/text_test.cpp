#include "search/text.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>

namespace {

using namespace plimo::text;

// What a call yields: a value, or the error number it fails with.
template <typename T> struct Outcome {
    std::optional<T> value;
    int error = 0;
};

template <typename T> Outcome<T> run(const std::function<T()> &call)
{
    try {
        return {call(), 0};
    } catch (const plimo::Error &e) {
        return {std::nullopt, e.number()};
    }
}

struct PositionRow {
    const char *name;
    std::function<qsizetype()> call;
    qsizetype expected;  // -error number when it must fail
};

TEST(Text, Positions)
{
    const PositionRow rows[] = {
        {"InStr last of three", [] { return InStr(1, u"abc"_qs, u"c"_qs); }, 3},
        {"InStr from past the end", [] { return InStr(4, u"abc"_qs, u"c"_qs); }, 0},
        {"InStr in empty text", [] { return InStr(1, QString(), u"a"_qs); }, 0},
        {"InStr empty pattern yields start", [] { return InStr(2, u"abc"_qs, QString()); }, 2},
        {"InStr from the match itself", [] { return InStr(3, u"abcabc"_qs, u"cab"_qs); }, 3},
        {"InStr from after the match", [] { return InStr(4, u"abcabc"_qs, u"cab"_qs); }, 0},
        {"InStr is case-sensitive", [] { return InStr(1, u"ABC"_qs, u"b"_qs); }, 0},
        {"InStr counts Hangul as one", [] { return InStr(1, u"검색x"_qs, u"x"_qs); }, 3},
        {"InStr start 0 fails", [] { return InStr(0, u"abc"_qs, u"a"_qs); }, -5},
        {"InStrRev last occurrence", [] { return InStrRev(u"a/b/c"_qs, u"/"_qs); }, 4},
        {"InStrRev none", [] { return InStrRev(u"abc"_qs, u"/"_qs); }, 0},
        {"InStrRev in empty text", [] { return InStrRev(QString(), u"/"_qs); }, 0},
    };
    for (const auto &row : rows) {
        const auto got = run(row.call);
        if (row.expected < 0) {
            EXPECT_EQ(got.error, -row.expected) << row.name;
        } else {
            EXPECT_EQ(got.value, std::optional<qsizetype>(row.expected)) << row.name;
        }
    }
}

struct TextRow {
    const char *name;
    std::function<QString()> call;
    std::optional<QString> expected;  // nullopt: must fail
    int error = 0;
};

TEST(Text, Cuts)
{
    const TextRow rows[] = {
        {"Mid 3,2 of six", [] { return Mid(u"abcdef"_qs, 3, 2); }, u"cd"_qs},
        {"Mid past the end", [] { return Mid(u"abc"_qs, 4, 2); }, QString()},
        {"Mid length 0", [] { return Mid(u"abc"_qs, 1, 0); }, QString()},
        {"Mid length beyond the end", [] { return Mid(u"abc"_qs, 2, 100); }, u"bc"_qs},
        {"Mid without length", [] { return Mid(u"abcdef"_qs, 5); }, u"ef"_qs},
        {"Mid start 0 fails", [] { return Mid(u"abc"_qs, 0, 1); }, std::nullopt, 5},
        {"Mid negative length fails", [] { return Mid(u"abc"_qs, 1, -1); }, std::nullopt, 5},
        {"Left beyond the end", [] { return Left(u"abc"_qs, 9); }, u"abc"_qs},
        {"Left negative fails", [] { return Left(u"abc"_qs, -1); }, std::nullopt, 5},
        {"LowerCase markers",
         [] { return LowerCase(u"<DT><A CLASS=\"SH_BLOG_TITLE\" HREF=\"HTTP://BLOG"_qs); },
         u"<dt><a class=\"sh_blog_title\" href=\"http://blog"_qs},
        {"LowerCase of capitals beyond ASCII", [] { return LowerCase(u"ÄÖΣ"_qs); }, u"äöσ"_qs},
        {"LowerCase leaves Hangul and digits", [] { return LowerCase(u"가수A1노래"_qs); },
         u"가수a1노래"_qs},
        {"Replace <DIV twice in a row",
         [] { return Replace(u"a<DIV<DIVb<DIV"_qs, u"<DIV"_qs, {}); }, u"ab"_qs},
        {"Replace scans without overlap", [] { return Replace(u"aaa"_qs, u"aa"_qs, {}); }, u"a"_qs},
        {"Replace empty find", [] { return Replace(u"abc"_qs, QString(), u"x"_qs); }, u"abc"_qs},
        {"Space", [] { return Space(3); }, u"   "_qs},
        {"Space negative fails", [] { return Space(-1); }, std::nullopt, 5},
    };
    for (const auto &row : rows) {
        const auto got = run(row.call);
        EXPECT_EQ(got.value, row.expected) << row.name;
        EXPECT_EQ(got.error, row.error) << row.name;
    }
    // Positions in a lower-cased copy must be positions in the original.
    const QString mixed = u"\u0130\u212A\u1E9E"_qs + u"ABC"_qs;
    EXPECT_EQ(LowerCase(mixed).size(), mixed.size());
}

struct SplitRow {
    const char *name;
    QString text;
    QString delimiter;
    QStringList expected;
};

TEST(Text, SplitAndElement)
{
    const SplitRow rows[] = {
        {"two separators, three elements", u"a,b,c"_qs, u","_qs, {u"a"_qs, u"b"_qs, u"c"_qs}},
        {"no separator, the text itself", u"abc"_qs, u","_qs, {u"abc"_qs}},
        {"empty text, no elements", QString(), u","_qs, {}},
        {"adjacent separators", u"a,,b"_qs, u","_qs, {u"a"_qs, QString(), u"b"_qs}},
        {"separator at both ends", u",a,"_qs, u","_qs, {QString(), u"a"_qs, QString()}},
        {"only the separator", u","_qs, u","_qs, {QString(), QString()}},
        {"long separator", u"xlogNo=1logNo=2"_qs, u"logNo="_qs, {u"x"_qs, u"1"_qs, u"2"_qs}},
        {"case-sensitive", u"aXbxc"_qs, u"x"_qs, {u"aXb"_qs, u"c"_qs}},
        {"empty delimiter does not split", u"abc"_qs, QString(), {u"abc"_qs}},
    };
    for (const auto &row : rows) {
        const QStringList pieces = Split(row.text, row.delimiter);
        EXPECT_EQ(pieces, row.expected) << row.name;
        for (qsizetype i = -1; i <= pieces.size(); ++i) {
            const auto element = run<QString>([&] { return Element(pieces, i); });
            const std::optional<QString> fast = SplitElement(row.text, row.delimiter, i);
            EXPECT_EQ(fast, element.value) << row.name << " element " << i;
            EXPECT_EQ(element.error, element.value ? 0 : 9) << row.name << " element " << i;
        }
    }
}

struct LikeRow {
    const char *name;
    QString text;
    QString pattern;
    bool expected;
};

TEST(Text, Like)
{
    const QString contains = u"*http://x*"_qs;
    const LikeRow rows[] = {
        {"empty text", QString(), contains, false},
        {"the text itself", u"http://x"_qs, contains, true},
        {"inside", u"a http://x b"_qs, contains, true},
        {"after a false start", u"http://http://x"_qs, contains, true},
        {"case-sensitive", u"HTTP://X"_qs, contains, false},
        {"prefix only", u"http://"_qs, contains, false},
        {"no wildcard, exact", u"abc"_qs, u"abc"_qs, true},
        {"no wildcard, longer text", u"abcd"_qs, u"abc"_qs, false},
        {"star alone matches empty", QString(), u"*"_qs, true},
    };
    for (const auto &row : rows)
        EXPECT_EQ(Like(row.text, row.pattern), row.expected) << row.name;
}

TEST(Text, Numbers)
{
    EXPECT_EQ(NumberToText(std::int64_t{7}), u"7"_qs);
    EXPECT_EQ(NumberToText(std::int64_t{-12}), u"-12"_qs);
    EXPECT_EQ(NumberToText(std::int64_t{70000}), u"70000"_qs);
    EXPECT_EQ(NumberToText(3.0f), u"3"_qs);
    EXPECT_EQ(NumberToText(2.5f), u"2.5"_qs);

    EXPECT_EQ(FormatNumber(1234.5, 2), u"1,234.50"_qs);
    EXPECT_EQ(FormatNumber(0.125, 2), u"0.13"_qs);
    EXPECT_EQ(FormatNumber(0.001, 2), u"0.00"_qs);
    EXPECT_EQ(FormatNumber(-0.001, 2), u"0.00"_qs);

    const struct {
        const char *name;
        QString text;
        std::int64_t value;
        int error;
    } rows[] = {
        {"digits", u"123"_qs, 123, 0},           {"blanks around", u"  42 "_qs, 42, 0},
        {"negative", u"-5"_qs, -5, 0},           {"largest Long", u"2147483647"_qs, 2147483647, 0},
        {"beyond Long", u"2147483648"_qs, 0, 6}, {"empty", QString(), 0, 13},
        {"letters", u"12a"_qs, 0, 13},           {"sign only", u"-"_qs, 0, 13},
    };
    for (const auto &row : rows) {
        const auto got = run<std::int32_t>([&] { return TextToLong(row.text); });
        EXPECT_EQ(got.error, row.error) << row.name;
        if (row.error == 0) {
            EXPECT_EQ(got.value, std::optional<std::int32_t>(std::int32_t(row.value))) << row.name;
        }
    }
    EXPECT_EQ(TextToLongLong(u"5000000000"_qs), 5000000000LL);
}

}  // namespace
