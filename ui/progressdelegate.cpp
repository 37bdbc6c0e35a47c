#include "ui/progressdelegate.h"

#include "download/downloadline.h"

#include <QApplication>
#include <QStyleOptionProgressBar>

namespace plimo {

void ProgressDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option,
                             const QModelIndex &index) const
{
    const QVariant percent = index.data(DownloadLine::ProgressRole);
    if (!percent.isValid()) {
        QStyledItemDelegate::paint(painter, option, index);
        return;
    }
    QStyle *style = option.widget != nullptr ? option.widget->style() : QApplication::style();
    // The row's selection and focus stay visible around the bar.
    QStyleOptionViewItem cell = option;
    initStyleOption(&cell, index);
    cell.text.clear();
    style->drawControl(QStyle::CE_ItemViewItem, &cell, painter, option.widget);

    QStyleOptionProgressBar bar;
    bar.state = option.state | QStyle::State_Horizontal;
    bar.direction = option.direction;
    bar.palette = option.palette;
    bar.fontMetrics = option.fontMetrics;
    bar.rect = option.rect.adjusted(2, 2, -2, -2);
    bar.minimum = 0;
    bar.maximum = 100;
    bar.progress = qBound(0, percent.toInt(), 100);
    bar.text = index.data(Qt::DisplayRole).toString();
    bar.textAlignment = Qt::AlignCenter;
    bar.textVisible = true;
    style->drawControl(QStyle::CE_ProgressBar, &bar, painter, option.widget);
}

}  // namespace plimo
