#include "tests/support/localserver.h"
#include "ui/form1.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QFileInfo>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

#include <memory>

using namespace Qt::StringLiterals;
using plimo::Form1;

namespace {

// A shown window whose dialogs are counted: message boxes answer OK, the
// folder dialog is cancelled.
struct ShownForm {
    ShownForm()
    {
        form.setMessageBox([this](QWidget *, const QString &text, plimo::MessageStyle) {
            messages << text;
            return plimo::MessageAnswer::Ok;
        });
        form.setFolderBrowser([this](QWidget *, const QString &, const QString &) {
            ++folderDialogs;
            return QString();
        });
        form.show();
    }
    template <typename T = QWidget> T *find(const QString &n) { return form.findChild<T *>(n); }
    QString text3() { return find<QLineEdit>(u"Text3"_s)->text(); }
    QTreeWidget *list() { return find<QTreeWidget>(u"ListView1"_s); }
    QPoint rowCenter(int row) { return list()->visualItemRect(list()->topLevelItem(row)).center(); }
    // Rows as a search would leave them, without one.
    void addRows(int count)
    {
        auto &controls = static_cast<plimo::SearchControls &>(form);
        for (int i = 0; i < count; ++i)
            controls.addRow(u"제목 %1"_s.arg(i), address(i));
    }
    static QString address(int row) { return u"http://files.test/%1.mp3"_s.arg(row); }

    Form1 form;
    QStringList messages;
    int folderDialogs = 0;
};

}  // namespace

class WindowHandsTest final : public QObject {
    Q_OBJECT

public slots:
    void openUrl(const QUrl &url) { m_opened << url; }

private slots:
    void initTestCase();
    void buttonsClickOnce_data();
    void buttonsClickOnce();
    void text3TakesNoKeys();
    void onlyLeftButtonChoosesRow();
    void headersStayInPlace();
    void homeLinkOpensInstalledPage();

private:
    // Every search goes to this server, which has no pages: a search ends at
    // once, with its first result page recorded.
    std::unique_ptr<plimo::test::LocalServer> m_server;
    std::unique_ptr<plimo::test::ScopedEnv> m_proxy;
    QList<QUrl> m_opened;
};

void WindowHandsTest::initTestCase()
{
    m_server = std::make_unique<plimo::test::LocalServer>();
    m_server->start();
    m_proxy = std::make_unique<plimo::test::ScopedEnv>("http_proxy", m_server->proxyAddress());
}

void WindowHandsTest::buttonsClickOnce_data()
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

void WindowHandsTest::buttonsClickOnce()
{
    QFETCH(QString, button);
    QFETCH(int, key);
    QFETCH(QList<int>, handled);
    ShownForm shown;
    QVERIFY(QTest::qWaitForWindowActive(&shown.form));
    auto *pushButton = shown.find<QPushButton>(button);
    pushButton->setFocus();
    QCOMPARE(QApplication::focusWidget(), pushButton);
    const std::size_t requestsBefore = m_server->received().size();

    if (key == 0)
        QTest::mouseClick(pushButton, Qt::LeftButton);
    else
        QTest::keyClick(pushButton, Qt::Key(key));
    QTRY_VERIFY_WITH_TIMEOUT(shown.find<QPushButton>(u"Command1"_s)->isEnabled(), 20'000);

    int searches = 0;
    const auto received = m_server->received();
    for (std::size_t i = requestsBefore; i < received.size(); ++i)
        searches += received[i].target.find("&start=1&") != std::string::npos;
    QCOMPARE(QList<int>({searches, shown.folderDialogs, int(shown.messages.size())}), handled);
}

// Keys typed into Text3 would change, unseen, the address 음악다운 fetches.
void WindowHandsTest::text3TakesNoKeys()
{
    ShownForm shown;
    QVERIFY(QTest::qWaitForWindowActive(&shown.form));
    shown.addRows(2);
    QTest::mouseClick(shown.list()->viewport(), Qt::LeftButton, {}, shown.rowCenter(0));
    QCOMPARE(shown.text3(), ShownForm::address(0));

    QGuiApplication::clipboard()->setText(u"http://elsewhere.test/other.mp3"_s);
    auto *text3 = shown.find<QLineEdit>(u"Text3"_s);
    text3->setFocus();
    const std::tuple<const char *, QKeyCombination> keys[] = {
        {"a letter", Qt::Key_A},
        {"backspace", Qt::Key_Backspace},
        {"paste", Qt::ControlModifier | Qt::Key_V},
    };
    for (const auto &[name, key] : keys) {
        QTest::keyClick(text3, key.key(), key.keyboardModifiers());
        QVERIFY2(shown.text3() == ShownForm::address(0), name);
    }
}

void WindowHandsTest::onlyLeftButtonChoosesRow()
{
    ShownForm shown;
    QVERIFY(QTest::qWaitForWindowActive(&shown.form));
    shown.addRows(3);
    QWidget *rows = shown.list()->viewport();
    QTest::mouseClick(rows, Qt::LeftButton, {}, shown.rowCenter(0));
    QCOMPARE(shown.text3(), ShownForm::address(0));

    const std::tuple<const char *, Qt::MouseButton, bool> others[] = {
        {"right click", Qt::RightButton, false},
        {"right double-click", Qt::RightButton, true},
        {"middle click", Qt::MiddleButton, false},
    };
    for (const auto &[name, button, twice] : others) {
        if (twice)
            QTest::mouseDClick(rows, button, {}, shown.rowCenter(1));
        else
            QTest::mouseClick(rows, button, {}, shown.rowCenter(1));
        QVERIFY2(shown.text3() == ShownForm::address(0), name);
        QVERIFY2(shown.list()->selectedItems() ==
                     QList<QTreeWidgetItem *>{shown.list()->topLevelItem(0)},
                 name);
    }

    QTest::mouseClick(rows, Qt::LeftButton, {}, shown.rowCenter(2));
    QCOMPARE(shown.text3(), ShownForm::address(2));
}

void WindowHandsTest::headersStayInPlace()
{
    ShownForm shown;
    QVERIFY(QTest::qWaitForWindowActive(&shown.form));
    QHeaderView *header = shown.list()->header();
    QWidget *strip = header->viewport();
    const int y = header->height() / 2;
    const auto drag = [&](int fromX, int toX) {
        QTest::mousePress(strip, Qt::LeftButton, {}, QPoint(fromX, y));
        for (int x = fromX; x != toX; x += fromX < toX ? 1 : -1)
            QTest::mouseMove(strip, QPoint(x, y));
        QTest::mouseRelease(strip, Qt::LeftButton, {}, QPoint(toX, y));
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
void WindowHandsTest::homeLinkOpensInstalledPage()
{
    ShownForm shown;
    QVERIFY(QTest::qWaitForWindowActive(&shown.form));
    QDesktopServices::setUrlHandler(u"file"_s, this, "openUrl");
    QDesktopServices::setUrlHandler(u"https"_s, this, "openUrl");
    QTest::mouseClick(shown.find(u"Label5"_s), Qt::LeftButton);
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
    QTest::mouseClick(shown.find(u"Label5"_s), Qt::LeftButton);
    QDesktopServices::unsetUrlHandler(u"file"_s);
    QCOMPARE(shown.messages.size(), 1);
    QVERIFY2(shown.messages[0].endsWith(u'\n' + page.toLocalFile()), qPrintable(shown.messages[0]));
}

QTEST_MAIN(WindowHandsTest)
#include "windowhands_test.moc"
