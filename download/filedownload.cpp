#include "download/filedownload.h"

namespace plimo {

FileDownload::FileDownload(DownloadControls &controls, Inet &inet2)
    : m_controls(controls), m_inet2(inet2)
{
}

void FileDownload::Command3_Click() {}

bool FileDownload::isRunning() const
{
    return m_running;
}

void FileDownload::stop() {}

}  // namespace plimo
