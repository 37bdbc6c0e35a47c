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

// One download as the line hands it over: what was asked for at its click.
struct DownloadOrder {
    QString address;       // trailing blanks dropped
    QString folder;        // the folder box's text at the click, ending with "/"
    QString fileName;      // the address's last segment, an acceptable file name
    bool replace = false;  // "yes" to replacing whatever has the name when it lands
};

struct DownloadOutcome {
    enum class Kind { Landed, Cancelled, Failed };
    Kind kind = Kind::Landed;
    QString reason;  // why it failed, as the progress bar shows it
};

// What the line hears of a running download beside the progress controls.
class DownloadEvents {
public:
    virtual ~DownloadEvents() = default;
    // An answer was taken: the file is size bytes long and the body starts at
    // byte from (0 for the whole file, which starts the file over).
    virtual void answered(std::int64_t size, std::int64_t from) = 0;
    // The transfer failed and another try follows after a pause.
    virtual void waitingToRetry() = 0;
};

// The file name a click's address asks for: its last segment, trailing blanks
// dropped, percent escapes kept.
QString fileNameOf(const QString &address);
// Whether name can stand as one file inside a folder (see FileDownload).
bool acceptableFileName(const QString &name);

class Error;
// One download of an order into its folder, in 1024-byte chunks, written
// through a temporary file in that folder which takes the name only once
// every byte of Content-Length has arrived; any failure removes it and leaves
// an existing file of that name as it was. The folder is opened when the
// answer arrives and followed by its descriptor from then on. Only a whole,
// unencoded body is taken: a partial answer nobody asked for, a content
// encoding, length headers that contradict each other, or none at all fail.
// A transport failure is tried again after a pause, for the rest of the file
// when a strong validator names it. The bar and the labels show the progress
// through DownloadControls; a failure is reported in the outcome.
class FileDownload final {
public:
    FileDownload(DownloadControls &controls, Inet &inet2, DownloadEvents &events);
    // Ends a running download first (see stop()), while everything it uses
    // is still here.
    ~FileDownload();
    FileDownload(const FileDownload &) = delete;
    FileDownload &operator=(const FileDownload &) = delete;

    // Runs the download to its end, awaiting the network instead of waiting
    // for it, and never throws. This object, the controls and inet2 must
    // outlive the task; stop() ends it early. One at a time.
    QCoro::Task<DownloadOutcome> run(DownloadOrder order);

    // Ends a running download before this returns where it awaits the
    // network, else at its next step: nothing is left half-written, no
    // further request is made, and the outcome is Cancelled.
    void stop();

    const TransferState &state() const { return m_state; }

private:
    QCoro::Task<> transfer(const DownloadOrder &order);
    QCoro::Task<> transferWithRetries(const DownloadOrder &order, std::optional<PartFile> &file);
    QCoro::Task<> transferOnce(const DownloadOrder &order, std::optional<PartFile> &file);
    void startOver(std::int64_t length, const QString &folder, std::optional<PartFile> &file);
    QCoro::Task<std::int64_t> request(QString address, answer::Rest asked);
    QCoro::Task<> receiveBody(PartFile &file);
    void showProgress();
    QString failureReason(const Error &error) const;

    // How far the download got: a transfer failure reads by when it came.
    enum class Stage { Requesting, Receiving };

    DownloadControls &m_controls;
    Inet &m_inet2;
    DownloadEvents &m_events;
    TransferState m_state;
    bool m_running = false;
    bool m_stopRequested = false;
    Stage m_stage = Stage::Requesting;
    int m_shownPercent = -1;
    QByteArray m_validator;  // names the file for a resumed request; "" for none
    resume::RetryWait m_retryWait;
};

}  // namespace plimo
