#include "tests/ui/modaldialog.h"
#include "ui/folderchooser.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>

using namespace Qt::StringLiterals;
using namespace plimo;
using plimo::test::whenModal;

const QString Title = u"파일 저장할 폴더를 선택해주세요"_s;

// OK, Cancel and the root are driven through the window's folder button in
// form1_test; here is what the dialog itself shows.
class FolderChooserTest final : public QObject {
    Q_OBJECT

private slots:
    void opensOnTheStartFolderAndFollowsTheSelection();
};

void FolderChooserTest::opensOnTheStartFolderAndFollowsTheSelection()
{
    // The start path and the folder preselected and shown, with OK ready; a
    // trailing separator goes first, and the dialog's own start is the root.
    QTemporaryDir temp;
    const QString deep = QDir(temp.path()).canonicalPath() + u"/a/b"_s, root = u"/"_s;
    QVERIFY(QDir().mkpath(deep));  // a holds only b
    const std::pair<QString, QString> rows[] = {
        {deep + u'/', deep}, {deep, deep}, {u"//"_s, root}, {deep + u"/gone/"_s, root}, {{}, root}};
    for (const auto &[startPath, opensOn] : rows) {
        QStringList seen;
        whenModal<FolderChooser>([&](FolderChooser *dialog) {
            QTest::qWait(300);  // the folders around it fill in meanwhile
            QTreeView *tree = dialog->folderTree();
            const bool inView = QTest::qWaitFor(
                [&] {
                    return tree->viewport()->rect().intersects(
                        tree->visualRect(tree->currentIndex()));
                },
                10'000);
            auto *ok = dialog->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok);
            seen << dialog->BrowseStartPath << dialog->instructionText() << dialog->selectedPath()
                 << dialog->statusText()
                 << (inView && ok->isEnabled() ? u"in view, OK ready"_s : u"not ready"_s);
            dialog->reject();
        });
        QCOMPARE(BrowseFolder(nullptr, Title, startPath), QString());
        QCOMPARE(seen, QStringList({startPath, Title, opensOn, opensOn, u"in view, OK ready"_s}));
    }

    // The status line shows the full path of each new selection.
    QStringList statusAfterKeys;
    whenModal<FolderChooser>([&](FolderChooser *dialog) {
        for (Qt::Key key : {Qt::Key_Up, Qt::Key_Down, Qt::Key_Up}) {
            QTest::keyClick(dialog->folderTree(), key);
            statusAfterKeys << dialog->statusText();
        }
        dialog->accept();
    });
    const QString chosen = BrowseFolder(nullptr, Title, deep + u'/');
    const QString parent = QFileInfo(deep).absolutePath();
    QCOMPARE(statusAfterKeys, QStringList({parent, deep, parent}));
    QCOMPARE(chosen, parent);
}

QTEST_MAIN(FolderChooserTest)
#include "folderchooser_test.moc"
