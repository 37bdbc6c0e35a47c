#include "download/folderchooser.h"
#include "tests/ui/modaldialog.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>

using plimo::BrowseFolder;
using plimo::FolderChooser;
using plimo::test::whenModal;

namespace {

const QString Title = QStringLiteral("파일 저장할 폴더를 선택해주세요");

// What the dialog showed when it opened and after each key, and how it ended.
struct Seen {
    QString instruction;
    QString preselected;
    QString status;
    bool preselectedInView = false;
    bool okEnabled = false;
    QStringList statusAfterKeys;
};

bool currentInView(QTreeView *tree)
{
    return tree->viewport()->rect().intersects(tree->visualRect(tree->currentIndex()));
}

}  // namespace

class FolderChooserTest final : public QObject {
    Q_OBJECT

private slots:
    void init();
    void opensOnFolderOfStartPath_data();
    void opensOnFolderOfStartPath();
    void statusLineFollowsSelection();
    void okGivesPathWithoutTrailingSeparator_data();
    void okGivesPathWithoutTrailingSeparator();
    void cancelAndCloseGiveNothing_data();
    void cancelAndCloseGiveNothing();

private:
    QTemporaryDir m_root;
    QString m_deep;  // root/a/b, a's only child is b
};

void FolderChooserTest::init()
{
    QVERIFY(m_root.isValid());
    QVERIFY(QDir(m_root.path()).mkpath(QStringLiteral("a/b")));
    m_deep = QDir(m_root.path()).canonicalPath() + QStringLiteral("/a/b");
}

void FolderChooserTest::opensOnFolderOfStartPath_data()
{
    QTest::addColumn<QString>("startPath");
    QTest::addColumn<bool>("found");
    QTest::newRow("folder with separator") << QStringLiteral("DEEP/") << true;
    QTest::newRow("folder without separator") << QStringLiteral("DEEP") << true;
    QTest::newRow("root with two separators") << QStringLiteral("//") << true;
    QTest::newRow("missing folder") << QStringLiteral("DEEP/gone/") << false;
    QTest::newRow("empty") << QString() << false;
}

void FolderChooserTest::opensOnFolderOfStartPath()
{
    QFETCH(QString, startPath);
    QFETCH(bool, found);
    startPath.replace(QStringLiteral("DEEP"), m_deep);
    Seen seen;
    whenModal<FolderChooser>([&](FolderChooser *dialog) {
        seen.instruction = dialog->instructionText();
        QTest::qWait(300);  // the folders around it fill in meanwhile
        seen.preselectedInView =
            QTest::qWaitFor([&] { return currentInView(dialog->folderTree()); }, 2000);
        seen.preselected = dialog->selectedPath();
        seen.status = dialog->statusText();
        seen.okEnabled =
            dialog->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok)->isEnabled();
        dialog->reject();
    });
    QCOMPARE(BrowseFolder(nullptr, Title, startPath), QString());
    QCOMPARE(plimo::BrowseStartPath, startPath);
    QCOMPARE(seen.instruction, Title);
    // Without a folder to start on, the dialog starts on the root.
    const QString expected =
        found && startPath != QStringLiteral("//") ? m_deep : QStringLiteral("/");
    QCOMPARE(seen.preselected, expected);
    QCOMPARE(seen.status, expected);
    QVERIFY(seen.okEnabled);
    QVERIFY(seen.preselectedInView);
}

void FolderChooserTest::statusLineFollowsSelection()
{
    Seen seen;
    whenModal<FolderChooser>([&](FolderChooser *dialog) {
        QTreeView *tree = dialog->folderTree();
        tree->setFocus();
        for (Qt::Key key : {Qt::Key_Up, Qt::Key_Down}) {
            QTest::keyClick(tree, key);
            seen.statusAfterKeys << dialog->statusText();
        }
        QTest::keyClick(tree, Qt::Key_Up);
        dialog->accept();
    });
    const QString chosen = BrowseFolder(nullptr, Title, m_deep + u'/');
    const QString parent = QFileInfo(m_deep).absolutePath();
    QCOMPARE(seen.statusAfterKeys, QStringList({parent, m_deep}));
    QCOMPARE(chosen, parent);
}

void FolderChooserTest::okGivesPathWithoutTrailingSeparator_data()
{
    QTest::addColumn<QString>("select");
    QTest::addColumn<QString>("expected");
    QTest::newRow("ordinary folder") << QStringLiteral("DEEP/") << QStringLiteral("DEEP");
    QTest::newRow("root") << QStringLiteral("/") << QStringLiteral("/");
}

void FolderChooserTest::okGivesPathWithoutTrailingSeparator()
{
    QFETCH(QString, select);
    QFETCH(QString, expected);
    select.replace(QStringLiteral("DEEP"), m_deep);
    expected.replace(QStringLiteral("DEEP"), m_deep);
    whenModal<FolderChooser>([&](FolderChooser *dialog) {
        dialog->selectPath(select);
        dialog->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok)->click();
    });
    QCOMPARE(BrowseFolder(nullptr, Title, QString()), expected);
}

void FolderChooserTest::cancelAndCloseGiveNothing_data()
{
    QTest::addColumn<bool>("byClosing");
    QTest::newRow("cancel button") << false;
    QTest::newRow("window closed") << true;
}

void FolderChooserTest::cancelAndCloseGiveNothing()
{
    QFETCH(bool, byClosing);
    whenModal<FolderChooser>([&](FolderChooser *dialog) {
        if (byClosing)
            dialog->close();
        else
            dialog->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Cancel)->click();
    });
    QCOMPARE(BrowseFolder(nullptr, Title, m_deep), QString());
}

QTEST_MAIN(FolderChooserTest)
#include "folderchooser_test.moc"
