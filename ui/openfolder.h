#pragma once

// Opening a download's folder in the desktop's file manager.

#include <QString>

#include <functional>

namespace plimo {

// Opens folder through the desktop (a file: address, which Linux desktops
// hand to xdg-open). When the folder no longer exists or the desktop cannot
// open it, says so through showMessage with "폴더를 열 수 없습니다." and the
// folder as given, as a message box's text.
void openFolder(const QString &folder, const std::function<void(const QString &)> &showMessage);

}  // namespace plimo
