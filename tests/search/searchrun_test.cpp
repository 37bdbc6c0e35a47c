#include "search/searchrun.h"

#include "platform/error.h"
#include "platform/inet.h"
#include "platform/wireaddress.h"
#include "tests/search/searchcontrols.h"
#include "tests/support/awaiting.h"
#include "tests/support/localserver.h"
#include "tools/portal/catalogue.h"
#include "tools/portal/portal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>

namespace {

using plimo::test::MemoryControls;
using Row = MemoryControls::Row;

QStringList statusTexts(qsizetype rows)
{
    return {u"검색중.... "_qs, u"검색중..."_qs, u"파일 추출 중...."_qs, u"검색끝"_qs,
            QString::number(rows) + u" 개 검색되었습니다."_qs};
}

// Ten result pages; the query goes in unchanged, and the first page puts its
// keys in another order than the nine after it.
void expectPlan(const QStringList &list1, const QString &query)
{
    const QString search = u"http://search.naver.com/search.naver?where=post&sm=tab_jum"_qs;
    ASSERT_EQ(list1.size(), 10);
    EXPECT_EQ(list1[0], search + u"&start=1&query="_qs + query);
    EXPECT_EQ(list1[1], search + u"&query="_qs + query + u"&start=11"_qs);
    EXPECT_EQ(list1[9], search + u"&query="_qs + query + u"&start=91"_qs);
}

using namespace std::chrono_literals;
constexpr std::int64_t PageCap = 64 * 1024;
// Answered 500, over PageCap, and redirected to a file: address.
constexpr std::size_t DeadPost = 3, BigPost = 5, LocalPost = 7;

// The sample portal plays the three hosts as the program's proxy and holds
// each page the longer the earlier it stands in its list, so that later
// requests overtake earlier ones. It notes the most requests held at once,
// whether a result page past the first window came while the first was still
// held, and whether a post came before every result page was answered.
struct SlowPortal {
    explicit SlowPortal(plimo::portal::Faults faults = {}) : portal(faults)
    {
        portal.install(server.http());
        server.http().set_post_routing_handler([this](const auto &request, auto &response) {
            const auto &posts = plimo::portal::posts();
            const bool result = request.target.find(plimo::portal::SearchHost) != std::string::npos;
            const std::size_t index =
                result ? std::stoi(request.get_param_value("start")) / 10
                       : std::ranges::find(posts, request.get_param_value("logNo"),
                                           &plimo::portal::Post::logNo) -
                             posts.begin();
            {
                std::lock_guard lock(mutex);
                most = std::max(most, ++held);
                overtaken |= result && index >= plimo::DefaultPageWindow && firstHeld;
                postTooEarly |= !result && answered < 10;
                firstHeld |= result && index == 0;
            }
            std::this_thread::sleep_for(((result ? 10 : posts.size()) - index) * 15ms);
            if (!result && index == DeadPost)
                response.status = 500;
            if (!result && index == LocalPost)
                response.set_redirect("file:///etc/passwd");
            if (!result && index == BigPost) {
                response.headers.erase("Content-Length");  // httplib has set it already
                response.set_content(response.body + std::string(PageCap, ' '), "text/html");
                response.set_header("Content-Length", std::to_string(response.body.size()));
            }
            std::lock_guard lock(mutex);
            --held;
            answered += result;
            firstHeld &= !(result && index == 0);
        });
        server.start();
    }

    plimo::portal::Portal portal;
    std::mutex mutex;
    int held = 0, answered = 0, most = 0;
    bool firstHeld = false, overtaken = false, postTooEarly = false;
    plimo::test::LocalServer server;  // last: its threads use the members above
};

// Result page 5 answers 500 and page 7 drops its connection, post 3 answers
// 500, post 5 is over the cap and post 7 redirects to a local file: each must
// count as an empty page, where going on with the page before would list its
// posts or its row a second time, and none may keep the next search from
// fetching every page again. The lists and the rows are those of a run one
// page after the other.
TEST(SearchRun, AgainstASlowPortalThenWithEveryFetchFailing)
{
    SlowPortal portal({.deadPages = {5}, .dropPages = {7}});
    plimo::test::ScopedEnv proxy("http_proxy", portal.server.proxyAddress());
    MemoryControls controls;
    plimo::Inet inet1;
    inet1.setPageCap(PageCap);
    const auto search = [&](const QString &query) {
        controls.query = query;
        plimo::test::await(plimo::runSearch(controls, inet1));
    };
    search(u"가수+노래 제목&x"_qs);

    QStringList views;
    for (const auto &post : plimo::portal::posts())
        views.append(QString::fromStdString(plimo::portal::postViewAddress(post)));
    QList<Row> rows;
    for (const auto &row : plimo::portal::expectedRows())
        rows.append({QString::fromStdString(row.title), QString::fromStdString(row.address)});
    rows.removeIf([](const Row &row) {
        return std::ranges::any_of(std::array{DeadPost, BigPost, LocalPost}, [&](std::size_t post) {
            return row.title == QString::fromStdString(plimo::portal::posts()[post].title);
        });
    });
    expectPlan(controls.list1Items.items, controls.query);
    EXPECT_EQ(controls.list2Items.items.size(), views.size());
    EXPECT_EQ(controls.list3Items.items, views);
    EXPECT_EQ(controls.rows, rows);
    EXPECT_EQ(controls.statuses, statusTexts(rows.size()));
    // Every page once, a window's worth at a time, the posts after the results.
    std::multiset<std::string> sent, expected;
    for (const auto &request : portal.server.received())
        sent.insert(request.target);
    for (const QString &address : controls.list1Items.items + views)
        expected.insert(plimo::wireAddress(address).toStdString());
    EXPECT_EQ(sent, expected);
    search(controls.query);
    EXPECT_EQ(portal.server.received().size(), 2 * expected.size());
    EXPECT_EQ(controls.rows, rows);

    // A second run starts from nothing, and with the portal gone it ends with
    // the ten addresses and a count of 0.
    portal.server.stop();
    EXPECT_EQ(portal.most, plimo::DefaultPageWindow);
    EXPECT_TRUE(portal.overtaken);
    EXPECT_FALSE(portal.postTooEarly);
    controls.selectedAddress = controls.rows.value(0).fileAddress;
    search(u"x"_qs);
    EXPECT_TRUE(controls.list1Items.items.size() == 10 && controls.list2Items.items.isEmpty() &&
                controls.list3Items.items.isEmpty() && controls.rows.isEmpty() &&
                controls.selectedAddress.isEmpty());
    EXPECT_EQ(controls.statuses,
              statusTexts(rows.size()) + statusTexts(rows.size()) + statusTexts(0));
}

}  // namespace
