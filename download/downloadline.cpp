#include "download/downloadline.h"

#include "download/rate.h"

#include <QFileInfo>

#include <algorithm>
#include <chrono>
#include <cmath>

namespace plimo {
namespace {

using Clock = rate::SpeedMeter::Clock;

// Speed and time left change every few milliseconds; a person reads them at
// this pace, and the list's repaints cost the download nothing at it.
constexpr std::chrono::milliseconds RefreshEvery{500};

QString chooseFirstText()
{
    return QStringLiteral("다운받을 음악을 선택해주세요");
}

QString alreadyExistsText()
{
    return QStringLiteral("이미 대상 파일이 존재합니다.\r\n삭제하고 계속 하시겠습니까?");
}

QString cannotDownloadText()
{
    return QStringLiteral("현재파일 은 다운할수없습니다 다른 파일을 받으세요-_-;");
}

QString withoutTrailingBlanks(QString text)
{
    while (text.endsWith(u' '))
        text.chop(1);
    return text;
}

QString withSeparator(QString folder)
{
    if (!folder.isEmpty() && !folder.endsWith(u'/'))
        folder += u'/';
    return folder;
}

bool isActive(DownloadState state)
{
    return state == DownloadState::Waiting || state == DownloadState::Running ||
           state == DownloadState::RetryWaiting;
}

}  // namespace

DownloadLine::DownloadLine(DownloadControls &controls, Inet &inet2, QObject *parent)
    : QAbstractTableModel(parent), m_controls(controls),
      m_download(
          std::make_unique<FileDownload>(controls, inet2, static_cast<DownloadEvents &>(*this)))
{
    m_refresh.setInterval(RefreshEvery);
    connect(&m_refresh, &QTimer::timeout, this, [this] { refresh(); });
    // The next download starts from the event loop, never inside the end of
    // the one before it, while the transfer that ended is still unwinding.
    m_startSoon.setSingleShot(true);
    m_startSoon.setInterval(0);
    connect(&m_startSoon, &QTimer::timeout, this, [this] { runNext(); });
}

DownloadLine::~DownloadLine()
{
    stop();
}

void DownloadLine::Command3_Click()
{
    if (m_stopped)
        return;
    const bool busy = !isIdle();
    const QString address = withoutTrailingBlanks(m_controls.selectedAddress());
    DownloadOrder order{address, withSeparator(m_controls.destinationFolder()), {}, false};
    if (busy && !address.isEmpty() && isDuplicate(order))
        return;
    if (address.isEmpty()) {
        m_controls.showMessage(chooseFirstText(), MessageStyle::Ok);
        return;
    }
    if (!busy) {
        m_controls.setProgressValue(0);
        m_controls.showFailure({});
        m_lastFailure.clear();
        updateSummary();
    }
    order.fileName = fileNameOf(address);
    if (!acceptableFileName(order.fileName)) {
        m_controls.showMessage(cannotDownloadText(), MessageStyle::OkCritical);
        return;
    }
    if (!askToReplace(order))
        return;
    Row row;
    row.id = m_nextId++;
    row.order = std::move(order);
    join(std::move(row));
}

bool DownloadLine::isDuplicate(const DownloadOrder &order) const
{
    return std::ranges::any_of(m_rows, [&](const Row &row) {
        return isActive(row.state) && row.order.address == order.address &&
               row.order.folder == order.folder;
    });
}

bool DownloadLine::nameIsPending(const DownloadOrder &order) const
{
    return std::ranges::any_of(m_rows, [&](const Row &row) {
        return isActive(row.state) && row.order.fileName == order.fileName &&
               row.order.folder == order.folder;
    });
}

// A file of the name, or one that a download in line will write there, is
// replaced only on "yes", and then whatever has the name when the download
// lands. A folder of the name cannot be replaced by a file: nothing is added.
bool DownloadLine::askToReplace(DownloadOrder &order)
{
    const QString path = order.folder + order.fileName;
    const QFileInfo before(path);
    order.replace = false;
    if (!before.exists() && !before.isSymLink() && !nameIsPending(order))
        return true;
    if (m_controls.showMessage(alreadyExistsText(), MessageStyle::YesNoInformation) !=
        MessageAnswer::Yes)
        return false;
    const QFileInfo after(path);
    if (m_stopped || isDuplicate(order) || (after.isDir() && !after.isSymLink()))
        return false;
    order.replace = true;
    return true;
}

void DownloadLine::join(Row row)
{
    row.turn = m_nextTurn++;
    const int at = static_cast<int>(m_rows.size());
    beginInsertRows({}, at, at);
    m_rows.push_back(std::move(row));
    endInsertRows();
    emit joined(m_rows.back().order.folder);
    updateSummary();
    startSoon();
}

void DownloadLine::startSoon()
{
    if (!m_stopped)
        m_startSoon.start();
}

qsizetype DownloadLine::nextWaiting() const
{
    qsizetype next = -1;
    for (qsizetype i = 0; i < static_cast<qsizetype>(m_rows.size()); ++i) {
        if (m_rows[i].state == DownloadState::Waiting &&
            (next < 0 || m_rows[i].turn < m_rows[next].turn))
            next = i;
    }
    return next;
}

QCoro::Task<> DownloadLine::runNext()
{
    const qsizetype index = nextWaiting();
    if (m_runningId != 0 || m_stopped || index < 0)
        co_return;
    Row &row = m_rows[index];
    m_runningId = row.id;
    row.size = -1;
    row.received = 0;
    m_lastFailure.clear();
    m_controls.setProgressValue(0);
    m_controls.showFailure({});
    m_meter.restart(Clock::now(), 0);
    setState(index, DownloadState::Running);
    m_refresh.start();
    // A copy: a click meanwhile may move the rows.
    DownloadOrder order = row.order;
    const DownloadOutcome outcome = co_await m_download->run(std::move(order));
    m_refresh.stop();
    finishRow(indexOf(m_runningId), outcome);
    m_runningId = 0;
    updateSummary();
    startSoon();
    if (isIdle())
        emit idle();
}

void DownloadLine::finishRow(qsizetype index, const DownloadOutcome &outcome)
{
    if (index < 0)
        return;
    Row &row = m_rows[index];
    row.received = m_download->state().BytesDone;
    switch (outcome.kind) {
    case DownloadOutcome::Kind::Landed:
        m_lastSavedFolder = row.order.folder;
        setState(index, DownloadState::Done);
        break;
    case DownloadOutcome::Kind::Cancelled:
        setState(index, DownloadState::Cancelled);
        break;
    case DownloadOutcome::Kind::Failed:
        row.reason = outcome.reason;
        m_lastFailure = outcome.reason;
        m_controls.showFailure(outcome.reason);
        setState(index, DownloadState::Failed);
        break;
    }
}

void DownloadLine::answered(std::int64_t size, std::int64_t from)
{
    const qsizetype index = indexOf(m_runningId);
    if (index < 0)
        return;
    m_rows[index].size = size;
    m_rows[index].received = from;
    m_meter.restart(Clock::now(), from);
    setState(index, DownloadState::Running);
}

void DownloadLine::waitingToRetry()
{
    const qsizetype index = indexOf(m_runningId);
    if (index < 0)
        return;
    m_rows[index].received = m_download->state().BytesDone;
    setState(index, DownloadState::RetryWaiting);
}

void DownloadLine::setState(qsizetype index, DownloadState state)
{
    Row &row = m_rows[index];
    row.state = state;
    row.speed.clear();
    row.timeLeft.clear();
    if (state != DownloadState::Failed)
        row.reason.clear();
    const int at = static_cast<int>(index);
    emit dataChanged(this->index(at, 0), this->index(at, ColumnCount - 1));
    updateSummary();
}

// Twice a second while a download runs: how far it is, how fast and how long.
void DownloadLine::refresh()
{
    const qsizetype index = indexOf(m_runningId);
    if (index < 0 || m_rows[index].state != DownloadState::Running)
        return;
    Row &row = m_rows[index];
    const Clock::time_point now = Clock::now();
    row.received = m_download->state().BytesDone;
    m_meter.record(now, row.received);
    const std::optional<double> speed = m_meter.bytesPerSecond(now);
    row.speed = speed ? rate::speedText(*speed) : QString();
    row.timeLeft =
        speed && row.size > 0 ? rate::timeLeftText(row.size - row.received, *speed) : QString();
    const int at = static_cast<int>(index);
    emit dataChanged(this->index(at, SizeColumn), this->index(at, TimeLeftColumn));
    updateSummary();
}

void DownloadLine::updateSummary()
{
    QString text = summary();
    if (text == m_summary)
        return;
    m_summary = std::move(text);
    emit summaryChanged(m_summary);
}

}  // namespace plimo
