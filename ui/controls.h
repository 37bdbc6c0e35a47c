#pragma once

// Small adaptors between the window's Qt controls and what the program
// expects of them.

#include "download/filedownload.h"
#include "search/searchrun.h"

#include <QStyledItemDelegate>

class QListWidget;
class QWidget;

namespace plimo {

// The caption every message box carries.
inline constexpr char16_t ApplicationTitle[] = u"PlimoMP3";

// A list box used as a work list: the items in the order appended.
class ListBoxWorkList final : public WorkList {
public:
    explicit ListBoxWorkList(QListWidget &list) : m_list(list) {}

    void clear() override;
    void append(const QString &item) override;
    qsizetype count() const override;
    // "" for an index outside the list.
    QString item(qsizetype index) const override;

private:
    QListWidget &m_list;
};

// Shows a row's texts on one line, elided at the column's edge. A title can be
// a whole page when its markers are missing; the item keeps the full text,
// only the display is cut. Invisible characters (text::IsInvisibleCharacter)
// show as their code, "<U+202E>", so none can disguise a name; the item's
// text, which is what assistive technology reads, keeps them as they are.
class SingleLineDelegate final : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    // More than any screen can show in one column; laying out a whole page
    // on every paint would make the list crawl.
    static constexpr qsizetype MaxShownLength = 512;

    QString displayText(const QVariant &value, const QLocale &locale) const override;
};

// The real message box: the application title as caption, the text as given,
// buttons and icon by style. Closing the box counts as its cancel button.
MessageAnswer showMessageBox(QWidget *owner, const QString &text, MessageStyle style);

}  // namespace plimo
