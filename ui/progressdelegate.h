#pragma once

// The progress cell of the downloads list, painted as a progress bar.

#include <QStyledItemDelegate>

namespace plimo {

// Paints a cell whose DownloadLine::ProgressRole holds a percent as a
// progress bar carrying the cell's display text ("42 %"); a cell without one
// (the size is not known yet) is painted as any other. The text stays the
// cell's data, so assistive technology reads it as it reads every cell.
class ProgressDelegate final : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override;
};

}  // namespace plimo
