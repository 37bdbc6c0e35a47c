#pragma once

// The download: the selected file address becomes a file in the destination
// folder, fetched in 1024-byte chunks with the progress shown as it comes.
//
// The download reads and writes the window's controls only through
// DownloadControls and fetches through the Inet it is given.

#include "platform/inet.h"

#include <QByteArray>
#include <QString>

#include <cstdint>

namespace plimo {

enum class MessageStyle {
    Ok = 0,                   // OK button, no icon
    YesNoInformation = 68,    // Yes and No, information icon, Yes the default
    OkCritical = 16,          // OK button, critical icon
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

    // A modal message box with the application's title.
    virtual MessageAnswer showMessage(const QString &text, MessageStyle style) = 0;

    // Lets the window handle its pending events (the window stays usable).
    virtual void processEvents() = 0;
};

// The transfer state of the window's download. It lives as long as the
// window and keeps its values after a download ends.
struct TransferState {
    std::int64_t FileSize = 0;   // from Content-Length
    std::int64_t BytesDone = 0;  // bytes received so far
    QByteArray ChunkBuf;         // the chunk received last
    bool TransferOn = false;     // the chunk loop runs only while this holds
    QString FileName;            // the name part of the selected address
};

class FileDownload final {
public:
    FileDownload(DownloadControls &controls, Inet &inet2);

    // The download button. Runs to its end, yielding to the window through
    // DownloadControls::processEvents while it waits and as chunks arrive.
    // A click while a download runs is refused and changes nothing.
    void Command3_Click();

    bool isRunning() const;
    // Ends a running download cleanly at its next yield: nothing is left
    // half-written (the window is closing).
    void stop();

    const TransferState &state() const { return m_state; }

private:
    DownloadControls &m_controls;
    Inet &m_inet2;
    TransferState m_state;
    bool m_running = false;
};

}  // namespace plimo
