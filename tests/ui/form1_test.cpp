#include "download/folderchooser.h"
#include "tests/support/localserver.h"
#include "tests/ui/modaldialog.h"
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

#include <chrono>
#include <memory>
#include <thread>

using namespace Qt::StringLiterals;
using plimo::Form1;
using plimo::test::LocalServer;
using plimo::test::ScopedEnv;

namespace {

template <typename T> T *control(QWidget &form, const char *name)
{
    return form.findChild<T *>(QString::fromLatin1(name));
}

QString text2(Form1 &form)
{
    return control<QLineEdit>(form, "Text2")->text();
}

const QString SongAddress = QStringLiteral("http://blogattach.naver.com/f/alpha/song.mp3");

// Plays the portal's three hosts, told apart by the Host header, as the
// program reaches them through http_proxy.
class Portal {
public:
    Portal()
    {
        for (int i = 0; i < 2500; ++i)
            m_song.append(static_cast<char>(i * 7 % 251));
        m_server.http().Get(
            ".*", [this](const httplib::Request &req, httplib::Response &res) { serve(req, res); });
        m_server.start();
        m_proxy = std::make_unique<ScopedEnv>("http_proxy", m_server.proxyAddress());
    }

    const QByteArray &song() const { return m_song; }
    const LocalServer &server() const { return m_server; }

private:
    void serve(const httplib::Request &req, httplib::Response &res)
    {
        const std::string host = req.get_header_value("Host");
        const std::string &target = req.target;
        if (host == "search.naver.com" && target.find("start=1&query=") != std::string::npos)
            res.set_content(resultPage(), "text/html; charset=utf-8");
        else if (host == "blog.naver.com" && target.find("blogId=alpha") != std::string::npos)
            res.set_content(postPage("첫 노래", "alpha/song.mp3"), "text/html; charset=utf-8");
        else if (host == "blog.naver.com" && target.find("blogId=beta") != std::string::npos)
            res.set_content(postPage("둘째 노래", "beta/other.mp3"), "text/html; charset=utf-8");
        else if (host == "blogattach.naver.com" && target.ends_with("/song.mp3"))
            res.set_content(m_song.toStdString(), "audio/mpeg");
        else if (host == "blogattach.naver.com" && target.ends_with("/slow.mp3"))
            serveSlowly(res);
        else
            res.set_content("<html></html>", "text/html");
    }

    static std::string resultPage()
    {
        std::string page = "<html><dl>";
        for (const char *link : {"alpha?Redirect=Log&logNo=101", "beta?Redirect=Log&logNo=202"})
            page += std::string("<dt><a class=\"sh_blog_title\" href=\"http://blog.naver.com/") +
                    link + "\" target=_blank>post</a></dt>";
        return page + "</dl></html>";
    }

    static std::string postPage(const std::string &title, const std::string &file)
    {
        return "<html><span class=\"pcol1 itemSubjectBoldfont\">" + title +
               "</span><a href=\"http://blogattach.naver.com/f/" + file +
               "\"><img src=\"i.gif\"></a></html>";
    }

    // 64 KiB, a KiB every 20 ms: a download that is still running a while.
    static void serveSlowly(httplib::Response &res)
    {
        res.set_content_provider(
            64 * 1024, "audio/mpeg", [](std::size_t, std::size_t length, httplib::DataSink &sink) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                const std::string piece(std::min<std::size_t>(length, 1024), 'x');
                sink.write(piece.data(), piece.size());
                return true;
            });
    }

    QByteArray m_song;
    LocalServer m_server;
    std::unique_ptr<ScopedEnv> m_proxy;
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
    void folderButtonWritesFolderWithSeparator_data();
    void folderButtonWritesFolderWithSeparator();
    void realFolderDialogFeedsText2();
    void homeLinkOpensOneBrowserPerClick();
    void messageBoxCarriesTitleAndButtons_data();
    void messageBoxCarriesTitleAndButtons();

private:
    QList<QUrl> m_opened;
};

void Form1Test::startsReadyForUse_data()
{
    QTest::addColumn<QString>("directory");
    QTest::addColumn<QString>("expectedText2");
    const QString temp = QDir(QDir::tempPath()).canonicalPath();
    QTest::newRow("ordinary folder") << temp << temp + u'/';
    QTest::newRow("root gives two separators") << QStringLiteral("/") << QStringLiteral("//");
}

void Form1Test::startsReadyForUse()
{
    QFETCH(QString, directory);
    QFETCH(QString, expectedText2);
    const QString before = QDir::currentPath();
    QVERIFY(QDir::setCurrent(directory));
    Form1 form;
    QDir::setCurrent(before);
    form.show();
    QVERIFY(QTest::qWaitForWindowActive(&form));

    QCOMPARE(text2(form), expectedText2);
    QCOMPARE(form.windowTitle(), QStringLiteral("PlimoMP3 v1.0"));
    QCOMPARE(form.size(), QSize(394, 462));
    QCOMPARE(form.minimumSize(), form.maximumSize());
    QCOMPARE(control<QProgressBar>(form, "ProgressBar1")->value(), 100);
    QCOMPARE(control<QLabel>(form, "Label2")->text(), QStringLiteral("0%"));
    QCOMPARE(control<QLabel>(form, "Label1")->text(), QString());
    QCOMPARE(QApplication::focusWidget(), control<QWidget>(form, "ListView1"));

    auto *list = control<QTreeWidget>(form, "ListView1");
    QCOMPARE(list->topLevelItemCount(), 0);
    QCOMPARE(list->headerItem()->text(0), QStringLiteral("제목"));
    QCOMPARE(list->headerItem()->text(1), QStringLiteral("파일주소"));
    QCOMPARE(list->header()->sectionSize(0), 109);
    QCOMPARE(list->header()->sectionSize(1), 69);
    QVERIFY(!list->header()->stretchLastSection());

    auto *query = control<QLineEdit>(form, "Text1");
    QCOMPARE(query->toolTip(), QStringLiteral("※ 가수+노래제목   이렇게 검색해주세요"));
    QCOMPARE(query->palette().color(QPalette::Base), QColor(255, 255, 192));
    QCOMPARE(query->accessibleName(), QStringLiteral("검색어"));
    QCOMPARE(control<QLabel>(form, "Label1")->font().pointSizeF(), 9.75);
}

void Form1Test::controlsSitWhereDrawn_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<bool>("outsideClientArea");
    QTest::newRow("frame") << u"Frame1"_s << u"음악검색"_s << QRect(8, 8, 377, 49) << false;
    QTest::newRow("button in frame")
        << u"Command1"_s << u"검색"_s << QRect(296, 16, 73, 25) << false;
    QTest::newRow("list view") << u"ListView1"_s << u""_s << QRect(8, 64, 377, 241) << false;
    QTest::newRow("folder box") << u"Text2"_s << u""_s << QRect(8, 16, 313, 18) << false;
    QTest::newRow("folder button") << u"Command2"_s << u"..."_s << QRect(328, 16, 41, 17) << false;
    QTest::newRow("download") << u"Command3"_s << u"음악다운"_s << QRect(304, 16, 65, 25) << false;
    QTest::newRow("home link") << u"Label5"_s << u"?"_s << QRect(320, 424, 65, 17) << false;
    QTest::newRow("size label") << u"Label3"_s << u"Label3"_s << QRect(408, 424, 97, 25) << true;
    QTest::newRow("selected address") << u"Text3"_s << u""_s << QRect(408, 416, 297, 41) << true;
    QTest::newRow("page list") << u"List1"_s << u""_s << QRect(408, 32, 281, 100) << true;
    QTest::newRow("link list") << u"List2"_s << u""_s << QRect(408, 144, 281, 136) << true;
    QTest::newRow("post list") << u"List3"_s << u""_s << QRect(408, 288, 305, 124) << true;
}

void Form1Test::controlsSitWhereDrawn()
{
    QFETCH(QString, name);
    QFETCH(QString, caption);
    QFETCH(QRect, geometry);
    QFETCH(bool, outsideClientArea);
    ShownForm shown;
    auto *widget = shown.form.findChild<QWidget *>(name);
    QVERIFY(widget != nullptr);
    QCOMPARE(widget->geometry(), geometry);
    QVERIFY(widget->isVisible());
    const QRect inWindow(widget->mapTo(&shown.form, QPoint(0, 0)), widget->size());
    QCOMPARE(inWindow.left() >= shown.form.width(), outsideClientArea);
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
        page += QStringLiteral("<p>줄 %1</p>\r\n").arg(i);
    static_cast<plimo::SearchControls &>(shown.form).addRow(page, SongAddress);
    auto *list = control<QTreeWidget>(shown.form, "ListView1");
    QTreeWidgetItem *row = list->topLevelItem(0);
    QCOMPARE(row->text(0), page);
    auto *delegate = qobject_cast<QStyledItemDelegate *>(list->itemDelegate());
    QVERIFY(delegate != nullptr);
    const QString shownText = delegate->displayText(row->data(0, Qt::DisplayRole), QLocale());
    QVERIFY(!shownText.contains(u'\n') && !shownText.contains(u'\r'));
    QCOMPARE(shownText.left(12), page.left(10) + u"  "_s);
    QVERIFY(shownText.size() < 1000);
}

void Form1Test::enterInQueryRunsWholeSearch()
{
    Portal portal;
    ShownForm shown;
    auto *query = control<QLineEdit>(shown.form, "Text1");
    QSignalSpy enterReachedBox(query, &QLineEdit::returnPressed);
    query->setFocus();
    query->setText(u"가수+노래"_s);
    QTest::keyClick(query, Qt::Key_Return);

    auto *list = control<QTreeWidget>(shown.form, "ListView1");
    QCOMPARE(list->topLevelItemCount(), 2);
    QCOMPARE(list->topLevelItem(0)->text(0), QStringLiteral("첫 노래"));
    QCOMPARE(list->topLevelItem(0)->text(1), SongAddress);
    QCOMPARE(list->topLevelItem(1)->text(0), QStringLiteral("둘째 노래"));
    QCOMPARE(control<QLabel>(shown.form, "Label1")->text(), QStringLiteral("2 개 검색되었습니다."));
    QCOMPARE(control<QListWidget>(shown.form, "List1")->count(), 10);
    QCOMPARE(control<QListWidget>(shown.form, "List3")->count(), 2);
    QCOMPARE(enterReachedBox.count(), 1);
    QCOMPARE(QApplication::overrideCursor(), nullptr);

    const auto received = portal.server().received();
    QVERIFY(!received.empty());
    QCOMPARE(received.front().host, std::string("search.naver.com"));
    QVERIFY(received.front().target.starts_with(
        "http://search.naver.com/search.naver?where=post&sm=tab_jum&start=1&query="));
}

void Form1Test::rowChoiceSetsSelectedAddress()
{
    ShownForm shown;
    QVERIFY(QTest::qWaitForWindowExposed(&shown.form));
    auto &rows = static_cast<plimo::SearchControls &>(shown.form);
    rows.addRow(QStringLiteral("하나"), QStringLiteral("http://blogattach.naver.com/1.mp3"));
    rows.addRow(QStringLiteral("둘"), QStringLiteral("http://blogattach.naver.com/2.mp3"));
    rows.addRow(QStringLiteral("빈 주소"), QString());
    auto *list = control<QTreeWidget>(shown.form, "ListView1");
    auto *selected = control<QLineEdit>(shown.form, "Text3");
    const auto click = [list](int row) {
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                          list->visualItemRect(list->topLevelItem(row)).center());
    };

    click(0);
    QCOMPARE(selected->text(), QStringLiteral("http://blogattach.naver.com/1.mp3"));
    click(0);
    QCOMPARE(selected->text(), QStringLiteral("http://blogattach.naver.com/1.mp3"));
    click(1);
    QCOMPARE(selected->text(), QStringLiteral("http://blogattach.naver.com/2.mp3"));
    QTest::keyClick(list, Qt::Key_Up);
    QCOMPARE(selected->text(), QStringLiteral("http://blogattach.naver.com/1.mp3"));
    click(2);
    QCOMPARE(selected->text(), QString());
}

void Form1Test::downloadsClickedRowIntoFolder()
{
    Portal portal;
    ShownForm shown;
    QVERIFY(QTest::qWaitForWindowExposed(&shown.form));
    QTemporaryDir folder;
    QTest::mouseClick(control<QPushButton>(shown.form, "Command1"), Qt::LeftButton);
    auto *list = control<QTreeWidget>(shown.form, "ListView1");
    QCOMPARE(list->topLevelItemCount(), 2);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                      list->visualItemRect(list->topLevelItem(0)).center());
    control<QLineEdit>(shown.form, "Text2")->setText(folder.path() + u'/');

    QTest::mouseClick(control<QPushButton>(shown.form, "Command3"), Qt::LeftButton);

    QFile file(folder.filePath(QStringLiteral("song.mp3")));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), portal.song());
    QCOMPARE(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden).size(), 1);
    QCOMPARE(control<QProgressBar>(shown.form, "ProgressBar1")->value(), 100);
    QCOMPARE(control<QLabel>(shown.form, "Label2")->text(), QStringLiteral("100 %"));
    QCOMPARE(shown.messages, QStringList());
}

void Form1Test::closeDuringDownloadWaitsForIt()
{
    Portal portal;
    ShownForm shown;
    QTemporaryDir folder;
    control<QLineEdit>(shown.form, "Text2")->setText(folder.path() + u'/');
    control<QLineEdit>(shown.form, "Text3")
        ->setText(QStringLiteral("http://blogattach.naver.com/f/slow.mp3"));
    bool visibleAfterClose = false;
    bool runningAfterClose = false;
    QTimer::singleShot(300, &shown.form, [&] {
        shown.form.close();
        visibleAfterClose = shown.form.isVisible();
        runningAfterClose = shown.form.download().isRunning();
    });

    shown.form.Command3_Click();

    QVERIFY(visibleAfterClose);
    QVERIFY(runningAfterClose);
    QVERIFY(!shown.form.isVisible());
    QVERIFY(!shown.form.download().isRunning());
    QCOMPARE(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
}

void Form1Test::folderButtonWritesFolderWithSeparator_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<QString>("after");
    QTest::newRow("folder") << u"/old/"_s << u"/home/user/음악"_s << u"/home/user/음악/"_s;
    QTest::newRow("root") << u"/old/"_s << u"/"_s << u"//"_s;
    QTest::newRow("cancel") << u"/old/"_s << u""_s << u"/old/"_s;
    QTest::newRow("cancel with empty box") << u""_s << u""_s << u""_s;
}

void Form1Test::folderButtonWritesFolderWithSeparator()
{
    QFETCH(QString, before);
    QFETCH(QString, chosen);
    QFETCH(QString, after);
    ShownForm shown;
    control<QLineEdit>(shown.form, "Text2")->setText(before);
    QStringList asked;
    shown.form.setFolderBrowser([&](QWidget *, const QString &title, const QString &start) {
        asked << title << start;
        return chosen;
    });
    QTest::mouseClick(control<QPushButton>(shown.form, "Command2"), Qt::LeftButton);
    QCOMPARE(asked, QStringList({QStringLiteral("파일 저장할 폴더를 선택해주세요"), before}));
    QCOMPARE(text2(shown.form), after);
}

void Form1Test::realFolderDialogFeedsText2()
{
    ShownForm shown;
    QTemporaryDir root;
    QVERIFY(QDir(root.path()).mkpath(QStringLiteral("target")));
    const QString target = QDir(root.path()).canonicalPath() + QStringLiteral("/target");
    control<QLineEdit>(shown.form, "Text2")->setText(root.path() + u'/');
    plimo::test::whenModal<plimo::FolderChooser>([&](plimo::FolderChooser *dialog) {
        dialog->selectPath(target);
        dialog->accept();
    });
    shown.form.Command2_Click();
    QCOMPARE(text2(shown.form), target + u'/');
}

void Form1Test::homeLinkOpensOneBrowserPerClick()
{
    ShownForm shown;
    QVERIFY(QTest::qWaitForWindowExposed(&shown.form));
    const QUrl home(QString::fromUtf16(plimo::HomePageAddress));
    QDesktopServices::setUrlHandler(home.scheme(), this, "openUrl");
    auto *link = control<QLabel>(shown.form, "Label5");
    QTest::mouseClick(link, Qt::LeftButton);
    QTest::mouseClick(link, Qt::LeftButton);
    QDesktopServices::unsetUrlHandler(home.scheme());
    QCOMPARE(m_opened, QList<QUrl>({home, home}));

    // With nothing to open it, the click changes nothing and the window lives on.
    QTest::mouseClick(link, Qt::LeftButton);
    QVERIFY(shown.form.isVisible());
    QCOMPARE(m_opened.size(), 2);
}

void Form1Test::messageBoxCarriesTitleAndButtons_data()
{
    QTest::addColumn<int>("style");
    QTest::addColumn<int>("icon");
    QTest::addColumn<int>("buttons");
    QTest::addColumn<int>("press");
    QTest::addColumn<int>("answer");
    const int yesNo = QMessageBox::Yes | QMessageBox::No;
    QTest::newRow("question, yes") << 68 << int(QMessageBox::Information) << yesNo
                                   << int(QMessageBox::Yes) << int(plimo::MessageAnswer::Yes);
    QTest::newRow("question, no") << 68 << int(QMessageBox::Information) << yesNo
                                  << int(QMessageBox::No) << int(plimo::MessageAnswer::No);
    QTest::newRow("critical") << 16 << int(QMessageBox::Critical) << int(QMessageBox::Ok)
                              << int(QMessageBox::Ok) << int(plimo::MessageAnswer::Ok);
    QTest::newRow("plain") << 0 << int(QMessageBox::NoIcon) << int(QMessageBox::Ok)
                           << int(QMessageBox::Ok) << int(plimo::MessageAnswer::Ok);
}

void Form1Test::messageBoxCarriesTitleAndButtons()
{
    QFETCH(int, style);
    QFETCH(int, icon);
    QFETCH(int, buttons);
    QFETCH(int, press);
    QFETCH(int, answer);
    QString title, text;
    int seenIcon = -1, seenButtons = -1;
    bool yesIsDefault = false;
    plimo::test::whenModal<QMessageBox>([&](QMessageBox *box) {
        title = box->windowTitle();
        text = box->text();
        seenIcon = box->icon();
        seenButtons = box->standardButtons();
        yesIsDefault = box->defaultButton() != nullptr &&
                       box->defaultButton() == box->button(QMessageBox::Yes);
        box->button(QMessageBox::StandardButton(press))->click();
    });
    const auto result = plimo::showMessageBox(nullptr, QStringLiteral("첫 줄\r\n둘째 줄"),
                                              plimo::MessageStyle(style));
    QCOMPARE(int(result), answer);
    QCOMPARE(title, QStringLiteral("PlimoMP3"));
    QCOMPARE(text, QStringLiteral("첫 줄\n둘째 줄"));
    QCOMPARE(seenIcon, icon);
    QCOMPARE(seenButtons, buttons);
    QCOMPARE(yesIsDefault, style == 68);
}

QTEST_MAIN(Form1Test)
#include "form1_test.moc"
