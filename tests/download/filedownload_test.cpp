#include "download/downloadline.h"

#include "tests/support/awaiting.h"
#include "tests/support/controls.h"
#include "tests/support/folder.h"
#include "tests/support/localserver.h"

#include <QScopeGuard>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <tuple>

namespace {

using namespace plimo;
using namespace std::chrono_literals;
using namespace Qt::StringLiterals;
using test::bodyOf;
using test::Files;
using test::RecordingControls;
using Shown = test::RecordingControls::Shown;

QByteArray okHead(qsizetype length)
{
    return "HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(length) + "\r\n";
}

// Why a download failed, as the progress bar shows it.
const QString NotFound = u"서버가 파일을 주지 않았습니다 (응답 404)."_s,
              Refused = u"서버의 응답이 올바른 파일이 아닙니다."_s,
              Unreachable = u"서버에 연결할 수 없습니다."_s,
              Lost = u"서버와의 연결이 끊겼습니다."_s, Slow = u"서버가 너무 느립니다."_s,
              NoFolder = u"폴더에 저장할 수 없습니다."_s;

// A server of a few lines on the test's own thread, for answers no server
// library would write and for steps taken while the download awaits its
// answer. After each request head it sends the head that answer() gives,
// then the body in 16 pieces a millisecond apart, and hangs up (as the head
// says): a body shorter than its length is one cut short.
class RawServer final : public QTcpServer {
public:
    struct Reply {
        QByteArray head, body;
        bool stall = false;  // after the head, nothing more and no hang-up
    };
    using Answer = std::function<Reply(const QByteArray &request)>;

    QList<QByteArray> requests;  // the request heads, in order
    QList<bool> sentWhole;       // per body once it ended: went out whole, the client still there

    explicit RawServer(Answer answer)
    {
        listen(QHostAddress::LocalHost);
        connect(this, &QTcpServer::newConnection, this, [this, answer] {
            QTcpSocket *client = nextPendingConnection();
            connect(client, &QTcpSocket::readyRead, client, [this, answer, client] {
                const QByteArray request = client->readAll();
                if (!request.endsWith("\r\n\r\n"))
                    return;
                requests.append(request);
                const Reply reply = answer(request);
                client->write(reply.head + "Connection: close\r\n\r\n");
                if (!reply.stall)
                    send(client, reply.body);
            });
        });
    }
    QString url(const QString &path = u"/s.mp3"_s) const
    {
        return u"http://127.0.0.1:%1"_s.arg(serverPort()) + path;
    }

private:
    void send(QTcpSocket *client, const QByteArray &body)
    {
        auto *drip = new QTimer(client);
        const qsizetype piece = std::max<qsizetype>(1, (body.size() + 15) / 16);
        connect(drip, &QTimer::timeout, client, [=, this, sent = qsizetype(0)]() mutable {
            const bool there = client->state() == QAbstractSocket::ConnectedState;
            if (there && (sent += client->write(body.mid(sent, piece))) < body.size())
                return;
            sentWhole.append(there);
            drip->stop();
            client->disconnectFromHost();
        });
        drip->start(1);
    }
};

class Download : public ::testing::Test {
protected:
    // Named temporary files, so that one left behind shows in the folder;
    // pauses before another try that keep the tables quick.
    Download()
    {
        PartFile::setNamelessAllowed(false);
        resume::setRetryDelays({10ms, 30ms});
    }
    ~Download() override
    {
        PartFile::setNamelessAllowed(true);
        resume::setRetryDelays(resume::DefaultRetryDelays);
    }

    // Clicks 음악다운 with that address chosen ("": none) and awaits the end.
    void download(const QString &address)
    {
        controls.address = address;
        line.Command3_Click();
        ASSERT_TRUE(test::spinUntil([&] { return line.isIdle(); }, 30s));
    }

    QTemporaryDir dir;
    RecordingControls controls{dir.path() + u'/'};
    Inet inet;
    DownloadLine line{controls, inet};
};

// The file lands under the name the address asks for, however it was
// redirected, in the folder the box names (here without its final "/"). The
// address goes out escaped where it must be, a percent escape kept, and the
// row's trailing blanks go. Label3 shows the size, the bar and Label2 how far
// it has come.
TEST_F(Download, WritesEveryByteUnderTheAddressesNameAndShowsProgress)
{
    RawServer raw([](const QByteArray &request) -> RawServer::Reply {
        if (request.startsWith("GET /moved/"))
            return {"HTTP/1.1 302 Found\r\nLocation: /stored\r\nContent-Length: 0\r\n", {}};
        const qsizetype size = request.startsWith("GET /big/") ? 500'000 : 2500;
        return {okHead(size), bodyOf(size)};
    });
    controls.folder = dir.path() + u"/음악 폴더"_s;
    ASSERT_TRUE(QDir().mkpath(controls.folder));
    download(raw.url(u"/moved/노래 %41#1.mp3  "_s));
    EXPECT_EQ(test::files(controls.folder), (Files{{u"노래 %41#1.mp3"_s, bodyOf(2500)}}));
    EXPECT_TRUE(raw.requests[0].startsWith("GET /moved/%EB%85%B8%EB%9E%98%20%41%231.mp3 HTTP"));
    EXPECT_EQ(controls.sizeTexts, QStringList{u"0.00 MB"_s});
    // At the click and as the download starts, then two chunks and 452 bytes.
    EXPECT_EQ(controls.bar, (std::vector{0, 0, 40, 81, 100}));
    EXPECT_EQ(controls.percentTexts, (QStringList{u"40 %"_s, u"81 %"_s, u"100 %"_s}));
    download(raw.url(u"/big/c.mp3"_s));
    EXPECT_EQ(controls.sizeTexts.last(), u"0.48 MB"_s);
    // The longest name a Linux folder holds; a byte more is refused (below).
    download(raw.url(u"/"_s + QString(255, u'a')));
    EXPECT_TRUE(QFileInfo::exists(controls.folder + u'/' + QString(255, u'a')));
}

// Declined, refused or failed: the folder keeps what it held and nothing more,
// an old file of the name included. A name that cannot be a file in the
// folder is reported in a box; a failure once the request is made shows its
// reason on the bar until the next download starts.
TEST_F(Download, LeavesTheFolderAsItWasWhenAnythingFails)
{
    const QString here = controls.folder;
    ASSERT_TRUE(QDir(here).mkpath(u"f.mp3"_s) && QDir(here).mkpath(u"names"_s));
    ASSERT_TRUE(test::put(here + u"a.mp3"_s, "old") && test::put(here + u"b.mp3"_s, "old") &&
                test::put(here + u"names/b.mp3"_s, "taken"));
    const Files before = test::files(here);
    // /gone/ is not found, and the folder box turns to names/ while /moved/ is awaited.
    RawServer raw([&](const QByteArray &request) -> RawServer::Reply {
        if (request.startsWith("GET /moved/"))
            controls.folder = here + u"names/"_s;
        if (request.startsWith("GET /gone/"))
            return {"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n", {}};
        return {okHead(10), bodyOf(10)};
    });
    const Shown asked{{u"이미 대상 파일이 존재합니다.\r\n삭제하고 계속 하시겠습니까?"_s,
                       MessageStyle::YesNoInformation}},
        refused{
            {u"현재파일 은 다운할수없습니다 다른 파일을 받으세요-_-;"_s, MessageStyle::OkCritical}},
        choose{{u"다운받을 음악을 선택해주세요"_s, MessageStyle::Ok}};
    // The path ("" for no row chosen), the folder box under here, the
    // messages and the reason on the bar.
    std::vector<std::tuple<QString, QString, Shown, QString>> rows = {
        {QString(), {}, choose, {}},
        {u"/gone/a.mp3"_s, {}, asked, NotFound},
        {u"/f.mp3"_s, {}, asked, {}},  // "yes" to a folder of the name
        {u"/b.mp3"_s, u"missing/"_s, {}, NoFolder}};
    for (const QString &name :
         {u""_s, u"."_s, u".."_s, u"get.php?id=3"_s, u"a|\"<b>.mp3"_s, u"..\\..\\x.mp3"_s,
          QString(256, u'a'), u"a\x01.mp3"_s, u"song\u202E3pm.hs"_s, u"\U000E0001x.mp3"_s,
          u"a\u2028b.mp3"_s, u"\uFDD0.mp3"_s, u"\U0010FFFEx.mp3"_s})
        rows.emplace_back(u"/"_s + name, QString(), refused, QString());
    for (const auto &[path, folder, messages, reason] : rows) {
        SCOPED_TRACE((path + u' ' + folder).toStdString());
        controls = RecordingControls(here + folder);
        download(path.isEmpty() ? QString() : raw.url(path));
        EXPECT_EQ(controls.messages, messages);
        EXPECT_EQ(test::files(here), before);
        EXPECT_EQ(test::files(here + u"names"_s), (Files{{u"b.mp3"_s, "taken"}}));
        EXPECT_EQ(controls.failure, reason);
    }
    EXPECT_EQ(raw.requests.size(), 2);  // none for a folder of the name or a refused name

    // The next download clears the reason as it starts, "no" to its question
    // included; "no" keeps the old file; "yes" and a whole new one replace it.
    controls.folder = here;
    download(raw.url(u"/gone/c.mp3"_s));
    EXPECT_EQ(controls.failure, NotFound);
    controls.answer = MessageAnswer::No;
    download(raw.url(u"/a.mp3"_s));
    EXPECT_EQ(controls.failure, QString());
    EXPECT_EQ(test::files(here), before);
    controls.answer = MessageAnswer::Yes;
    download(raw.url(u"/a.mp3"_s));
    EXPECT_EQ(test::files(here).at(u"a.mp3"_s), bodyOf(10));

    // The folder is the box's at the click: typed over while the answer is on
    // its way, it moves nothing, and "yes" replaces only there.
    download(raw.url(u"/moved/b.mp3"_s));
    EXPECT_EQ(test::files(here).at(u"b.mp3"_s), bodyOf(10));
    EXPECT_EQ(test::files(here + u"names"_s), (Files{{u"b.mp3"_s, "taken"}}));
    EXPECT_EQ(controls.failure, QString());
}

// Only a whole, unencoded file whose length is stated once takes the name,
// and a refused answer's body is not read on.
TEST_F(Download, TakesOnlyTheWholeFile)
{
    using Reply = RawServer::Reply;
    constexpr qsizetype Size = 100'000;
    const QByteArray all = bodyOf(Size), ok = "HTTP/1.1 200 OK\r\n",
                     length = "Content-Length: 100000\r\n", whole = ok + length,
                     chunked = "Transfer-Encoding: chunked\r\n",
                     chunks = "186a0\r\n" + all + "\r\n0\r\n\r\n";
    const auto with = [&](const QByteArray &headers) { return Reply{whole + headers, all}; };
    const std::tuple<const char *, Reply, QString> rows[] = {
        {"interim 100 first", {"HTTP/1.1 100 Continue\r\n", whole + "\r\n" + all}, {}},
        {"identity, length twice", with("Content-Encoding: identity\r\n" + length), {}},
        {"not found", {"HTTP/1.1 404 Not Found\r\n" + length, all}, NotFound},
        {"no length", {ok + chunked, chunks}, Refused},
        {"chunked with a length", {whole + chunked, chunks}, Refused},
        {"two lengths", with("Content-Length: 99999\r\n"), Refused},
        {"a length in words", {ok + "Content-Length: 100000 bytes\r\n", all}, Refused},
        {"a range on a 200", with("Content-Range: bytes 0-99999/100000\r\n"), Refused},
        {"compressed", with("Content-Encoding: gzip\r\n"), Refused},
        {"a part not asked for",
         {"HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-99999/100000\r\n" + length, all},
         Refused}};
    for (const auto &[name, reply, reason] : rows) {
        SCOPED_TRACE(name);
        RawServer raw([&](const QByteArray &) { return reply; });
        controls = RecordingControls(dir.path() + u'/');
        download(raw.url());
        const bool saved = reason.isEmpty();
        EXPECT_EQ(test::files(controls.folder), (saved ? Files{{u"s.mp3"_s, all}} : Files()));
        EXPECT_EQ(controls.failure, reason);
        EXPECT_EQ(raw.requests.size(), 1);
        // A refused body is not read on: the server cannot send all of it.
        ASSERT_TRUE(test::spinUntil([&] { return raw.sentWhole.size() == 1; }, 5s));
        EXPECT_EQ(raw.sentWhole.value(0), saved);
        QFile::remove(controls.folder + u"s.mp3"_s);
    }
}

// A dropped connection is tried again, twice. The next try asks for the rest
// only when the first answer named the file with a strong validator, and the
// rest is taken only when it provably belongs to the same file; else that try
// writes nothing and the one after asks for the whole file. Whatever was cut,
// below or above what had reached the disk, the file that lands is one whole
// file, byte for byte, never two spliced together.
TEST_F(Download, HealsADroppedConnectionWithoutSplicingTwoFiles)
{
    using Reply = RawServer::Reply;
    constexpr qsizetype Size = 200'000, Below = 30'000, Above = 150'000;  // the buffer: 65,536
    const QByteArray all = bodyOf(Size), other = bodyOf(Size + 1).mid(1),
                     date = "Date: Tue, 08 Dec 2026 10:00:00 GMT\r\n",
                     old = "Mon, 07 Dec 2026 10:00:00 GMT",
                     second = "Tue, 08 Dec 2026 09:59:59 GMT",
                     same = "Tue, 08 Dec 2026 10:00:00 GMT",
                     later = "Tue, 08 Dec 2026 10:00:01 GMT";
    const auto tag = [](const char *value) { return "ETag: " + QByteArray(value) + "\r\n"; };
    const auto modified = [](const QByteArray &when) { return "Last-Modified: " + when + "\r\n"; };
    // The whole file with these validators, cut after `cut` bytes (0: not cut).
    const auto whole = [&](const QByteArray &validators, qsizetype cut = 0) {
        return Reply{"HTTP/1.1 200 OK\r\nContent-Length: 200000\r\n" + date + validators,
                     cut > 0 ? all.left(cut) : all};
    };
    // A 206 for the rest from `from`, of `body` (another file's bytes for a
    // splice), with that total ("200000" or "*") and those validators.
    const auto rest = [&](qsizetype from, const QByteArray &total, const QByteArray &validators,
                          const QByteArray &body) {
        return Reply{"HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " +
                         QByteArray::number(from) + "-199999/" + total + "\r\nContent-Length: " +
                         QByteArray::number(Size - from) + "\r\n" + date + validators,
                     body.mid(from)};
    };
    const QByteArray strong = tag("\"v1\""), weakOld = tag("W/\"v1\"") + modified(old);
    // The answers in turn (the last repeats); what each request asked for,
    // 'w' the whole file and 'r' the rest; the If-Range a request for the
    // rest carries; the reason on the bar ("" for the file landing).
    const std::tuple<const char *, QList<Reply>, QByteArray, QByteArray, QString> rows[] = {
        {"strong tag, cut below the buffer, the same tag's rest",
         {whole(strong, Below), rest(Below, "200000", strong, all)},
         "wr",
         "\"v1\"",
         {}},
        {"strong tag, cut above, the same tag's rest of unknown total",
         {whole(strong, Above), rest(Above, "*", strong, all)},
         "wr",
         "\"v1\"",
         {}},
        {"strong tag, cut below, another tag's rest",
         {whole(strong, Below), rest(Below, "*", tag("\"v2\""), other), whole(strong)},
         "wrw",
         "\"v1\"",
         {}},
        {"strong tag, cut above, a rest without a tag",
         {whole(strong, Above), rest(Above, "200000", modified(old), other), whole(strong)},
         "wrw",
         "\"v1\"",
         {}},
        {"strong tag, cut above, the whole file again",
         {whole(strong, Above), whole(strong)},
         "wr",
         "\"v1\"",
         {}},
        {"strong tag, cut above, the rest of a longer file",
         {whole(strong, Above), rest(Above, "200001", strong, all), whole(strong)},
         "wrw",
         "\"v1\"",
         {}},
        {"strong tag, cut below, a rest a byte shorter than the rest",
         {whole(strong, Below),
          Reply{"HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 30000-199999/200000\r\n"
                "Content-Length: 169999\r\n" +
                    date + strong,
                all.mid(Below, Size - Below - 1)},
          whole(strong)},
         "wrw",
         "\"v1\"",
         {}},
        {"strong tag, cut below, a rest one byte off",
         {whole(strong, Below), rest(Below + 1, "200000", strong, all), whole(strong)},
         "wrw",
         "\"v1\"",
         {}},
        {"old date, cut above, the same date's rest",
         {whole(modified(old), Above), rest(Above, "200000", modified(old), all)},
         "wr",
         old,
         {}},
        {"old date, cut below, another date's rest",
         {whole(modified(old), Below), rest(Below, "*", modified(second), other),
          whole(modified(old))},
         "wrw",
         old,
         {}},
        {"old date, cut above, a rest that brings a tag",
         {whole(modified(old), Above), rest(Above, "*", strong + modified(old), other),
          whole(modified(old))},
         "wrw",
         old,
         {}},
        {"a date one second before Date, cut below, the same date's rest",
         {whole(modified(second), Below), rest(Below, "*", modified(second), all)},
         "wr",
         second,
         {}},
        {"a date equal to Date, cut above",
         {whole(modified(same), Above), whole(modified(same))},
         "ww",
         {},
         {}},
        {"a date later than Date, cut below",
         {whole(modified(later), Below), whole(modified(later))},
         "ww",
         {},
         {}},
        {"weak tag beside an old date, cut above",
         {whole(weakOld, Above), whole(weakOld)},
         "ww",
         {},
         {}},
        {"no validator, cut below", {whole({}, Below), whole({})}, "ww", {}, {}},
        {"another tag's rest on the last try",
         {whole(strong, Below), rest(Below, "200000", strong, all.left(Above)),
          rest(Above, "200000", tag("\"v2\""), other)},
         "wrr",
         "\"v1\"",
         Refused},
        {"cut every time", {whole({}, Below)}, "www", {}, Lost},
        {"silent after the head every time", {Reply{whole({}).head, {}, true}}, "www", {}, Slow},
        {"nothing listens", {}, "", {}, Unreachable}};
    inet.setRequestTimeout(1s);  // a silent server is too slow within a second
    for (const auto &[name, replies, asked, validator, reason] : rows) {
        SCOPED_TRACE(name);
        RawServer raw([&, replies = replies](const QByteArray &) {
            return replies.value(raw.requests.size() - 1, replies.last());
        });
        const QString address = raw.url();
        if (replies.isEmpty())
            raw.close();
        controls = RecordingControls(dir.path() + u'/');
        download(address);
        EXPECT_EQ(test::files(controls.folder),
                  (reason.isEmpty() ? Files{{u"s.mp3"_s, all}} : Files()));
        EXPECT_EQ(controls.failure, reason);
        ASSERT_EQ(raw.requests.size(), asked.size());
        for (qsizetype i = 0; i < asked.size(); ++i) {
            const QByteArray &request = raw.requests[i];
            EXPECT_EQ(request.contains("\nRange: bytes="), asked[i] == 'r') << i;
            EXPECT_EQ(request.contains("\nIf-Range: " + validator + "\r\n"), asked[i] == 'r') << i;
        }
        if (asked.startsWith("wr")) {  // the rest from exactly where the cut was
            EXPECT_TRUE(raw.requests[1].contains(
                "\nRange: bytes=" + QByteArray::number(replies[0].body.size()) + "-\r\n"));
        }
        if (reason != Slow) {
            ASSERT_TRUE(test::spinUntil([&] { return raw.sentWhole.size() == asked.size(); }, 5s));
        }
        QFile::remove(controls.folder + u"s.mp3"_s);
    }
}

// Clicks made while one download runs wait their turn, in click order, each
// with the folder box's text at its click; the same address into the same
// folder again adds nothing, and a name that a waiting download will write
// there is asked about as if the file existed. A cancelled download, waiting
// or cut between two chunks, leaves nothing, and neither it nor a failure
// stops the line. The summary for the bar names each as it starts, with what
// waits and what failed, and the failure's reason once it has failed.
TEST_F(Download, LinesUpClicksInOrderEachWithItsOwnFolder)
{
    RawServer raw([](const QByteArray &request) {
        if (request.startsWith("GET /gone/"))
            return RawServer::Reply{"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n", {}};
        return RawServer::Reply{okHead(5000), bodyOf(5000)};
    });
    const QString x = dir.filePath(u"x/"_s), y = dir.filePath(u"y/"_s);
    ASSERT_TRUE(QDir().mkpath(x) && QDir().mkpath(y));
    QStringList summaries;
    QObject::connect(&line, &DownloadLine::summaryChanged, [&](const QString &summary) {
        if (!summary.contains(u" MB"_s))  // how far it has come depends on the timing
            summaries << summary;
    });
    for (const auto &[path, folder] : {std::pair{u"/a.mp3"_s, x},
                                       {u"/b.mp3"_s, x},
                                       {u"/a.mp3"_s, x},
                                       {u"/again/b.mp3"_s, x},
                                       {u"/c.mp3"_s, y},
                                       {u"/gone/d.mp3"_s, y},
                                       {u"/b.mp3"_s, y}}) {
        controls.address = raw.url(path);
        controls.folder = folder;
        line.Command3_Click();
    }
    controls.folder = dir.path();  // typed over before any of them started
    line.cancel({3});
    controls.onProgress = [&](int percent) {
        if (percent > 0 && line.runningRow() == 0)
            line.cancelCurrent();
    };
    ASSERT_TRUE(test::spinUntil([&] { return line.isIdle(); }, 30s));
    QList<QByteArray> paths;
    for (const QByteArray &request : raw.requests)
        paths << request.split(' ').value(1);
    EXPECT_EQ(paths,
              (QList<QByteArray>{"/a.mp3", "/b.mp3", "/again/b.mp3", "/gone/d.mp3", "/b.mp3"}));
    EXPECT_EQ(test::files(x), (Files{{u"b.mp3"_s, bodyOf(5000)}}));
    EXPECT_EQ(test::files(y), (Files{{u"b.mp3"_s, bodyOf(5000)}}));
    using enum DownloadState;
    std::vector<DownloadState> states;
    for (int row = 0; row < line.rowCount(); ++row)
        states.push_back(line.state(row));
    EXPECT_EQ(states, (std::vector{Cancelled, Done, Done, Cancelled, Failed, Done}));
    const auto texts = [&](int row) {
        QStringList shown;
        for (int column = 0; column < DownloadLine::ColumnCount; ++column)
            shown << line.data(line.index(row, column)).toString();
        return shown;
    };
    EXPECT_EQ(texts(1), (QStringList{u"b.mp3"_s, x, u"0.00 MB"_s, u"100 %"_s, {}, {}, u"완료"_s}));
    EXPECT_EQ(texts(3), (QStringList{u"c.mp3"_s, y, {}, {}, {}, {}, u"취소됨"_s}));
    EXPECT_EQ(texts(4).last(), NotFound);
    const int cut =
        line.data(line.index(0, DownloadLine::ProgressColumn), DownloadLine::ProgressRole).toInt();
    EXPECT_TRUE(cut > 0 && cut < 100) << cut;  // a cancelled row keeps how far it came
    EXPECT_EQ(controls.messages,
              (Shown{{u"이미 대상 파일이 존재합니다.\r\n삭제하고 계속 하시겠습니까?"_s,
                      MessageStyle::YesNoInformation}}));
    EXPECT_EQ(summaries, (QStringList{u"a.mp3 · 대기 중 4개"_s,
                                      {},
                                      u"b.mp3 · 대기 중 3개"_s,
                                      {},
                                      u"b.mp3 · 대기 중 2개"_s,
                                      {},
                                      u"d.mp3 · 대기 중 1개"_s,
                                      NotFound,
                                      u"b.mp3 · 실패 1개"_s,
                                      {}}));
    EXPECT_EQ(controls.failure, QString());  // the next one cleared it as it started
}

// Another try of a failed download asks again before it replaces a file: the
// "yes" of its first click was for that click. "No" leaves the row failed.
TEST_F(Download, ARetryAsksAgainBeforeReplacing)
{
    RawServer raw([&](const QByteArray &) {
        return raw.requests.size() == 1
                   ? RawServer::Reply{"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n", {}}
                   : RawServer::Reply{okHead(10), bodyOf(10)};
    });
    ASSERT_TRUE(test::put(controls.folder + u"a.mp3"_s, "old"));
    download(raw.url(u"/a.mp3"_s));
    ASSERT_EQ(line.state(0), DownloadState::Failed);
    for (const MessageAnswer answer : {MessageAnswer::No, MessageAnswer::Yes}) {
        controls.answer = answer;
        line.retry({0});
        ASSERT_TRUE(test::spinUntil([&] { return line.isIdle(); }, 10s));
    }
    EXPECT_EQ(controls.messages.size(), 3);  // the click's and each retry's
    EXPECT_EQ(raw.requests.size(), 2);
    EXPECT_EQ(line.state(0), DownloadState::Done);
    EXPECT_EQ(test::files(controls.folder), (Files{{u"a.mp3"_s, bodyOf(10)}}));
}

TEST_F(Download, ACloseDuringThePauseBeforeAnotherTryEndsIt)
{
    resume::setRetryDelays(resume::DefaultRetryDelays);
    RawServer raw([&](const QByteArray &) {
        QTimer::singleShot(300ms, &raw, [&] { line.stop(); });  // within the 1 s pause
        return RawServer::Reply{okHead(100), bodyOf(50)};
    });
    download(raw.url());
    EXPECT_EQ(raw.requests.size(), 1);
    EXPECT_EQ(test::files(controls.folder), Files{});
}

// Whoever owns a download may drop it mid-body: it ends there and then, while
// the transfer component it awaits is still about, shows nothing and leaves
// nothing behind. A click meanwhile waits in line and never starts.
TEST_F(Download, EndsWhenDroppedMidBody)
{
    RawServer raw([](const QByteArray &) {
        return RawServer::Reply{okHead(4'000'000), bodyOf(4'000'000)};
    });
    Inet inet2;
    auto doomed = std::make_unique<DownloadLine>(controls, inet2);
    controls.address = raw.url(u"/t.mp3"_s);
    doomed->Command3_Click();
    ASSERT_TRUE(test::spinUntil(
        [&] { return doomed->data(doomed->index(0, DownloadLine::ProgressColumn)) != QString(); },
        5s));
    controls.address = raw.url(u"/other.mp3"_s);
    doomed->Command3_Click();
    doomed.reset();
    EXPECT_EQ(raw.requests.size(), 1);
    EXPECT_EQ(controls.failure, QString());
    EXPECT_EQ(test::files(controls.folder), Files{});
}

// While a search holds six pages open through the one proxy that every
// request shares, a download still gets a connection of its own and lands.
TEST_F(Download, LandsBesideTheSixPagesOfASearch)
{
    test::LocalServer proxy;
    std::atomic<int> held = 0;
    std::atomic<bool> released = false;
    proxy.http().Get(".*/page", [&](const auto &, auto &res) {
        ++held;
        for (int i = 0; i < 1000 && !released; ++i)
            std::this_thread::sleep_for(10ms);
        res.set_content("page", "text/html");
    });
    proxy.http().Get(".*/beside.mp3",
                     [](const auto &, auto &res) { res.set_content("file", "audio/mpeg"); });
    proxy.start();
    const auto release = qScopeGuard([&] { released = true; });
    const test::ScopedEnv viaProxy("http_proxy", proxy.proxyAddress());
    Inet inet1;
    int pages[6] = {-1, -1, -1, -1, -1, -1};
    for (int &outcome : pages)
        test::record(inet1.OpenURL(u"http://search.test/page"_s), outcome);
    ASSERT_TRUE(test::spinUntil([&] { return held == 6; }, 5s));

    controls.address = u"http://files.test/beside.mp3"_s;
    line.Command3_Click();
    EXPECT_TRUE(test::spinUntil([&] { return line.isIdle(); }, 5s));
    EXPECT_EQ(test::files(controls.folder), (Files{{u"beside.mp3"_s, "file"}}));
    released = true;
    EXPECT_TRUE(test::spinUntil([&] { return std::ranges::count(pages, 0) == 6; }, 5s));
}

}  // namespace
