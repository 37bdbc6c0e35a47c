// What only the transfer component shows: the bytes a page becomes,
// cancellation and lifetimes, the rolling count and the page deadline,
// pausing, and fetches side by side. Hostile answers are the download's to
// refuse, and the address on the wire shows in what the download sends.

#include "platform/error.h"
#include "platform/inet.h"
#include "platform/pagetext.h"
#include "tests/support/awaiting.h"
#include "tests/support/localserver.h"

#include <gtest/gtest.h>

#include <QCoroTask>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <sys/resource.h>
#include <thread>
#include <tuple>

using plimo::Inet;
using namespace std::chrono_literals;
using namespace Qt::Literals::StringLiterals;

namespace {

// 똠 is a syllable that CP949 has and plain EUC-KR has not; 가 is in both.
const QByteArray Cp949Ttom = QByteArray::fromHex("8c63"), EucKrGa = QByteArray::fromHex("b0a1");
const QString Ttom = QString(QChar(0xB620)), Ga = QString(QChar(0xAC00));

// The most memory the process has held so far.
std::int64_t peakResidentBytes()
{
    rusage usage{};
    return ::getrusage(RUSAGE_SELF, &usage) == 0 ? usage.ru_maxrss * 1024ll : 0;
}

char patternByte(std::int64_t offset)
{
    return static_cast<char>((offset * 7 + offset / 4096) & 0xFF);
}

QCoro::Task<> awaiting(Inet::Wait wait)
{
    co_await std::move(wait);
}

QByteArray chunk(Inet &inet, std::int64_t bytes)
{
    if (!inet.ChunkReady(bytes))
        plimo::test::await(awaiting(inet.untilChunkReady(bytes)));
    return inet.GetChunk(bytes);
}

// How a fetch ended: 0 for a page, else the error number.
int failureOf(Inet &inet, const QString &address)
{
    int outcome = -1;
    plimo::test::await(plimo::test::record(inet.OpenURL(address), outcome));
    return outcome;
}

}  // namespace

TEST(PageText, DecodesAsBrowsersWould)
{
    // The body, its Content-Type and the text a browser would show.
    const std::tuple<const char *, QByteArray, QByteArray, QString> rows[] = {
        {"utf8 undeclared", "a\xEA\xB0\x80z", "text/html", u"a"_s + Ga + u"z"_s},
        {"euc-kr by header", "<p>" + EucKrGa + Cp949Ttom, "text/html; charset=EUC-KR",
         u"<p>"_s + Ga + Ttom},
        {"meta charset, the bytes UTF-8 too",
         "<META CONTENT=\"text/html; charset=euc-kr\">\xC7\xA1", "text/html",
         u"<META CONTENT=\"text/html; charset=euc-kr\">\uD408"_s},
        {"undeclared cp949", "x" + Cp949Ttom + EucKrGa, "", u"x"_s + Ttom + Ga},
        {"unknown label falls through", "\xEA\xB0\x80", "text/html; charset=no-such-thing", Ga},
        {"header wins over meta", "<meta charset=utf-8>" + EucKrGa, "text/html; charset=euc-kr",
         u"<meta charset=utf-8>"_s + Ga},
        {"bom dropped", "\xEF\xBB\xBF\xEA\xB0\x80", "text/html; charset=euc-kr", Ga}};
    for (const auto &[name, body, contentType, expected] : rows)
        EXPECT_EQ(plimo::decodePageText(body, contentType), expected) << name;
}

class Transfer : public testing::Test {
protected:
    plimo::test::LocalServer server;
    Inet inet;
};

// A redirect that may not or cannot be followed fails that one fetch, and the
// next fetch on the same instance goes out as if nothing had happened.
TEST_F(Transfer, ARefusedRedirectHarmsNoLaterFetch)
{
    server.http().Get("/file",
                      [](const auto &, auto &res) { res.set_redirect("file:///etc/passwd"); });
    server.http().Get("/loop", [](const auto &, auto &res) { res.set_redirect("/loop"); });
    server.http().Get("/old", [](const auto &, auto &res) { res.set_redirect("/new"); });
    server.http().Get("/new", [](const auto &, auto &res) { res.set_content("", "text/plain"); });
    server.start();

    for (const QString &path : {u"/file"_s, u"/loop"_s}) {
        EXPECT_EQ(failureOf(inet, server.url(path)), plimo::errc::Transfer) << path.toStdString();
        EXPECT_EQ(failureOf(inet, server.url(u"/old"_s)), 0);
    }
}

// Too little over the rolling window fails, though the server never stalls
// for long; a page past its deadline fails at any pace.
TEST_F(Transfer, ASlowPageIsTooSlow)
{
    server.http().Get(R"(/drip/(\d+))", [](const auto &req, auto &res) {
        const std::chrono::milliseconds pause(std::stoi(req.matches[1]));
        res.set_chunked_content_provider("text/plain", [=](size_t offset, httplib::DataSink &sink) {
            std::this_thread::sleep_for(pause);
            return offset < 600 && sink.write("x", 1);
        });
    });
    server.start();
    inet.setRequestTimeout(1s);  // at least 64 bytes a second
    inet.setPageDeadline(2s);

    EXPECT_EQ(failureOf(inet, server.url(u"/drip/200"_s)), plimo::errc::TooSlow);  // 5 a second
    EXPECT_EQ(failureOf(inet, server.url(u"/drip/5"_s)), plimo::errc::TooSlow);    // 3 s long
}

// A stream pauses while its reader is behind: memory stays flat, every byte
// arrives in order, and the time the reader is away does not count against
// the server.
TEST_F(Transfer, StreamsALargeBodyAtTheReadersPace)
{
    constexpr std::int64_t size = 64ll * 1024 * 1024;
    server.http().Get("/big", [](const auto &, auto &res) {
        res.set_content_provider(size, "application/octet-stream",
                                 [](size_t offset, size_t length, httplib::DataSink &sink) {
                                     std::string block(std::min<size_t>(length, 64 * 1024), '\0');
                                     for (size_t i = 0; i < block.size(); ++i)
                                         block[i] = patternByte(offset + i);
                                     return sink.write(block.data(), block.size());
                                 });
    });
    server.start();
    inet.setRequestTimeout(1s);

    [[maybe_unused]] const std::int64_t before = peakResidentBytes();
    std::int64_t offset = 0;
    inet.Execute(server.url(u"/big"_s), u"GET"_s);
    plimo::test::spinUntil([] { return false; }, 2500ms);  // the reader is away
    for (QByteArray bytes; !(bytes = chunk(inet, 1024)).isEmpty(); offset += bytes.size()) {
        for (qsizetype i = 0; i < bytes.size(); ++i) {
            if (bytes[i] != patternByte(offset + i))
                FAIL() << "byte " << offset + i << " differs";
        }
    }
    EXPECT_EQ(offset, size);
#ifndef __SANITIZE_ADDRESS__  // the sanitizer's quarantine keeps freed memory resident
    EXPECT_LT(peakResidentBytes() - before, 4 * 1024 * 1024);
#endif
}

// Fetches on one instance run side by side, beside its stream; a cancel ends
// every one of them, and the stream's later reads fail rather than look complete.
TEST_F(Transfer, RunsPagesSideBySideAndACancelEndsThemAll)
{
    std::atomic<int> arrived{0};
    std::atomic<bool> released{false};
    server.http().Get("/held", [&](const auto &, auto &) {
        ++arrived;
        for (int i = 0; i < 500 && !released; ++i)
            std::this_thread::sleep_for(10ms);
    });
    server.start();

    int outcomes[3] = {-1, -1, -1};
    for (int &outcome : outcomes)
        plimo::test::record(inet.OpenURL(server.url(u"/held"_s)), outcome);
    inet.Execute(server.url(u"/held"_s), u"GET"_s);
    const bool together = plimo::test::spinUntil([&] { return arrived == 4; }, 5s);
    inet.Cancel();
    released = true;
    EXPECT_TRUE(together);
    for (const int outcome : outcomes)
        EXPECT_EQ(outcome, plimo::errc::Cancelled);
    try {
        inet.GetChunk(1024);
        ADD_FAILURE() << "a cancelled stream handed out a clean end";
    } catch (const plimo::Error &e) {
        EXPECT_EQ(e.number(), plimo::errc::Cancelled);
    }
}

// A fetch tried again once it has failed, as a caller on its way out might.
QCoro::Task<> fetchTwice(Inet &inet, QString address, int &outcome)
{
    co_await plimo::test::record(inet.OpenURL(address), outcome);
    outcome = -1;
    co_await plimo::test::record(inet.OpenURL(address), outcome);
}

// An instance that goes resumes its waiters with the cancellation first, and
// one that then asks for another page gets the cancellation again, not a
// request on an instance that is going.
TEST_F(Transfer, AnInstanceThatGoesCancelsItsWaitersAndStartsNoMore)
{
    server.http().Get("/page", [](const auto &, auto &res) { res.set_content("p", "text/plain"); });
    server.start();

    int outcome = -1;
    {
        Inet doomed;
        fetchTwice(doomed, server.url(u"/page"_s), outcome);
    }
    EXPECT_EQ(outcome, plimo::errc::Cancelled);
}
