#include "download/folderchooser.h"
#include "tests/support/localserver.h"
#include "tests/ui/modaldialog.h"
#include "tools/portal/catalogue.h"
#include "tools/portal/portal.h"
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

using namespace Qt::StringLiterals;
using plimo::Form1;

namespace {

// A shown window whose message boxes are recorded and answered. Controls are
// found by their names; texts are read and written through their properties.
struct ShownForm {
    ShownForm()
    {
        form.setMessageBox([this](QWidget *, const QString &text, plimo::MessageStyle) {
            messages << text;
            return plimo::MessageAnswer::Ok;
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

// Enter in Text1 runs the whole search; a row click, or the keyboard, puts the
// row's address in Text3; the download lands in Text2's folder; closing the
// window during a download waits for it to end cleanly.
void Form1Test::searchPickDownloadAndClose()
{
    // The sample portal behind http_proxy: every host of the program lands here.
    plimo::portal::Portal portal;  // outlives the server's thread
    plimo::test::LocalServer server;
    portal.install(server.http());
    server.start();
    const plimo::test::ScopedEnv proxy("http_proxy", server.proxyAddress());
    ShownForm shown;
    auto *query = shown.find<QLineEdit>(u"Text1"_s);
    QSignalSpy enterReachedBox(query, &QLineEdit::returnPressed);
    query->setText(u"spring+waltz"_s);
    QTest::keyClick(query, Qt::Key_Return);
    QCOMPARE(enterReachedBox.count(), 1);
    QCOMPARE(QApplication::overrideCursor(), nullptr);
    QVERIFY(server.received().at(0).target.ends_with("&start=1&query=spring+waltz"));

    const auto expected = plimo::portal::expectedRows();
    auto *list = shown.find<QTreeWidget>(u"ListView1"_s);
    QCOMPARE(list->topLevelItemCount(), qsizetype(expected.size()));
    QCOMPARE(shown.get(u"Label1"_s), u"%1 개 검색되었습니다."_s.arg(expected.size()));
    // A post without its title marker has the whole page as its title: the
    // row keeps it, the list shows it on one line.
    auto *delegate = qobject_cast<QStyledItemDelegate *>(list->itemDelegate());
    for (int row = 0; row < list->topLevelItemCount(); ++row) {
        const QString title = list->topLevelItem(row)->text(0);
        QCOMPARE(title, QString::fromStdString(expected[row].title));
        const QString shownTitle = delegate->displayText(title, QLocale());
        QVERIFY(!shownTitle.contains(u'\n') && !shownTitle.contains(QChar::LineSeparator));
    }

    const auto address = [&](int row) { return QString::fromStdString(expected[row].address); };
    for (int row : {1, 1, 0}) {  // the same row twice, then another replaces it
        shown.clickRow(row);
        QCOMPARE(shown.get(u"Text3"_s), address(row));
    }
    QTest::keyClick(list, Qt::Key_Down);
    QCOMPARE(shown.get(u"Text3"_s), address(1));
    QTemporaryDir folder;
    shown.setText(u"Text2"_s, folder.path() + u'/');
    shown.click(u"Command3"_s);
    const QStringList downloaded{address(1).trimmed().section(u'/', -1)};
    QCOMPARE(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden), downloaded);
    QCOMPARE(shown.get(u"Label2"_s), u"100 %"_s);
    QCOMPARE(shown.messages, QStringList());

    // The portal answers /_slow/ after two seconds.
    shown.setText(u"Text3"_s, address(0).replace(u".com/"_s, u".com/_slow/"_s));
    bool stillShownWhileRunning = false;
    QTimer::singleShot(300, &shown.form, [&] {
        shown.form.close();
        stillShownWhileRunning = shown.form.isVisible() && shown.form.download().isRunning();
    });
    shown.form.Command3_Click();
    QVERIFY(stillShownWhileRunning);
    QVERIFY(!shown.form.isVisible());
    QCOMPARE(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden), downloaded);
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
