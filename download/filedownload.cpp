#include "download/filedownload.h"

#include "download/partfile.h"
#include "platform/error.h"
#include "search/text.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cmath>
#include <exception>

namespace plimo {
namespace {

constexpr std::int64_t ChunkSize = 1024;
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
// that other desktops cannot hold.
bool acceptableFileName(const QString &name)
{
    if (name.isEmpty() || name == u"." || name == u"..")
        return false;
    if (QFile::encodeName(name).size() > MaxNameBytes)
        return false;
    return std::none_of(name.begin(), name.end(), [](QChar c) {
        return QStringView(u"<>:\"/\\|?*").contains(c) || c.category() == QChar::Other_Control;
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

void FileDownload::Command3_Click()
{
    if (m_running)
        return;
    const QString address = m_controls.selectedAddress();
    if (address.isEmpty()) {
        m_controls.showMessage(chooseFirstText(), MessageStyle::Ok);
        return;
    }
    const RunningScope running(m_running);
    m_stopRequested = false;
    int number = 0;
    try {
        run(withoutTrailingBlanks(address));
    } catch (const Error &error) {
        number = error.number();
    } catch (const std::exception &) {
        number = errc::Transfer;
    }
    if (number != 0)
        m_inet2.Cancel();
    if (number == errc::BadFileName)
        m_controls.showMessage(cannotDownloadText(), MessageStyle::OkCritical);
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
}

void FileDownload::run(const QString &address)
{
    m_controls.setProgressValue(0);
    m_state.FileName =
        withoutTrailingBlanks(text::Mid(address, text::InStrRev(address, QStringLiteral("/")) + 1));
    if (!acceptableFileName(m_state.FileName))
        throw Error(errc::BadFileName, QStringLiteral("bad file name: ") + m_state.FileName);
    const QString checkedPath = destinationPath();
    const bool replace = entryExists(checkedPath);
    if (replace && !confirmReplace(checkedPath))
        return;

    m_state.BytesDone = 0;
    m_state.TransferOn = true;
    request(address);
    m_state.FileSize = text::TextToLongLong(m_inet2.GetHeader(QStringLiteral("Content-Length")));
    if (m_state.FileSize <= 0)
        return;
    m_controls.setSizeText(
        text::FormatNumber(static_cast<double>(m_state.FileSize) / 1024 / 1024, 2) +
        QStringLiteral(" MB"));

    // The folder may have changed while the response was awaited; the file
    // goes where the folder box points now, and replaces only what the user
    // agreed to replace.
    const QString path = destinationPath();
    PartFile file(path.left(path.size() - m_state.FileName.size()), m_tuning.writeBuffer);
    receiveBody(file);
    if (m_state.BytesDone != m_state.FileSize)
        throw Error(errc::Cancelled, QStringLiteral("the download was stopped"));
    file.commit(m_state.FileName, replace && path == checkedPath ? PartFile::Commit::Replace
                                                                 : PartFile::Commit::KeepExisting);
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

void FileDownload::request(const QString &address)
{
    m_inet2.Execute(address, QStringLiteral("GET"));
    // StillExecuting waits a little for the network on each call, so this
    // loop does not spin a core.
    while (m_inet2.StillExecuting())
        yieldToWindow();
    const int status = m_inet2.ResponseCode();
    // An error page must never be saved as a song.
    if (status < 200 || status > 299)
        throw Error(errc::Transfer, QStringLiteral("status %1").arg(status));
}

void FileDownload::receiveBody(PartFile &file)
{
    m_shownPercent = -1;
    QElapsedTimer sinceYield;
    sinceYield.start();
    const qint64 yieldNs =
        std::chrono::duration_cast<std::chrono::nanoseconds>(m_tuning.yieldInterval).count();
    while (m_state.BytesDone < m_state.FileSize && m_state.TransferOn) {
        const std::int64_t wanted = std::min(ChunkSize, m_state.FileSize - m_state.BytesDone);
        // A server that stalls mid-body must not freeze the window.
        while (!m_inet2.ChunkReady(wanted))
            yieldToWindow();
        m_state.ChunkBuf = m_inet2.GetChunk(wanted);
        if (m_state.ChunkBuf.isEmpty() || m_state.ChunkBuf.size() > wanted)
            throw Error(errc::Transfer, QStringLiteral("the body does not match Content-Length"));
        file.write(m_state.ChunkBuf);
        m_state.BytesDone += m_state.ChunkBuf.size();
        showProgress();
        // A pass of the event loop costs about as much as a chunk; once per
        // millisecond keeps the window just as responsive.
        if (sinceYield.nsecsElapsed() >= yieldNs) {
            yieldToWindow();
            sinceYield.restart();
        }
    }
}

void FileDownload::showProgress()
{
    const auto percent = static_cast<int>(std::floor(static_cast<double>(m_state.BytesDone) /
                                                     static_cast<double>(m_state.FileSize) * 100));
    if (percent == m_shownPercent && !m_tuning.updateEveryChunk)
        return;
    m_shownPercent = percent;
    m_controls.setProgressValue(percent);
    m_controls.setPercentText(text::NumberToText(static_cast<float>(m_controls.progressValue())) +
                              QStringLiteral(" %"));
}

void FileDownload::yieldToWindow()
{
    m_controls.processEvents();
    if (m_stopRequested)
        throw Error(errc::Cancelled, QStringLiteral("the download was stopped"));
}

}  // namespace plimo
