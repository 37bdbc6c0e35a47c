#include "search/extract.h"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>

namespace {

using namespace plimo::extract;

const QString Anchor = u"<dt><a class=\"sh_blog_title\" href=\""_qs;
const QString End = u"\" target=_blank>"_qs;
const QString Blog = u"http://blog.naver.com/"_qs;
const QString File = u"http://blogattach.naver.com"_qs;
const QString TitleStart = u"<span class=\"pcol1 itemSubjectBoldfont\">"_qs;

QString result(const QString &link)
{
    return Anchor + link + End + u"제목</a></dt>\n"_qs;
}

struct HarvestRow {
    const char *name;
    QString page;
    QStringList links;
};

TEST(Extract, HarvestLinks)
{
    const QString a = Blog + u"abc?Redirect=Log&logNo=123"_qs;
    const QString b = Blog + u"def?Redirect=Log&logNo=456"_qs;
    const QString c = Blog + u"ghi?Redirect=Log&logNo=789"_qs;
    const HarvestRow rows[] = {
        {"empty page", QString(), {}},
        {"no link start", u"<html><dt><a href=\"http://blog.naver.com/x\" target=_blank>"_qs, {}},
        {"three links in page order",
         u"<ul>"_qs + result(a) + result(b) + u"<li>"_qs + result(c),
         {a, b, c}},
        {"the link starts at the h of http", result(a), {a}},
        {"capitalised start marker is found, link keeps its case",
         u"<DT><A CLASS=\"sh_blog_title\" HREF=\"HTTP://BLOG.NAVER.COM/Abc?Redirect=Log&logNo=1"_qs +
             End,
         {u"HTTP://BLOG.NAVER.COM/Abc?Redirect=Log&logNo=1"_qs}},
        {"link end in capitals runs on to the next correct one",
         Anchor + a + u"\" TARGET=_blank>x"_qs + result(b),
         {a + u"\" TARGET=_blank>x"_qs + Anchor + b}},
        {"link end in capitals with none after ends the scan",
         Anchor + a + u"\" TARGET=_BLANK>"_qs + result(b).replace(End, u"\">"_qs),
         {}},
        {"link start without end ends the scan",
         result(a) + Anchor + b + u"\">"_qs + result(c),
         {a, Blog + u"def?Redirect=Log&logNo=456\">"_qs + Anchor + c}},
        {"anchor to another host is no link", Anchor + u"http://cafe.naver.com/x"_qs + End, {}},
        {"next start right after the end's quote",
         Anchor + a + u"\" target=_blank"_qs + Anchor + b + End,
         {a, b}},
        {"character references stay",
         result(Blog + u"abc?Redirect=Log&amp;logNo=5"_qs),
         {Blog + u"abc?Redirect=Log&amp;logNo=5"_qs}},
        {"the same link twice stays twice", result(a) + result(a), {a, a}},
    };
    for (const auto &row : rows)
        EXPECT_EQ(harvestLinks(row.page), row.links) << row.name;
}

struct RebuildRow {
    const char *name;
    QString link;
    std::optional<QString> blogIdAndNumber;  // "id&logNo=number"; nullopt: nothing appended
};

TEST(Extract, PostViewAddress)
{
    const RebuildRow rows[] = {
        {"three letters, three digits", Blog + u"abc?Redirect&logNo=123"_qs, u"abc&logNo=123"_qs},
        {"usual link", Blog + u"abc?Redirect=Log&logNo=123"_qs, u"abc&logNo=123"_qs},
        {"ampersand as a reference", Blog + u"abc?Redirect=Log&amp;logNo=123"_qs,
         u"abc&logNo=123"_qs},
        {"base in capitals: blog id is the whole link",
         u"HTTP://BLOG.NAVER.COM/abc?Redirect=Log&logNo=9"_qs,
         u"HTTP://BLOG.NAVER.COM/abc?Redirect=Log&logNo=9&logNo=9"_qs},
        {"no ?Redirect: everything after the base", Blog + u"abc/7?logNo=7"_qs,
         u"abc/7?logNo=7&logNo=7"_qs},
        {"no logNo=: post number is the whole link", Blog + u"abc?Redirect=Log"_qs,
         u"abc&logNo="_qs + Blog + u"abc?Redirect=Log"_qs},
        {"a second base address ends the blog id",
         Blog + u"ab"_qs + Blog + u"cd?Redirect&logNo=1"_qs, u"ab&logNo=1"_qs},
        {"a second logNo= ends the number", Blog + u"a?Redirect&logNo=1&logNo=2"_qs,
         u"a&logNo=1&"_qs},
        {"?Redirect right after the base", Blog + u"?Redirect&logNo=1"_qs, u"&logNo=1"_qs},
        {"Hangul blog id", Blog + u"가나?Redirect&logNo=3"_qs, u"가나&logNo=3"_qs},
        {"ends right after the base", Blog, std::nullopt},
        {"ends right after logNo=", Blog + u"abc?Redirect&logNo="_qs, std::nullopt},
        {"two bases in a row", Blog + Blog + u"x?Redirect&logNo=1"_qs, std::nullopt},
    };
    for (const auto &row : rows) {
        const std::optional<QString> expected =
            row.blogIdAndNumber ? std::optional(Blog + u"PostView.nhn?blogId="_qs +
                                                *row.blogIdAndNumber + u"&from=search"_qs)
                                : std::nullopt;
        EXPECT_EQ(postViewAddress(row.link), expected) << row.name;
    }
}

}  // namespace

namespace plimo::extract {
void PrintTo(const Row &row, std::ostream *os)
{
    *os << "{" << row.title.toStdString() << " | " << row.fileAddress.toStdString() << "}";
}
}  // namespace plimo::extract

namespace {

struct PostRow {
    const char *name;
    QString page;
    std::optional<Row> row;
};

QString post(const QString &fileMarkup, const QString &title = u"노래"_qs)
{
    return u"<html><body>"_qs + TitleStart + title + u"</span>\n<a href=\""_qs + fileMarkup +
           u"\n</body></html>"_qs;
}

TEST(Extract, Row)
{
    const QString song = File + u"/20090101_1/abc_song.mp3"_qs;
    const PostRow rows[] = {
        {"no file address", post(u"http://blog.naver.com/x.mp3 "_qs), std::nullopt},
        {"empty page", QString(), std::nullopt},
        {"file address at position 3", u"ab"_qs + song + u" "_qs, std::nullopt},
        {"file address at position 4", u"abc"_qs + song + u" "_qs, std::nullopt},
        {"file address at position 5, no title marker: the whole page",
         u"abcd"_qs + song + u" x"_qs, Row{u"abcd"_qs + song + u" x"_qs, song + u" "_qs}},
        {"no blank after the file address", u"<p>"_qs + TitleStart + u"t</span>"_qs + song,
         std::nullopt},
        {"the ending blank stays", post(song + u" alt"_qs), Row{u"노래"_qs, song + u" "_qs}},
        {"removal 1 takes the blank too", post(song + u"\"><img src=x>"_qs), Row{u"노래"_qs, song}},
        {"removal 2", post(song + u"?type=attachment\" x"_qs), Row{u"노래"_qs, song + u" "_qs}},
        {"removal 3", post(song + u"','licenseyn': 'N'"_qs), Row{u"노래"_qs, song + u" "_qs}},
        {"removal 4", post(song + u"></DIV> "_qs), Row{u"노래"_qs, song + u" "_qs}},
        {"removal 5 twice", post(song + u"<DIV<DIV "_qs), Row{u"노래"_qs, song + u" "_qs}},
        {"overlap: removal 1 spoils removal 2", post(song + u"?type=attachment\"><img src"_qs),
         Row{u"노래"_qs, song + u"?type=attachment"_qs}},
        {"overlap: removal 4 before removal 5", post(song + u"></DIV><DIV "_qs),
         Row{u"노래"_qs, song + u" "_qs}},
        {"removals are case-sensitive", post(song + u"<div "_qs),
         Row{u"노래"_qs, song + u"<div "_qs}},
        {"only the first file address counts", post(song + u" "_qs + File + u"/other.mp3 "_qs),
         Row{u"노래"_qs, song + u" "_qs}},
        {"title is not trimmed and keeps references", post(song + u" "_qs, u" A &amp; B "_qs),
         Row{u" A &amp; B "_qs, song + u" "_qs}},
        {"title start without end: rest of the page",
         u"<div>"_qs + song + u" "_qs + TitleStart + u"끝까지"_qs,
         Row{u"끝까지"_qs, song + u" "_qs}},
        {"title ends at a second title start",
         u"<div>"_qs + song + u" "_qs + TitleStart + u"one"_qs + TitleStart + u"two</span>"_qs,
         Row{u"one"_qs, song + u" "_qs}},
        {"empty title", post(song + u" "_qs, QString()), Row{QString(), song + u" "_qs}},
        {"page ends right after the title start", u"<div>"_qs + song + u" "_qs + TitleStart,
         std::nullopt},
        {"two title starts back to back",
         u"<div>"_qs + song + u" "_qs + TitleStart + TitleStart + u"t"_qs, std::nullopt},
        {"file host in capitals is no file address", post(u"HTTP://BLOGATTACH.NAVER.COM/a.mp3 "_qs),
         std::nullopt},
    };
    for (const auto &row : rows)
        EXPECT_EQ(extractRow(row.page), row.row) << row.name;
}

}  // namespace
