#include "platform/quitsignals.h"
#include "tests/support/localserver.h"
#include "tests/ui/modaldialog.h"
#include "tools/portal/catalogue.h"
#include "tools/portal/portal.h"
#include "ui/folderchooser.h"
#include "ui/form1.h"

#include <QAccessible>
#include <QDir>
#include <QHeaderView>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
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
    QVariant get(const QString &name, const char *p = "text") { return find(name)->property(p); }
    void setText(const QString &name, const QString &text)
    {
        find(name)->setProperty("text", text);
    }
    void click(const QString &name) { QTest::mouseClick(find(name), Qt::LeftButton); }
    QString text(const QString &name) { return get(name).toString(); }
    bool searching() { return !find(u"Command1"_s)->isEnabled(); }
    void clickRow(int row)
    {
        auto *list = find<QTreeWidget>(u"ListView1"_s);
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                          list->visualItemRect(list->topLevelItem(row)).center());
    }
    Form1 form;
    QStringList messages;
};

}  // namespace

class Form1Test final : public QObject {
    Q_OBJECT

private slots:
    void startsReadyForUse();
    void searchPickDownloadAndClose();
    void searchAndDownloadSideBySide();
    void downloadGoesOnBehindTheFolderDialog();
    void closingEndsEverythingCleanly();
    void aQuitSignalEndsADownloadCleanly();
    void dialogs();
};

void Form1Test::startsReadyForUse()
{
    ShownForm shown;
    QVERIFY(QTest::qWaitForWindowActive(&shown.form));
    QCOMPARE(shown.get(u"Text2"_s), QDir::currentPath() + u'/');
    QCOMPARE(shown.form.windowTitle(), u"PlimoMP3 v1.0"_s);
    QCOMPARE(shown.form.minimumSize(), QSize(394, 462));
    QCOMPARE(shown.form.maximumSize(), QSize(394, 462));
    QCOMPARE(shown.get(u"ProgressBar1"_s, "value"), 100);
    QCOMPARE(shown.get(u"Label2"_s), u"0%"_s);
    QCOMPARE(shown.get(u"Text1"_s, "toolTip"), u"※ 가수+노래제목   이렇게 검색해주세요"_s);
    QCOMPARE(shown.find(u"Text1"_s)->palette().color(QPalette::Base), QColor(255, 255, 192));
    QCOMPARE(shown.get(u"Text1"_s, "accessibleName"), u"검색어"_s);
    QCOMPARE(QAccessible::queryAccessibleInterface(&shown.form)->role(), QAccessible::Window);
    auto *list = shown.find<QTreeWidget>(u"ListView1"_s);
    QCOMPARE(list->headerItem()->text(0), u"제목"_s);
    QCOMPARE(list->headerItem()->text(1), u"파일주소"_s);
    QCOMPARE(list->header()->sectionSize(0), 109);
    QCOMPARE(list->header()->sectionSize(1), 69);

    // A frame's children are placed from its corner; Label3, Text3 and the
    // work lists lie right of the client area and are still shown.
    const std::tuple<QString, const char *, QString, QRect> placed[] = {
        {u"Frame1"_s, "title", u"음악검색"_s, QRect(8, 8, 377, 49)},
        {u"Command1"_s, "text", u"검색"_s, QRect(296, 16, 73, 25)},
        {u"ListView1"_s, "text", {}, QRect(8, 64, 377, 241)},
        {u"Label5"_s, "text", u"?"_s, QRect(320, 424, 65, 17)},
        {u"Label3"_s, "text", u"Label3"_s, QRect(408, 424, 97, 25)},
        {u"Text3"_s, "text", {}, QRect(408, 416, 297, 41)},
        {u"List3"_s, "text", {}, QRect(408, 288, 305, 124)}};
    for (const auto &[name, property, caption, geometry] : placed) {
        QCOMPARE(shown.find(name)->geometry(), geometry);
        QVERIFY(shown.find(name)->isVisible());
        QCOMPARE(shown.get(name, property).toString(), caption);
    }

    // The focus starts in ListView1, and Tab walks the controls by tab index.
    QStringList visited{QApplication::focusWidget()->objectName()};
    for (int i = 0; i < 10; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        visited << QApplication::focusWidget()->objectName();
    }
    QCOMPARE(visited, QStringList({u"ListView1"_s, u"Text1"_s, u"Text2"_s, u"Command2"_s,
                                   u"Command1"_s, u"List1"_s, u"List2"_s, u"List3"_s, u"Text3"_s,
                                   u"Command3"_s, u"ListView1"_s}));
}

namespace {

constexpr auto Patience = 20'000;  // ms; sanitizer builds on a loaded machine are slow

QStringList entries(const QTemporaryDir &folder)
{
    return QDir(folder.path()).entryList(QDir::Files | QDir::Hidden | QDir::System);
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
    QCOMPARE(QApplication::overrideCursor(), nullptr);
    // A second search is refused every way it can be asked for.
    QTest::keyClick(query, Qt::Key_Return);
    shown.click(u"Command1"_s);
    auto *press = QAccessible::queryAccessibleInterface(shown.find(u"Command1"_s));
    press->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    shown.form.Command1_Click();

    const auto expected = plimo::portal::expectedRows();
    QTRY_COMPARE_WITH_TIMEOUT(shown.text(u"Label1"_s), countText(expected.size()), Patience);
    QVERIFY(!shown.searching());
    QCOMPARE(shown.form.cursor().shape(), Qt::ArrowCursor);
    QVERIFY2(ticks > 40, "the event loop stood still while the pages were awaited");
    QCOMPARE(portal.server.received().size(), 10 + plimo::portal::posts().size());
    QVERIFY(portal.server.received().at(0).target.ends_with("&start=1&query=spring+waltz"));

    auto *list = shown.find<QTreeWidget>(u"ListView1"_s);
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
    QFile file(folder.filePath(name));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), fileBytes(1));
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
                                 shown.find<QTreeWidget>(u"ListView1"_s)->topLevelItemCount() > 1,
                             Patience);
    shown.clickRow(1);
    shown.click(u"Command3"_s);
    const QString second = fileAddress(1).trimmed().section(u'/', -1);
    QTRY_COMPARE_WITH_TIMEOUT(entries(folder).size(), 2, Patience);
    QVERIFY2(shown.searching(), "the second download waited for the search");
    QFile file(folder.filePath(second));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), fileBytes(1));
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
    QFile file(folder.filePath(u"flow.wav"_s));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray(FlowServer::Size, 'w'));
}

// Closing the window mid-search and mid-download ends both at once: no
// request after the close, no temporary file, and the old file of the
// download's name intact.
void Form1Test::closingEndsEverythingCleanly()
{
    PortalServer portal({.slowPages = {1, 2, 3}, .delay = std::chrono::milliseconds(1000)});
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
    QVERIFY(std::chrono::steady_clock::now() - closing < std::chrono::seconds(1));
    QTest::qWait(1500);  // past the slow answers
    QCOMPARE(portal.server.received().size(), sentBeforeClose);
    QCOMPARE(entries(folder), QStringList{name});
    QVERIFY(old.open(QIODevice::ReadOnly));
    QCOMPARE(old.readAll(), QByteArray("old"));
}

// Asked to quit mid-download, the window closes and the temporary file goes.
void Form1Test::aQuitSignalEndsADownloadCleanly()
{
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
        QCOMPARE(shown.get(u"Text2"_s), after);
    }

    // Every message box: the application's title, the text's lines, the
    // style's icon and buttons, Yes the default where there is one.
    using B = QMessageBox;
    QList<std::tuple<QString, QString, B::Icon, B::StandardButtons, bool>> seen;
    for (auto style : {plimo::MessageStyle::YesNoInformation, plimo::MessageStyle::OkCritical,
                       plimo::MessageStyle::Ok}) {
        plimo::test::whenModal<QMessageBox>([&](QMessageBox *box) {
            seen.append({box->windowTitle(), box->text(), box->icon(), box->standardButtons(),
                         box->defaultButton() == box->button(B::Yes)});
            box->button(box->button(B::No) ? B::No : B::Ok)->click();
        });
        const bool question = style == plimo::MessageStyle::YesNoInformation;
        QCOMPARE(plimo::showMessageBox(nullptr, u"첫 줄\r\n둘째 줄"_s, style),
                 question ? plimo::MessageAnswer::No : plimo::MessageAnswer::Ok);
    }
    const QString title = u"PlimoMP3"_s, text = u"첫 줄\n둘째 줄"_s;
    QCOMPARE(seen, (QList<std::tuple<QString, QString, B::Icon, B::StandardButtons, bool>>{
                       {title, text, B::Information, B::Yes | B::No, true},
                       {title, text, B::Critical, B::Ok, true},
                       {title, text, B::NoIcon, B::Ok, true}}));
}

QTEST_MAIN(Form1Test)
#include "form1_test.moc"
