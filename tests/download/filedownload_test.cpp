#include "download/filedownload.h"

#include "tests/support/awaiting.h"
#include "tests/support/localserver.h"

#include <QDir>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <thread>
#include <tuple>

// Readable failures: gtest finds this by argument-dependent lookup.
void PrintTo(const QString &text, std::ostream *out)
{
    *out << '"' << text.toStdString() << '"';
}

namespace {

using namespace plimo;
using namespace std::chrono_literals;
using namespace Qt::StringLiterals;
using Files = std::map<QString, QByteArray>;  // a folder's entries and their bytes
using Shown = std::vector<std::pair<QString, MessageStyle>>;

// The same n bytes every time; a chunk that is lost, repeated or moved shows.
QByteArray bodyOf(std::size_t n)
{
    QByteArray body(static_cast<qsizetype>(n), '\0');
    for (qsizetype i = 0; i < body.size(); ++i)
        body[i] = static_cast<char>(i % 251);
    return body;
}

constexpr std::int64_t ShortBodyCap = 64 * 1024 + 100;  // ends within a chunk

// Why a download failed, as the progress bar shows it.
QString notGiven(int status)
{
    return u"서버가 파일을 주지 않았습니다 (응답 %1)."_s.arg(status);
}
const QString Refused = u"서버의 응답이 올바른 파일이 아닙니다."_s,
              Unreachable = u"서버에 연결할 수 없습니다."_s,
              Lost = u"서버와의 연결이 끊겼습니다."_s, NoFolder = u"폴더에 저장할 수 없습니다."_s,
              TakenMeanwhile = u"같은 이름의 파일이 그사이에 생겼습니다."_s;

class RecordingControls final : public DownloadControls {
public:
    QString address, folder;
    std::vector<int> bar;
    QStringList sizeTexts, percentTexts;
    Shown messages;
    MessageAnswer answer = MessageAnswer::Yes;  // to the question of replacing
    QString failure;                            // the reason the bar shows, "" for none

    QString selectedAddress() const override { return address; }
    QString destinationFolder() const override { return folder; }
    void setProgressValue(int percent) override { bar.push_back(percent); }
    int progressValue() const override { return bar.empty() ? 100 : bar.back(); }
    void setSizeText(const QString &text) override { sizeTexts << text; }
    void setPercentText(const QString &text) override { percentTexts << text; }
    void showFailure(const QString &reason) override { failure = reason; }
    MessageAnswer showMessage(const QString &text, MessageStyle style) override
    {
        messages.emplace_back(text, style);
        return style == MessageStyle::YesNoInformation ? answer : MessageAnswer::Ok;
    }
};

class Download : public ::testing::Test {
protected:
    // /<kind>/<n>/<name>: n bytes (bytes), the status n with n bytes (status),
    // n bytes after 3 s (slow) or at 4 KiB a millisecond (trickle), n
    // announced and half of them but at most ShortBodyCap sent (short), a body
    // without length (nolength), or a redirect to 3000 bytes (redirect). A path
    // that ends in a blank is not found: result rows end in one, requests must not.
    void SetUp() override
    {
        server.http().Get(R"(/(\w+)/(\d+)/.*[^ ])", [](const auto &req, auto &res) {
            const std::string kind = req.matches[1];
            const std::size_t n = std::stoull(req.matches[2]);
            if (kind == "redirect")
                return res.set_redirect("/bytes/3000/stored");
            if (kind == "nolength")
                return res.set_chunked_content_provider("audio/mpeg", [](std::size_t, auto &sink) {
                    sink.write("abc", 3);
                    sink.done();
                    return true;
                });
            res.status = kind == "status" ? static_cast<int>(n) : 200;
            std::this_thread::sleep_for(kind == "slow" ? 3s : 0s);
            if (n == 0)  // a provider of no bytes would leave out Content-Length
                return res.set_content("", "audio/mpeg");
            const auto body = std::make_shared<QByteArray>(
                bodyOf(kind == "short" ? std::min<std::size_t>(n / 2, ShortBodyCap) : n));
            res.set_content_provider(n, "audio/mpeg", [=](std::size_t at, std::size_t, auto &sink) {
                std::this_thread::sleep_for(kind == "trickle" ? 1ms : 0ms);
                sink.write(body->constData() + at, std::min<std::size_t>(body->size() - at, 4096));
                return kind != "short" || at + 4096 < static_cast<std::size_t>(body->size());
            });
        });
        server.start();
        controls.folder = dir.path() + u'/';
    }

    // path: on the server; "" leaves no row chosen. onTick runs every
    // millisecond of the event loop while the download awaits the network.
    void download(
        const QString &path, const std::function<void()> &onTick = [] {})
    {
        controls.address = path.isEmpty() ? QString() : server.url(path);
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, onTick);
        ticker.start(1);
        test::await(fileDownload.Command3_Click());
    }

    // Hidden entries too: a temporary file left behind shows.
    Files files(const QString &folder) const
    {
        Files found;
        for (const QFileInfo &entry : QDir(folder).entryInfoList(
                 QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)) {
            QFile file(entry.filePath());
            found[entry.fileName()] = file.open(QIODevice::ReadOnly) ? file.readAll() : "<folder>";
        }
        return found;
    }

    test::LocalServer server;
    QTemporaryDir dir;
    RecordingControls controls;
    Inet inet;
    FileDownload fileDownload{controls, inet};
};

TEST_F(Download, WritesEveryByteUnderTheAddressesNameAndShowsProgress)
{
    // The folder box (a subfolder, once without its final "/"), the path on
    // the server, the file it leaves, its size and Label3. A percent escape
    // stays in the name; a row's trailing blanks go; a redirected file is
    // named as asked.
    const std::tuple<QString, QString, QString, std::size_t, QString> rows[] = {
        {u"1"_s, u"/bytes/1/a.mp3"_s, u"a.mp3"_s, 1, u"0.00 MB"_s},
        {u"3/"_s, u"/bytes/1024/a.mp3"_s, u"a.mp3"_s, 1024, u"0.00 MB"_s},
        {u"4/"_s, u"/bytes/1025/a.mp3"_s, u"a.mp3"_s, 1025, u"0.00 MB"_s},
        {u"5/"_s, u"/bytes/2500/a.mp3"_s, u"a.mp3"_s, 2500, u"0.00 MB"_s},
        {u"음악 폴더/"_s, u"/bytes/500000/노래.mp3"_s, u"노래.mp3"_s, 500'000, u"0.48 MB"_s},
        {u"6/"_s, u"/bytes/3500000/a%20b.mp3"_s, u"a%20b.mp3"_s, 3'500'000, u"3.34 MB"_s},
        {u"7/"_s, u"/bytes/5242880/c.mp3  "_s, u"c.mp3"_s, 5 * 1024 * 1024, u"5.00 MB"_s},
        {u"8/"_s, u"/redirect/0/r.mp3"_s, u"r.mp3"_s, 3000, u"0.00 MB"_s},
        {u"9/"_s, u"/bytes/1030/b"_s, u"b"_s, 1030, u"0.00 MB"_s}};
    for (const auto &[folder, path, file, size, sizeText] : rows) {
        SCOPED_TRACE(path.toStdString());
        controls = {};
        controls.folder = dir.path() + u'/' + folder;
        ASSERT_TRUE(QDir().mkpath(controls.folder));
        download(path);
        ASSERT_EQ(files(controls.folder), (Files{{file, bodyOf(size)}}));
        EXPECT_EQ(controls.sizeTexts, QStringList{sizeText});
        EXPECT_EQ(controls.percentTexts.back(), u"100 %"_s);
        if (size == 2500) {  // two chunks and 452 bytes
            EXPECT_EQ(controls.bar, (std::vector{0, 40, 81, 100}));
        }
    }
}

// Declined, refused, failed or stopped: the folder keeps what it held and
// nothing more, an old file of the name included. A name that cannot be a
// file in the folder is reported in a box; a failure once the request is made
// shows its reason on the bar until the next download starts.
TEST_F(Download, LeavesTheFolderAsItWasWhenAnythingFails)
{
    const QString here = controls.folder;
    const Files before{{u"a.mp3"_s, "old"},
                       {u"f.mp3"_s, "<folder>"},
                       {u"file"_s, "not a folder"},
                       {u"names"_s, "<folder>"}};
    ASSERT_TRUE(QDir().mkpath(here + u"names"_s));
    QFile taken(here + u"names/b.mp3"_s);
    ASSERT_TRUE(taken.open(QIODevice::WriteOnly) && taken.write("taken") && taken.flush());
    for (const auto &[name, bytes] : before) {
        QFile file(here + name);
        ASSERT_TRUE(bytes == "<folder>" ? QDir().mkpath(file.fileName())
                                        : file.open(QIODevice::WriteOnly) && file.write(bytes));
    }
    const Shown asked{{u"이미 대상 파일이 존재합니다.\r\n삭제하고 계속 하시겠습니까?"_s,
                       MessageStyle::YesNoInformation}},
        refused{
            {u"현재파일 은 다운할수없습니다 다른 파일을 받으세요-_-;"_s, MessageStyle::OkCritical}},
        choose{{u"다운받을 음악을 선택해주세요"_s, MessageStyle::Ok}};
    // The path on the server, the folder box (under here), Label3, the
    // messages, the reason on the bar; the window closes while /slow/ is
    // awaited and /trickle/ flows, and the folder box turns to one that holds
    // the name while /slow/5001/ is awaited.
    std::vector<std::tuple<QString, QString, QString, Shown, QString>> rows = {
        {QString(), {}, {}, choose, {}},  // no row chosen yet
        {u"/bytes/0/a.mp3"_s, {}, {}, asked, Refused},
        {u"/nolength/0/a.mp3"_s, {}, {}, asked, Refused},
        {u"/status/404/a.mp3"_s, {}, {}, asked, notGiven(404)},
        {u"/status/500/a.mp3"_s, {}, {}, asked, notGiven(500)},
        {u"/trickle/262144/a.mp3"_s, {}, u"0.25 MB"_s, asked, {}},
        {u"/slow/5000/a.mp3"_s, {}, {}, asked, {}},
        {u"/slow/5001/b.mp3"_s, {}, u"0.00 MB"_s, {}, TakenMeanwhile},
        {u"/bytes/10/f.mp3"_s, {}, {}, asked, {}},  // "yes" to a folder of the name
        {u"/bytes/10/b.mp3"_s, u"missing/"_s, u"0.00 MB"_s, {}, NoFolder},
        {u"/bytes/10/b.mp3"_s, u"file/"_s, u"0.00 MB"_s, {}, NoFolder}};
    for (const QString &name :
         {u""_s, u"."_s, u".."_s, u"   "_s, u"a:b"_s, u"*.mp3"_s, u"a\x01.mp3"_s, u"get.php?id=3"_s,
          u"a|\"<b>.mp3"_s, u"..\\..\\x.mp3"_s, QString(256, u'a'), u"song\u202E3pm.hs"_s,
          u"\u200Bx.mp3"_s, u"\U000E0001x.mp3"_s, u"a\u2028b.mp3"_s, u"a\u2029b.mp3"_s,
          u"\uFDD0.mp3"_s, u"x\uFFFF.mp3"_s, u"\U0010FFFEx.mp3"_s})
        rows.emplace_back(u"/bytes/10/"_s + name, QString(), QString(), refused, QString());
    for (const auto &[path, folder, sizeText, messages, reason] : rows) {
        SCOPED_TRACE((path + u' ' + folder).toStdString());
        controls = {};
        controls.folder = here + folder;
        const auto started = std::chrono::steady_clock::now();
        download(path, [&, path = path] {
            if (path.startsWith(u"/slow/5001"))
                controls.folder = here + u"names/"_s;
            else if (path.startsWith(u"/slow") ||
                     (path.startsWith(u"/trickle") && fileDownload.state().BytesDone > 0))
                fileDownload.stop();
        });
        if (!path.startsWith(u"/slow/5001")) {  // well within the 3 s /slow/ keeps its answer
            EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
        }
        EXPECT_EQ(controls.messages, messages);
        EXPECT_EQ(files(here), before);
        EXPECT_EQ(files(here + u"names"_s), (Files{{u"b.mp3"_s, "taken"}}));
        EXPECT_EQ(std::ranges::count(controls.bar, 100), 0);
        EXPECT_EQ(controls.sizeTexts.value(0), sizeText);
        EXPECT_EQ(controls.failure, reason);
    }
    // Nothing was asked for without a row, for a folder of the name or a refused name.
    EXPECT_EQ(server.received().size(), 9u);

    // The next download clears the reason as it starts, "no" to its question
    // included; "no" keeps the old file; "yes" and a whole new one replace it.
    download(u"/status/404/c.mp3"_s);
    EXPECT_EQ(controls.failure, notGiven(404));
    controls.answer = MessageAnswer::No;
    download(u"/bytes/10/a.mp3"_s);
    EXPECT_EQ(controls.failure, QString());
    EXPECT_EQ(files(here), before);
    controls.answer = MessageAnswer::Yes;
    download(u"/bytes/10/a.mp3"_s);
    EXPECT_EQ(files(here).at(u"a.mp3"_s), bodyOf(10));
    EXPECT_EQ(controls.failure, QString());
}

// Answers no server library would write: after each request head it sends
// the head and body that answer() gives for it, the body a byte at a time
// when paced, and hangs up, so a body shorter than its length is one cut
// short. The request heads are kept.
class RawServer final : public QTcpServer {
public:
    using Answer = std::function<std::pair<QByteArray, QByteArray>(const QByteArray &request)>;
    QList<QByteArray> requests;

    explicit RawServer(Answer answer, std::chrono::milliseconds pace = 0ms)
    {
        listen(QHostAddress::LocalHost);
        connect(this, &QTcpServer::newConnection, this, [=, this] {
            QTcpSocket *client = nextPendingConnection();
            connect(client, &QTcpSocket::readyRead, client, [=, this] {
                const QByteArray request = client->readAll();
                if (!request.endsWith("\r\n\r\n"))
                    return;
                requests.append(request);
                const auto [head, body] = answer(request);
                client->write(head + "\r\n");
                auto *drip = new QTimer(client);
                connect(drip, &QTimer::timeout, client, [=, sent = qsizetype(0)]() mutable {
                    if (sent == body.size())
                        return client->disconnectFromHost();
                    client->write(body.mid(sent, pace.count() ? 1 : body.size()));
                    sent += pace.count() ? 1 : body.size();
                });
                drip->start(pace);
            });
        });
    }
    QString url() const { return u"http://127.0.0.1:%1/s.mp3"_s.arg(serverPort()); }
};

// Only a whole, unencoded body whose length is stated once takes the name;
// the others leave nothing behind and their reason on the bar, and so does a
// server that does not listen (after its two more tries).
TEST_F(Download, TakesOnlyAWholeUnencodedBody)
{
    const QByteArray ok = "HTTP/1.1 200 OK\r\nConnection: close\r\n",
                     ten = "Content-Length: 10\r\n";
    const QByteArray chunked = QByteArray("1388\r\n") + bodyOf(5000) + "\r\n0\r\n\r\n";
    // The head, the body, the reason on the bar ("" for a saved file).
    const std::tuple<const char *, QByteArray, QByteArray, QString> rows[] = {
        {"chunked with a length", ok + "Transfer-Encoding: chunked\r\n" + ten, chunked, Refused},
        {"two lengths", ok + ten + "Content-Length: 9\r\n", bodyOf(10), Refused},
        {"partial", "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-9/100\r\n" + ten,
         bodyOf(10), Refused},
        {"range on a 200", ok + "Content-Range: bytes 0-9/10\r\n" + ten, bodyOf(10), Refused},
        {"compressed", ok + "Content-Encoding: gzip\r\n" + ten, bodyOf(10), Refused},
        {"a length in words", ok + "Content-Length: 10 bytes\r\n", bodyOf(10), Refused},
        {"nothing listens", {}, {}, Unreachable},
        {"the same length twice, identity",
         ok + ten + ten + "Content-Encoding: identity\r\n",
         bodyOf(10),
         {}}};
    for (const auto &[name, head, body, reason] : rows) {
        SCOPED_TRACE(name);
        RawServer raw(
            [&, head = head, body = body](const QByteArray &) { return std::pair(head, body); });
        if (head.isEmpty())
            raw.close();
        const bool saved = reason.isEmpty();
        controls = {};
        controls.folder = dir.path() + u'/';
        controls.address = raw.url();
        test::await(fileDownload.Command3_Click());
        EXPECT_EQ(files(controls.folder), (saved ? Files{{u"s.mp3"_s, bodyOf(10)}} : Files{}));
        EXPECT_EQ(std::ranges::count(controls.bar, 100), saved ? 1 : 0);
        EXPECT_EQ(controls.failure, reason);
        QFile::remove(controls.folder + u"s.mp3"_s);
    }
}

// A dropped connection is tried again, after 1 s and 3 s: for the rest of the
// file when the first answer named it with a strong validator, else for all
// of it. The answer to a request for the rest must be exactly the rest.
TEST_F(Download, HealsAfterADroppedConnection)
{
    constexpr qsizetype Size = 100'000, Half = Size / 2;
    const QByteArray whole = "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 100000\r\n",
                     rest = "HTTP/1.1 206 Partial Content\r\nConnection: close\r\n"
                            "Content-Length: 50000\r\n",
                     strong = "ETag: \"v1\"\r\n",
                     weak = "ETag: W/\"v1\"\r\nLast-Modified: Mon, 07 Dec 2026 10:00:00 GMT\r\n"
                            "Date: Mon, 07 Dec 2026 10:00:00 GMT\r\n";
    const auto asksForTheRest = [](const QByteArray &request) {
        return request.contains("\r\nRange: bytes=50000-\r\n") &&
               request.contains("\r\nIf-Range: \"v1\"\r\n");
    };
    using Script = std::function<std::pair<QByteArray, QByteArray>(const QByteArray &)>;
    const auto cutThen = [&](QByteArray first, std::pair<QByteArray, QByteArray> then) -> Script {
        return [=](const QByteArray &request) {
            return request.contains("Range:") || request.contains("again")
                       ? then
                       : std::pair(first, bodyOf(Size).left(Half));
        };
    };
    // The answers, the requests they take, whether the second asks for the
    // rest, and the reason on the bar ("" for a file that lands exact).
    const std::tuple<const char *, Script, int, bool, QString> rows[] = {
        {"resumed",
         cutThen(whole + strong, {rest + strong + "Content-Range: bytes 50000-99999/100000\r\n",
                                  bodyOf(Size).mid(Half)}),
         2,
         true,
         {}},
        {"weak validators start over",
         [&](const QByteArray &r) {
             return std::pair(whole + weak,
                              r.contains("again") ? bodyOf(Size) : bodyOf(Size).left(Half));
         },
         2,
         false,
         {}},
        {"a whole answer to the rest starts over",
         cutThen(whole + strong, {whole + strong, bodyOf(Size)}),
         2,
         true,
         {}},
        {"not exactly the rest",
         cutThen(whole + strong,
                 {rest + "Content-Range: bytes 50000-99999/100001\r\n", bodyOf(Size).mid(Half)}),
         2, true, Refused},
        {"cut every time",
         [&](const QByteArray &) { return std::pair(whole, bodyOf(Size).left(Half)); }, 3, false,
         Lost},
        {"not found",
         [](const QByteArray &) {
             return std::pair(QByteArray("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n"),
                              QByteArray());
         },
         1, false, notGiven(404)}};
    for (const auto &[name, script, requests, asksRest, reason] : rows) {
        SCOPED_TRACE(name);
        RawServer raw([&, script = script](const QByteArray &request) {
            return script(raw.requests.size() > 1 ? request + "again" : request);
        });
        controls = {};
        controls.folder = dir.path() + u'/';
        controls.address = raw.url();
        test::await(fileDownload.Command3_Click());
        EXPECT_EQ(files(controls.folder),
                  (reason.isEmpty() ? Files{{u"s.mp3"_s, bodyOf(Size)}} : Files{}));
        EXPECT_EQ(controls.failure, reason);
        ASSERT_EQ(raw.requests.size(), requests);
        EXPECT_EQ(requests > 1 && asksForTheRest(raw.requests[1]), asksRest);
        QFile::remove(controls.folder + u"s.mp3"_s);
    }

    // A close during the pause before another try ends the download at once.
    RawServer cut([&](const QByteArray &) { return std::pair(whole, bodyOf(Size).left(Half)); });
    controls = {};
    controls.folder = dir.path() + u'/';
    controls.address = cut.url();
    const auto started = std::chrono::steady_clock::now();
    QTimer::singleShot(300ms, [&] { fileDownload.stop(); });
    test::await(fileDownload.Command3_Click());
    EXPECT_LT(std::chrono::steady_clock::now() - started, 900ms);
    EXPECT_EQ(cut.requests.size(), 1);
    EXPECT_EQ(files(controls.folder), Files{});
}

// Whoever owns a download may drop it mid-body: it ends there and then, while
// the transfer component it awaits is still about, and leaves nothing behind.
TEST_F(Download, EndsWhenDroppedMidBody)
{
    Inet inet2;
    auto doomed = std::make_unique<FileDownload>(controls, inet2);
    controls.address = server.url(u"/trickle/262144/t.mp3"_s);
    doomed->Command3_Click();
    ASSERT_TRUE(test::spinUntil([&] { return doomed->state().BytesDone > 0; }, 5s));
    doomed.reset();
    EXPECT_EQ(files(controls.folder), Files{});
}

QCoro::Task<> fetchPage(Inet &inet, QString address, QString &page)
{
    page = co_await inet.OpenURL(address);
}

TEST_F(Download, StaysIntactWhileTheWindowIsUsed)
{
    // Once the body flows: a page fetch (a search) on its own transfer, and a
    // download click on another row, which is refused.
    Inet inet1;
    QString page;
    download(u"/trickle/262144/t.mp3"_s, [&] {
        if (fileDownload.state().BytesDone == 0 || !controls.address.endsWith(u"t.mp3"))
            return;
        controls.address = server.url(u"/bytes/10/other.mp3"_s);
        fetchPage(inet1, server.url(u"/bytes/100/page"_s), page);
        fileDownload.Command3_Click();
    });
    EXPECT_EQ(files(controls.folder), (Files{{u"t.mp3"_s, bodyOf(262144)}}));
    EXPECT_EQ(server.received().size(), 2u);  // the download and the page, not other.mp3
    EXPECT_TRUE(controls.messages.empty());
    EXPECT_EQ(page.size(), 100);
}

}  // namespace
