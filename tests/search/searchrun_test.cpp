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

namespace {

using plimo::test::MemoryControls;
using Row = MemoryControls::Row;

const QString Blog = u"http://blog.naver.com/"_qs;
const QString File = u"http://blogattach.naver.com"_qs;

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

// The sample portal plays the three hosts as the program's proxy. Result
// page 5 answers 500 and page 7 drops its connection: each must count as an
// empty page, where going on with the page before would list the posts of
// page 4 or page 6 a second time.
TEST(SearchRun, AgainstThePortalThenWithEveryFetchFailing)
{
    plimo::portal::Portal portal({.deadPages = {5}, .dropPages = {7}});
    plimo::test::LocalServer server;
    portal.install(server.http());
    server.start();
    plimo::test::ScopedEnv proxy("http_proxy", server.proxyAddress());
    MemoryControls controls;
    const auto search = [&controls](const QString &query) {
        plimo::Inet inet1;  // its kept connection closes with it, so the server can stop at once
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
    expectPlan(controls.list1Items.items, controls.query);
    EXPECT_EQ(controls.list2Items.items.size(), views.size());
    EXPECT_EQ(controls.list3Items.items, views);
    EXPECT_EQ(controls.rows, rows);
    EXPECT_EQ(controls.statuses, statusTexts(rows.size()));
    // Strictly one after the other, in list order: the result pages, then the posts.
    std::vector<std::string> sent, expected;
    for (const auto &request : server.received())
        sent.push_back(request.target);
    for (const QString &address : controls.list1Items.items + views)
        expected.push_back(plimo::wireAddress(address).toStdString());
    EXPECT_EQ(sent, expected);

    // A second run starts from nothing, and with the portal gone it ends with
    // the ten addresses and a count of 0.
    server.stop();
    controls.selectedAddress = controls.rows.value(0).fileAddress;
    search(u"x"_qs);
    expectPlan(controls.list1Items.items, u"x"_qs);
    EXPECT_TRUE(controls.list2Items.items.isEmpty());
    EXPECT_TRUE(controls.list3Items.items.isEmpty());
    EXPECT_TRUE(controls.rows.isEmpty());
    EXPECT_TRUE(controls.selectedAddress.isEmpty());
    EXPECT_EQ(controls.statuses, statusTexts(rows.size()) + statusTexts(0));
}

// Counts past the 16-bit range of the old list boxes, driven through the fetch
// seam (50,000 post fetches over HTTP would only measure the network). One post
// in ten cannot be fetched and one has no title to cut: neither may add a row,
// nor leave a row with another post's title or file.
TEST(SearchRun, ManyPostsSomeWithoutRow)
{
    constexpr int Posts = 50'000;
    QString results;
    QList<Row> rows;
    for (int i = 0; i < Posts; ++i) {
        const QString n = QString::number(i);
        results += u"<dt><a class=\"sh_blog_title\" href=\""_qs + Blog +
                   u"b?Redirect=Log&logNo="_qs + n + u"\" target=_blank>"_qs;
        if (i % 10 == 0 || i % 10 > 2)
            rows.append({u"제목 "_qs + n, File + u"/"_qs + n + u".mp3 "_qs});
    }
    MemoryControls controls;
    int fetches = 0;
    plimo::test::await(
        plimo::runSearch(controls, [&](const QString &address) -> QCoro::Task<QString> {
            ++fetches;
            if (!address.startsWith(Blog))
                co_return address == controls.list1Items.items.first() ? results : QString();
            const QString n = address.section(u"logNo="_qs, 1).section(u'&', 0, 0);
            if (n.toInt() % 10 == 1)
                throw plimo::Error(plimo::errc::Transfer, u"not found"_qs);
            const QString title = n.toInt() % 10 == 2 ? QString() : u"제목 "_qs + n + u"</span>"_qs;
            co_return u"<div>"_qs + File + u"/"_qs + n +
                u".mp3 <span class=\"pcol1 itemSubjectBoldfont\">"_qs + title;
        }));
    EXPECT_EQ(fetches, 10 + Posts);
    EXPECT_EQ(controls.list3Items.items.size(), Posts);
    EXPECT_EQ(controls.rows, rows);
    EXPECT_EQ(controls.statuses.last(), u"40000 개 검색되었습니다."_qs);
}

}  // namespace
