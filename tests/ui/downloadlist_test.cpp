#include "download/downloadline.h"
#include "download/partfile.h"
#include "download/resume.h"
#include "tests/support/controls.h"
#include "tests/support/folder.h"
#include "tests/support/localserver.h"
#include "ui/downloadlist.h"
#include "ui/openfolder.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QPushButton>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <atomic>
#include <thread>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using plimo::DownloadLine;
using plimo::DownloadState;
using plimo::test::Files;

namespace {

constexpr int Patience = 20'000;  // ms; sanitizer builds on a loaded machine are slow

// Answers /gone.mp3 with 404 and any other path with plimo::test::bodyOf(4096). While holding,
// the body of /held.mp3 stops halfway, so that download runs until it is
// cancelled.
struct FileServer {
    FileServer()
    {
        server.http().Get("/gone.mp3", [](const auto &, auto &response) { response.status = 404; });
        server.http().Get(".*", [this](const auto &request, auto &response) {
            const bool held = request.path == "/held.mp3";
            response.set_content_provider(
                plimo::test::bodyOf(4096).size(), "audio/mpeg",
                [this, held](std::size_t offset, std::size_t, httplib::DataSink &sink) {
                    const QByteArray body = plimo::test::bodyOf(4096),
                                     half = body.left(body.size() / 2);
                    if (offset == 0)
                        return sink.write(half.data(), half.size());
                    while (held && holding)
                        std::this_thread::sleep_for(5ms);
                    return sink.write(body.data() + offset, body.size() - offset);
                });
        });
        server.start();
    }
    ~FileServer() { holding = false; }  // before the server joins its threads
    QString url(const QString &path) const { return server.url(path); }

    std::atomic<bool> holding = true;
    plimo::test::LocalServer server;
};

// A failed download, a held one running and one waiting behind it, in two
// folders, and the list over the line, beside its main window.
struct Scene {
    Scene()
    {
        QDir().mkpath(here);
        QDir().mkpath(other);
        for (const auto &[folder, path] :
             {std::pair{other, u"/gone.mp3"_s}, {here, u"/held.mp3"_s}, {here, u"/later.mp3"_s}}) {
            controls.folder = folder;
            controls.address = server.url(path);
            line.Command3_Click();
        }
    }
    // The main window is shown and active, and the held download runs.
    bool ready()
    {
        window.show();
        const QModelIndex progress = line.index(1, DownloadLine::ProgressColumn);
        return QTest::qWaitForWindowActive(&window) &&
               QTest::qWaitFor([&] { return progress.data(DownloadLine::ProgressRole).isValid(); },
                               Patience);
    }
    QPushButton *button(const QString &text)
    {
        const auto buttons = list.findChildren<QPushButton *>();
        return *std::find_if(buttons.begin(), buttons.end(),
                             [&](QPushButton *b) { return b->text() == text; });
    }

    QTemporaryDir dir;
    const QString here = dir.path() + u"/받은 곳/"_s, other = dir.path() + u"/다른 곳/"_s;
    FileServer server;
    plimo::test::RecordingControls controls;
    plimo::Inet inet;
    DownloadLine line{controls, inet};
    QWidget window;
    plimo::DownloadList list{
        line, [](const QString &folder) { plimo::openFolder(folder, [](const QString &) {}); },
        &window};
    QTableView *table = list.findChild<QTableView *>();
    QPushButton *cancel = button(u"취소"_s), *retry = button(u"다시 받기"_s),
                *remove = button(u"목록에서 제거"_s);
};

}  // namespace

class DownloadListTest final : public QObject {
    Q_OBJECT

public slots:
    void openUrl(const QUrl &url) { m_opened << url; }

private slots:
    void initTestCase();
    void cleanupTestCase();
    void showsOnTheRunningRowAndEnterOpensFolders();
    void buttonsCancelRetryAndRemove();

private:
    QList<QUrl> m_opened;
};

void DownloadListTest::initTestCase()
{
    plimo::PartFile::setNamelessAllowed(false);  // a temporary file left behind shows
    plimo::resume::setRetryDelays({10ms, 30ms});
    QDesktopServices::setUrlHandler(u"file"_s, this, "openUrl");
}

void DownloadListTest::cleanupTestCase()
{
    QDesktopServices::unsetUrlHandler(u"file"_s);
    plimo::resume::setRetryDelays(plimo::resume::DefaultRetryDelays);
    plimo::PartFile::setNamelessAllowed(true);
}

// Shown, closed with Escape, shown again and raised over the main window: one
// window, with the focus on the running row, and the line runs on. Enter
// opens the current row's folder, the running one's and then the failed
// one's, and cancels nothing.
void DownloadListTest::showsOnTheRunningRowAndEnterOpensFolders()
{
    Scene scene;
    QVERIFY(scene.ready());
    scene.list.showList();
    QTRY_COMPARE(QApplication::activeWindow(), static_cast<QWidget *>(&scene.list));
    QTest::keyClick(scene.table, Qt::Key_Tab);  // on to the buttons, where the focus stays
    QVERIFY(qobject_cast<QPushButton *>(QApplication::focusWidget()));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    QVERIFY(!scene.list.isVisible());
    scene.list.showList();
    scene.window.activateWindow();
    QTRY_COMPARE(QApplication::activeWindow(), &scene.window);
    scene.list.showList();
    QTRY_COMPARE(QApplication::activeWindow(), static_cast<QWidget *>(&scene.list));
    const auto topLevels = QApplication::topLevelWidgets();
    QCOMPARE(std::count_if(topLevels.begin(), topLevels.end(),
                           [](QWidget *w) { return w->objectName() == u"DownloadList"_s; }),
             1);
    QTRY_VERIFY(scene.table->hasFocus());
    QCOMPARE(scene.table->selectionModel()->selectedRows(),
             QModelIndexList{scene.line.index(1, 0)});
    QCOMPARE(scene.table->currentIndex().row(), 1);
    QVERIFY(scene.cancel->isEnabled() && !scene.retry->isEnabled() && !scene.remove->isEnabled());

    m_opened.clear();
    QTest::keyClick(scene.table, Qt::Key_Return);
    QTest::keyClick(scene.table, Qt::Key_Up);
    QVERIFY(!scene.cancel->isEnabled() && scene.retry->isEnabled() && scene.remove->isEnabled());
    QTest::keyClick(scene.table, Qt::Key_Enter);
    QCOMPARE(m_opened, (QList{QUrl::fromLocalFile(QDir::cleanPath(scene.here)),
                              QUrl::fromLocalFile(QDir::cleanPath(scene.other))}));
    QCOMPARE(scene.line.state(1), DownloadState::Running);
}

// Delete cancels the running row and leaves nothing of it, and the next one
// lands; 다시 받기 puts the cancelled row back in line and it lands whole;
// 목록에서 제거 takes the failed row out of the list.
void DownloadListTest::buttonsCancelRetryAndRemove()
{
    Scene scene;
    QVERIFY(scene.ready());
    scene.list.showList();
    QTRY_COMPARE(QApplication::activeWindow(), static_cast<QWidget *>(&scene.list));
    QTest::keyClick(scene.table, Qt::Key_Delete);
    QTRY_VERIFY_WITH_TIMEOUT(scene.line.isIdle(), Patience);
    QCOMPARE(scene.line.state(1), DownloadState::Cancelled);
    QCOMPARE(plimo::test::files(scene.here), (Files{{u"later.mp3"_s, plimo::test::bodyOf(4096)}}));

    scene.server.holding = false;
    QVERIFY(!scene.cancel->isEnabled() && scene.retry->isEnabled());
    QTest::mouseClick(scene.retry, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(plimo::test::files(scene.here),
                              (Files{{u"held.mp3"_s, plimo::test::bodyOf(4096)},
                                     {u"later.mp3"_s, plimo::test::bodyOf(4096)}}),
                              Patience);

    QTest::keyClick(scene.table, Qt::Key_PageUp);
    QTest::mouseClick(scene.remove, Qt::LeftButton);
    QCOMPARE(scene.line.rowCount(), 2);
    QVERIFY(scene.line.state(0) == DownloadState::Done &&
            scene.line.state(1) == DownloadState::Done);
}

QTEST_MAIN(DownloadListTest)
#include "downloadlist_test.moc"
