#include "ui/folderchooser.h"

#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QShowEvent>
#include <QTimer>
#include <QTreeView>
#include <QVBoxLayout>

namespace plimo {

namespace {

QString withoutTrailingSeparators(QString path)
{
    while (path.size() > 1 && path.endsWith(u'/'))
        path.chop(1);
    return path;
}

}  // namespace

FolderChooser::FolderChooser(QWidget *owner, const QString &title, const QString &startPath)
    : QDialog(owner), BrowseStartPath(startPath)
{
    setObjectName(QStringLiteral("FolderChooser"));
    setWindowTitle(QCoreApplication::applicationName());
    setModal(true);

    m_model = new QFileSystemModel(this);
    // Hidden folders too: the folder to preselect may be one of them.
    m_model->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot | QDir::Drives | QDir::Hidden);
    m_model->setRootPath(QDir::rootPath());

    m_instruction = new QLabel(title, this);
    m_instruction->setObjectName(QStringLiteral("instruction"));
    m_instruction->setWordWrap(true);

    m_tree = new QTreeView(this);
    m_tree->setObjectName(QStringLiteral("folderTree"));
    m_tree->setModel(m_model);
    for (int column = 1; column < m_model->columnCount(); ++column)
        m_tree->hideColumn(column);
    m_tree->setHeaderHidden(true);
    m_tree->setSelectionMode(QAbstractItemView::SingleSelection);
    m_tree->setAccessibleName(title);

    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("status"));
    m_status->setTextFormat(Qt::PlainText);
    // A long path must not widen the dialog; the label just shows less of it.
    m_status->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);

    m_buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    m_buttons->button(QDialogButtonBox::Ok)->setEnabled(false);
    connect(m_buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(m_buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_instruction);
    layout->addWidget(m_tree, 1);
    layout->addWidget(m_status);
    layout->addWidget(m_buttons);
    resize(360, 420);

    connect(m_tree->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex &current) { onCurrentChanged(current); });
    // Folders fill in and get sorted from a background thread, so rows can
    // appear above the preselected folder after it was scrolled to.
    connect(m_model, &QAbstractItemModel::rowsInserted, this, [this] { keepPreselectionInView(); });
    connect(m_model, &QAbstractItemModel::layoutChanged, this,
            [this] { keepPreselectionInView(); });
    connect(m_tree->verticalScrollBar(), &QAbstractSlider::actionTriggered, this,
            [this] { m_keepInView = false; });
}

QString FolderChooser::selectedPath() const
{
    const QModelIndex current = m_tree->currentIndex();
    if (!current.isValid())
        return {};
    return m_model->filePath(current);
}

bool FolderChooser::selectPath(const QString &path)
{
    const QString trimmed = withoutTrailingSeparators(path);
    if (trimmed.isEmpty())
        return false;
    const QFileInfo info(trimmed);
    if (!info.isDir())
        return false;
    const QModelIndex index = m_model->index(info.absoluteFilePath());
    if (!index.isValid())
        return false;
    m_tree->setCurrentIndex(index);
    m_tree->scrollTo(index, QAbstractItemView::PositionAtCenter);
    m_keepInView = true;
    return true;
}

QString FolderChooser::statusText() const
{
    return m_status->text();
}

void FolderChooser::setStatusText(const QString &text)
{
    m_status->setText(text);
}

void FolderChooser::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (m_initialized)
        return;
    m_initialized = true;
    BrowseCallbackProc(*this, BrowseMessage::Initialized, {});
}

void FolderChooser::onCurrentChanged(const QModelIndex &current)
{
    m_keepInView = false;
    m_buttons->button(QDialogButtonBox::Ok)->setEnabled(current.isValid());
    const QString path = current.isValid() ? m_model->filePath(current) : QString();
    BrowseCallbackProc(*this, BrowseMessage::SelectionChanged, path);
}

void FolderChooser::keepPreselectionInView()
{
    if (!m_keepInView)
        return;
    // Deferred: the view lays out the new rows only after this signal.
    QTimer::singleShot(0, this, [this] {
        if (m_keepInView)
            m_tree->scrollTo(m_tree->currentIndex(), QAbstractItemView::PositionAtCenter);
    });
}

int BrowseCallbackProc(FolderChooser &dialog, BrowseMessage message, const QString &data)
{
    switch (message) {
    case BrowseMessage::Initialized:
        if (!dialog.selectPath(dialog.BrowseStartPath))
            dialog.selectPath(QDir::rootPath());
        break;
    case BrowseMessage::SelectionChanged:
        if (!data.isEmpty())
            dialog.setStatusText(QDir::toNativeSeparators(data));
        break;
    }
    return 0;
}

QString BrowseFolder(QWidget *owner, const QString &title, const QString &startPath)
{
    FolderChooser dialog(owner, title, startPath);
    if (dialog.exec() != QDialog::Accepted)
        return {};
    return dialog.selectedPath();
}

}  // namespace plimo
