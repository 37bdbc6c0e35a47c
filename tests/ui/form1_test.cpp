#include "download/folderchooser.h"
#include "tests/support/localserver.h"
#include "tests/ui/modaldialog.h"
#include "tools/portal/catalogue.h"
#include "tools/portal/portal.h"
#include "ui/form1.h"

#include <QDesktopServices>
#include <QDir>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QStyledItemDelegate>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

#include <optional>

using namespace Qt::StringLiterals;
using plimo::Form1;

namespace {

template <typename T = QWidget> T *control(QWidget &form, const QString &name)
{
    return form.findChild<T *>(name);
}

QString textOf(Form1 &form, const QString &name)
{
    return control<QLineEdit>(form, name)->text();
}

// The sample portal behind http_proxy: every host of the program lands here.
struct PortalOnProxy {
    PortalOnProxy()
    {
        portal.install(server.http());
        server.start();
        proxy.emplace("http_proxy", server.proxyAddress());
    }
    plimo::portal::Portal portal;  // outlives the server's thread
    plimo::test::LocalServer server;
    std::optional<plimo::test::ScopedEnv> proxy;
};

struct ShownForm {
    ShownForm()
    {
        form.setMessageBox([this](QWidget *, const QString &text, plimo::MessageStyle) {
            messages << text;
            return plimo::MessageAnswer::Ok;
        });
        form.show();
    }
    void clickRow(int row)
    {
        auto *list = control<QTreeWidget>(form, u"ListView1"_s);
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                          list->visualItemRect(list->topLevelItem(row)).center());
    }
    Form1 form;
    QStringList messages;
};

}  // namespace

class Form1Test final : public QObject {
    Q_OBJECT

public slots:
    void openUrl(const QUrl &url) { m_opened << url; }

private slots:
    void startsReadyForUse_data();
    void startsReadyForUse();
    void controlsSitWhereDrawn_data();
    void controlsSitWhereDrawn();
    void tabVisitsControlsInOrder();
    void longTitleShowsOnOneLine();
    void enterInQueryRunsWholeSearch();
    void rowChoiceSetsSelectedAddress();
    void downloadsClickedRowIntoFolder();
    void closeDuringDownloadWaitsForIt();
    void folderDialogWritesText2_data();
    void folderDialogWritesText2();
    void homeLinkOpensOneBrowserPerClick();
    void messageBoxCarriesTitleAndButtons_data();
    void messageBoxCarriesTitleAndButtons();

private:
    QList<QUrl> m_opened;
};

void Form1Test::startsReadyForUse_data()
{
    QTest::addColumn<QString>("directory");
    QTest::addColumn<QString>("text2");
    const QString temp = QDir(QDir::tempPath()).canonicalPath();
    QTest::newRow("ordinary folder") << temp << temp + u'/';
    QTest::newRow("root gives two separators") << u"/"_s << u"//"_s;
}

void Form1Test::startsReadyForUse()
{
    QFETCH(QString, directory);
    QFETCH(QString, text2);
    const QString before = QDir::currentPath();
    QVERIFY(QDir::setCurrent(directory));
    Form1 form;
    QDir::setCurrent(before);
    form.show();
    QVERIFY(QTest::qWaitForWindowActive(&form));

    QCOMPARE(textOf(form, u"Text2"_s), text2);
    QCOMPARE(form.windowTitle(), u"PlimoMP3 v1.0"_s);
    QCOMPARE(form.minimumSize(), QSize(394, 462));
    QCOMPARE(form.maximumSize(), QSize(394, 462));
    QCOMPARE(control<QProgressBar>(form, u"ProgressBar1"_s)->value(), 100);
    QCOMPARE(control<QLabel>(form, u"Label2"_s)->text(), u"0%"_s);
    QCOMPARE(control<QLabel>(form, u"Label1"_s)->text(), QString());
    QCOMPARE(QApplication::focusWidget(), control(form, u"ListView1"_s));
    auto *list = control<QTreeWidget>(form, u"ListView1"_s);
    QCOMPARE(list->headerItem()->text(0), u"제목"_s);
    QCOMPARE(list->headerItem()->text(1), u"파일주소"_s);
    QCOMPARE(list->header()->sectionSize(0), 109);
    QCOMPARE(list->header()->sectionSize(1), 69);
    auto *query = control<QLineEdit>(form, u"Text1"_s);
    QCOMPARE(query->toolTip(), u"※ 가수+노래제목   이렇게 검색해주세요"_s);
    QCOMPARE(query->palette().color(QPalette::Base), QColor(255, 255, 192));
    QCOMPARE(query->accessibleName(), u"검색어"_s);
}

void Form1Test::controlsSitWhereDrawn_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<bool>("outsideClientArea");
    QTest::newRow("frame") << u"Frame1"_s << u"음악검색"_s << QRect(8, 8, 377, 49) << false;
    QTest::newRow("in a frame") << u"Command1"_s << u"검색"_s << QRect(296, 16, 73, 25) << false;
    QTest::newRow("list view") << u"ListView1"_s << u""_s << QRect(8, 64, 377, 241) << false;
    QTest::newRow("folder") << u"Command2"_s << u"..."_s << QRect(328, 16, 41, 17) << false;
    QTest::newRow("home link") << u"Label5"_s << u"?"_s << QRect(320, 424, 65, 17) << false;
    QTest::newRow("size") << u"Label3"_s << u"Label3"_s << QRect(408, 424, 97, 25) << true;
    QTest::newRow("selected") << u"Text3"_s << u""_s << QRect(408, 416, 297, 41) << true;
    QTest::newRow("post list") << u"List3"_s << u""_s << QRect(408, 288, 305, 124) << true;
}

void Form1Test::controlsSitWhereDrawn()
{
    QFETCH(QString, name);
    QFETCH(QString, caption);
    QFETCH(QRect, geometry);
    QFETCH(bool, outsideClientArea);
    ShownForm shown;
    QWidget *widget = control(shown.form, name);
    QCOMPARE(widget->geometry(), geometry);
    QVERIFY(widget->isVisible());
    QCOMPARE(widget->mapTo(&shown.form, QPoint(0, 0)).x() >= shown.form.width(), outsideClientArea);
    if (auto *box = qobject_cast<QGroupBox *>(widget))
        QCOMPARE(box->title(), caption);
    else if (auto *button = qobject_cast<QPushButton *>(widget))
        QCOMPARE(button->text(), caption);
    else if (auto *label = qobject_cast<QLabel *>(widget))
        QCOMPARE(label->text(), caption);
}

void Form1Test::tabVisitsControlsInOrder()
{
    ShownForm shown;
    QVERIFY(QTest::qWaitForWindowActive(&shown.form));
    QStringList visited{QApplication::focusWidget()->objectName()};
    for (int i = 0; i < 10; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        visited << QApplication::focusWidget()->objectName();
    }
    QCOMPARE(visited, QStringList({u"ListView1"_s, u"Text1"_s, u"Text2"_s, u"Command2"_s,
                                   u"Command1"_s, u"List1"_s, u"List2"_s, u"List3"_s, u"Text3"_s,
                                   u"Command3"_s, u"ListView1"_s}));
}

void Form1Test::longTitleShowsOnOneLine()
{
    ShownForm shown;
    QString page;
    for (int i = 0; i < 400; ++i)
        page += u"<p>줄 %1</p>\r\n"_s.arg(i);
    static_cast<plimo::SearchControls &>(shown.form).addRow(page, u"http://x/a.mp3"_s);
    auto *list = control<QTreeWidget>(shown.form, u"ListView1"_s);
    QCOMPARE(list->topLevelItem(0)->text(0), page);
    auto *delegate = qobject_cast<QStyledItemDelegate *>(list->itemDelegate());
    const QString shownText = delegate->displayText(page, QLocale());
    QCOMPARE(shownText.left(12), page.left(10) + u"  "_s);
    QVERIFY(shownText.size() < 1000);
}

void Form1Test::enterInQueryRunsWholeSearch()
{
    PortalOnProxy portal;
    ShownForm shown;
    auto *query = control<QLineEdit>(shown.form, u"Text1"_s);
    QSignalSpy enterReachedBox(query, &QLineEdit::returnPressed);
    query->setText(u"봄날+왈츠"_s);
    QTest::keyClick(query, Qt::Key_Return);

    const auto expected = plimo::portal::expectedRows();
    auto *list = control<QTreeWidget>(shown.form, u"ListView1"_s);
    QCOMPARE(list->topLevelItemCount(), qsizetype(expected.size()));
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        QCOMPARE(list->topLevelItem(i)->text(0), QString::fromStdString(expected[i].title));
        QCOMPARE(list->topLevelItem(i)->text(1), QString::fromStdString(expected[i].address));
    }
    QCOMPARE(control<QLabel>(shown.form, u"Label1"_s)->text(),
             u"%1 개 검색되었습니다."_s.arg(expected.size()));
    QCOMPARE(control<QListWidget>(shown.form, u"List1"_s)->count(), 10);
    QCOMPARE(enterReachedBox.count(), 1);
    QCOMPARE(QApplication::overrideCursor(), nullptr);
    const auto first = portal.server.received().at(0);
    QCOMPARE(first.host, "search.naver.com");
    QVERIFY(first.target.starts_with("http://search.naver.com/search.naver?where=post&sm=tab_jum"));
}

void Form1Test::rowChoiceSetsSelectedAddress()
{
    ShownForm shown;
    QVERIFY(QTest::qWaitForWindowExposed(&shown.form));
    auto &rows = static_cast<plimo::SearchControls &>(shown.form);
    for (const QString &address : {u"http://f/1.mp3"_s, u"http://f/2.mp3"_s, QString()})
        rows.addRow(u"제목"_s, address);
    const auto selected = [&] { return textOf(shown.form, u"Text3"_s); };
    shown.clickRow(0);
    QCOMPARE(selected(), u"http://f/1.mp3"_s);
    shown.clickRow(0);
    QCOMPARE(selected(), u"http://f/1.mp3"_s);
    shown.clickRow(1);
    QCOMPARE(selected(), u"http://f/2.mp3"_s);
    QTest::keyClick(control(shown.form, u"ListView1"_s), Qt::Key_Up);
    QCOMPARE(selected(), u"http://f/1.mp3"_s);
    shown.clickRow(2);
    QCOMPARE(selected(), QString());
}

void Form1Test::downloadsClickedRowIntoFolder()
{
    PortalOnProxy portal;
    ShownForm shown;
    QVERIFY(QTest::qWaitForWindowExposed(&shown.form));
    QTemporaryDir folder;
    QTest::mouseClick(control<QPushButton>(shown.form, u"Command1"_s), Qt::LeftButton);
    shown.clickRow(0);
    control<QLineEdit>(shown.form, u"Text2"_s)->setText(folder.path() + u'/');
    QTest::mouseClick(control<QPushButton>(shown.form, u"Command3"_s), Qt::LeftButton);

    const QString address = textOf(shown.form, u"Text3"_s).trimmed();
    const QString path = address.mid(u"http://blogattach.naver.com"_s.size());
    QFile file(folder.filePath(address.section(u'/', -1)));
    QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.fileName()));
    QCOMPARE(file.readAll().toStdString(), portal.portal.audio(path.toStdString()));
    QCOMPARE(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden).size(), 1);
    QCOMPARE(control<QLabel>(shown.form, u"Label2"_s)->text(), u"100 %"_s);
    QCOMPARE(shown.messages, QStringList());
}

void Form1Test::closeDuringDownloadWaitsForIt()
{
    PortalOnProxy portal;
    ShownForm shown;
    QTemporaryDir folder;
    control<QLineEdit>(shown.form, u"Text2"_s)->setText(folder.path() + u'/');
    const auto &file = plimo::portal::audioFiles().front();
    control<QLineEdit>(shown.form, u"Text3"_s)
        ->setText(u"http://blogattach.naver.com/_slow"_s + QString::fromStdString(file.path));
    bool stillShownWhileRunning = false;
    QTimer::singleShot(300, &shown.form, [&] {
        shown.form.close();
        stillShownWhileRunning = shown.form.isVisible() && shown.form.download().isRunning();
    });
    shown.form.Command3_Click();
    QVERIFY(stillShownWhileRunning);
    QVERIFY(!shown.form.isVisible());
    QCOMPARE(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
}

void Form1Test::folderDialogWritesText2_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("choice");  // "" cancels
    QTest::addColumn<QString>("after");
    const QString temp = QDir(QDir::tempPath()).canonicalPath();
    QTest::newRow("folder") << u"/old/"_s << temp << temp + u'/';
    QTest::newRow("root") << u"/old/"_s << u"/"_s << u"//"_s;
    QTest::newRow("cancel") << u"/old/"_s << QString() << u"/old/"_s;
    QTest::newRow("cancel, empty box") << QString() << QString() << QString();
}

void Form1Test::folderDialogWritesText2()
{
    QFETCH(QString, before);
    QFETCH(QString, choice);
    QFETCH(QString, after);
    ShownForm shown;
    control<QLineEdit>(shown.form, u"Text2"_s)->setText(before);
    QString instruction;
    plimo::test::whenModal<plimo::FolderChooser>([&](plimo::FolderChooser *dialog) {
        instruction = dialog->instructionText();
        if (choice.isEmpty())
            return dialog->reject();
        dialog->selectPath(choice);
        dialog->accept();
    });
    QTest::mouseClick(control<QPushButton>(shown.form, u"Command2"_s), Qt::LeftButton);
    QCOMPARE(instruction, u"파일 저장할 폴더를 선택해주세요"_s);
    QCOMPARE(textOf(shown.form, u"Text2"_s), after);
}

void Form1Test::homeLinkOpensOneBrowserPerClick()
{
    ShownForm shown;
    QVERIFY(QTest::qWaitForWindowExposed(&shown.form));
    const QUrl home(QString::fromUtf16(plimo::HomePageAddress));
    QDesktopServices::setUrlHandler(home.scheme(), this, "openUrl");
    auto *link = control(shown.form, u"Label5"_s);
    QTest::mouseClick(link, Qt::LeftButton);
    QTest::mouseClick(link, Qt::LeftButton);
    QDesktopServices::unsetUrlHandler(home.scheme());
    QCOMPARE(m_opened, QList<QUrl>({home, home}));
    QTest::mouseClick(link, Qt::LeftButton);  // nothing can open it now: the window lives on
    QVERIFY(shown.form.isVisible());
}

void Form1Test::messageBoxCarriesTitleAndButtons_data()
{
    QTest::addColumn<plimo::MessageStyle>("style");
    QTest::addColumn<QMessageBox::Icon>("icon");
    QTest::addColumn<QMessageBox::StandardButtons>("buttons");
    QTest::addColumn<QMessageBox::StandardButton>("press");
    QTest::addColumn<plimo::MessageAnswer>("answer");
    using B = QMessageBox;
    QTest::newRow("question, no") << plimo::MessageStyle::YesNoInformation << B::Information
                                  << (B::Yes | B::No) << B::No << plimo::MessageAnswer::No;
    QTest::newRow("critical") << plimo::MessageStyle::OkCritical << B::Critical
                              << B::StandardButtons(B::Ok) << B::Ok << plimo::MessageAnswer::Ok;
    QTest::newRow("plain") << plimo::MessageStyle::Ok << B::NoIcon << B::StandardButtons(B::Ok)
                           << B::Ok << plimo::MessageAnswer::Ok;
}

void Form1Test::messageBoxCarriesTitleAndButtons()
{
    QFETCH(plimo::MessageStyle, style);
    QFETCH(QMessageBox::Icon, icon);
    QFETCH(QMessageBox::StandardButtons, buttons);
    QFETCH(QMessageBox::StandardButton, press);
    QFETCH(plimo::MessageAnswer, answer);
    QStringList seen;
    bool looksRight = false;
    plimo::test::whenModal<QMessageBox>([&](QMessageBox *box) {
        seen << box->windowTitle() << box->text();
        looksRight = box->icon() == icon && box->standardButtons() == buttons &&
                     (box->button(QMessageBox::Yes) == nullptr ||
                      box->defaultButton() == box->button(QMessageBox::Yes));
        box->button(press)->click();
    });
    QCOMPARE(plimo::showMessageBox(nullptr, u"첫 줄\r\n둘째 줄"_s, style), answer);
    QCOMPARE(seen, QStringList({u"PlimoMP3"_s, u"첫 줄\n둘째 줄"_s}));
    QVERIFY(looksRight);
}

QTEST_MAIN(Form1Test)
#include "form1_test.moc"
