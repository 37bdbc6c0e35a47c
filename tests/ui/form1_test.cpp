#include "download/partfile.h"
#include "platform/quitsignals.h"
#include "tests/support/folder.h"
#include "tests/support/localserver.h"
#include "tests/ui/modaldialog.h"
#include "tools/portal/catalogue.h"
#include "tools/portal/portal.h"
#include "ui/downloadlist.h"
#include "ui/folderchooser.h"
#include "ui/form1.h"

#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QMenu>
#include <QPushButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <QTreeWidget>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <optional>
#include <thread>

using namespace Qt::StringLiterals;
using plimo::DownloadLine;
using plimo::FolderChooser;
using plimo::test::whenModal;

namespace {

constexpr auto Patience = 20'000;  // ms; sanitizer builds on a loaded machine are slow

// A shown window whose message boxes are recorded and answered (Yes, or OK).
// Controls are found by their names, their texts read and written as properties.
struct ShownForm {
    ShownForm()
    {
        form.setMessageBox([this](QWidget *, const QString &text, plimo::MessageStyle style) {
            messages << text;
            return style == plimo::MessageStyle::YesNoInformation ? plimo::MessageAnswer::Yes
                                                                  : plimo::MessageAnswer::Ok;
        });
        form.show();
    }
    QWidget *find(const QString &name) { return form.findChild<QWidget *>(name); }
    void setText(const QString &name, const QString &text)
    {
        find(name)->setProperty("text", text);
    }
    QString text(const QString &name) { return find(name)->property("text").toString(); }
    void click(const QString &name) { QTest::mouseClick(find(name), Qt::LeftButton); }
    bool searching() { return !find(u"Command1"_s)->isEnabled(); }
    QTreeWidget *list() { return form.findChild<QTreeWidget *>(u"ListView1"_s); }
    void clickRow(int row, Qt::MouseButton button = Qt::LeftButton)
    {
        const QRect rect = list()->visualItemRect(list()->topLevelItem(row));
        QTest::mouseClick(list()->viewport(), button, {}, rect.center());
    }
    plimo::Form1 form;
    QStringList messages;
};

using plimo::test::Files;

// The sample portal behind http_proxy, so every host of the program lands here,
// with result pages held back while their bit (1 << page) is set in `held`, and
// files /flow<bytes>.wav that flow at 25 kB/s.
struct PortalServer {
    explicit PortalServer(unsigned heldPages) : held(heldPages)
    {
        server.http().Get(R"(.*/flow(\d+)\.wav)", [](const auto &request, auto &response) {
            response.set_content_provider(
                std::stoull(request.matches[1]), "audio/wav",
                [](std::size_t, std::size_t length, httplib::DataSink &sink) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                    const std::string block(std::min<std::size_t>(500, length), 'w');
                    return sink.write(block.data(), block.size());
                });
        });
        portal.install(server.http());
        // Held no longer than a minute, so that a client that stops reading cannot
        // keep the server from ending.
        server.http().set_post_routing_handler([this](const auto &request, auto &) {
            const auto start = request.target.find("&start=");  // 1, 11, ... 91
            const int page = start == std::string::npos
                                 ? 0
                                 : std::atoi(request.target.c_str() + start + 7) / 10 + 1;
            const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            while (page > 0 && (held >> page & 1) && std::chrono::steady_clock::now() < giveUp)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        });
        server.start();
        proxy.emplace("http_proxy", server.proxyAddress());
    }
    ~PortalServer() { held = 0; }  // before the server joins its threads
    int requests() const { return int(server.received().size()); }

    plimo::portal::Portal portal;  // outlives the server's threads
    std::atomic<unsigned> held;
    plimo::test::LocalServer server;
    std::optional<plimo::test::ScopedEnv> proxy;
};

constexpr unsigned pages(int first, int last)
{
    return (2u << last) - (1u << first);
}

}  // namespace

class Form1Test final : public QObject {
    Q_OBJECT

public slots:
    void openUrl(const QUrl &url) { m_opened << url; }

private slots:
    void initTestCase();
    void aSearchLeavesTheWindowLive();
    void rowsFollowThePagesOrder();
    void closingEndsSearchAndDownload_data();
    void closingEndsSearchAndDownload();
    void failureShowsOnTheBar();
    void foldersAreChosenInTheDialog();
    void homeLinkOpensTheInstalledPageOrSaysWhereItIs();
    void downloadsLineUpAndTheBarsMenuCancelsAndOpens();

private:
    QList<QUrl> m_opened;
    QTemporaryDir m_config;
};

// The remembered folder lives here, never in the user's own settings.
void Form1Test::initTestCase()
{
    QVERIFY(m_config.isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config.path()));
}

// With the first six result pages held, the window stays live: Enter starts
// one search however often it is pressed, and a download beside it, behind
// the folder dialog, completes; the search then ends with its count.
void Form1Test::aSearchLeavesTheWindowLive()
{
    PortalServer portal(pages(1, 6));
    ShownForm shown;
    QCOMPARE(shown.text(u"Text2"_s), QDir::currentPath() + u'/');
    QTemporaryDir folder;
    shown.setText(u"Text2"_s, folder.path() + u'/');
    shown.setText(u"Text1"_s, u"spring+waltz"_s);
    QTest::keyClick(shown.find(u"Text1"_s), Qt::Key_Return);
    QVERIFY(shown.searching() && shown.form.cursor().shape() == Qt::BusyCursor);
    QTest::keyClick(shown.find(u"Text1"_s), Qt::Key_Return);
    QTRY_COMPARE_WITH_TIMEOUT(portal.requests(), 6, Patience);
    QCOMPARE(shown.text(u"Label1"_s), u"검색중.... "_s);

    shown.setText(u"Text3"_s, portal.server.url(u"/flow30000.wav"_s));
    shown.click(u"Command3"_s);
    bool doneBehindDialog = false;
    whenModal<FolderChooser>([&](FolderChooser *dialog) {
        doneBehindDialog = QTest::qWaitFor([&] { return shown.form.line().isIdle(); }, Patience) &&
                           dialog->isVisible() && shown.searching();
        dialog->reject();
    });
    shown.click(u"Command2"_s);
    QVERIFY(doneBehindDialog);
    QCOMPARE(plimo::test::files(folder.path()),
             (Files{{u"flow30000.wav"_s, QByteArray(30'000, 'w')}}));
    QCOMPARE(portal.requests(), 7);  // one search, never more than six pages at once

    portal.held = 0;
    QTRY_COMPARE_WITH_TIMEOUT(shown.text(u"Label1"_s),
                              u"%1 개 검색되었습니다."_s.arg(plimo::portal::expectedRows().size()),
                              Patience);
    QVERIFY(!shown.searching() && shown.form.cursor().shape() == Qt::ArrowCursor);
    const auto sent = portal.server.received();
    QCOMPARE(sent.size(), 11 + plimo::portal::posts().size());
    QVERIFY(std::ranges::any_of(
        sent, [](const auto &r) { return r.target.ends_with("&start=1&query=spring+waltz"); }));
}

// Page 1 answers last, yet the rows follow the pages' order. A left click or
// the keyboard, never another button, puts a row's address in Text3.
void Form1Test::rowsFollowThePagesOrder()
{
    PortalServer portal(pages(1, 1));
    ShownForm shown;
    shown.click(u"Command1"_s);
    QTRY_COMPARE_WITH_TIMEOUT(portal.requests(), 10, Patience);  // every result page
    portal.held = 0;
    QTRY_VERIFY_WITH_TIMEOUT(!shown.searching(), Patience);
    QStringList rows, wanted;
    for (int row = 0; row < shown.list()->topLevelItemCount(); ++row)
        rows << shown.list()->topLevelItem(row)->text(0)
             << shown.list()->topLevelItem(row)->text(1);
    for (const auto &row : plimo::portal::expectedRows())
        wanted << QString::fromStdString(row.title) << QString::fromStdString(row.address);
    QCOMPARE(rows, wanted);
    QVERIFY(dynamic_cast<plimo::SingleLineDelegate *>(shown.list()->itemDelegate()));

    shown.clickRow(1);
    QCOMPARE(shown.text(u"Text3"_s), wanted[3]);
    shown.clickRow(0, Qt::RightButton);
    QTest::keyClick(shown.list(), Qt::Key_Down);
    QCOMPARE(shown.text(u"Text3"_s), wanted[5]);
    QCOMPARE(shown.messages, QStringList());
}

void Form1Test::closingEndsSearchAndDownload_data()
{
    QTest::addColumn<int>("signal");  // 0: the user closes the window
    QTest::newRow("close") << 0;
    QTest::newRow("SIGTERM") << SIGTERM;
    QTest::newRow("SIGINT") << SIGINT;
    QTest::newRow("SIGHUP") << SIGHUP;
}

// Mid-search and mid-download, the window closes at once: no request after,
// no temporary file, the old file of the download's name intact. A quit
// signal first closes an open dialog, which would keep the program alive.
void Form1Test::closingEndsSearchAndDownload()
{
    QFETCH(int, signal);
    plimo::PartFile::setNamelessAllowed(false);  // so that a temporary file left shows
    const auto restore = qScopeGuard([] { plimo::PartFile::setNamelessAllowed(true); });
    PortalServer portal(pages(1, 10));
    ShownForm shown;
    const plimo::QuitSignals quitSignals;
    shown.form.closeWhenAskedToQuit(quitSignals);
    QTemporaryDir folder;
    const QString name = u"flow99999999.wav"_s;
    QFile old(folder.filePath(name));
    QVERIFY(old.open(QIODevice::WriteOnly) && old.write("old"));
    old.close();
    shown.setText(u"Text2"_s, folder.path() + u'/');
    shown.setText(u"Text3"_s, portal.server.url(u'/' + name));
    shown.click(u"Command3"_s);
    shown.click(u"Command1"_s);
    const DownloadLine &line = shown.form.line();
    QTRY_VERIFY_WITH_TIMEOUT(line.runningRow() >= 0 &&
                                 !line.data(line.index(line.runningRow(), DownloadLine::SizeColumn))
                                      .toString()
                                      .isEmpty() &&
                                 portal.requests() == 7,
                             Patience);
    QCOMPARE(plimo::test::files(folder.path()).size(), 2);  // the old file and the temporary one

    bool dialogLeftOpen = false;
    if (signal == 0) {
        shown.form.close();
    } else {
        whenModal<FolderChooser>([&](FolderChooser *dialog) {
            QTimer::singleShot(Patience, dialog, [&, dialog] {
                dialogLeftOpen = true;
                dialog->reject();
            });
            std::raise(signal);
        });
        shown.click(u"Command2"_s);
    }
    QVERIFY(!shown.form.isVisible() && !dialogLeftOpen);
    QVERIFY(shown.form.line().isIdle() && !shown.searching());
    portal.held = 0;  // what the pages answer now must start nothing
    QTest::qWait(500);
    QCOMPARE(portal.requests(), 7);
    QCOMPARE(plimo::test::files(folder.path()), (Files{{name, "old"}}));
}

// A failure before the first byte shows too: the empty bar turns red, the
// reason in its tooltip (which screen readers read too); "" takes it back.
void Form1Test::failureShowsOnTheBar()
{
    ShownForm shown;
    auto &controls = static_cast<plimo::DownloadControls &>(shown.form);
    auto *bar = shown.find(u"ProgressBar1"_s);
    const auto look = [bar] {
        const QImage image = bar->grab().toImage();
        int red = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QColor c = image.pixelColor(x, y);
                red += c.red() > 160 && c.green() < 100 && c.blue() < 100;
            }
        }
        const QString shade = red == 0 ? u"plain"_s : red > bar->width() ? u"red"_s : u"reddish"_s;
        return QStringList{shade, bar->toolTip()};
    };
    const QString reason = u"서버와의 연결이 끊겼습니다."_s;
    controls.setProgressValue(0);
    controls.showFailure(reason);
    QCOMPARE(look(), (QStringList{u"red"_s, reason}));
    controls.showFailure({});
    QCOMPARE(look(), (QStringList{u"plain"_s, {}}));
}

// The real dialog behind "...": it opens on Text2's folder (the root when that
// is gone) with the folder in view, OK ready and the path in the status line,
// which follows the selection; OK puts the choice in Text2, Cancel leaves it.
void Form1Test::foldersAreChosenInTheDialog()
{
    ShownForm shown;
    QTemporaryDir temp;
    const QString parent = QDir(temp.path()).canonicalPath() + u"/a"_s, deep = parent + u"/b"_s;
    QVERIFY(QDir().mkpath(deep));  // a holds only b: Up goes to a
    // Text2, the folder it opens on, the status after Up and OK ("": Cancel), Text2 after
    const std::tuple<QString, QString, QString, QString> rows[] = {
        {deep + u'/', deep, parent, parent + u'/'},
        {deep + u"/gone/"_s, u"/"_s, {}, deep + u"/gone/"_s}};
    for (const auto &[before, opensOn, afterUp, after] : rows) {
        shown.setText(u"Text2"_s, before);
        QStringList seen;
        whenModal<FolderChooser>([&](FolderChooser *dialog) {
            QTest::qWait(300);  // the folders around it fill in meanwhile
            QTreeView *tree = dialog->folderTree();
            const bool inView = QTest::qWaitFor(
                [&] {
                    return tree->viewport()->rect().intersects(
                        tree->visualRect(tree->currentIndex()));
                },
                Patience);
            auto *ok = dialog->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok);
            seen << dialog->selectedPath() << dialog->statusText()
                 << (inView && ok->isEnabled() ? u"ready"_s : u"not ready"_s);
            if (afterUp.isEmpty())
                return dialog->reject();
            QTest::keyClick(tree, Qt::Key_Up);
            seen << dialog->statusText();
            dialog->accept();
        });
        shown.click(u"Command2"_s);
        const QStringList wanted{opensOn, opensOn, u"ready"_s, afterUp};
        QCOMPARE(seen, afterUp.isEmpty() ? wanted.first(3) : wanted);
        QCOMPARE(shown.text(u"Text2"_s), after);
    }
}

// "?" hands the desktop the page installed beside the program (this test sits
// there too); when the desktop cannot open it, a box says where it is.
void Form1Test::homeLinkOpensTheInstalledPageOrSaysWhereItIs()
{
    ShownForm shown;
    QDesktopServices::setUrlHandler(u"file"_s, this, "openUrl");
    shown.click(u"Label5"_s);
    QCOMPARE(m_opened.size(), 1);
    const QString page = m_opened[0].toLocalFile();
    QVERIFY2(QFileInfo(page).isFile(), qPrintable(page));

    QDesktopServices::setUrlHandler(u"file"_s, this, "noSuchSlot");  // refuses every address
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"noSuchSlot"_s));
    shown.click(u"Label5"_s);
    QDesktopServices::unsetUrlHandler(u"file"_s);
    QCOMPARE(shown.messages.size(), 1);
    QVERIFY2(shown.messages[0].endsWith(u'\n' + page), qPrintable(shown.messages[0]));
}

namespace {

// Opens the progress bar's menu as a right click does and clicks the entry
// named what; gives every entry's text and whether it could be chosen.
QStringList chooseFromBarMenu(QWidget *bar, const QString &what)
{
    QStringList entries;
    QTimer::singleShot(50, bar, [&entries, what] {
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        if (menu == nullptr)
            return;
        QAction *wanted = nullptr;
        for (QAction *action : menu->actions()) {
            entries << action->text() + (action->isEnabled() ? u""_s : u" (off)"_s);
            if (action->text() == what)
                wanted = action;
        }
        if (wanted == nullptr || !wanted->isEnabled()) {
            menu->close();
            return;
        }
        QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(wanted).center());
    });
    QContextMenuEvent event(QContextMenuEvent::Mouse, bar->rect().center(),
                            bar->mapToGlobal(bar->rect().center()));
    QApplication::sendEvent(bar, &event);
    return entries;
}

}  // namespace

// A second 음악다운 while one runs waits its turn, a third for the same file
// adds nothing; the bar's tooltip says so. The bar's menu cancels the running
// one, which leaves nothing, and the next lands. The folder of the last
// download opens from the same menu, and the next start offers it again, as
// long as it exists.
void Form1Test::downloadsLineUpAndTheBarsMenuCancelsAndOpens()
{
    PortalServer portal(0);
    QTemporaryDir temp;
    const QString folder = temp.filePath(u"음악"_s);
    QVERIFY(QDir().mkpath(folder));
    const QString cancel = u"현재 다운로드 취소"_s, open = u"저장한 폴더 열기"_s,
                  list = u"다운로드 목록 (Ctrl+J)"_s;
    {
        ShownForm shown;
        QWidget *bar = shown.find(u"ProgressBar1"_s);
        QCOMPARE(chooseFromBarMenu(bar, open),
                 (QStringList{cancel + u" (off)"_s, open + u" (off)"_s, list}));
        shown.setText(u"Text2"_s, folder);
        for (const QString &file : {u"flow200000.wav"_s, u"flow3000.wav"_s, u"flow3000.wav"_s}) {
            shown.setText(u"Text3"_s, portal.server.url(u'/' + file));
            shown.click(u"Command3"_s);
        }
        QCOMPARE(shown.form.line().rowCount(), 2);
        // Speed and time left once a second of it has come (25 kB/s here).
        const QRegularExpression running(
            uR"(^flow200000\.wav · 0\.\d\d / 0\.19 MB · \d+ KB/s · \d+초 남음 · 대기 중 1개$)"_s);
        QTRY_VERIFY2_WITH_TIMEOUT(running.match(bar->toolTip()).hasMatch(),
                                  qPrintable(bar->toolTip()), Patience);
        QCOMPARE(bar->accessibleDescription(), bar->toolTip());
        // A click while one runs waits too, and starts nothing beside it.
        shown.setText(u"Text3"_s, portal.server.url(u"/flow1000.wav"_s));
        shown.click(u"Command3"_s);
        QTRY_VERIFY(bar->toolTip().endsWith(u" · 대기 중 2개"_s));
        chooseFromBarMenu(bar, cancel);
        QTRY_VERIFY_WITH_TIMEOUT(shown.form.line().isIdle(), Patience);
        QCOMPARE(plimo::test::files(folder), (Files{{u"flow3000.wav"_s, QByteArray(3000, 'w')},
                                                    {u"flow1000.wav"_s, QByteArray(1000, 'w')}}));
        QCOMPARE(bar->toolTip(), QString());
        QTRY_COMPARE(shown.text(u"Label2"_s), u"100 %"_s);

        QDesktopServices::setUrlHandler(u"file"_s, this, "openUrl");
        m_opened.clear();
        QCOMPARE(chooseFromBarMenu(bar, open), (QStringList{cancel + u" (off)"_s, open, list}));
        QDesktopServices::unsetUrlHandler(u"file"_s);
        QCOMPARE(m_opened, QList{QUrl::fromLocalFile(folder)});
        QVERIFY(shown.messages.isEmpty());

        // Ctrl+J, a double-click on the bar and the menu: always the one list.
        const auto lists = [&] { return shown.form.findChildren<plimo::DownloadList *>(); };
        shown.form.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&shown.form));
        QTest::keyClick(&shown.form, Qt::Key_J, Qt::ControlModifier);
        QTRY_VERIFY(lists().size() == 1 && lists()[0]->isVisible());
        QTest::keyClick(lists()[0], Qt::Key_Escape);
        QVERIFY(!lists()[0]->isVisible());
        QTest::mouseDClick(bar, Qt::LeftButton);
        QVERIFY(lists()[0]->isVisible());
        chooseFromBarMenu(bar, list);
        shown.form.activateWindow();
        QTest::keyClick(&shown.form, Qt::Key_J, Qt::ControlModifier);
        QCOMPARE(lists().size(), 1);
        QVERIFY(lists()[0]->isVisible());
        QCOMPARE(lists()[0]->windowTitle(), u"다운로드 목록"_s);
    }
    QCOMPARE(ShownForm().text(u"Text2"_s), folder + u'/');
    QVERIFY(QDir(folder).removeRecursively());
    QCOMPARE(ShownForm().text(u"Text2"_s), QDir::currentPath() + u'/');
}

QTEST_MAIN(Form1Test)
#include "form1_test.moc"
