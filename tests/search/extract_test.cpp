#include "search/extract.h"

#include <gtest/gtest.h>

#include <optional>
#include <tuple>

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

TEST(Extract, HarvestLinks)
{
    const QString a = Blog + u"abc?Redirect=Log&logNo=123"_qs;
    const QString b = Blog + u"def?Redirect=Log&logNo=456"_qs;
    const QString c = Blog + u"ghi?Redirect=Log&amp;logNo=789"_qs;  // references stay as they are
    const QString wrongEnd = u"\" TARGET=_blank>"_qs;
    const QString upper = u"<DT><A CLASS=\"sh_blog_title\" HREF=\""_qs;
    const QString capitals = u"HTTP://BLOG.NAVER.COM/Abc?Redirect=Log&logNo=1"_qs;
    const std::tuple<const char *, QString, QStringList> rows[] = {
        {"three links in page order", result(a) + u"<li>"_qs + result(b) + result(c), {a, b, c}},
        {"start marker in capitals, link keeps its case", upper + capitals + End, {capitals}},
        {"link end in capitals runs on to the next",
         Anchor + a + wrongEnd + result(b),
         {a + wrongEnd + Anchor + b}},
        {"end in capitals, none after: scan ends", Anchor + a + wrongEnd + Anchor + b, {}},
        {"next link right after the end", Anchor + a + End.chopped(1) + result(b), {a, b}},
    };
    for (const auto &[name, page, links] : rows)
        EXPECT_EQ(harvestLinks(page), links) << name;
}

TEST(Extract, PostViewAddress)
{
    // What must stand between "blogId=" and "&from=search"; nullopt: no address at all.
    const std::tuple<const char *, QString, std::optional<QString>> rows[] = {
        {"usual link", Blog + u"abc?Redirect=Log&logNo=123"_qs, u"abc&logNo=123"_qs},
        {"base in capitals: blog id is the whole link", u"HTTP://BLOG.NAVER.COM/a?logNo=9"_qs,
         u"HTTP://BLOG.NAVER.COM/a?logNo=9&logNo=9"_qs},
        {"no ?Redirect: all after the base", Blog + u"abc/7?logNo=7"_qs,
         u"abc/7?logNo=7&logNo=7"_qs},
        {"no logNo=: number is the whole link", Blog + u"a?Redirect"_qs,
         u"a&logNo="_qs + Blog + u"a?Redirect"_qs},
        {"second logNo= ends the number", Blog + u"a?Redirect&logNo=1&logNo=2"_qs,
         u"a&logNo=1&"_qs},
        {"?Redirect right after the base", Blog + u"?Redirect&logNo=1"_qs, u"&logNo=1"_qs},
        {"ends right after the base", Blog, std::nullopt},
        {"two bases in a row", Blog + Blog + u"x?Redirect&logNo=1"_qs, std::nullopt},
    };
    for (const auto &[name, link, id] : rows) {
        const QString expected =
            Blog + u"PostView.nhn?blogId="_qs + id.value_or(QString()) + u"&from=search"_qs;
        EXPECT_EQ(postViewAddress(link), id ? std::optional(expected) : std::nullopt) << name;
    }
}

QString post(const QString &fileMarkup, const QString &title = u"노래"_qs)
{
    return u"<html><body>"_qs + TitleStart + title + u"</span>\n<a href=\""_qs + fileMarkup +
           u"\n</body></html>"_qs;
}

TEST(Extract, Row)
{
    const QString song = File + u"/20090101_1/abc_song.mp3"_qs;
    const QString fileFirst = u"<div>"_qs + song + u" "_qs + TitleStart;
    const Row usual{u"노래"_qs, song + u" "_qs};
    // A file address of n characters, its ending blank included.
    const auto ofLength = [](qsizetype n, const QString &inside = QString()) {
        return File + u"/"_qs + inside + QString(n - File.size() - 2, u'a') + u" "_qs;
    };
    const auto rowOf = [](const QString &fileAddress) { return Row{u"노래"_qs, fileAddress}; };
    const std::tuple<const char *, QString, std::optional<Row>> rows[] = {
        {"file address at position 4", u"abc"_qs + song + u" "_qs, std::nullopt},
        {"position 5, no title marker: the whole page", u"abcd"_qs + song + u" x"_qs,
         Row{u"abcd"_qs + song + u" x"_qs, song + u" "_qs}},
        {"no blank after the file address", u"<p>"_qs + TitleStart + u"t</span>"_qs + song, {}},
        {"the ending blank stays", post(song + u" alt"_qs), usual},
        {"removal 1 takes the blank too", post(song + u"\"><img src=x>"_qs), Row{u"노래"_qs, song}},
        {"removal 2", post(song + u"?type=attachment\" x"_qs), usual},
        {"removal 3", post(song + u"','licenseyn': 'N'"_qs), usual},
        {"overlap: removal 4 before removal 5", post(song + u"></DIV><DIV "_qs), usual},
        {"overlap: removal 1 spoils removal 2", post(song + u"?type=attachment\"><img src"_qs),
         Row{u"노래"_qs, song + u"?type=attachment"_qs}},
        {"only the first file address counts", post(song + u" "_qs + File + u"/b.mp3 "_qs), usual},
        {"title not trimmed, references kept", post(song + u" "_qs, u" A &amp; B "_qs),
         Row{u" A &amp; B "_qs, song + u" "_qs}},
        {"title start without end: rest of the page", fileFirst + u"끝"_qs,
         Row{u"끝"_qs, song + u" "_qs}},
        {"title ends at a second title start",
         fileFirst + u"one"_qs + TitleStart + u"two</span>"_qs, Row{u"one"_qs, song + u" "_qs}},
        // No title to cut: no row, rather than a row that borrows another post's.
        {"page ends right after the title start", fileFirst, std::nullopt},
        {"two title starts back to back", fileFirst + TitleStart + u"t"_qs, std::nullopt},
        // The address must name the file host itself, on its usual port.
        {"user info before another host", post(File + u"@127.0.0.1:9/x.mp3 "_qs), std::nullopt},
        {"a longer host name", post(File + u".example.org/x.mp3 "_qs), std::nullopt},
        {"port 80 named", post(File + u":80/x.mp3 "_qs), rowOf(File + u":80/x.mp3 "_qs)},
        {"another port", post(File + u":8080/x.mp3 "_qs), std::nullopt},
        {"removal 5 makes user info", post(File + u"<DIV@127.0.0.1:9/x.mp3 "_qs), std::nullopt},
        {"removal 5 makes the slash", post(File + u"<DIV/x.mp3 "_qs), rowOf(File + u"/x.mp3 "_qs)},
        {"4,096 characters", post(ofLength(4096)), rowOf(ofLength(4096))},
        {"4,097 characters", post(ofLength(4097)), std::nullopt},
        {"4,096 after the removals", post(ofLength(4096, u"<DIV"_qs)), rowOf(ofLength(4096))},
    };
    for (const auto &[name, page, row] : rows)
        EXPECT_EQ(extractRow(page), row) << name;
}

}  // namespace
