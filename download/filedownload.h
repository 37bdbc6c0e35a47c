#pragma once

// The download: the selected file address becomes a file in the destination
// folder, fetched in 1024-byte chunks with the progress shown as it comes.
//
// The download reads and writes the window's controls only through
// DownloadControls and fetches through the Inet it is given.

#include "download/answer.h"
#include "download/partfile.h"
#include "download/resume.h"
#include "platform/inet.h"

#include <QByteArray>
#include <QString>

#include <QCoroTask>

#include <cstdint>
#include <optional>

namespace plimo {

enum class MessageStyle {
    Ok,                // OK button, no icon
    YesNoInformation,  // Yes and No, information icon, Yes the default
    OkCritical,        // OK button, critical icon
};

enum class MessageAnswer { Ok, Yes, No };

// What the download needs of the window.
class DownloadControls {
public:
    virtual ~DownloadControls() = default;

    virtual QString selectedAddress() const = 0;    // Text3
    virtual QString destinationFolder() const = 0;  // Text2, ends with the separator

    virtual void setProgressValue(int percent) = 0;  // ProgressBar1, 0..100
    virtual int progressValue() const = 0;
    virtual void setSizeText(const QString &text) = 0;     // Label3
    virtual void setPercentText(const QString &text) = 0;  // Label2

    // Shows that the download failed for good, and why, on ProgressBar1
    // without a box; an empty reason clears that look.
    virtual void showFailure(const QString &reason) = 0;

    // A modal message box with the application's title.
    virtual MessageAnswer showMessage(const QString &text, MessageStyle style) = 0;
};

// The transfer state of the window's download. It lives as long as the
// window and keeps its values after a download ends.
struct TransferState {
    std::int64_t FileSize = 0;   // from Content-Length; 64-bit, so no 2 GiB limit
    std::int64_t BytesDone = 0;  // bytes received so far, counted as they arrive
    QByteArray ChunkBuf;         // the chunk received last
    bool TransferOn = false;     // the chunk loop runs only while this holds
    QString FileName;            // the name part of the selected address
};

class Error;
// The download of the file address in Text3 into the folder of Text2, named
// after the address's last segment (trailing blanks dropped, percent escapes
// kept). The body arrives in 1024-byte chunks and is written through a
// temporary file in that folder, which takes the name only once every byte
// of Content-Length has arrived; any failure removes it and leaves an
// existing file of that name as it was. Only a whole, unencoded body is
// taken: a partial answer (206, Content-Range), a content encoding, length
// headers that contradict each other, or none at all fail. A name that cannot
// be a file name in that folder is reported with the error-52 message; every
// other failure after the request was made (transport, a status outside 2xx,
// a refused answer, a short body, the folder, a full disk) is shown through
// DownloadControls::showFailure, which the next download clears. A download
// that is stopped shows nothing.
class FileDownload final {
public:
    FileDownload(DownloadControls &controls, Inet &inet2);
    // Ends a running download first (see stop()), while everything it uses
    // is still here.
    ~FileDownload();
    FileDownload(const FileDownload &) = delete;
    FileDownload &operator=(const FileDownload &) = delete;

    // The download button. The task runs the download to its end, awaiting
    // the network instead of waiting for it, and never throws. A click while
    // a download runs is refused and changes nothing. This object, the
    // controls and inet2 must outlive the task; stop() ends it early.
    QCoro::Task<> Command3_Click();

    bool isRunning() const;
    // Ends a running download before this returns where it awaits the
    // network, else at its next step: nothing is left half-written and no
    // further request is made (the window is closing).
    void stop();

    const TransferState &state() const { return m_state; }

private:
    QCoro::Task<> run(QString address);
    QString destinationPath() const;
    bool confirmReplace(const QString &path);
    QCoro::Task<> transferWithRetries(QString address, std::optional<PartFile> &file,
                                      QString &path);
    QCoro::Task<> transferOnce(QString address, std::optional<PartFile> &file, QString &path);
    void startOver(std::int64_t length, std::optional<PartFile> &file, QString &path);
    QCoro::Task<std::int64_t> request(QString address, answer::Rest asked);
    QCoro::Task<> receiveBody(PartFile &file);
    void showProgress();
    void endWithFailure(const Error &error);
    QString failureReason(const Error &error) const;
    void throwIfStopped() const;

    // How far the download got: a failure shows only once the request is
    // made, and a transfer failure reads by when it came.
    enum class Stage { Preparing, Requesting, Receiving };

    DownloadControls &m_controls;
    Inet &m_inet2;
    TransferState m_state;
    bool m_running = false;
    bool m_stopRequested = false;
    Stage m_stage = Stage::Preparing;
    int m_shownPercent = -1;
    QByteArray m_validator;  // names the file for a resumed request; "" for none
    resume::RetryWait m_retryWait;
};

}  // namespace plimo
