#include "ui/accessibleresults.h"

#include <QAccessibleWidget>
#include <QHash>
#include <QHeaderView>
#include <QPersistentModelIndex>
#include <QPointer>
#include <QTreeWidget>

namespace plimo {
namespace {

// What every cell shares: no object of its own, no children, the list as
// its parent.
class Cell : public QAccessibleInterface {
public:
    explicit Cell(QTreeView *view) : m_view(view) {}

    // Its place among the list's children; -1 once it has none.
    virtual int position() const = 0;
    bool belongsTo(const QTreeView *view) const { return m_view == view; }

    QObject *object() const override { return nullptr; }
    QAccessibleInterface *parent() const override
    {
        return QAccessible::queryAccessibleInterface(m_view.data());
    }
    QAccessibleInterface *childAt(int, int) const override { return nullptr; }
    QAccessibleInterface *child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface *) const override { return -1; }
    void setText(QAccessible::Text, const QString &) override {}

protected:
    QPointer<QTreeView> m_view;
};

class HeaderCell final : public Cell {
public:
    HeaderCell(QTreeView *view, int column) : Cell(view), m_column(column) {}

    int position() const override { return isValid() ? m_column : -1; }
    bool isValid() const override
    {
        return m_view && m_view->model() && m_column < m_view->model()->columnCount();
    }
    QString text(QAccessible::Text kind) const override
    {
        if (kind != QAccessible::Name || !isValid())
            return {};
        return m_view->model()->headerData(m_column, Qt::Horizontal).toString();
    }
    QRect rect() const override
    {
        if (!isValid())
            return {};
        const QHeaderView *header = m_view->header();
        const QPoint corner(header->sectionViewportPosition(m_column), 0);
        return {header->viewport()->mapToGlobal(corner),
                QSize(header->sectionSize(m_column), header->height())};
    }
    QAccessible::Role role() const override { return QAccessible::ColumnHeader; }
    QAccessible::State state() const override
    {
        QAccessible::State state;
        state.invisible = !isValid() || !m_view->header()->isVisible();
        return state;
    }

private:
    int m_column;
};

// A row's cell follows its row through a persistent index.
class RowCell final : public Cell,
                      public QAccessibleTableCellInterface,
                      public QAccessibleActionInterface {
public:
    RowCell(QTreeView *view, const QModelIndex &index) : Cell(view), m_index(index) {}

    int position() const override
    {
        if (!isValid())
            return -1;
        return (m_index.row() + 1) * m_view->model()->columnCount() + m_index.column();
    }
    bool isValid() const override { return m_view && m_index.isValid(); }
    QString text(QAccessible::Text kind) const override
    {
        if (kind != QAccessible::Name || !isValid())
            return {};
        const QString name = m_index.data(Qt::AccessibleTextRole).toString();
        return name.isEmpty() ? m_index.data().toString() : name;
    }
    QRect rect() const override
    {
        const QRect shown = isValid() ? m_view->visualRect(m_index) : QRect();
        if (shown.isNull())
            return {};
        return shown.translated(m_view->viewport()->mapToGlobal(QPoint(0, 0)));
    }
    QAccessible::Role role() const override { return QAccessible::TreeItem; }
    QAccessible::State state() const override;
    void *interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::TableCellInterface)
            return static_cast<QAccessibleTableCellInterface *>(this);
        if (type == QAccessible::ActionInterface)
            return static_cast<QAccessibleActionInterface *>(this);
        return nullptr;
    }

    bool isSelected() const override
    {
        return isValid() && m_view->selectionModel()->isSelected(m_index);
    }
    QList<QAccessibleInterface *> columnHeaderCells() const override;
    QList<QAccessibleInterface *> rowHeaderCells() const override { return {}; }
    int columnIndex() const override { return isValid() ? m_index.column() : -1; }
    int rowIndex() const override { return isValid() ? m_index.row() : -1; }
    int columnExtent() const override { return 1; }
    int rowExtent() const override { return 1; }
    QAccessibleInterface *table() const override { return parent(); }

    // Toggling a cell chooses its row, as clicking it does.
    QStringList actionNames() const override { return {toggleAction()}; }
    void doAction(const QString &name) override
    {
        if (name == toggleAction() && isValid() && !isSelected())
            m_view->setCurrentIndex(m_index);
    }
    QStringList keyBindingsForAction(const QString &) const override { return {}; }

private:
    QPersistentModelIndex m_index;
};

QAccessible::State RowCell::state() const
{
    QAccessible::State state;
    if (!isValid())
        return state;
    state.invisible = !m_view->viewport()->rect().intersects(m_view->visualRect(m_index));
    state.selectable = state.focusable = m_index.flags().testFlag(Qt::ItemIsSelectable);
    state.selected = isSelected();
    state.focused = m_view->currentIndex() == m_index;
    return state;
}

QList<QAccessibleInterface *> RowCell::columnHeaderCells() const
{
    QAccessibleInterface *list = table();
    QAccessibleInterface *header = isValid() && list ? list->child(m_index.column()) : nullptr;
    return header ? QList<QAccessibleInterface *>{header} : QList<QAccessibleInterface *>{};
}

class ResultsTable final : public QAccessibleWidget, public QAccessibleTableInterface {
public:
    explicit ResultsTable(QTreeView *view) : QAccessibleWidget(view, QAccessible::Tree) {}
    ~ResultsTable() override;
    ResultsTable(const ResultsTable &) = delete;
    ResultsTable &operator=(const ResultsTable &) = delete;

    // Screen readers ask nothing more of an interface that is not valid.
    bool isValid() const override
    {
        return QAccessibleWidget::isValid() && model() != nullptr && selection() != nullptr;
    }
    QAccessibleInterface *child(int index) const override;
    int childCount() const override { return (rowCount() + 1) * columnCount(); }
    int indexOfChild(const QAccessibleInterface *child) const override;
    QAccessibleInterface *childAt(int x, int y) const override;
    QAccessibleInterface *focusChild() const override { return cellOf(view()->currentIndex()); }
    void *interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::TableInterface)
            return static_cast<QAccessibleTableInterface *>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    QAccessibleInterface *caption() const override { return nullptr; }
    QAccessibleInterface *summary() const override { return nullptr; }
    QAccessibleInterface *cellAt(int row, int column) const override
    {
        return model() ? cellOf(model()->index(row, column)) : nullptr;
    }
    int selectedCellCount() const override { return int(selection()->selectedIndexes().size()); }
    QList<QAccessibleInterface *> selectedCells() const override;
    QString columnDescription(int column) const override
    {
        return model() ? model()->headerData(column, Qt::Horizontal).toString() : QString();
    }
    QString rowDescription(int) const override { return {}; }
    int selectedColumnCount() const override { return int(selectedColumns().size()); }
    int selectedRowCount() const override { return int(selectedRows().size()); }
    // No model: the view is being destroyed.
    int columnCount() const override { return model() ? model()->columnCount() : 0; }
    int rowCount() const override { return model() ? model()->rowCount() : 0; }
    QList<int> selectedColumns() const override;
    QList<int> selectedRows() const override;
    bool isColumnSelected(int column) const override
    {
        return selection()->isColumnSelected(column);
    }
    bool isRowSelected(int row) const override { return selection()->isRowSelected(row); }
    bool selectRow(int row) override;
    bool selectColumn(int) override { return false; }
    bool unselectRow(int row) override;
    bool unselectColumn(int) override { return false; }
    void modelChange(QAccessibleTableModelChangeEvent *event) override;

private:
    QTreeView *view() const { return static_cast<QTreeView *>(widget()); }
    QAbstractItemModel *model() const { return view()->model(); }
    QItemSelectionModel *selection() const { return view()->selectionModel(); }
    QAccessibleInterface *cellOf(const QModelIndex &index) const;
    Cell *cached(int index) const;
    Cell *make(int index) const;

    mutable QHash<int, QAccessible::Id> m_cells;  // by position
};

ResultsTable::~ResultsTable()
{
    for (const QAccessible::Id id : std::as_const(m_cells))
        QAccessible::deleteAccessibleInterface(id);
}

QAccessibleInterface *ResultsTable::child(int index) const
{
    if (index < 0 || index >= childCount())
        return nullptr;
    if (Cell *cell = cached(index))
        return cell;
    Cell *cell = make(index);
    if (cell != nullptr)
        m_cells.insert(index, QAccessible::registerAccessibleInterface(cell));
    return cell;
}

// The cell kept for a position, if it still stands there; one that has
// moved or lost its row is let go.
Cell *ResultsTable::cached(int index) const
{
    const auto kept = m_cells.constFind(index);
    if (kept == m_cells.constEnd())
        return nullptr;
    auto *cell = dynamic_cast<Cell *>(QAccessible::accessibleInterface(*kept));
    if (cell != nullptr && cell->position() == index)
        return cell;
    QAccessible::deleteAccessibleInterface(*kept);
    m_cells.erase(kept);
    return nullptr;
}

Cell *ResultsTable::make(int index) const
{
    const int columns = columnCount();
    if (index < columns)
        return new HeaderCell(view(), index);
    const QModelIndex item = model()->index(index / columns - 1, index % columns);
    return item.isValid() ? new RowCell(view(), item) : nullptr;
}

int ResultsTable::indexOfChild(const QAccessibleInterface *child) const
{
    const auto *cell = dynamic_cast<const Cell *>(child);
    return cell != nullptr && cell->belongsTo(view()) ? cell->position() : -1;
}

QAccessibleInterface *ResultsTable::childAt(int x, int y) const
{
    return cellOf(view()->indexAt(view()->viewport()->mapFromGlobal(QPoint(x, y))));
}

QAccessibleInterface *ResultsTable::cellOf(const QModelIndex &index) const
{
    if (!index.isValid() || index.parent().isValid())
        return nullptr;
    return child((index.row() + 1) * columnCount() + index.column());
}

QList<QAccessibleInterface *> ResultsTable::selectedCells() const
{
    QList<QAccessibleInterface *> cells;
    for (const QModelIndex &index : selection()->selectedIndexes()) {
        if (QAccessibleInterface *cell = cellOf(index))
            cells.append(cell);
    }
    return cells;
}

QList<int> ResultsTable::selectedColumns() const
{
    QList<int> columns;
    for (const QModelIndex &index : selection()->selectedColumns())
        columns.append(index.column());
    return columns;
}

QList<int> ResultsTable::selectedRows() const
{
    QList<int> rows;
    for (const QModelIndex &index : selection()->selectedRows())
        rows.append(index.row());
    return rows;
}

bool ResultsTable::selectRow(int row)
{
    const QModelIndex index = model()->index(row, 0);
    if (!index.isValid() || view()->selectionMode() == QAbstractItemView::NoSelection)
        return false;
    const bool alone = view()->selectionMode() == QAbstractItemView::SingleSelection;
    selection()->select(
        index, (alone ? QItemSelectionModel::ClearAndSelect : QItemSelectionModel::Select) |
                   QItemSelectionModel::Rows);
    return true;
}

bool ResultsTable::unselectRow(int row)
{
    const QModelIndex index = model()->index(row, 0);
    if (!index.isValid())
        return false;
    selection()->select(index, QItemSelectionModel::Deselect | QItemSelectionModel::Rows);
    return true;
}

// Rows came, went or were all replaced: each kept cell moves to where its
// row now stands, and a cell whose row is gone is let go.
void ResultsTable::modelChange(QAccessibleTableModelChangeEvent *)
{
    QHash<int, QAccessible::Id> settled;
    for (const QAccessible::Id id : std::as_const(m_cells)) {
        const auto *cell = dynamic_cast<Cell *>(QAccessible::accessibleInterface(id));
        const int position = cell != nullptr ? cell->position() : -1;
        if (position >= 0 && !settled.contains(position))
            settled.insert(position, id);
        else
            QAccessible::deleteAccessibleInterface(id);
    }
    m_cells = std::move(settled);
}

}  // namespace

QAccessibleInterface *accessibleResults(const QString &className, QObject *object)
{
    if (className != u"QTreeWidget" || object->objectName() != u"ListView1")
        return nullptr;
    return new ResultsTable(static_cast<QTreeWidget *>(object));
}

}  // namespace plimo
