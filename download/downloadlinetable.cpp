// The line as the user sees and handles it: its rows and their texts, the
// progress bar's summary, and cancelling, retrying and removing rows.

#include "download/downloadline.h"

#include "download/rate.h"

#include <QFileInfo>

#include <algorithm>
#include <cmath>

namespace plimo {
namespace {

constexpr const char16_t *ColumnNames[] = {u"파일", u"폴더",      u"크기", u"진행률",
                                           u"속도", u"남은 시간", u"상태"};

bool hasEnded(DownloadState state)
{
    return state == DownloadState::Done || state == DownloadState::Cancelled ||
           state == DownloadState::Failed;
}

}  // namespace

void DownloadLine::stop()
{
    m_stopped = true;
    m_startSoon.stop();
    for (qsizetype i = 0; i < static_cast<qsizetype>(m_rows.size()); ++i) {
        if (m_rows[i].state == DownloadState::Waiting)
            setState(i, DownloadState::Cancelled);
    }
    m_download->stop();
}

void DownloadLine::cancelCurrent()
{
    m_download->stop();
}

void DownloadLine::cancel(const QList<int> &rows)
{
    bool current = false;
    for (const int row : rows) {
        if (!canCancel(row))
            continue;
        if (m_rows[row].state == DownloadState::Waiting)
            setState(row, DownloadState::Cancelled);
        else
            current = true;
    }
    // Last: the running download's end may start the next one.
    if (current)
        cancelCurrent();
}

void DownloadLine::retry(const QList<int> &rows)
{
    std::vector<std::uint64_t> ids;
    for (const int row : rows) {
        if (canRetry(row))
            ids.push_back(m_rows[row].id);
    }
    // Each question is a modal box, behind which rows may change: rows are
    // found again by their id after every one.
    for (const std::uint64_t id : ids) {
        qsizetype index = indexOf(id);
        if (index < 0 || !canRetry(static_cast<int>(index)) || isDuplicate(m_rows[index].order))
            continue;
        DownloadOrder order = m_rows[index].order;
        if (!askToReplace(order) || (index = indexOf(id)) < 0 || !canRetry(static_cast<int>(index)))
            continue;
        Row &row = m_rows[index];
        row.order = std::move(order);
        row.turn = m_nextTurn++;
        row.size = -1;
        row.received = 0;
        setState(index, DownloadState::Waiting);
        emit joined(row.order.folder);
        startSoon();
    }
}

void DownloadLine::remove(const QList<int> &rows)
{
    QList<int> ended;
    for (const int row : rows) {
        if (canRemove(row) && !ended.contains(row))
            ended.append(row);
    }
    std::ranges::sort(ended, std::greater<>());
    for (const int row : ended) {
        beginRemoveRows({}, row, row);
        m_rows.erase(m_rows.begin() + row);
        endRemoveRows();
    }
    updateSummary();
}

DownloadState DownloadLine::state(int row) const
{
    return m_rows.at(static_cast<std::size_t>(row)).state;
}

QString DownloadLine::folder(int row) const
{
    return m_rows.at(static_cast<std::size_t>(row)).order.folder;
}

bool DownloadLine::canCancel(int row) const
{
    return row >= 0 && row < rowCount() && !hasEnded(state(row));
}

bool DownloadLine::canRetry(int row) const
{
    return row >= 0 && row < rowCount() &&
           (state(row) == DownloadState::Failed || state(row) == DownloadState::Cancelled);
}

bool DownloadLine::canRemove(int row) const
{
    return row >= 0 && row < rowCount() && hasEnded(state(row));
}

int DownloadLine::runningRow() const
{
    return static_cast<int>(indexOf(m_runningId));
}

bool DownloadLine::hasCurrent() const
{
    return m_runningId != 0;
}

bool DownloadLine::isIdle() const
{
    return m_runningId == 0 && countOf(DownloadState::Waiting) == 0;
}

QString DownloadLine::lastSavedFolder() const
{
    return m_lastSavedFolder;
}

QString DownloadLine::summary() const
{
    const qsizetype index = indexOf(m_runningId);
    if (index < 0 || hasEnded(m_rows[index].state))
        return m_lastFailure;
    const Row &row = m_rows[index];
    QStringList parts{row.order.fileName};
    if (row.size >= 0)
        parts << rate::megabytesText(row.received) + QStringLiteral(" / ") +
                     rate::megabytesText(row.size) + QStringLiteral(" MB");
    if (row.state == DownloadState::RetryWaiting) {
        parts << QStringLiteral("재시도 대기 중");
    } else {
        if (!row.speed.isEmpty())
            parts << row.speed;
        if (!row.timeLeft.isEmpty())
            parts << row.timeLeft + QStringLiteral(" 남음");
    }
    if (const qsizetype waiting = countOf(DownloadState::Waiting))
        parts << QStringLiteral("대기 중 %1개").arg(waiting);
    if (const qsizetype failed = countOf(DownloadState::Failed))
        parts << QStringLiteral("실패 %1개").arg(failed);
    return parts.join(QStringLiteral(" · "));
}

int DownloadLine::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int DownloadLine::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant DownloadLine::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    const Row &row = m_rows[static_cast<std::size_t>(index.row())];
    switch (role) {
    case Qt::DisplayRole:
        return display(row, index.column());
    case Qt::ToolTipRole:  // a long path or reason is cut where the column ends
        if (index.column() == FileColumn || index.column() == FolderColumn ||
            index.column() == StateColumn)
            return display(row, index.column());
        return {};
    case ProgressRole:
        if (index.column() == ProgressColumn && row.size > 0)
            return static_cast<int>(row.received * 100 / row.size);
        return {};
    case StateRole:
        return static_cast<int>(row.state);
    case Qt::TextAlignmentRole:
        if (index.column() >= SizeColumn && index.column() <= TimeLeftColumn)
            return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
        return {};
    default:
        return {};
    }
}

QVariant DownloadLine::display(const Row &row, int column) const
{
    const bool downloading = row.state == DownloadState::Running;
    switch (column) {
    case FileColumn:
        return row.order.fileName;
    case FolderColumn:
        return row.order.folder;
    case SizeColumn:
        return row.size >= 0 ? rate::megabytesText(row.size) + QStringLiteral(" MB") : QString();
    case ProgressColumn:
        return row.size > 0 ? QString::number(row.received * 100 / row.size) + QStringLiteral(" %")
                            : QString();
    case SpeedColumn:
        return downloading ? row.speed : QString();
    case TimeLeftColumn:
        return downloading ? row.timeLeft : QString();
    case StateColumn:
        return stateText(row);
    default:
        return {};
    }
}

QVariant DownloadLine::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
        section >= ColumnCount)
        return QAbstractTableModel::headerData(section, orientation, role);
    return QString::fromUtf16(ColumnNames[section]);
}

QString DownloadLine::stateText(const Row &row) const
{
    switch (row.state) {
    case DownloadState::Waiting:
        return QStringLiteral("대기 중");
    case DownloadState::Running:
        return QStringLiteral("다운로드 중");
    case DownloadState::RetryWaiting:
        return QStringLiteral("재시도 대기 중");
    case DownloadState::Done:
        return QStringLiteral("완료");
    case DownloadState::Cancelled:
        return QStringLiteral("취소됨");
    case DownloadState::Failed:
        return row.reason;
    }
    return {};
}

qsizetype DownloadLine::indexOf(std::uint64_t id) const
{
    if (id == 0)
        return -1;
    const auto found = std::ranges::find_if(m_rows, [id](const Row &row) { return row.id == id; });
    return found == m_rows.end() ? -1 : found - m_rows.begin();
}

qsizetype DownloadLine::countOf(DownloadState state) const
{
    return std::ranges::count_if(m_rows, [state](const Row &row) { return row.state == state; });
}

}  // namespace plimo
