// Form1's side of the line of downloads: the progress bar's tooltip and menu,
// the downloads list, and the folder remembered from one run to the next.

#include "ui/form1.h"

#include "ui/downloadlist.h"
#include "ui/openfolder.h"

#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QSettings>
#include <QShortcut>

namespace plimo {
namespace {

// $XDG_CONFIG_HOME/PlimoMP3/PlimoMP3.conf
QSettings settings()
{
    return QSettings(QStringLiteral("PlimoMP3"), QStringLiteral("PlimoMP3"));
}

constexpr char16_t FolderKey[] = u"folder";

}  // namespace

void Form1::setUpDownloadLine()
{
    m_line = std::make_unique<DownloadLine>(*this, Inet2);
    // The tooltip is also what screen readers read as the bar's description.
    connect(m_line.get(), &DownloadLine::summaryChanged, this, [this](const QString &summary) {
        ProgressBar1->setToolTip(summary);
        ProgressBar1->setAccessibleDescription(summary);
    });
    connect(m_line.get(), &DownloadLine::joined, this,
            [this](const QString &folder) { rememberFolder(folder); });
    ProgressBar1->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(ProgressBar1, &QWidget::customContextMenuRequested, this,
            [this](const QPoint &at) { showProgressMenu(at); });
    ProgressBar1->installEventFilter(this);
    auto *listKey = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_J), this);
    connect(listKey, &QShortcut::activated, this, [this] { showDownloadList(); });
}

void Form1::showProgressMenu(const QPoint &at)
{
    QMenu menu(this);
    QAction *cancel = menu.addAction(QStringLiteral("현재 다운로드 취소"));
    cancel->setEnabled(m_line->hasCurrent());
    const QString saved = m_line->lastSavedFolder();
    QAction *open = menu.addAction(QStringLiteral("저장한 폴더 열기"));
    open->setEnabled(!saved.isEmpty());
    QAction *list = menu.addAction(QStringLiteral("다운로드 목록 (Ctrl+J)"));
    QAction *chosen = menu.exec(ProgressBar1->mapToGlobal(at));
    if (chosen == cancel)
        m_line->cancelCurrent();
    else if (chosen == open)
        openSavedFolder(saved);
    else if (chosen == list)
        showDownloadList();
}

void Form1::openSavedFolder(const QString &folder)
{
    openFolder(folder, [this](const QString &text) { showMessage(text, MessageStyle::Ok); });
}

void Form1::showDownloadList()
{
    if (!m_list) {
        m_list = new DownloadList(
            *m_line, [this](const QString &folder) { openSavedFolder(folder); }, this);
    }
    m_list->showList();
}

void Form1::rememberFolder(const QString &folder)
{
    const QString absolute = QDir::cleanPath(
        QFileInfo(folder.isEmpty() ? QStringLiteral(".") : folder).absoluteFilePath());
    QSettings remembered = settings();
    // Ten clicks into one folder write the file once, not ten times.
    if (remembered.value(QString::fromUtf16(FolderKey)).toString() == absolute)
        return;
    remembered.setValue(QString::fromUtf16(FolderKey), absolute);
    remembered.sync();
}

// A folder that has gone since, or is no folder now, is not offered again.
void Form1::restoreFolder()
{
    const QString folder = settings().value(QString::fromUtf16(FolderKey)).toString();
    if (folder.isEmpty() || !QFileInfo(folder).isAbsolute() || !QFileInfo(folder).isDir())
        return;
    Text2->setText(folder.endsWith(u'/') ? folder : folder + u'/');
}

}  // namespace plimo
