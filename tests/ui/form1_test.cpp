#include "download/partfile.h"
#include "platform/quitsignals.h"
#include "tests/support/localserver.h"
#include "tests/ui/modaldialog.h"
#include "tools/portal/catalogue.h"
#include "tools/portal/portal.h"
#include "ui/folderchooser.h"
#include "ui/form1.h"

#include <QAccessible>
#include <QClipboard>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QHeaderView>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStyledItemDelegate>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

#include <csignal>
#include <thread>

using namespace Qt::StringLiterals;
using plimo::Form1;

namespace {

// A shown window whose message boxes are recorded and answered. Controls are
// found by their names; texts are read and written through their properties.
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
    template <typename T = QWidget> T *find(const QString &n) { return form.findChild<T *>(n); }
    void setText(const QString &name, const QString &text)
    {
        find(name)->setProperty("text", text);
    }
    void click(const QString &name) { QTest::mouseClick(find(name), Qt::LeftButton); }
    QString text(const QString &name) { return find(name)->property("text").toString(); }
    bool searching() { return !find(u"Command1"_s)->isEnabled(); }
    QTreeWidget *list() { return find<QTreeWidget>(u"ListView1"_s); }
    QPoint rowCenter(int row) { return list()->visualItemRect(list()->topLevelItem(row)).center(); }
    void clickRow(int row, Qt::MouseButton button = Qt::LeftButton)
    {
        QTest::mouseClick(list()->viewport(), button, {}, rowCenter(row));
    }
    // Rows as a search would leave them, without one.
    void addRows(int count)
    {
        for (int i = 0; i < count; ++i)
            static_cast<plimo::SearchControls &>(form).addRow(u"제목"_s, address(i));
    }
    static QString address(int row) { return u"http://files.test/%1.mp3"_s.arg(row); }
    Form1 form;
    QStringList messages;
};

constexpr auto Patience = 20'000;  // ms; sanitizer builds on a loaded machine are slow

QStringList entries(const QTemporaryDir &folder)
{
    return QDir(folder.path()).entryList(QDir::Files | QDir::Hidden | QDir::System);
}

// A file's bytes, or "<missing>".
QByteArray contents(const QTemporaryDir &folder, const QString &name)
{
    QFile file(folder.filePath(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

QString countText(std::size_t rows)
{
    return u"%1 개 검색되었습니다."_s.arg(rows);
}

// The sample portal behind http_proxy: every host of the program lands here.
struct PortalServer {
    explicit PortalServer(plimo::portal::Faults faults = {}) : portal(std::move(faults))
    {
        portal.install(server.http());
    }
    void start() { server.start(); }
    plimo::portal::Portal portal;  // outlives the server's thread
    plimo::test::LocalServer server;
    const plimo::test::ScopedEnv proxy{"http_proxy", ""};
};

QString fileAddress(int row)
{
    return QString::fromStdString(plimo::portal::expectedRows()[row].address);
}

QByteArray fileBytes(int row)
{
    plimo::portal::Portal portal;
    const QString path = QUrl(fileAddress(row).trimmed()).path();
    return QByteArray::fromStdString(portal.audio(path.toStdString()));
}

}  // namespace

class Form1Test final : public QObject {
    Q_OBJECT

public slots:
    void openUrl(const QUrl &url) { m_opened << url; }

private slots:
    void startsReadyForUse();
    void searchPickDownloadAndClose();
    void searchAndDownloadSideBySide();
    void downloadGoesOnBehindTheFolderDialog();
    void closingEndsEverythingCleanly();
    void aQuitSignalEndsADownloadCleanly();
    void failureShowsOnTheBar();
    void dialogs();
    void buttonsClickOnce_data();
    void buttonsClickOnce();
    void text3TakesNoKeys();
    void onlyLeftButtonChoosesRow();
    void headersStayInPlace();
    void homeLinkOpensInstalledPage();

private:
    QList<QUrl> m_opened;
};

void Form1Test::startsReadyForUse()
{
    ShownForm shown;
    QVERIFY(QTest::qWaitForWindowActive(&shown.form));
    QCOMPARE(shown.text(u"Text2"_s), QDir::currentPath() + u'/');
    QCOMPARE(shown.form.windowTitle(), u"PlimoMP3 v1.0"_s);
}

// Enter in Text1 runs the whole search, once however often it is asked for
// meanwhile; a row click, or the keyboard, puts the row's address in Text3;
// the download lands in Text2's folder.
void Form1Test::searchPickDownloadAndClose()
{
    PortalServer portal({.slowPages = {1, 2}, .delay = std::chrono::milliseconds(400)});
    portal.start();
    const plimo::test::ScopedEnv proxy("http_proxy", portal.server.proxyAddress());
    ShownForm shown;
    auto *query = shown.find<QLineEdit>(u"Text1"_s);
    QSignalSpy enterReachedBox(query, &QLineEdit::returnPressed);
    query->setText(u"spring+waltz"_s);
    int ticks = 0;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(10);
    QTest::keyClick(query, Qt::Key_Return);
    QCOMPARE(enterReachedBox.count(), 1);
    QVERIFY(shown.searching());
    QCOMPARE(shown.form.cursor().shape(), Qt::BusyCursor);
    // A second search is refused, asked for by key or by the handler itself.
    QTest::keyClick(query, Qt::Key_Return);
    shown.form.Command1_Click();

    const auto expected = plimo::portal::expectedRows();
    QTRY_COMPARE_WITH_TIMEOUT(shown.text(u"Label1"_s), countText(expected.size()), Patience);
    QVERIFY(!shown.searching());
    QCOMPARE(shown.form.cursor().shape(), Qt::ArrowCursor);
    QVERIFY2(ticks > 20, "the event loop stood still while the pages were awaited");
    QCOMPARE(portal.server.received().size(), 10 + plimo::portal::posts().size());
    QVERIFY(portal.server.received().at(0).target.ends_with("&start=1&query=spring+waltz"));

    auto *list = shown.list();
    QCOMPARE(list->topLevelItemCount(), qsizetype(expected.size()));
    // A post without its title marker has the whole page as its title: the
    // row keeps it, the list shows it on one line.
    auto *delegate = qobject_cast<QStyledItemDelegate *>(list->itemDelegate());
    for (int row = 0; row < list->topLevelItemCount(); ++row) {
        const QString title = list->topLevelItem(row)->text(0);
        QCOMPARE(title, QString::fromStdString(expected[row].title));
        const QString shownTitle = delegate->displayText(title, QLocale());
        QVERIFY(!shownTitle.contains(u'\n') && !shownTitle.contains(QChar::LineSeparator));
    }

    for (int row : {1, 1, 0}) {  // the same row twice, then another replaces it
        shown.clickRow(row);
        QCOMPARE(shown.text(u"Text3"_s), fileAddress(row));
    }
    QTest::keyClick(list, Qt::Key_Down);
    QCOMPARE(shown.text(u"Text3"_s), fileAddress(1));
    QTemporaryDir folder;
    shown.setText(u"Text2"_s, folder.path() + u'/');
    shown.click(u"Command3"_s);
    QTRY_COMPARE_WITH_TIMEOUT(shown.text(u"Label2"_s), u"100 %"_s, Patience);
    const QString name = fileAddress(1).trimmed().section(u'/', -1);
    QCOMPARE(entries(folder), QStringList{name});
    QCOMPARE(contents(folder, name), fileBytes(1));
    QCOMPARE(shown.messages, QStringList());
}

// A download started before a search, and one started from a row the
// running search has just added, both complete while the search goes on.
void Form1Test::searchAndDownloadSideBySide()
{
    PortalServer portal({.slowPages = {1, 2, 3}, .delay = std::chrono::milliseconds(500)});
    const std::string lastPost = plimo::portal::postViewAddress(plimo::portal::posts().back());
    portal.server.http().set_post_routing_handler([&](const auto &request, auto &) {
        const auto view = request.target.find("/PostView");
        if (view != std::string::npos && lastPost.ends_with(request.target.substr(view)))
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    });
    portal.start();
    const plimo::test::ScopedEnv proxy("http_proxy", portal.server.proxyAddress());
    ShownForm shown;
    QTemporaryDir folder;
    shown.setText(u"Text2"_s, folder.path() + u'/');
    shown.setText(u"Text3"_s, fileAddress(0));
    shown.click(u"Command3"_s);
    shown.setText(u"Text1"_s, u"spring+waltz"_s);
    shown.click(u"Command1"_s);
    const QString first = fileAddress(0).trimmed().section(u'/', -1);
    QTRY_COMPARE_WITH_TIMEOUT(entries(folder), QStringList{first}, Patience);
    QVERIFY2(shown.searching(), "the download waited for the search");

    QTRY_VERIFY_WITH_TIMEOUT(shown.text(u"Label1"_s) == u"파일 추출 중...."_s &&
                                 shown.list()->topLevelItemCount() > 1,
                             Patience);
    shown.clickRow(1);
    shown.click(u"Command3"_s);
    const QString second = fileAddress(1).trimmed().section(u'/', -1);
    QTRY_COMPARE_WITH_TIMEOUT(entries(folder).size(), 2, Patience);
    QVERIFY2(shown.searching(), "the second download waited for the search");
    QCOMPARE(contents(folder, second), fileBytes(1));
    QTRY_COMPARE_WITH_TIMEOUT(shown.text(u"Label1"_s),
                              countText(plimo::portal::expectedRows().size()), Patience);
}

namespace {

// A 60,000-byte file that flows for about two and a half seconds.
struct FlowServer {
    static constexpr int Size = 60'000;
    FlowServer()
    {
        server.http().Get("/flow.wav", [](const auto &, auto &res) {
            res.set_content_provider(Size, "audio/wav", [](size_t offset, size_t, auto &sink) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                const std::string block(std::min<size_t>(500, Size - offset), 'w');
                return sink.write(block.data(), block.size());
            });
        });
        server.start();
    }
    QString url(const QString &path) const { return server.url(path); }
    plimo::test::LocalServer server;
};

}  // namespace

// The real folder dialog, in its own nested event loop, stays open longer
// than a transfer may go without progress; the download completes behind it.
void Form1Test::downloadGoesOnBehindTheFolderDialog()
{
    FlowServer server;
    ShownForm shown;
    shown.form.setRequestTimeout(std::chrono::milliseconds(1000));
    QTemporaryDir folder;
    shown.setText(u"Text2"_s, folder.path() + u'/');
    shown.setText(u"Text3"_s, server.url(u"/flow.wav"_s));
    shown.click(u"Command3"_s);
    bool completedBehindDialog = false;
    plimo::test::whenModal<plimo::FolderChooser>([&](auto *dialog) {
        auto *poll = new QTimer(dialog);
        connect(poll, &QTimer::timeout, dialog, [&, dialog] {
            if (shown.form.download().isRunning())
                return;
            completedBehindDialog = dialog->isVisible();
            dialog->reject();
        });
        poll->start(20);
    });
    shown.click(u"Command2"_s);
    QVERIFY(completedBehindDialog);
    QCOMPARE(contents(folder, u"flow.wav"_s), QByteArray(FlowServer::Size, 'w'));
}

// Closing the window mid-search and mid-download ends both at once: no
// request after the close, no temporary file, and the old file of the
// download's name intact.
void Form1Test::closingEndsEverythingCleanly()
{
    PortalServer portal({.slowPages = {1, 2, 3}, .delay = std::chrono::milliseconds(2500)});
    portal.start();
    const plimo::test::ScopedEnv proxy("http_proxy", portal.server.proxyAddress());
    ShownForm shown;
    QTemporaryDir folder;
    const QString name = fileAddress(0).trimmed().section(u'/', -1);
    QFile old(folder.filePath(name));
    QVERIFY(old.open(QIODevice::WriteOnly) && old.write("old"));
    old.close();
    shown.setText(u"Text2"_s, folder.path() + u'/');
    shown.setText(u"Text3"_s, fileAddress(0).replace(u".com/"_s, u".com/_slow/"_s));
    shown.click(u"Command3"_s);
    shown.click(u"Command1"_s);
    QTest::qWait(300);
    QVERIFY(shown.searching() && shown.form.download().isRunning());
    const auto sentBeforeClose = portal.server.received().size();
    const auto closing = std::chrono::steady_clock::now();
    QVERIFY(shown.form.close());
    QVERIFY(!shown.form.download().isRunning() && !shown.searching());
    // Far below the 2.2 s a close that waited for the slow answers would take.
    QVERIFY(std::chrono::steady_clock::now() - closing < std::chrono::milliseconds(1500));
    QTest::qWait(3000);  // past the slow answers
    QCOMPARE(portal.server.received().size(), sentBeforeClose);
    QCOMPARE(entries(folder), QStringList{name});
    QCOMPARE(contents(folder, name), QByteArray("old"));
}

// Asked to quit mid-download, the window closes and the temporary file goes,
// the named one of file systems without nameless files too.
void Form1Test::aQuitSignalEndsADownloadCleanly()
{
    plimo::PartFile::setNamelessAllowed(false);
    const auto restore = qScopeGuard([] { plimo::PartFile::setNamelessAllowed(true); });
    FlowServer server;
    ShownForm shown;
    const plimo::QuitSignals quitSignals;
    shown.form.closeWhenAskedToQuit(quitSignals);
    QTemporaryDir folder;
    shown.setText(u"Text2"_s, folder.path() + u'/');
    shown.setText(u"Text3"_s, server.url(u"/flow.wav"_s));
    shown.click(u"Command3"_s);
    QTRY_VERIFY_WITH_TIMEOUT(shown.form.download().state().BytesDone > 0, Patience);
    QCOMPARE(entries(folder).size(), 1);  // the temporary file
    std::raise(SIGTERM);
    QTRY_VERIFY_WITH_TIMEOUT(!shown.form.isVisible(), Patience);
    QVERIFY(!shown.form.download().isRunning());
    QCOMPARE(entries(folder), QStringList());
}

// A failure before the first byte shows too: the empty bar turns red. Its
// reason is there for the pointer and for screen readers; "" takes it back.
void Form1Test::failureShowsOnTheBar()
{
    ShownForm shown;
    auto &controls = static_cast<plimo::DownloadControls &>(shown.form);
    auto *bar = shown.find<QProgressBar>(u"ProgressBar1"_s);
    const auto redPixels = [bar] {
        const QImage image = bar->grab().toImage();
        int count = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QColor c = image.pixelColor(x, y);
                count += c.red() > 160 && c.green() < 100 && c.blue() < 100;
            }
        }
        return count;
    };
    const auto description = [bar] {
        return QAccessible::queryAccessibleInterface(bar)->text(QAccessible::Description);
    };
    const QString reason = u"서버와의 연결이 끊겼습니다."_s;
    controls.setProgressValue(0);
    controls.showFailure(reason);
    QVERIFY2(redPixels() > bar->width(), "no red border at 0 %");
    QCOMPARE(bar->toolTip(), reason);
    QCOMPARE(description(), reason);

    controls.showFailure({});
    QCOMPARE(redPixels(), 0);
    QCOMPARE(bar->toolTip(), QString());
    QCOMPARE(description(), QString());
}

void Form1Test::dialogs()
{
    ShownForm shown;
    // Text2 before, the folder chosen ("" cancels) and Text2 after.
    const QString temp = QDir(QDir::tempPath()).canonicalPath();
    const std::tuple<QString, QString, QString> folderRows[] = {{u"/old/"_s, temp, temp + u'/'},
                                                                {u"/old/"_s, u"/"_s, u"//"_s},
                                                                {u"/old/"_s, {}, u"/old/"_s},
                                                                {{}, {}, {}}};
    for (const auto &[before, choice, after] : folderRows) {
        shown.setText(u"Text2"_s, before);
        QString instruction;
        plimo::test::whenModal<plimo::FolderChooser>([&, choice = choice](auto *dialog) {
            instruction = dialog->instructionText();
            if (choice.isEmpty())
                return dialog->reject();
            dialog->selectPath(choice);
            dialog->accept();
        });
        shown.click(u"Command2"_s);
        QCOMPARE(instruction, u"파일 저장할 폴더를 선택해주세요"_s);
        QCOMPARE(shown.text(u"Text2"_s), after);
    }

    // Every message box: the application's title, the text's lines, the
    // style's icon and buttons.
    using B = QMessageBox;
    QList<std::tuple<QString, QString, B::Icon, B::StandardButtons>> seen;
    for (auto style : {plimo::MessageStyle::YesNoInformation, plimo::MessageStyle::OkCritical,
                       plimo::MessageStyle::Ok}) {
        plimo::test::whenModal<QMessageBox>([&](QMessageBox *box) {
            seen.append({box->windowTitle(), box->text(), box->icon(), box->standardButtons()});
            box->button(box->button(B::No) ? B::No : B::Ok)->click();
        });
        const bool question = style == plimo::MessageStyle::YesNoInformation;
        QCOMPARE(plimo::showMessageBox(nullptr, u"첫 줄\r\n둘째 줄"_s, style),
                 question ? plimo::MessageAnswer::No : plimo::MessageAnswer::Ok);
    }
    const QString title = u"PlimoMP3"_s, text = u"첫 줄\n둘째 줄"_s;
    QCOMPARE(seen, (QList<std::tuple<QString, QString, B::Icon, B::StandardButtons>>{
                       {title, text, B::Information, B::Yes | B::No},
                       {title, text, B::Critical, B::Ok},
                       {title, text, B::NoIcon, B::Ok}}));
}

void Form1Test::buttonsClickOnce_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("key");  // 0: a left mouse click
    // What the handler leaves behind: searches (each one's first result page
    // reaches the server), folder dialogs, "choose a file first" boxes.
    QTest::addColumn<QList<int>>("handled");
    const std::tuple<const char *, QList<int>> buttons[] = {
        {"Command1", {1, 0, 0}}, {"Command2", {0, 1, 0}}, {"Command3", {0, 0, 1}}};
    const std::tuple<const char *, int> inputs[] = {{"Return", Qt::Key_Return},
                                                    {"Enter", Qt::Key_Enter},
                                                    {"Space", Qt::Key_Space},
                                                    {"click", 0}};
    for (const auto &[button, handled] : buttons) {
        for (const auto &[input, key] : inputs)
            QTest::addRow("%s %s", button, input) << QString::fromLatin1(button) << key << handled;
    }
}

void Form1Test::buttonsClickOnce()
{
    QFETCH(QString, button);
    QFETCH(int, key);
    QFETCH(QList<int>, handled);
    plimo::test::LocalServer server;  // no pages: a search ends at once
    server.start();
    const plimo::test::ScopedEnv proxy("http_proxy", server.proxyAddress());
    ShownForm shown;
    int folderDialogs = 0;
    shown.form.setFolderBrowser([&](QWidget *, const QString &, const QString &) {
        ++folderDialogs;
        return QString();
    });
    QVERIFY(QTest::qWaitForWindowActive(&shown.form));
    auto *pushButton = shown.find<QPushButton>(button);
    pushButton->setFocus();
    if (key == 0)
        QTest::mouseClick(pushButton, Qt::LeftButton);
    else
        QTest::keyClick(pushButton, Qt::Key(key));
    QTRY_VERIFY_WITH_TIMEOUT(!shown.searching(), Patience);
    const auto searches = std::ranges::count_if(server.received(), [](const auto &request) {
        return request.target.find("&start=1&") != std::string::npos;
    });
    QCOMPARE(QList<int>({int(searches), folderDialogs, int(shown.messages.size())}), handled);
}

// Keys typed into Text3 would change, unseen, the address 음악다운 fetches.
void Form1Test::text3TakesNoKeys()
{
    ShownForm shown;
    QVERIFY(QTest::qWaitForWindowActive(&shown.form));
    shown.addRows(1);
    shown.clickRow(0);
    QGuiApplication::clipboard()->setText(u"http://elsewhere.test/other.mp3"_s);
    auto *text3 = shown.find<QLineEdit>(u"Text3"_s);
    text3->setFocus();
    for (QKeyCombination key : {QKeyCombination(Qt::Key_A), QKeyCombination(Qt::Key_Backspace),
                                Qt::ControlModifier | Qt::Key_V}) {
        QTest::keyClick(text3, key.key(), key.keyboardModifiers());
        QCOMPARE(text3->text(), ShownForm::address(0));
    }
}

void Form1Test::onlyLeftButtonChoosesRow()
{
    ShownForm shown;
    QVERIFY(QTest::qWaitForWindowActive(&shown.form));
    shown.addRows(3);
    shown.clickRow(0);
    QTest::mouseDClick(shown.list()->viewport(), Qt::RightButton, {}, shown.rowCenter(1));
    for (Qt::MouseButton other : {Qt::RightButton, Qt::MiddleButton}) {
        shown.clickRow(1, other);
        QCOMPARE(shown.text(u"Text3"_s), ShownForm::address(0));
        QCOMPARE(shown.list()->selectedItems(), {shown.list()->topLevelItem(0)});
    }
    shown.clickRow(2);
    QCOMPARE(shown.text(u"Text3"_s), ShownForm::address(2));
}

// Dragging either column's caption across the other leaves both in place.
void Form1Test::headersStayInPlace()
{
    ShownForm shown;
    QVERIFY(QTest::qWaitForWindowActive(&shown.form));
    QHeaderView *header = shown.list()->header();
    const int y = header->height() / 2;
    const auto drag = [&](int fromX, int toX) {
        QTest::mousePress(header->viewport(), Qt::LeftButton, {}, QPoint(fromX, y));
        for (int x = fromX; x != toX; x += fromX < toX ? 1 : -1)
            QTest::mouseMove(header->viewport(), QPoint(x, y));
        QTest::mouseRelease(header->viewport(), Qt::LeftButton, {}, QPoint(toX, y));
    };
    const int titleLeft = header->sectionViewportPosition(0) + 2;
    const int addressRight = header->sectionViewportPosition(1) + header->sectionSize(1) - 2;
    drag(titleLeft, addressRight);
    drag(addressRight, titleLeft);
    QCOMPARE(header->logicalIndex(0), 0);
    QCOMPARE(header->logicalIndex(1), 1);
}

// "?" hands the desktop the installed page (this test sits beside the
// program, so the page is found as the program finds it); a full web
// address goes as it is; when the desktop cannot open it, a box says where.
void Form1Test::homeLinkOpensInstalledPage()
{
    ShownForm shown;
    QVERIFY(QTest::qWaitForWindowActive(&shown.form));
    QDesktopServices::setUrlHandler(u"file"_s, this, "openUrl");
    QDesktopServices::setUrlHandler(u"https"_s, this, "openUrl");
    shown.click(u"Label5"_s);
    shown.form.OpenHomePage(u"https://plimomp3.test/"_s);
    QDesktopServices::unsetUrlHandler(u"https"_s);
    QCOMPARE(m_opened.size(), 2);
    const QUrl page = m_opened[0];
    QVERIFY2(page.isLocalFile() && QFileInfo(page.toLocalFile()).isFile(),
             qPrintable(page.toString()));
    QCOMPARE(m_opened[1], QUrl(u"https://plimomp3.test/"_s));
    QCOMPARE(shown.messages, QStringList());

    // A handler that cannot take the address: the desktop refuses it.
    QDesktopServices::setUrlHandler(u"file"_s, this, "noSuchSlot");
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"noSuchSlot"_s));
    shown.click(u"Label5"_s);
    QDesktopServices::unsetUrlHandler(u"file"_s);
    QCOMPARE(shown.messages.size(), 1);
    QVERIFY2(shown.messages[0].endsWith(u'\n' + page.toLocalFile()), qPrintable(shown.messages[0]));
}

QTEST_MAIN(Form1Test)
#include "form1_test.moc"
