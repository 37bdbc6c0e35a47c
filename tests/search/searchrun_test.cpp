#include "search/searchrun.h"

#include "platform/error.h"
#include "platform/inet.h"
#include "tests/search/searchcontrols.h"
#include "tests/support/localserver.h"

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <optional>
#include <ostream>

namespace plimo::test {
void PrintTo(const MemoryControls::Row &row, std::ostream *os)
{
    *os << "{" << row.title.toStdString() << " | " << row.fileAddress.toStdString() << "}";
}
}  // namespace plimo::test

namespace {

using plimo::test::MemoryControls;
using Row = MemoryControls::Row;

const QString Search = u"http://search.naver.com/search.naver?where=post&sm=tab_jum"_qs;
const QString Blog = u"http://blog.naver.com/"_qs;
const QString File = u"http://blogattach.naver.com"_qs;

QString resultPage(const QStringList &links)
{
    QString page = u"<html><body><ul class=\"type01\">\n"_qs;
    for (const QString &link : links) {
        page += u"<li><dl><dt><a class=\"sh_blog_title\" href=\""_qs + link +
                u"\" target=_blank>글 제목</a></dt></dl></li>\n"_qs;
    }
    return page + u"</ul></body></html>"_qs;
}

QString postPage(const QString &title, const QString &file)
{
    return u"<html><body><div class=\"post\"><span class=\"pcol1 itemSubjectBoldfont\">"_qs +
           title + u"</span>\n<a href=\""_qs + file +
           u"?type=attachment\"><img src=\"/mp3.gif\"></a>"_qs + u"</div></body></html>"_qs;
}

QString link(const char *blogId, int logNo)
{
    return Blog + QLatin1String(blogId) + u"?Redirect=Log&logNo="_qs + QString::number(logNo);
}

QString postView(const char *blogId, int logNo)
{
    return Blog + u"PostView.nhn?blogId="_qs + QLatin1String(blogId) + u"&logNo="_qs +
           QString::number(logNo) + u"&from=search"_qs;
}

QStringList plan(const QString &query)
{
    QStringList addresses{Search + u"&start=1&query="_qs + query};
    for (int start = 11; start <= 91; start += 10)
        addresses.append(Search + u"&query="_qs + query + u"&start="_qs + QString::number(start));
    return addresses;
}

QStringList statusTexts(qsizetype rows)
{
    return {u"검색중.... "_qs, u"검색중..."_qs, u"파일 추출 중...."_qs, u"검색끝"_qs,
            QString::number(rows) + u" 개 검색되었습니다."_qs};
}

// The portal's three hosts on one local server: the program reaches it as
// its proxy, so every request arrives in absolute form and is answered by
// the address it asks for. Addresses without a page answer 404.
class Portal {
public:
    Portal()
    {
        m_server.http().Get(".*",
                            [this](const httplib::Request &request, httplib::Response &response) {
                                std::lock_guard lock(m_mutex);
                                const auto page = m_pages.find(request.target);
                                if (page == m_pages.end()) {
                                    response.status = 404;
                                    return;
                                }
                                response.set_content(page->second, "text/html; charset=UTF-8");
                            });
        m_server.start();
        m_proxy.emplace("http_proxy", m_server.proxyAddress());
    }

    void serve(const QString &address, const QString &body)
    {
        std::lock_guard lock(m_mutex);
        m_pages[plimo::Inet::wireAddress(address).toStdString()] = body.toStdString();
    }

    std::vector<std::string> targets() const
    {
        std::vector<std::string> result;
        for (const auto &request : m_server.received())
            result.push_back(request.target);
        return result;
    }

    std::vector<std::string> hosts() const
    {
        std::vector<std::string> result;
        for (const auto &request : m_server.received())
            result.push_back(request.host);
        return result;
    }

private:
    std::mutex m_mutex;
    std::map<std::string, std::string> m_pages;
    plimo::test::LocalServer m_server;
    std::optional<plimo::test::ScopedEnv> m_proxy;
};

std::vector<std::string> wire(const QStringList &addresses)
{
    std::vector<std::string> result;
    for (const QString &address : addresses)
        result.push_back(plimo::Inet::wireAddress(address).toStdString());
    return result;
}

TEST(PagePlan, QueryInsertedUnchanged)
{
    const QString queries[] = {QString(), u"가수+노래제목"_qs, u"a b&c=d"_qs, u"+"_qs};
    for (const QString &query : queries) {
        MemoryControls controls;
        controls.query = query;
        controls.list1Items.items = {u"kept"_qs};
        plimo::loadlist(controls);
        EXPECT_EQ(controls.list1Items.items, QStringList{u"kept"_qs} + plan(query))
            << query.toStdString();
    }
    MemoryControls empty;
    plimo::loadlist(empty);
    EXPECT_TRUE(empty.list1Items.items.first().endsWith(u"&start=1&query="_qs));
    EXPECT_TRUE(empty.list1Items.items.at(1).endsWith(u"&query=&start=11"_qs));
}

std::vector<std::string> repeated(const std::string &value, std::size_t count)
{
    return std::vector<std::string>(count, value);
}

TEST(SearchRun, EveryFetchFailing)
{
    Portal portal;  // serves nothing: every address answers 404
    plimo::Inet inet;
    MemoryControls controls;
    controls.query = u"가수+노래 제목&x"_qs;
    controls.selectedAddress = u"http://blogattach.naver.com/old.mp3"_qs;

    plimo::runSearch(controls, inet);

    EXPECT_EQ(controls.list1Items.items, plan(controls.query));
    EXPECT_TRUE(controls.list2Items.items.isEmpty());
    EXPECT_TRUE(controls.list3Items.items.isEmpty());
    EXPECT_TRUE(controls.rows.isEmpty());
    EXPECT_TRUE(controls.selectedAddress.isEmpty());
    EXPECT_EQ(controls.statuses, statusTexts(0));
    EXPECT_EQ(controls.statuses.last(), u"0 개 검색되었습니다."_qs);
    EXPECT_EQ(portal.targets(), wire(plan(controls.query)));
    EXPECT_EQ(portal.hosts(), repeated("search.naver.com", 10));
}

// Ten result pages: the first lists four posts, the second fails, the third
// lists a post of the first again, the rest are empty pages. The posts: one
// with a file, one without, one that fails, one whose title cannot be cut,
// and one that shares its file with the first.
class SearchRunOnPortal : public ::testing::Test {
protected:
    void SetUp() override
    {
        const QStringList pages = plan(u"abc"_qs);
        portal.serve(pages[0], resultPage({link("one", 1), link("two", 2), link("three", 3),
                                           link("four", 4), link("five", 5)}));
        portal.serve(pages[2], resultPage({link("one", 1)}));
        for (int i = 3; i < 10; ++i)
            portal.serve(pages[i], QString());
        portal.serve(postView("one", 1), postPage(u"첫 노래"_qs, File + u"/a/one.mp3"_qs));
        portal.serve(postView("two", 2), postPage(u"파일 없음"_qs, u"http://blog.naver.com/x"_qs));
        portal.serve(postView("four", 4),
                     u"<div>"_qs + File +
                         u"/d/four.mp3 <span class=\"pcol1 itemSubjectBoldfont\">"_qs);
        portal.serve(postView("five", 5), postPage(u"같은 파일"_qs, File + u"/a/one.mp3"_qs));
        controls.query = u"abc"_qs;
    }

    Portal portal;
    plimo::Inet inet;
    MemoryControls controls;
};

TEST_F(SearchRunOnPortal, FillsListsAndRows)
{
    plimo::runSearch(controls, inet);

    const QStringList links{link("one", 1),  link("two", 2),  link("three", 3),
                            link("four", 4), link("five", 5), link("one", 1)};
    const QStringList views{postView("one", 1),  postView("two", 2),  postView("three", 3),
                            postView("four", 4), postView("five", 5), postView("one", 1)};
    const Row first{u"첫 노래"_qs, File + u"/a/one.mp3?type=attachment"_qs};
    EXPECT_EQ(controls.list1Items.items, plan(u"abc"_qs));
    EXPECT_EQ(controls.list2Items.items, links);
    EXPECT_EQ(controls.list3Items.items, views);
    EXPECT_EQ(
        controls.rows,
        (QList<Row>{first, {u"같은 파일"_qs, File + u"/a/one.mp3?type=attachment"_qs}, first}));
    EXPECT_EQ(controls.statuses, statusTexts(3));

    // Strictly in list order: the ten result pages, then every post view.
    const std::vector<std::string> expected = wire(plan(u"abc"_qs) + views);
    EXPECT_EQ(portal.targets(), expected);
    auto hosts = repeated("search.naver.com", 10);
    hosts.resize(16, "blog.naver.com");
    EXPECT_EQ(portal.hosts(), hosts);
    EXPECT_EQ(portal.targets().front(),
              "http://search.naver.com/search.naver?where=post&sm=tab_jum&start=1&query=abc");
    EXPECT_EQ(portal.targets().back(),
              "http://blog.naver.com/PostView.nhn?blogId=one&logNo=1&from=search");
}

TEST_F(SearchRunOnPortal, SecondRunClearsTheFirst)
{
    plimo::runSearch(controls, inet);
    ASSERT_EQ(controls.rows.size(), 3);
    controls.selectedAddress = controls.rows.first().fileAddress;

    controls.query = u"nothing"_qs;
    plimo::runSearch(controls, inet);

    EXPECT_EQ(controls.list1Items.items, plan(u"nothing"_qs));
    EXPECT_TRUE(controls.list2Items.items.isEmpty());
    EXPECT_TRUE(controls.list3Items.items.isEmpty());
    EXPECT_TRUE(controls.rows.isEmpty());
    EXPECT_TRUE(controls.selectedAddress.isEmpty());
    EXPECT_EQ(controls.statuses, statusTexts(3) + statusTexts(0));
}

// Counts of the work lists and rows go past the 16-bit range of the old list
// boxes. Driven through the fetch seam: 40,000 post fetches over HTTP would
// only measure the network.
TEST(SearchRun, CountsBeyondSixteenBits)
{
    constexpr int Posts = 40'000;
    QStringList links;
    for (int i = 0; i < Posts; ++i)
        links.append(link("many", i));
    const QString results = resultPage(links);
    const QString post = postPage(u"t"_qs, File + u"/f.mp3"_qs);
    MemoryControls controls;
    int fetches = 0;
    plimo::runSearch(controls, [&](const QString &address) {
        ++fetches;
        if (address.startsWith(Blog))
            return post;
        if (address.endsWith(u"&start=1&query="_qs))
            return results;
        throw plimo::Error(plimo::errc::Transfer, u"not found"_qs);
    });
    EXPECT_EQ(fetches, 10 + Posts);
    EXPECT_EQ(controls.list2Items.items.size(), Posts);
    EXPECT_EQ(controls.list3Items.items.last(), postView("many", Posts - 1));
    EXPECT_EQ(controls.rows.size(), Posts);
    EXPECT_EQ(controls.statuses.last(), u"40000 개 검색되었습니다."_qs);
}

}  // namespace
