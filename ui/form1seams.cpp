// Form1's side of the search and download seams: what the search run and the
// download read and write, mapped onto the controls that hold it.

#include "ui/form1.h"

#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QTreeWidget>

#include <utility>

namespace plimo {

QString Form1::queryText() const
{
    return Text1->text();
}

WorkList &Form1::list1()
{
    return *m_list1;
}

WorkList &Form1::list2()
{
    return *m_list2;
}

WorkList &Form1::list3()
{
    return *m_list3;
}

void Form1::clearRows()
{
    ListView1->clear();
}

void Form1::addRow(const QString &title, const QString &fileAddress)
{
    ListView1->addTopLevelItem(new QTreeWidgetItem(QStringList{title, fileAddress}));
}

qsizetype Form1::rowCount() const
{
    return ListView1->topLevelItemCount();
}

void Form1::clearSelectedAddress()
{
    Text3->clear();
}

void Form1::setStatus(const QString &text)
{
    Label1->setText(text);
}

QString Form1::selectedAddress() const
{
    return Text3->text();
}

QString Form1::destinationFolder() const
{
    return Text2->text();
}

void Form1::setProgressValue(int percent)
{
    // A bar that falls back is the next download of the line starting: the
    // finished one's 100 still waiting for its frame goes on the screen first,
    // or it would never be seen (nor heard) at all.
    if (m_pendingPercent && percent < *m_pendingPercent)
        showPendingProgress();
    m_pendingPercent = percent;
    showProgressSoon();
}

int Form1::progressValue() const
{
    return m_pendingPercent.value_or(ProgressBar1->value());
}

void Form1::setSizeText(const QString &text)
{
    Label3->setText(text);
}

void Form1::setPercentText(const QString &text)
{
    m_pendingPercentText = text;
    showProgressSoon();
}

// The progress goes on the screen at most once a frame: a fast download
// sets a new percentage every few milliseconds, and every one shown costs a
// paint that waits for the display server and an event for screen readers,
// each of which asks back. The first change after a quiet frame shows at
// once, the last one when its frame ends.
void Form1::showProgressSoon()
{
    if (!m_progressFrame.isActive())
        showPendingProgress();
}

void Form1::showPendingProgress()
{
    if (!m_pendingPercent && !m_pendingPercentText)
        return;  // a quiet frame: the next change shows at once
    // The text first: the bar repaints at once, and takes the text's change
    // along in the same paint.
    if (m_pendingPercentText)
        Label2->setText(*std::exchange(m_pendingPercentText, std::nullopt));
    if (m_pendingPercent)
        ProgressBar1->setValue(*std::exchange(m_pendingPercent, std::nullopt));
    m_progressFrame.start();
}

namespace {

// Red border and groove as well as chunk, so that a failure before the first
// byte (an empty bar) shows too.
constexpr char16_t FailedBarLook[] =
    u"QProgressBar { border: 1px solid #c42b1c; border-radius: 2px;"
    u" background-color: #fde7e9; }"
    u"QProgressBar::chunk { background-color: #d13438; margin: 1px; border-radius: 1px; }";

}  // namespace

void Form1::showFailure(const QString &reason)
{
    // A style sheet set only while failed: any style's own bar draws no red at
    // 0 %, and without one the bar is again the style's own, untouched.
    ProgressBar1->setStyleSheet(reason.isEmpty() ? QString() : QString::fromUtf16(FailedBarLook));
    ProgressBar1->setToolTip(reason);
    ProgressBar1->setAccessibleDescription(reason);
}

MessageAnswer Form1::showMessage(const QString &text, MessageStyle style)
{
    return m_showMessage(this, text, style);
}

}  // namespace plimo
