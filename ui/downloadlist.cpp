#include "ui/downloadlist.h"

#include "download/downloadline.h"
#include "ui/controls.h"
#include "ui/progressdelegate.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QPushButton>
#include <QTableView>
#include <QVBoxLayout>

#include <algorithm>
#include <utility>

namespace plimo {

DownloadList::DownloadList(DownloadLine &line, OpenFolderFunction openFolder, QWidget *parent)
    : QWidget(parent, Qt::Window), m_line(line), m_openFolder(std::move(openFolder))
{
    setObjectName(QStringLiteral("DownloadList"));
    setWindowTitle(QStringLiteral("다운로드 목록"));
    // Closing the list is never closing the program.
    setAttribute(Qt::WA_QuitOnClose, false);
    createControls();
    setUpTable();
    connectEvents();
    updateButtons();
}

void DownloadList::createControls()
{
    m_table = new QTableView(this);
    m_table->setObjectName(QStringLiteral("DownloadTable"));
    m_table->setAccessibleName(windowTitle());
    m_cancel = addButton(QStringLiteral("취소"));
    m_retry = addButton(QStringLiteral("다시 받기"));
    m_openFolderButton = addButton(QStringLiteral("폴더 열기"));
    m_remove = addButton(QStringLiteral("목록에서 제거"));
    m_close = addButton(QStringLiteral("닫기"));

    auto *buttons = new QHBoxLayout;
    for (QPushButton *button : {m_cancel, m_retry, m_openFolderButton, m_remove})
        buttons->addWidget(button);
    buttons->addStretch();
    buttons->addWidget(m_close);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_table);
    layout->addLayout(buttons);
}

QPushButton *DownloadList::addButton(const QString &text)
{
    auto *button = new QPushButton(text, this);
    // Enter belongs to the table (it opens a folder): no button may take it.
    button->setAutoDefault(false);
    button->setDefault(false);
    return button;
}

// Columns wide enough for their usual texts; the file name takes the rest. A
// longer text is only elided on the screen: the cell keeps all of it.
void DownloadList::setUpTable()
{
    m_table->setModel(&m_line);
    m_table->setItemDelegate(new SingleLineDelegate(m_table));
    m_table->setItemDelegateForColumn(DownloadLine::ProgressColumn, new ProgressDelegate(m_table));
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setTabKeyNavigation(false);  // Tab goes on to the buttons
    m_table->setWordWrap(false);
    m_table->setTextElideMode(Qt::ElideMiddle);  // a folder's both ends say the most
    m_table->verticalHeader()->hide();
    m_table->installEventFilter(this);

    QHeaderView *header = m_table->horizontalHeader();
    const QFontMetrics metrics = m_table->fontMetrics();
    const std::pair<int, QString> samples[] = {
        {DownloadLine::FolderColumn, QStringLiteral("/home/사용자/음악/")},
        {DownloadLine::SizeColumn, QStringLiteral("999.99 MB")},
        {DownloadLine::ProgressColumn, QStringLiteral("100 % 100 %")},
        {DownloadLine::SpeedColumn, QStringLiteral("999.9 KB/s")},
        {DownloadLine::TimeLeftColumn, QStringLiteral("99시간 59분")},
        {DownloadLine::StateColumn, QStringLiteral("서버와의 연결이 끊겼습니다.")},
    };
    int width = metrics.horizontalAdvance(QStringLiteral("가수 - 노래 제목 (라이브).mp3"));
    for (const auto &[column, sample] : samples) {
        header->resizeSection(column, std::max(metrics.horizontalAdvance(sample) + 16,
                                               header->sectionSizeHint(column)));
        width += header->sectionSize(column);
    }
    header->setSectionResizeMode(DownloadLine::FileColumn, QHeaderView::Stretch);
    resize(width + 64, 14 * metrics.height());
}

void DownloadList::connectEvents()
{
    connect(m_cancel, &QPushButton::clicked, this, &DownloadList::cancelSelected);
    connect(m_retry, &QPushButton::clicked, this, &DownloadList::retrySelected);
    connect(m_openFolderButton, &QPushButton::clicked, this, &DownloadList::openCurrentFolder);
    connect(m_remove, &QPushButton::clicked, this, &DownloadList::removeSelected);
    connect(m_close, &QPushButton::clicked, this, &QWidget::close);

    // What applies changes with the selection and with the rows' states.
    QItemSelectionModel *selection = m_table->selectionModel();
    connect(selection, &QItemSelectionModel::selectionChanged, this, &DownloadList::updateButtons);
    connect(selection, &QItemSelectionModel::currentChanged, this, &DownloadList::updateButtons);
    connect(&m_line, &QAbstractItemModel::dataChanged, this, &DownloadList::updateButtons);
    connect(&m_line, &QAbstractItemModel::rowsInserted, this, &DownloadList::updateButtons);
    connect(&m_line, &QAbstractItemModel::rowsRemoved, this, &DownloadList::updateButtons);
    connect(&m_line, &QAbstractItemModel::modelReset, this, &DownloadList::updateButtons);
}

void DownloadList::showList()
{
    if (isMinimized())
        showNormal();
    else
        show();
    raise();
    activateWindow();
    const int running = m_line.runningRow();
    selectRow(running >= 0 ? running : m_line.rowCount() - 1);
    m_table->setFocus(Qt::OtherFocusReason);
}

void DownloadList::selectRow(int row)
{
    if (row < 0)
        return;
    const QModelIndex index = m_line.index(row, DownloadLine::FileColumn);
    m_table->selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect |
                                                          QItemSelectionModel::Rows);
    m_table->scrollTo(index);
}

bool DownloadList::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != m_table || event->type() != QEvent::KeyPress)
        return QWidget::eventFilter(watched, event);
    switch (static_cast<QKeyEvent *>(event)->key()) {
    case Qt::Key_Delete:
        cancelSelected();
        return true;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        openCurrentFolder();
        return true;
    default:
        return false;
    }
}

void DownloadList::keyPressEvent(QKeyEvent *event)
{
    if (event->matches(QKeySequence::Cancel)) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

QList<int> DownloadList::selectedRows() const
{
    QList<int> rows;
    for (const QModelIndex &index : m_table->selectionModel()->selectedRows())
        rows.append(index.row());
    std::sort(rows.begin(), rows.end());
    return rows;
}

bool DownloadList::anySelected(bool (DownloadLine::*applies)(int) const) const
{
    const QList<int> rows = selectedRows();
    return std::any_of(rows.begin(), rows.end(), [&](int row) { return (m_line.*applies)(row); });
}

void DownloadList::updateButtons()
{
    m_cancel->setEnabled(anySelected(&DownloadLine::canCancel));
    m_retry->setEnabled(anySelected(&DownloadLine::canRetry));
    m_openFolderButton->setEnabled(m_table->currentIndex().isValid());
    m_remove->setEnabled(anySelected(&DownloadLine::canRemove));
}

void DownloadList::cancelSelected()
{
    m_line.cancel(selectedRows());
}

void DownloadList::retrySelected()
{
    m_line.retry(selectedRows());
}

void DownloadList::openCurrentFolder()
{
    const QModelIndex current = m_table->currentIndex();
    if (!current.isValid())
        return;
    m_openFolder(m_line.folder(current.row()));
}

void DownloadList::removeSelected()
{
    m_line.remove(selectedRows());
}

}  // namespace plimo
