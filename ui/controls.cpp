#include "ui/controls.h"

#include <QListWidget>
#include <QMessageBox>

namespace plimo {

void ListBoxWorkList::clear()
{
    m_list.clear();
}

void ListBoxWorkList::append(const QString &item)
{
    m_list.addItem(item);
}

qsizetype ListBoxWorkList::count() const
{
    return m_list.count();
}

QString ListBoxWorkList::item(qsizetype index) const
{
    if (index < 0 || index >= m_list.count())
        return {};
    return m_list.item(static_cast<int>(index))->text();
}

QString SingleLineDelegate::displayText(const QVariant &value, const QLocale &locale) const
{
    QString text = QStyledItemDelegate::displayText(value, locale);
    if (text.size() > MaxShownLength) {
        qsizetype cut = MaxShownLength;
        if (text.at(cut - 1).isHighSurrogate())
            --cut;
        text.truncate(cut);
    }
    for (QChar &c : text) {
        if (c == u'\n' || c == u'\r' || c == u'\t' || c == QChar::LineSeparator ||
            c == QChar::ParagraphSeparator)
            c = u' ';
    }
    return text;
}

MessageAnswer showMessageBox(QWidget *owner, const QString &text, MessageStyle style)
{
    QMessageBox box(owner);
    box.setWindowTitle(QString::fromUtf16(ApplicationTitle));
    box.setTextFormat(Qt::PlainText);
    // A label breaks lines at "\n"; a CR before it would show as a stray glyph.
    box.setText(QString(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    switch (style) {
    case MessageStyle::YesNoInformation:
        box.setIcon(QMessageBox::Information);
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::Yes);
        box.setEscapeButton(QMessageBox::No);
        break;
    case MessageStyle::OkCritical:
        box.setIcon(QMessageBox::Critical);
        box.setStandardButtons(QMessageBox::Ok);
        break;
    case MessageStyle::Ok:
        box.setIcon(QMessageBox::NoIcon);
        box.setStandardButtons(QMessageBox::Ok);
        break;
    }
    const int answer = box.exec();
    if (answer == QMessageBox::Yes)
        return MessageAnswer::Yes;
    if (answer == QMessageBox::No)
        return MessageAnswer::No;
    return MessageAnswer::Ok;
}

}  // namespace plimo
