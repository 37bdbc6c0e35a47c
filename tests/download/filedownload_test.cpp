#include "download/filedownload.h"

#include "tests/support/localserver.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>
#include <unistd.h>

// Readable failures: gtest finds this by argument-dependent lookup.
void PrintTo(const QString &text, std::ostream *out)
{
    *out << '"' << text.toStdString() << '"';
}

namespace plimo {
namespace {

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

// The same n bytes every time, different at every offset within a chunk.
std::string bodyOf(std::size_t n)
{
    std::string body(n, '\0');
    std::uint32_t x = 2463534242u;
    for (char &c : body) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        c = static_cast<char>(x);
    }
    return body;
}

constexpr std::int64_t ShortBodyCap = 64 * 1024;

class RecordingControls final : public DownloadControls {
public:
    QString address;
    QString folder;
    std::vector<int> bar;
    std::vector<QString> sizeTexts;
    std::vector<QString> percentTexts;
    std::vector<std::pair<QString, MessageStyle>> messages;
    MessageAnswer answer = MessageAnswer::Yes;  // to the question of replacing
    std::function<void()> onEvents;

    QString selectedAddress() const override { return address; }
    QString destinationFolder() const override { return folder; }
    void setProgressValue(int percent) override { bar.push_back(percent); }
    int progressValue() const override { return bar.empty() ? 100 : bar.back(); }
    void setSizeText(const QString &text) override { sizeTexts.push_back(text); }
    void setPercentText(const QString &text) override { percentTexts.push_back(text); }
    MessageAnswer showMessage(const QString &text, MessageStyle style) override
    {
        messages.emplace_back(text, style);
        return style == MessageStyle::YesNoInformation ? answer : MessageAnswer::Ok;
    }
    void processEvents() override
    {
        if (onEvents)
            onEvents();
    }
};

const std::pair Exists{u"이미 대상 파일이 존재합니다.\r\n삭제하고 계속 하시겠습니까?"_s,
                       MessageStyle::YesNoInformation};
const std::pair Refused{u"현재파일 은 다운할수없습니다 다른 파일을 받으세요-_-;"_s,
                        MessageStyle::OkCritical};

// /<kind>/<n>/<name>: n bytes, a status n, n announced and at most 64 KiB
// sent, n bytes a millisecond per 4 KiB, a body without length, a redirect,
// or an answer that takes 400 ms.
void serveDownloads(httplib::Server &http)
{
    http.Get(R"(/(\w+)/(\d+)/.*)", [](const httplib::Request &req, httplib::Response &res) {
        const std::string kind = req.matches[1];
        const auto n = static_cast<std::size_t>(std::stoull(req.matches[2]));
        const auto body = std::make_shared<std::string>(
            bodyOf(kind == "short" ? std::min<std::size_t>(n / 2, ShortBodyCap) : n));
        if (kind == "status") {
            res.status = static_cast<int>(n);
            res.set_content("<html>not here</html>", "text/html");
        } else if (kind == "nolength") {
            res.set_chunked_content_provider("audio/mpeg", [](std::size_t, auto &sink) {
                sink.write("abc", 3);
                sink.done();
                return true;
            });
        } else if (kind == "redirect") {
            res.set_redirect("/bytes/3000/stored");
        } else if (kind == "short" || kind == "trickle") {
            const bool slowly = kind == "trickle";
            res.set_content_provider(n, "audio/mpeg", [=](std::size_t at, std::size_t, auto &sink) {
                if (slowly)
                    std::this_thread::sleep_for(1ms);
                sink.write(body->data() + at, std::min<std::size_t>(body->size() - at, 4096));
                return at + 4096 < body->size() || slowly;
            });
        } else {
            if (kind == "slow")
                std::this_thread::sleep_for(400ms);
            res.set_content(*body, "audio/mpeg");
        }
    });
}

class Download : public ::testing::Test {
protected:
    void SetUp() override
    {
        serveDownloads(server.http());
        server.start();
        controls.folder = dir.path() + u'/';
    }

    // Downloads pathAndName from the server into controls.folder.
    void download(const QString &pathAndName)
    {
        controls.address = server.url(pathAndName);
        fileDownload.Command3_Click();
    }

    QStringList entries(const QString &folder) const
    {
        return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                      QDir::NoDotAndDotDot);
    }
    QStringList entries() const { return entries(controls.folder); }

    QByteArray contents(const QString &name) const
    {
        QFile file(controls.folder + name);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }

    void writeFile(const QString &name, const QByteArray &bytes) const
    {
        QFile file(controls.folder + name);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }

    test::LocalServer server;
    QTemporaryDir dir;
    RecordingControls controls;
    Inet inet;
    FileDownload fileDownload{controls, inet};
};

TEST_F(Download, WritesTheBodyExactlyAndShowsItsProgress)
{
    const struct {
        const char *name;
        std::size_t size;
        QString sizeText;
    } rows[] = {
        {"no bytes: nothing written", 0, {}},         {"one byte", 1, u"0.00 MB"_s},
        {"one short of a chunk", 1023, u"0.00 MB"_s}, {"one chunk", 1024, u"0.00 MB"_s},
        {"one past a chunk", 1025, u"0.00 MB"_s},     {"two chunks and 452", 2500, u"0.00 MB"_s},
        {"half a million", 500'000, u"0.48 MB"_s},    {"3.5 million", 3'500'000, u"3.34 MB"_s},
        {"5 MiB", 5 * 1024 * 1024, u"5.00 MB"_s},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        controls.folder = dir.path() + u'/' + QString::number(row.size) + u'/';
        ASSERT_TRUE(QDir().mkpath(controls.folder));
        controls.bar.clear();
        controls.sizeTexts.clear();
        download(u"/bytes/%1/song.mp3"_s.arg(row.size));

        EXPECT_TRUE(controls.messages.empty());
        if (row.size == 0) {
            EXPECT_TRUE(entries().isEmpty());
            continue;
        }
        EXPECT_EQ(entries(), QStringList{u"song.mp3"_s});
        EXPECT_EQ(contents(u"song.mp3"_s), QByteArray::fromStdString(bodyOf(row.size)));
        EXPECT_EQ(fileDownload.state().BytesDone, static_cast<std::int64_t>(row.size));
        EXPECT_EQ(controls.sizeTexts, std::vector{row.sizeText});
        EXPECT_EQ(controls.percentTexts.back(), u"100 %"_s);
        // 0 before the first chunk, then each value once, up to 100.
        EXPECT_EQ(controls.bar.back(), 100);
        EXPECT_EQ(std::adjacent_find(controls.bar.begin() + 1, controls.bar.end(),
                                     std::greater_equal<>()),
                  controls.bar.end());
    }
    controls.bar.clear();
    controls.percentTexts.clear();
    download(u"/bytes/2500/two-and-a-bit.mp3"_s);
    EXPECT_EQ(controls.bar, (std::vector{0, 40, 81, 100}));
    EXPECT_EQ(controls.percentTexts, (std::vector{u"40 %"_s, u"81 %"_s, u"100 %"_s}));
}

TEST_F(Download, AsksBeforeReplacingAndNeverLosesWhatExists)
{
    const QByteArray old("the old song");
    const QByteArray fresh = QByteArray::fromStdString(bodyOf(2000));
    const struct {
        const char *name;
        MessageAnswer answer;
        QString path;
        QByteArray expected;  // empty: a folder has the name
    } rows[] = {
        {"no keeps the file untouched", MessageAnswer::No, u"/bytes/2000/a.mp3"_s, old},
        {"yes replaces it", MessageAnswer::Yes, u"/bytes/2000/a.mp3"_s, fresh},
        {"yes and a 404 keeps it", MessageAnswer::Yes, u"/status/404/a.mp3"_s, old},
        {"yes and a short body keeps it", MessageAnswer::Yes, u"/short/9000/a.mp3"_s, old},
        {"yes on a folder ends quietly", MessageAnswer::Yes, u"/bytes/2000/a.mp3"_s, {}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        QDir(controls.folder).removeRecursively();
        QDir().mkpath(controls.folder + (row.expected.isEmpty() ? u"a.mp3"_s : QString()));
        if (!row.expected.isEmpty())
            writeFile(u"a.mp3"_s, old);
        controls.messages.clear();
        controls.answer = row.answer;
        const auto requestsBefore = server.received().size();
        download(row.path);

        EXPECT_EQ(controls.messages, std::vector{Exists});
        EXPECT_EQ(entries(), QStringList{u"a.mp3"_s});
        if (row.expected.isEmpty())
            EXPECT_TRUE(QFileInfo(controls.folder + u"a.mp3"_s).isDir());
        else
            EXPECT_EQ(contents(u"a.mp3"_s), row.expected);
        const bool asked = row.answer == MessageAnswer::Yes && !row.expected.isEmpty();
        EXPECT_EQ(server.received().size(), requestsBefore + asked);
    }
}

TEST_F(Download, RefusesNamesThatCannotBeAFileInTheFolder)
{
    const QString names[] = {
        u""_s,
        u"."_s,
        u".."_s,
        u"   "_s,
        u"get.php?id=3"_s,
        u"a:b"_s,
        u"*.mp3"_s,
        u"a|\"<b>.mp3"_s,
        u"..\\..\\x.mp3"_s,
        u"a\x01.mp3"_s,
        QString(256, u'a'),
    };
    for (const QString &name : names) {
        SCOPED_TRACE(name.toStdString());
        controls.messages.clear();
        controls.bar.clear();
        download(u"/bytes/10/"_s + name);
        EXPECT_EQ(controls.messages, std::vector{Refused});
        EXPECT_EQ(controls.bar, std::vector{0});
    }
    EXPECT_TRUE(server.received().empty());
    EXPECT_TRUE(entries().isEmpty());
}

TEST_F(Download, NamesTheFileAfterTheAddressAsWritten)
{
    const struct {
        const char *name;
        QString folder, path, file;
        std::string target;
    } rows[] = {
        {"percent escape kept", u"1/"_s, u"/bytes/10/a%20b.mp3"_s, u"a%20b.mp3"_s,
         "/bytes/10/a%20b.mp3"},
        {"trailing blanks dropped", u"2/"_s, u"/bytes/10/c.mp3  "_s, u"c.mp3"_s, "/bytes/10/c.mp3"},
        {"hangul folder and name", u"음악 폴더/"_s, u"/bytes/10/노래.mp3"_s, u"노래.mp3"_s,
         "/bytes/10/%EB%85%B8%EB%9E%98.mp3"},
        {"folder without its slash", u"3"_s, u"/bytes/10/d.mp3"_s, u"d.mp3"_s, "/bytes/10/d.mp3"},
        {"redirected: named as asked", u"4/"_s, u"/redirect/0/r.mp3"_s, u"r.mp3"_s,
         "/bytes/3000/stored"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        controls.folder = dir.path() + u'/' + row.folder;
        ASSERT_TRUE(QDir().mkpath(controls.folder));
        download(row.path);
        EXPECT_EQ(entries(controls.folder), QStringList{row.file});
        EXPECT_EQ(server.received().back().target, row.target);
    }
}

TEST_F(Download, WritesNothingWhenTheTransferOrTheFolderFails)
{
    QTemporaryDir elsewhere;
    const QString notAFolder = elsewhere.path() + u"/file"_s;
    ASSERT_TRUE(QFile(notAFolder).open(QIODevice::WriteOnly));
    const QString here = controls.folder;
    const struct {
        const char *name;
        QString address, folder, sizeShown;
    } rows[] = {
        {"no content length", server.url(u"/nolength/0/a.mp3"_s), here, {}},
        {"404", server.url(u"/status/404/a.mp3"_s), here, {}},
        {"500", server.url(u"/status/500/a.mp3"_s), here, {}},
        {"no server", u"http://127.0.0.1:1/a.mp3"_s, here, {}},
        {"body cut short", server.url(u"/short/10000/a.mp3"_s), here, u"0.01 MB"_s},
        {"folder missing", server.url(u"/bytes/10/a.mp3"_s), here + u"missing/"_s, u"0.00 MB"_s},
        {"folder is a file", server.url(u"/bytes/10/a.mp3"_s), notAFolder + u'/', u"0.00 MB"_s},
        {"over 2 GiB, cut short", server.url(u"/short/3221225472/a.mp3"_s), here, u"3,072.00 MB"_s},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        controls.sizeTexts.clear();
        controls.folder = row.folder;
        controls.address = row.address;
        fileDownload.Command3_Click();
        EXPECT_TRUE(controls.messages.empty());
        EXPECT_TRUE(entries(here).isEmpty());
        EXPECT_EQ(entries(elsewhere.path()), QStringList{u"file"_s});
        EXPECT_LT(controls.progressValue(), 100);
        EXPECT_EQ(controls.sizeTexts.empty() ? QString() : controls.sizeTexts[0], row.sizeShown);
    }
    // The last cut-short body: 64-bit size, bytes counted as they arrived.
    EXPECT_EQ(fileDownload.state().FileSize, 3221225472);
    EXPECT_EQ(fileDownload.state().BytesDone, ShortBodyCap);
}

TEST_F(Download, ReadOnlyFolderLeavesNothing)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "root writes into read-only folders; 'folder is a file' covers it";
    QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::ExeOwner);
    download(u"/bytes/10/a.mp3"_s);
    QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    EXPECT_TRUE(entries().isEmpty());
    EXPECT_TRUE(controls.messages.empty());
}

TEST_F(Download, AsksForASelectionFirst)
{
    fileDownload.Command3_Click();
    const std::pair choose{u"다운받을 음악을 선택해주세요"_s, MessageStyle::Ok};
    EXPECT_EQ(controls.messages, std::vector{choose});
    EXPECT_TRUE(controls.bar.empty());
    EXPECT_TRUE(server.received().empty());
}

TEST_F(Download, StaysIntactWhileTheWindowIsUsed)
{
    // Once the body flows: a row click, a page fetch and a second download click.
    Inet inet1;
    bool used = false;
    controls.onEvents = [&] {
        if (fileDownload.state().BytesDone == 0 || std::exchange(used, true))
            return;
        controls.address = server.url(u"/bytes/10/other.mp3"_s);
        EXPECT_FALSE(inet1.OpenURL(server.url(u"/bytes/100/page"_s)).isEmpty());
        fileDownload.Command3_Click();
        EXPECT_TRUE(fileDownload.isRunning());
    };
    download(u"/trickle/262144/t.mp3"_s);
    EXPECT_TRUE(used);
    EXPECT_FALSE(fileDownload.isRunning());
    EXPECT_EQ(entries(), QStringList{u"t.mp3"_s});
    EXPECT_EQ(contents(u"t.mp3"_s), QByteArray::fromStdString(bodyOf(262144)));
    EXPECT_EQ(server.received().size(), 2u);  // the download and the page, not other.mp3
    EXPECT_TRUE(controls.messages.empty());
}

TEST_F(Download, StopLeavesNothingBehind)
{
    for (const QString &path : {u"/trickle/262144/s.mp3"_s, u"/slow/5000/s.mp3"_s}) {
        SCOPED_TRACE(path.toStdString());  // stopped in the body, stopped while awaited
        writeFile(u"s.mp3"_s, "old");
        controls.onEvents = [&] {
            if (path.startsWith(u"/slow") || fileDownload.state().BytesDone > 0)
                fileDownload.stop();
        };
        const auto started = std::chrono::steady_clock::now();
        download(path);
        EXPECT_LT(std::chrono::steady_clock::now() - started, 300ms);
        EXPECT_FALSE(fileDownload.isRunning());
        EXPECT_EQ(entries(), QStringList{u"s.mp3"_s});
        EXPECT_EQ(contents(u"s.mp3"_s), QByteArray("old"));
    }
    controls.onEvents = nullptr;
    fileDownload.stop();  // no download: nothing happens, the next one runs
    download(u"/bytes/10/n.mp3"_s);
    EXPECT_EQ(contents(u"n.mp3"_s), QByteArray::fromStdString(bodyOf(10)));
}

}  // namespace
}  // namespace plimo
