#include "download/folderchooser.h"
#include "tests/ui/modaldialog.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>

using namespace Qt::StringLiterals;
using plimo::BrowseFolder;
using plimo::FolderChooser;
using plimo::test::whenModal;

namespace {

const QString Title = u"파일 저장할 폴더를 선택해주세요"_s;

bool currentInView(QTreeView *tree)
{
    return tree->viewport()->rect().intersects(tree->visualRect(tree->currentIndex()));
}

}  // namespace

// OK, Cancel and the root are driven through the window's folder button in
// form1_test; here is what the dialog itself shows.
class FolderChooserTest final : public QObject {
    Q_OBJECT

private slots:
    void init();
    void opensOnFolderOfStartPath_data();
    void opensOnFolderOfStartPath();
    void statusLineFollowsSelection();
    void closingGivesNothing();

private:
    QTemporaryDir m_root;
    QString m_deep;  // root/a/b, a's only child is b
};

void FolderChooserTest::init()
{
    QVERIFY(QDir(m_root.path()).mkpath(u"a/b"_s));
    m_deep = QDir(m_root.path()).canonicalPath() + u"/a/b"_s;
}

void FolderChooserTest::opensOnFolderOfStartPath_data()
{
    QTest::addColumn<QString>("startPath");
    QTest::addColumn<QString>("opensOn");  // the dialog's own start is the root
    QTest::newRow("folder with separator") << u"DEEP/"_s << u"DEEP"_s;
    QTest::newRow("folder without separator") << u"DEEP"_s << u"DEEP"_s;
    QTest::newRow("root with two separators") << u"//"_s << u"/"_s;
    QTest::newRow("missing folder") << u"DEEP/gone/"_s << u"/"_s;
    QTest::newRow("empty") << QString() << u"/"_s;
}

void FolderChooserTest::opensOnFolderOfStartPath()
{
    QFETCH(QString, startPath);
    QFETCH(QString, opensOn);
    startPath.replace(u"DEEP"_s, m_deep);
    opensOn.replace(u"DEEP"_s, m_deep);
    QStringList seen;
    bool inView = false, okEnabled = false;
    whenModal<FolderChooser>([&](FolderChooser *dialog) {
        QTest::qWait(300);  // the folders around it fill in meanwhile
        inView = QTest::qWaitFor([&] { return currentInView(dialog->folderTree()); }, 2000);
        seen << dialog->instructionText() << dialog->selectedPath() << dialog->statusText();
        okEnabled =
            dialog->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok)->isEnabled();
        dialog->reject();
    });
    QCOMPARE(BrowseFolder(nullptr, Title, startPath), QString());
    QCOMPARE(plimo::BrowseStartPath, startPath);
    QCOMPARE(seen, QStringList({Title, opensOn, opensOn}));
    QVERIFY(inView);
    QVERIFY(okEnabled);
}

void FolderChooserTest::statusLineFollowsSelection()
{
    QStringList statusAfterKeys;
    whenModal<FolderChooser>([&](FolderChooser *dialog) {
        QTreeView *tree = dialog->folderTree();
        for (Qt::Key key : {Qt::Key_Up, Qt::Key_Down, Qt::Key_Up}) {
            QTest::keyClick(tree, key);
            statusAfterKeys << dialog->statusText();
        }
        dialog->accept();
    });
    const QString chosen = BrowseFolder(nullptr, Title, m_deep + u'/');
    const QString parent = QFileInfo(m_deep).absolutePath();
    QCOMPARE(statusAfterKeys, QStringList({parent, m_deep, parent}));
    QCOMPARE(chosen, parent);
}

void FolderChooserTest::closingGivesNothing()
{
    whenModal<FolderChooser>([](FolderChooser *dialog) {
        dialog->selectPath(u"/"_s);
        dialog->close();
    });
    QCOMPARE(BrowseFolder(nullptr, Title, m_deep), QString());
}

QTEST_MAIN(FolderChooserTest)
#include "folderchooser_test.moc"
