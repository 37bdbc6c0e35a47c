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

QString cannotConnectText()
{
    return QStringLiteral("서버에 연결할 수 없습니다.");
}

QString connectionLostText()
{
    return QStringLiteral("서버와의 연결이 끊겼습니다.");
}

// Result rows end in a blank, and a blank at the end of a file name is a trap
// on every desktop.
QString withoutTrailingBlanks(QString text)
{
    while (text.endsWith(u' '))
        text.chop(1);
    return text;
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

bool entryExists(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
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

FileDownload::FileDownload(DownloadControls &controls, Inet &inet2)
    : m_controls(controls), m_inet2(inet2)
{
}

FileDownload::~FileDownload()
{
    stop();
}

QCoro::Task<> FileDownload::Command3_Click()
{
    if (m_running)
        co_return;
    const QString address = m_controls.selectedAddress();
    if (address.isEmpty()) {
        m_controls.showMessage(chooseFirstText(), MessageStyle::Ok);
        co_return;
    }
    const RunningScope running(m_running);
    m_stopRequested = false;
    m_stage = Stage::Preparing;
    std::optional<Error> failure;
    try {
        co_await run(withoutTrailingBlanks(address));
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
    if (failure) {
        m_inet2.Cancel();
        endWithFailure(*failure);
    }
}

bool FileDownload::isRunning() const
{
    return m_running;
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

QCoro::Task<> FileDownload::run(QString address)
{
    m_controls.setProgressValue(0);
    m_controls.showFailure({});
    m_state.FileName =
        withoutTrailingBlanks(text::Mid(address, text::InStrRev(address, QStringLiteral("/")) + 1));
    if (!acceptableFileName(m_state.FileName))
        throw Error(errc::BadFileName, QStringLiteral("bad file name: ") + m_state.FileName);
    const QString checkedPath = destinationPath();
    const bool replace = entryExists(checkedPath);
    if (replace && !confirmReplace(checkedPath))
        co_return;
    throwIfStopped();  // the window closed while the question was open

    m_state.BytesDone = 0;
    m_state.TransferOn = true;
    std::optional<PartFile> file;
    QString path;
    co_await transferWithRetries(address, file, path);
    if (m_state.BytesDone != m_state.FileSize)
        throw Error(errc::Cancelled, QStringLiteral("the download was stopped"));
    file->commit(m_state.FileName, replace && path == checkedPath ? PartFile::Commit::Replace
                                                                  : PartFile::Commit::KeepExisting);
    showProgress();  // 100 only now that the file has its name
}

// A transport failure, or a part of the file that is not provably the rest,
// is tried again after a pause, on the same file; the folder box is not read
// again. Every other failure ends the download.
QCoro::Task<> FileDownload::transferWithRetries(QString address, std::optional<PartFile> &file,
                                                QString &path)
{
    for (std::size_t tries = 0;; ++tries) {
        bool again = false;
        try {
            co_await transferOnce(address, file, path);
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
        co_await m_retryWait(resume::retryDelays()[tries]);
    }
}

// Asks for the rest of the file when an earlier answer named it with a
// validator, else for all of it. A whole answer starts the file over.
QCoro::Task<> FileDownload::transferOnce(QString address, std::optional<PartFile> &file,
                                         QString &path)
{
    const bool resuming = file && m_state.BytesDone > 0 && !m_validator.isEmpty();
    const answer::Rest asked =
        resuming ? answer::Rest{m_state.BytesDone, m_state.FileSize, m_validator} : answer::Rest{};
    const std::int64_t length = co_await request(address, asked);
    if (m_inet2.ResponseCode() != 206)
        startOver(length, file, path);
    co_await receiveBody(*file);
}

void FileDownload::startOver(std::int64_t length, std::optional<PartFile> &file, QString &path)
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
    if (file) {
        file->restart();
        return;
    }
    // The folder may have changed while the response was awaited; the file
    // goes where the folder box points now, and replaces only what the user
    // agreed to replace.
    path = destinationPath();
    file.emplace(path.left(path.size() - m_state.FileName.size()), WriteBuffer);
}

QString FileDownload::destinationPath() const
{
    QString folder = m_controls.destinationFolder();
    if (!folder.isEmpty() && !folder.endsWith(u'/'))
        folder += u'/';
    return folder + m_state.FileName;
}

// Asks before an existing entry is replaced. A folder of that name cannot be
// replaced by a file: the download ends silently after the answer.
bool FileDownload::confirmReplace(const QString &path)
{
    if (m_controls.showMessage(alreadyExistsText(), MessageStyle::YesNoInformation) !=
        MessageAnswer::Yes)
        return false;
    const QFileInfo info(path);
    if (info.isDir() && !info.isSymLink())
        throw Error(errc::PathAccess, QStringLiteral("a folder has the name: ") + path);
    return true;
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

// The bar shows why a download that got as far as its request failed; a bad
// name has its box, and a download stopped or never started shows nothing.
void FileDownload::endWithFailure(const Error &error)
{
    if (error.number() == errc::BadFileName)
        m_controls.showMessage(cannotDownloadText(), MessageStyle::OkCritical);
    else if (m_stage != Stage::Preparing && !m_stopRequested && error.number() != errc::Cancelled)
        m_controls.showFailure(failureReason(error));
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

void FileDownload::throwIfStopped() const
{
    if (m_stopRequested)
        throw Error(errc::Cancelled, QStringLiteral("the download was stopped"));
}

}  // namespace plimo
