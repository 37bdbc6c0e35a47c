#include "download/filedownload.h"

#include "download/answer.h"
#include "download/partfile.h"
#include "platform/error.h"
#include "text/text.h"

#include <QFile>
#include <QFileInfo>
#include <QtDebug>

#include <algorithm>
#include <cmath>
#include <exception>
#include <optional>
#include <string_view>

namespace plimo {
namespace {

constexpr std::int64_t ChunkSize = 1024;
// Writes are collected into blocks of this size: a system call per 1024-byte
// chunk would cost more than the chunk itself.
constexpr qsizetype WriteBuffer = 64 * 1024;
constexpr qsizetype MaxNameBytes = 255;  // what a Linux file system takes in one name

QString cannotConnectText()
{
    return QStringLiteral("서버에 연결할 수 없습니다.");
}

QString connectionLostText()
{
    return QStringLiteral("서버와의 연결이 끊겼습니다.");
}

// Marks a download as running for the length of one click.
class RunningScope final {
public:
    explicit RunningScope(bool &running) : m_running(running) { m_running = true; }
    ~RunningScope() { m_running = false; }
    RunningScope(const RunningScope &) = delete;
    RunningScope &operator=(const RunningScope &) = delete;

private:
    bool &m_running;
};

}  // namespace

QString fileNameOf(const QString &address)
{
    // Result rows end in a blank, and a blank at the end of a file name is a
    // trap on every desktop.
    QString name = text::Mid(address, text::InStrRev(address, QStringLiteral("/")) + 1);
    while (name.endsWith(u' '))
        name.chop(1);
    return name;
}

// A name that could not stand as one file inside the destination folder:
// it would name the folder itself, its parent or another folder, or a file
// that other desktops cannot hold. Control and invisible characters are
// refused too: a right-to-left override turns "song\u202E3pm.hs" into what
// looks like "songsh.mp3".
bool acceptableFileName(const QString &name)
{
    if (name.isEmpty() || name == u"." || name == u"..")
        return false;
    if (QFile::encodeName(name).size() > MaxNameBytes)
        return false;
    // By code point: invisible characters lie beyond the first plane too.
    const QList<uint> codePoints = name.toUcs4();
    return std::none_of(codePoints.begin(), codePoints.end(), [](uint c) {
        return (c < 0x80 &&
                std::string_view("<>:\"/\\|?*").find(char(c)) != std::string_view::npos) ||
               QChar::category(char32_t(c)) == QChar::Other_Control ||
               text::IsInvisibleCharacter(c);
    });
}

FileDownload::FileDownload(DownloadControls &controls, Inet &inet2, DownloadEvents &events)
    : m_controls(controls), m_inet2(inet2), m_events(events)
{
}

FileDownload::~FileDownload()
{
    stop();
}

QCoro::Task<DownloadOutcome> FileDownload::run(DownloadOrder order)
{
    Q_ASSERT(!m_running);
    const RunningScope running(m_running);
    m_stopRequested = false;
    m_stage = Stage::Requesting;
    m_state.FileName = order.fileName;
    std::optional<Error> failure;
    try {
        co_await transfer(order);
        co_return DownloadOutcome{};
    } catch (const Error &error) {
        failure = error;
    } catch (const std::exception &error) {
        // Not one of ours: a fault to hear about, though the download ends as
        // any failed one does, its temporary file already gone.
        qCritical("download failed unexpectedly: %s", error.what());
        failure.emplace(errc::Transfer, QString::fromLocal8Bit(error.what()));
    } catch (...) {
        qCritical("download failed unexpectedly");
        failure.emplace(errc::Transfer, QStringLiteral("unknown failure"));
    }
    m_inet2.Cancel();
    if (m_stopRequested || failure->number() == errc::Cancelled)
        co_return DownloadOutcome{DownloadOutcome::Kind::Cancelled, {}};
    co_return DownloadOutcome{DownloadOutcome::Kind::Failed, failureReason(*failure)};
}

void FileDownload::stop()
{
    if (!m_running)
        return;
    m_stopRequested = true;
    m_state.TransferOn = false;
    m_inet2.Cancel();      // resumes the download if it awaits the network
    m_retryWait.cancel();  // or if it pauses before another try
}

QCoro::Task<> FileDownload::transfer(const DownloadOrder &order)
{
    m_state.BytesDone = 0;
    m_state.TransferOn = true;
    m_validator.clear();
    std::optional<PartFile> file;
    co_await transferWithRetries(order, file);
    if (m_state.BytesDone != m_state.FileSize)
        throw Error(errc::Cancelled, QStringLiteral("the download was stopped"));
    file->commit(order.fileName,
                 order.replace ? PartFile::Commit::Replace : PartFile::Commit::KeepExisting);
    showProgress();  // 100 only now that the file has its name
}

// A transport failure, or a part of the file that is not provably the rest,
// is tried again after a pause, on the same file; the folder box is not read
// again. Every other failure ends the download.
QCoro::Task<> FileDownload::transferWithRetries(const DownloadOrder &order,
                                                std::optional<PartFile> &file)
{
    for (std::size_t tries = 0;; ++tries) {
        bool again = false;
        try {
            co_await transferOnce(order, file);
        } catch (const Error &error) {
            const bool notTheRest = error.number() == answer::PartRefused;
            again = tries < resume::retryDelays().size() && !m_stopRequested &&
                    (resume::isTransportFailure(error.number()) || notTheRest);
            if (!again)
                throw;
            // A server that sent a part of something else will not be asked
            // for a part again: the next try takes the whole file.
            if (notTheRest)
                m_validator.clear();
        }
        if (!again)
            co_return;
        m_inet2.Cancel();  // the broken connection goes now, not after the pause
        m_events.waitingToRetry();
        co_await m_retryWait(resume::retryDelays()[tries]);
    }
}

// Asks for the rest of the file when an earlier answer named it with a
// validator, else for all of it. A whole answer starts the file over.
QCoro::Task<> FileDownload::transferOnce(const DownloadOrder &order, std::optional<PartFile> &file)
{
    const bool resuming = file && m_state.BytesDone > 0 && !m_validator.isEmpty();
    const answer::Rest asked =
        resuming ? answer::Rest{m_state.BytesDone, m_state.FileSize, m_validator} : answer::Rest{};
    const std::int64_t length = co_await request(order.address, asked);
    if (m_inet2.ResponseCode() != 206)
        startOver(length, order.folder, file);
    m_events.answered(m_state.FileSize, m_state.BytesDone);
    co_await receiveBody(*file);
}

void FileDownload::startOver(std::int64_t length, const QString &folder,
                             std::optional<PartFile> &file)
{
    m_state.FileSize = length;
    m_state.BytesDone = 0;
    const auto header = [this](const char *name) {
        return m_inet2.GetHeaders(QLatin1String(name)).value(0);
    };
    m_validator = answer::strongValidator(header("ETag"), header("Last-Modified"), header("Date"));
    m_controls.setSizeText(
        text::FormatNumber(static_cast<double>(m_state.FileSize) / 1024 / 1024, 2) +
        QStringLiteral(" MB"));
    if (file)
        file->restart();
    else
        file.emplace(folder, WriteBuffer);  // the folder of the click, opened only now
}

QCoro::Task<std::int64_t> FileDownload::request(QString address, answer::Rest asked)
{
    m_stage = Stage::Requesting;
    if (asked.from > 0)
        m_inet2.Execute(address, QStringLiteral("GET"), Inet::Resume{asked.from, asked.validator});
    else
        m_inet2.Execute(address, QStringLiteral("GET"));
    co_await m_inet2.untilResponse();
    // No status: the transport failed, and reading the body says how.
    if (m_inet2.ResponseCode() == 0) {
        m_inet2.GetChunk(1);
        throw Error(errc::CannotConnect, QStringLiteral("no answer from the server"));
    }
    const std::int64_t length = answer::check(m_inet2, asked);
    m_stage = Stage::Receiving;
    co_return length;
}

// Awaits only when the next chunk is not there yet: bytes already received
// are taken at once, so a fast download costs no event-loop pass per chunk.
// The last chunk's progress waits for the file to take its name.
QCoro::Task<> FileDownload::receiveBody(PartFile &file)
{
    m_shownPercent = -1;
    while (m_state.BytesDone < m_state.FileSize && m_state.TransferOn) {
        const std::int64_t wanted = std::min(ChunkSize, m_state.FileSize - m_state.BytesDone);
        if (!m_inet2.ChunkReady(wanted))
            co_await m_inet2.untilChunkReady(wanted);
        m_state.ChunkBuf = m_inet2.GetChunk(wanted);
        if (m_state.ChunkBuf.isEmpty() || m_state.ChunkBuf.size() > wanted)
            throw Error(errc::ConnectionLost,
                        QStringLiteral("the body does not match Content-Length"));
        file.write(m_state.ChunkBuf);
        m_state.BytesDone += m_state.ChunkBuf.size();
        if (m_state.BytesDone < m_state.FileSize)
            showProgress();
    }
}

void FileDownload::showProgress()
{
    const auto percent = static_cast<int>(std::floor(static_cast<double>(m_state.BytesDone) /
                                                     static_cast<double>(m_state.FileSize) * 100));
    if (percent == m_shownPercent)
        return;
    m_shownPercent = percent;
    m_controls.setProgressValue(percent);
    m_controls.setPercentText(text::NumberToText(static_cast<float>(m_controls.progressValue())) +
                              QStringLiteral(" %"));
}

QString FileDownload::failureReason(const Error &error) const
{
    switch (error.number()) {
    case answer::StatusRefused:
        return QStringLiteral("서버가 파일을 주지 않았습니다 (응답 %1).").arg(error.message());
    case answer::AnswerRefused:
    case answer::PartRefused:
        return QStringLiteral("서버의 응답이 올바른 파일이 아닙니다.");
    case errc::CannotConnect:
        return cannotConnectText();
    case errc::ConnectionLost:
        return connectionLostText();
    case errc::TooSlow:
        return QStringLiteral("서버가 너무 느립니다.");
    case errc::PathAccess:
        return QStringLiteral("폴더에 저장할 수 없습니다.");
    case errc::DiskFull:
        return QStringLiteral("디스크 공간이 부족합니다.");
    case errc::FileExists:
        return QStringLiteral("같은 이름의 파일이 그사이에 생겼습니다.");
    default:
        // Any other failure of the transfer (a broken TLS handshake, a
        // redirect refused, an answer the transfer could not read): before the
        // answer it kept the file out of reach, after it it cut the body off.
        return m_stage == Stage::Requesting ? cannotConnectText() : connectionLostText();
    }
}

}  // namespace plimo
