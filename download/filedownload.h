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

}  // namespace plimo
