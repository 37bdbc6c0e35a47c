#pragma once

#include "download/filedownload.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <utility>
#include <vector>

namespace plimo::test {

// The same n bytes every time; a chunk that is lost, repeated or moved shows.
inline QByteArray bodyOf(qsizetype n)
{
    QByteArray body(n, '\0');
    for (qsizetype i = 0; i < body.size(); ++i)
        body[i] = static_cast<char>(i % 251);
    return body;
}

// The window's side of a download, recorded: what a click takes, what the
// progress controls were given, the boxes shown, answered as `answer` says.
class RecordingControls final : public DownloadControls {
public:
    using Shown = std::vector<std::pair<QString, MessageStyle>>;

    explicit RecordingControls(QString folder = {}) : folder(std::move(folder)) {}

    QString address, folder;
    std::vector<int> bar;
    QStringList sizeTexts, percentTexts;
    Shown messages;
    MessageAnswer answer = MessageAnswer::Yes;  // to the question of replacing
    QString failure;                            // the reason the bar shows, "" for none
    std::function<void(int)> onProgress;        // called with each value the bar gets

    QString selectedAddress() const override { return address; }
    QString destinationFolder() const override { return folder; }
    void setProgressValue(int percent) override
    {
        bar.push_back(percent);
        if (onProgress)
            onProgress(percent);
    }
    int progressValue() const override { return bar.empty() ? 100 : bar.back(); }
    void setSizeText(const QString &text) override { sizeTexts << text; }
    void setPercentText(const QString &text) override { percentTexts << text; }
    void showFailure(const QString &reason) override { failure = reason; }
    MessageAnswer showMessage(const QString &text, MessageStyle style) override
    {
        messages.emplace_back(text, style);
        return style == MessageStyle::YesNoInformation ? answer : MessageAnswer::Ok;
    }
};

}  // namespace plimo::test
