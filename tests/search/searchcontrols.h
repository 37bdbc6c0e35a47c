#pragma once

// An in-memory stand-in for the window's controls, so the search run can be
// driven and inspected without a display.

#include "search/extract.h"
#include "search/searchrun.h"

#include <QList>
#include <QStringList>

namespace plimo::test {

struct MemoryList final : WorkList {
    void clear() override { items.clear(); }
    void append(const QString &item) override { items.append(item); }
    qsizetype count() const override { return items.size(); }
    QString item(qsizetype index) const override { return items.at(index); }

    QStringList items;
};

struct MemoryControls final : SearchControls {
    using Row = extract::Row;

    QString queryText() const override { return query; }
    WorkList &list1() override { return list1Items; }
    WorkList &list2() override { return list2Items; }
    WorkList &list3() override { return list3Items; }
    void clearRows() override { rows.clear(); }
    void addRow(const QString &title, const QString &fileAddress) override
    {
        rows.append({title, fileAddress});
    }
    qsizetype rowCount() const override { return rows.size(); }
    void clearSelectedAddress() override { selectedAddress.clear(); }
    void setStatus(const QString &text) override { statuses.append(text); }

    QString query;
    MemoryList list1Items, list2Items, list3Items;
    QList<Row> rows;
    QString selectedAddress;
    QStringList statuses;  // every status text, in the order written
};

}  // namespace plimo::test
