// What only the transfer component shows: the bytes a page becomes, the
// answers a page takes or refuses, cancellation and lifetimes, the rolling
// count and the page deadline, pausing, and fetches side by side. A file's
// hostile answers are the download's to refuse, and the address on the wire
// shows in what the download sends.

#include "platform/error.h"
#include "platform/inet.h"
#include "platform/pagetext.h"
#include "tests/support/awaiting.h"
#include "tests/support/localserver.h"

#include <gtest/gtest.h>

#include <QCoroTask>
#include <QElapsedTimer>

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

// How a stream ended once read to its end: 0, else the error number.
int readToEnd(Inet &inet, const QString &address)
{
    inet.Execute(address, u"GET"_s);
    try {
        while (!chunk(inet, 1024).isEmpty()) {
        }
        return 0;
    } catch (const plimo::Error &e) {
        return e.number();
    }
}

}  // namespace

TEST(PageText, DecodesAsBrowsersWould)
{
    // Its label's last letter is the 8192nd byte, as far as a <meta> is looked for.
    const QByteArray metaAtLimit = QByteArray(8192 - 20, ' ') + "<meta charset=euc-kr>";
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
        {"bom dropped", "\xEF\xBB\xBF\xEA\xB0\x80", "text/html; charset=euc-kr", Ga},
        {"cp949 is the windows code page", Cp949Ttom, "text/html; charset=cp949", Ttom},
        {"meta without charset passed over", "<meta name=a><meta charset=euc-kr>\xC7\xA1", "",
         u"<meta name=a><meta charset=euc-kr>\uD408"_s},
        {"charset after the meta is text", "<meta name=a>charset=euc-kr\xC7\xA1", "",
         u"<meta name=a>charset=euc-kr\u01E1"_s},
        {"meta label ends at 8 KiB", metaAtLimit + "\xC7\xA1", "",
         QString::fromLatin1(metaAtLimit) + u"\uD408"_s},
        {"meta label crosses 8 KiB", ' ' + metaAtLimit + "\xC7\xA1", "",
         u' ' + QString::fromLatin1(metaAtLimit) + u"\u01E1"_s}};
    for (const auto &[name, body, contentType, expected] : rows)
        EXPECT_EQ(plimo::decodePageText(body, contentType), expected) << name;
}

class Transfer : public testing::Test {
protected:
    plimo::test::LocalServer server;
    Inet inet;
};

// A page is taken or refused on its answer alone, past at most ten
// redirects, over http and https only, and within the page cap, announced or
// not. A refused answer fails that one fetch, and the next fetch on the same
// instance goes out as if nothing had happened.
TEST_F(Transfer, APageIsTakenOrRefusedOnItsOwnAnswer)
{
    constexpr int Cap = 4096;
    server.http().Get("/file",
                      [](const auto &, auto &res) { res.set_redirect("file:///etc/passwd"); });
    server.http().Get("/loop", [](const auto &, auto &res) { res.set_redirect("/loop"); });
    server.http().Get("/old", [](const auto &, auto &res) { res.set_redirect("/new"); });
    server.http().Get("/new", [](const auto &, auto &res) { res.set_content("", "text/plain"); });
    server.http().Get(R"(/hop/(\d+))", [](const auto &req, auto &res) {
        const int left = std::stoi(req.matches[1]);
        left == 0 ? res.set_content("", "text/plain")
                  : res.set_redirect("/hop/" + std::to_string(left - 1));
    });
    server.http().Get(R"(/status/(\d+))",
                      [](const auto &req, auto &res) { res.status = std::stoi(req.matches[1]); });
    server.http().Get(R"(/told/(\d+))", [](const auto &req, auto &res) {
        res.set_content(std::string(std::stoul(req.matches[1]), 'x'), "text/plain");
    });
    server.http().Get(R"(/untold/(\d+))", [](const auto &req, auto &res) {
        const size_t size = std::stoul(req.matches[1]);
        res.set_chunked_content_provider("text/plain", [=](size_t offset, httplib::DataSink &sink) {
            const std::string piece(std::min<size_t>(size - offset, 1000), 'x');
            return piece.empty() ? (sink.done(), true) : sink.write(piece.data(), piece.size());
        });
    });
    server.http().Get(R"(/promised/(\d+))", [](const auto &req, auto &res) {
        res.set_content_provider(std::stoull(req.matches[1]), "text/plain",
                                 [](size_t, size_t, auto &sink) {
                                     sink.write("abc", 3);
                                     return false;  // and hangs up
                                 });
    });
    server.start();
    const std::string authority = server.url({}).sliced(7).toStdString();
    server.http().Get("/secure", [=](const auto &, auto &res) {
        res.set_redirect("https://" + authority + "/new");
    });
    // An https request asks this proxy for a tunnel, which it refuses.
    const plimo::test::ScopedEnv proxy("https_proxy", server.proxyAddress());
    inet.setPageCap(Cap);

    const auto url = [&](const char *path) { return server.url(QString::fromLatin1(path)); };
    const QString secure = u"https://"_s + QString::fromStdString(authority) + u"/new"_s;
    // The address, how the fetch ends and the last request it sent ("" for none).
    const std::tuple<const char *, QString, int, std::string> rows[] = {
        {"ten redirects", url("/hop/10"), 0, "/hop/0"},
        {"eleven redirects", url("/hop/11"), plimo::errc::Transfer, "/hop/1"},
        {"a redirect loop", url("/loop"), plimo::errc::Transfer, "/loop"},
        {"a redirect to a file", url("/file"), plimo::errc::Transfer, "/file"},
        {"a file address", u"file:///etc/passwd"_s, plimo::errc::Transfer, ""},
        {"a redirect to https", url("/secure"), plimo::errc::ConnectionLost, authority},
        {"an https address", secure, plimo::errc::ConnectionLost, authority},
        {"status 299", url("/status/299"), 0, "/status/299"},
        {"status 300", url("/status/300"), plimo::errc::Transfer, "/status/300"},
        {"the cap", url("/told/4096"), 0, "/told/4096"},
        {"a byte past the cap", url("/told/4097"), plimo::errc::Transfer, "/told/4097"},
        {"the cap, untold", url("/untold/4096"), 0, "/untold/4096"},
        {"a byte past the cap, untold", url("/untold/4097"), plimo::errc::Transfer, "/untold/4097"},
        {"a byte past the cap told, three sent", url("/promised/4097"), plimo::errc::Transfer,
         "/promised/4097"},
        {"a terabyte told, three sent", url("/promised/1099511627776"), plimo::errc::Transfer,
         "/promised/1099511627776"}};
    for (const auto &[name, address, outcome, last] : rows) {
        SCOPED_TRACE(name);
        const size_t before = server.received().size();
        EXPECT_EQ(failureOf(inet, address), outcome);
        const auto sent = server.received();
        EXPECT_EQ(sent.size() > before ? sent.back().target : "", last);
        EXPECT_EQ(failureOf(inet, url("/old")), 0);
    }
}

// Too little over the rolling window fails a stream or a page, though the
// server never stalls for long, and a burst buys no silence after it; a page
// past its deadline fails at any pace. Enough, in time, gets through.
TEST_F(Transfer, TooLittleOverTheWindowOrPastTheDeadlineIsTooSlow)
{
    // `bytes` every `every` ms until `until` ms have gone.
    server.http().Get(R"(/drip/(\d+)/(\d+)/(\d+))", [](const auto &req, auto &res) {
        const std::string bytes(std::stoul(req.matches[1]), 'x');
        const std::chrono::milliseconds every(std::stoi(req.matches[2]));
        const auto end =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(std::stoi(req.matches[3]));
        res.set_chunked_content_provider("text/plain", [=](size_t, httplib::DataSink &sink) {
            if (std::chrono::steady_clock::now() >= end)
                return sink.done(), true;
            const bool written = sink.write(bytes.data(), bytes.size());
            std::this_thread::sleep_for(every);
            return written;
        });
    });
    server.start();
    inet.setRequestTimeout(1s);  // at least 64 bytes a second
    inet.setPageDeadline(2s);

    // The path, whether it is read as a stream (which has no deadline), how it ends.
    const std::tuple<const char *, bool, int> rows[] = {
        {"/drip/2/50/3000", true, plimo::errc::TooSlow},       // 40 bytes a second
        {"/drip/6/50/1500", true, 0},                          // 120 bytes a second
        {"/drip/1000/1800/2000", true, plimo::errc::TooSlow},  // a burst buys no silence
        {"/drip/6/50/1500", false, 0},                         // within its deadline
        {"/drip/1/5/3000", false, plimo::errc::TooSlow}};      // past it
    for (const auto &[path, stream, outcome] : rows) {
        const QString address = server.url(QString::fromLatin1(path));
        EXPECT_EQ(stream ? readToEnd(inet, address) : failureOf(inet, address), outcome)
            << path << (stream ? " as a stream" : " as a page");
    }
}

// A stream pauses while its reader is behind: memory stays flat, every byte
// arrives in order, and the time the reader is away does not count against
// the server.
TEST_F(Transfer, StreamsALargeBodyAtTheReadersPace)
{
    constexpr std::int64_t size = 64ll * 1024 * 1024;
    std::atomic<std::int64_t> sent{0};
    server.http().Get("/big", [&](const auto &, auto &res) {
        res.set_content_provider(size, "application/octet-stream",
                                 [&](size_t offset, size_t length, httplib::DataSink &sink) {
                                     std::string block(std::min<size_t>(length, 64 * 1024), '\0');
                                     for (size_t i = 0; i < block.size(); ++i)
                                         block[i] = patternByte(offset + i);
                                     sent = offset + block.size();
                                     return sink.write(block.data(), block.size());
                                 });
    });
    server.start();
    inet.setRequestTimeout(1s);

    [[maybe_unused]] const std::int64_t before = peakResidentBytes();
    std::int64_t offset = 0;
    inet.Execute(server.url(u"/big"_s), u"GET"_s);
    plimo::test::spinUntil([] { return false; }, 2500ms);  // the reader is away
    EXPECT_LT(sent, size / 4);  // the socket buffers' worth, not the file
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
// every one of them, and the stream's later reads fail rather than look
// complete. The next requests on the instance run as before.
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
    EXPECT_EQ(readToEnd(inet, server.url(u"/held"_s)), 0);
    EXPECT_EQ(failureOf(inet, server.url(u"/held"_s)), 0);
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

// Each instance's deadlines hold beside another's on the same thread: a page
// answered at once beside a silent one waits for nothing, and once its
// earlier deadline is gone the silent page still fails at its own, not at the
// rate check a minute on.
TEST_F(Transfer, DeadlinesHoldBesideAnotherInstancesPages)
{
    // Answers once the page has failed, so the server stops without a flag.
    server.http().Get("/silent", [](const auto &, auto &) { std::this_thread::sleep_for(3s); });
    server.http().Get("/page", [](const auto &, auto &res) { res.set_content("p", "text/plain"); });
    server.start();
    Inet quick;
    inet.setPageDeadline(2s);
    quick.setPageDeadline(1s);

    QElapsedTimer clock;
    clock.start();
    int silent = -1;
    plimo::test::record(inet.OpenURL(server.url(u"/silent"_s)), silent);
    plimo::test::spinUntil([] { return false; }, 500ms);  // the silent page waits on its deadline
    QElapsedTimer answered;
    answered.start();
    EXPECT_EQ(failureOf(quick, server.url(u"/page"_s)), 0);
    EXPECT_LT(answered.elapsed(), 500);
    plimo::test::spinUntil([&] { return silent != -1; }, 5s);
    EXPECT_EQ(silent, plimo::errc::TooSlow);
    EXPECT_GE(clock.elapsed(), 2000);
}
