#include "text/text.h"

#include "tests/text/literal.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <tuple>

namespace {

using namespace plimo::text;
using plimo::test::Element;
using plimo::test::Split;

// One call and what it must yield, or the error number it must fail with.
template <typename T> struct Case {
    const char *name;
    std::function<T()> call;
    T expected{};
    int error = 0;
};

template <typename T> void check(std::initializer_list<Case<T>> cases)
{
    for (const auto &c : cases) {
        T got{};
        int error = 0;
        try {
            got = c.call();
        } catch (const plimo::Error &e) {
            error = e.number();
        }
        EXPECT_EQ(error, c.error) << c.name;
        EXPECT_EQ(error ? c.expected : got, c.expected) << c.name;
    }
}

// The 1-based rules and what the cuts yield at their edges. What a search or
// a download shows through a higher seam (sizes, percentages, lengths in
// words) is tested there.
TEST(Text, PositionsCutsAndMatches)
{
    check<qsizetype>({
        {"InStr from past the end", [] { return InStr(4, u"abc"_qs, u"c"_qs); }, 0},
        {"InStr empty pattern in empty text", [] { return InStr(1, QString(), QString()); }, 0},
        {"InStr empty pattern yields start", [] { return InStr(2, u"abc"_qs, QString()); }, 2},
        {"InStr from the match itself", [] { return InStr(3, u"abcabc"_qs, u"cab"_qs); }, 3},
        {"InStr from after the match", [] { return InStr(4, u"abcabc"_qs, u"cab"_qs); }, 0},
        {"InStr start 0 fails", [] { return InStr(0, u"abc"_qs, u"a"_qs); }, 0, 5},
        {"InStrRev last occurrence", [] { return InStrRev(u"a/b/c"_qs, u"/"_qs); }, 4},
    });
    check<QString>({
        {"Mid past the end", [] { return Mid(u"abc"_qs, 4, 2); }, QString()},
        // A one-letter file name after the last "/" starts at the last character.
        {"Mid from the last character", [] { return Mid(u"a/b"_qs, 3); }, u"b"_qs},
        {"Mid from the last character, length", [] { return Mid(u"abc"_qs, 3, 1); }, u"c"_qs},
        {"Mid start 0 fails", [] { return Mid(u"abc"_qs, 0, 1); }, {}, 5},
        {"Mid negative length fails", [] { return Mid(u"abc"_qs, 1, -1); }, {}, 5},
        // A full lower-casing turns U+0130 into two code units, and positions
        // in the lowered copy must stay positions in the page.
        {"LowerCase keeps each length", [] { return LowerCase(u"<A ÄΣ가\u0130\u212A\u1E9E"_qs); },
         u"<a äσ가\u0130k\u00DF"_qs},
        {"Replace <DIV twice in a row",
         [] { return Replace(u"a<DIV<DIVb<DIV"_qs, u"<DIV"_qs, {}); }, u"ab"_qs},
        {"Replace scans without overlap", [] { return Replace(u"aaa"_qs, u"aa"_qs, {}); }, u"a"_qs},
        {"Replace empty find", [] { return Replace(u"abc"_qs, QString(), u"x"_qs); }, u"abc"_qs},
    });
    // The download's sizes are 64-bit: a file may be larger than 2 GiB.
    check<std::int64_t>({{"TextToLongLong beyond 2 GiB",
                          [] { return TextToLongLong(u" 5000000000 "_qs); }, 5000000000},
                         {"TextToLongLong beyond 64 bits",
                          [] { return TextToLongLong(u"99999999999999999999"_qs); }, 0, 6}});
    check<bool>({
        {"Like, false start", [] { return Like(u"http://http://x"_qs, u"*http://x*"_qs); }, true},
        {"Like without wildcard, longer text", [] { return Like(u"abcd"_qs, u"abc"_qs); }, false},
    });
}

TEST(Text, SplitAndElement)
{
    const std::tuple<const char *, QString, QString, QStringList> rows[] = {
        {"no separator, the text itself", u"abc"_qs, u","_qs, {u"abc"_qs}},
        {"empty text, no elements", QString(), u","_qs, {}},
        {"adjacent separators", u"a,,b"_qs, u","_qs, {u"a"_qs, QString(), u"b"_qs}},
        {"separator at both ends", u",a,"_qs, u","_qs, {QString(), u"a"_qs, QString()}},
        {"long separator", u"xlogNo=1logNo=2"_qs, u"logNo="_qs, {u"x"_qs, u"1"_qs, u"2"_qs}},
    };
    for (const auto &[name, text, delimiter, expected] : rows) {
        const QStringList pieces = Split(text, delimiter);
        EXPECT_EQ(pieces, expected) << name;
        // The one-pass cut must agree with Element of the whole array, errors included.
        for (qsizetype i = -1; i <= pieces.size(); ++i) {
            const std::optional<QString> fast = SplitElement(text, delimiter, i);
            try {
                EXPECT_EQ(Element(pieces, i), fast) << name << " element " << i;
            } catch (const plimo::Error &e) {
                EXPECT_TRUE(!fast && e.number() == 9) << name << " element " << i;
            }
        }
    }
}

}  // namespace
