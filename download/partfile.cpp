#include "download/partfile.h"

#include "platform/error.h"

#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plimo {
namespace {

[[noreturn]] void fail(const char *what, const QByteArray &path, int error)
{
    throw Error(errc::PathAccess, QStringLiteral("%1 %2: %3")
                                      .arg(QLatin1String(what), QFile::decodeName(path),
                                           QString::fromLocal8Bit(std::strerror(error))));
}

QByteArray temporaryName(const QString &folder)
{
    const quint64 tag = QRandomGenerator::global()->generate64();
    return QFile::encodeName(folder) + ".plimo-" + QByteArray::number(tag, 16) + ".part";
}

bool entryExists(const QByteArray &path)
{
    struct stat info;
    return ::lstat(path.constData(), &info) == 0;
}

// Moves from onto to unless something exists at to. Falls back to a test and
// a plain rename on file systems that cannot do this in one step.
bool renameWithoutReplacing(const QByteArray &from, const QByteArray &to)
{
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    if (entryExists(to)) {
        errno = EEXIST;
        return false;
    }
    return ::rename(from.constData(), to.constData()) == 0;
}

}  // namespace

PartFile::PartFile(const QString &folder, qsizetype bufferSize)
    : m_buffer(static_cast<std::size_t>(bufferSize))
{
    // 0666 lets the umask decide, so the finished file has the permissions
    // any new file in that folder would have.
    for (int attempt = 0; attempt < 100 && m_fd < 0; ++attempt) {
        m_path = temporaryName(folder);
        m_fd = ::open(m_path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (m_fd < 0 && errno != EEXIST)
            fail("cannot create", m_path, errno);
    }
    if (m_fd < 0)
        fail("cannot create", m_path, EEXIST);
}

PartFile::~PartFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
    if (!m_committed)
        ::unlink(m_path.constData());
}

void PartFile::write(const QByteArray &bytes)
{
    const auto capacity = static_cast<qsizetype>(m_buffer.size());
    if (m_used + bytes.size() > capacity)
        flush();
    if (bytes.size() >= capacity) {
        writeOut(bytes.constData(), bytes.size());
        return;
    }
    std::memcpy(m_buffer.data() + m_used, bytes.constData(),
                static_cast<std::size_t>(bytes.size()));
    m_used += bytes.size();
}

void PartFile::commit(const QString &destination, Commit mode)
{
    flush();
    // Replacing costs the old file, so the new one must be on the disk
    // before the old one goes.
    if (mode == Commit::Replace && ::fdatasync(m_fd) != 0)
        fail("cannot write", m_path, errno);
    closeFile();
    const QByteArray target = QFile::encodeName(destination);
    const bool moved = mode == Commit::Replace
                           ? ::rename(m_path.constData(), target.constData()) == 0
                           : renameWithoutReplacing(m_path, target);
    if (!moved)
        fail("cannot move onto", target, errno);
    m_committed = true;
}

QString PartFile::path() const
{
    return QFile::decodeName(m_path);
}

void PartFile::flush()
{
    writeOut(m_buffer.data(), m_used);
    m_used = 0;
}

void PartFile::writeOut(const char *data, qsizetype size)
{
    while (size > 0) {
        const ssize_t written = ::write(m_fd, data, static_cast<std::size_t>(size));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            fail("cannot write", m_path, written < 0 ? errno : ENOSPC);
        data += written;
        size -= written;
    }
}

void PartFile::closeFile()
{
    const int fd = m_fd;
    m_fd = -1;
    // A failing close can be the first report of a failed write.
    if (::close(fd) != 0)
        fail("cannot write", m_path, errno);
}

}  // namespace plimo
