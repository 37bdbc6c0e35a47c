#pragma once

// What screen readers see of the results list (ListView1), laid out as Qt
// lays out any tree view for them: a tree whose children are the header's
// cells, then each row's cells, row by row; child (row + 1) * columns +
// column is a row's cell, so the focus and selection events the view sends
// name the cells given here.
//
// Qt's own interface for tree views makes and registers a new interface
// each time a cell is asked for and frees none of them before the program
// ends, so a screen reader going over the rows after every search made
// memory grow without bound. This one keeps one interface per position
// asked for, and frees a row's once the row is gone: when the view reports
// the change, or at the latest when that position is asked for again.

class QAccessibleInterface;
class QObject;
class QString;

namespace plimo {

// For QAccessible::installFactory: the interface of a QTreeWidget named
// "ListView1" whose rows are all top-level items; nullptr for anything else.
QAccessibleInterface *accessibleResults(const QString &className, QObject *object);

}  // namespace plimo
