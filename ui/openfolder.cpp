#include "ui/openfolder.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QUrl>

namespace plimo {

void openFolder(const QString &folder, const std::function<void(const QString &)> &showMessage)
{
    // The desktop would open its own idea of a folder that is gone (the home
    // folder, or an error window of its own) rather than say so.
    // An empty folder box means the current folder, as it does for the download.
    const QString path = QDir::cleanPath(
        QFileInfo(folder.isEmpty() ? QStringLiteral(".") : folder).absoluteFilePath());
    if (QFileInfo(path).isDir() && QDesktopServices::openUrl(QUrl::fromLocalFile(path)))
        return;
    showMessage(QStringLiteral("폴더를 열 수 없습니다.\r\n") + folder);
}

}  // namespace plimo
