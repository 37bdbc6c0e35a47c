#include "ui/controls.h"

#include "text/text.h"

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

namespace {

// Each invisible character is shown as its code, so a disguised name shows as
// what it is.
QString withInvisibleCharactersShown(const QString &text)
{
    QString shown;
    shown.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const qsizetype start = i;
        char32_t c = text.at(i).unicode();
        if (text.at(i).isHighSurrogate() && i + 1 < text.size() &&
            text.at(i + 1).isLowSurrogate()) {
            c = QChar::surrogateToUcs4(text.at(i), text.at(i + 1));
            ++i;
        }
        if (text::IsInvisibleCharacter(c)) {
            shown += QStringLiteral("<U+") +
                     QString::number(static_cast<uint>(c), 16).toUpper().rightJustified(4, u'0') +
                     u'>';
        } else {
            shown += QStringView(text).sliced(start, i - start + 1);
        }
    }
    return shown;
}

}  // namespace

QString SingleLineDelegate::displayText(const QVariant &value, const QLocale &locale) const
{
    // Qt's own display text turns a line break into U+2028, which would then
    // show as a mark; a title's line breaks are only its layout.
    QString text = value.typeId() == QMetaType::QString
                       ? value.toString()
                       : QStyledItemDelegate::displayText(value, locale);
    if (text.size() > MaxShownLength) {
        qsizetype cut = MaxShownLength;
        if (text.at(cut - 1).isHighSurrogate())
            --cut;
        text.truncate(cut);
    }
    for (QChar &c : text) {
        if (c == u'\n' || c == u'\r' || c == u'\t')
            c = u' ';
    }
    return withInvisibleCharactersShown(text);
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
