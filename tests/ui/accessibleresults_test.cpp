#include "search/searchrun.h"
#include "ui/form1.h"

#include <QAccessible>
#include <QLineEdit>
#include <QTest>
#include <QTreeWidget>

using namespace Qt::StringLiterals;

class AccessibleResultsTest final : public QObject {
    Q_OBJECT

private slots:
    void cellsAreKeptWhileTheirRowsStand();
};

// A screen reader asking for a cell again gets the interface it had, also
// after rows were added; the rows of a search that was replaced leave no
// interface behind, whether the view reports the change (it does when a
// screen reader is on) or not.
void AccessibleResultsTest::cellsAreKeptWhileTheirRowsStand()
{
    plimo::Form1 form;
    auto &controls = static_cast<plimo::SearchControls &>(form);
    auto *view = form.findChild<QTreeWidget *>(u"ListView1"_s);
    QAccessibleInterface *list = QAccessible::queryAccessibleInterface(view);
    QAccessibleTableInterface *table = list->tableInterface();
    const auto report = [&](QAccessibleTableModelChangeEvent::ModelChangeType change) {
        QAccessibleTableModelChangeEvent event(view, change);
        table->modelChange(&event);
    };
    controls.addRow(u"봄"_s, u"http://files.test/1.mp3"_s);
    controls.addRow(u"여름"_s, u"http://files.test/2.mp3"_s);
    QCOMPARE(list->childCount(), 6);
    QCOMPARE(list->child(1)->text(QAccessible::Name), u"파일주소"_s);
    // Compared by id: a new interface may take a freed one's address.
    const auto idOf = [](QAccessibleInterface *cell) { return QAccessible::uniqueId(cell); };
    QAccessibleInterface *summer = table->cellAt(1, 0);
    const QAccessible::Id reported = idOf(summer);
    QCOMPARE(summer->text(QAccessible::Name), u"여름"_s);
    QCOMPARE(idOf(list->child(4)), reported);

    controls.addRow(u"가을"_s, u"http://files.test/3.mp3"_s);
    report(QAccessibleTableModelChangeEvent::RowsInserted);
    QCOMPARE(idOf(table->cellAt(1, 0)), reported);
    summer->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
    QCOMPARE(form.findChild<QLineEdit *>(u"Text3"_s)->text(), u"http://files.test/2.mp3"_s);

    controls.clearRows();
    report(QAccessibleTableModelChangeEvent::ModelReset);
    QVERIFY(!QAccessible::accessibleInterface(reported));

    controls.addRow(u"겨울"_s, u"http://files.test/4.mp3"_s);
    const QAccessible::Id unreported = idOf(table->cellAt(0, 0));
    controls.clearRows();
    controls.addRow(u"눈"_s, u"http://files.test/5.mp3"_s);
    QCOMPARE(table->cellAt(0, 0)->text(QAccessible::Name), u"눈"_s);
    QVERIFY(!QAccessible::accessibleInterface(unreported));
}

QTEST_MAIN(AccessibleResultsTest)
#include "accessibleresults_test.moc"
