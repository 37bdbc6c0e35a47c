#include "download/partfile.h"

#include "platform/error.h"

#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace plimo {
namespace {

constexpr char TemporaryPrefix[] = ".plimo-";
constexpr char TemporarySuffix[] = ".part";

// What the atexit hook removes, in plain storage: exit() may already have
// destroyed every object with a destructor, and the hook must not allocate.
struct RunningFile {
    int folder = -1;
    char name[NAME_MAX + 1] = {};
};
RunningFile running;

void removeRunningFile()
{
    if (running.folder >= 0)
        ::unlinkat(running.folder, running.name, 0);
}

void setRunningFile(int folder, const QByteArray &name)
{
    static const bool registered = std::atexit(removeRunningFile) == 0;
    Q_UNUSED(registered);
    if (name.size() > NAME_MAX)
        return;
    std::memcpy(running.name, name.constData(), static_cast<std::size_t>(name.size()) + 1);
    running.folder = folder;
}

void clearRunningFile(int folder, const QByteArray &name)
{
    if (running.folder == folder && name == running.name)
        running.folder = -1;
}

QByteArray temporaryName()
{
    const quint64 tag = QRandomGenerator::global()->generate64();
    return TemporaryPrefix + QByteArray::number(tag, 16) + TemporarySuffix;
}

bool isTemporaryName(const char *name)
{
    const std::size_t length = std::strlen(name);
    const std::size_t prefix = sizeof TemporaryPrefix - 1, suffix = sizeof TemporarySuffix - 1;
    return length > prefix + suffix && std::strncmp(name, TemporaryPrefix, prefix) == 0 &&
           std::strcmp(name + length - suffix, TemporarySuffix) == 0;
}

// Whether name in folder is the very file that fd has open.
bool namesFile(int folder, const char *name, int fd)
{
    struct stat opened, named;
    return ::fstat(fd, &opened) == 0 && ::fstatat(folder, name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

bool lockFile(int fd, int how)
{
    int result;
    while ((result = ::flock(fd, how)) != 0 && errno == EINTR) {
    }
    return result == 0;
}

// A temporary file that nobody holds locked was left by a program that was
// killed. The name is checked again under the lock, so what goes is the file
// that was found unlocked and not one created under the name since.
void removeIfStale(int folder, const char *name)
{
    const int fd = ::openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return;
    struct stat info;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
        namesFile(folder, name, fd))
        ::unlinkat(folder, name, 0);
    ::close(fd);
}

void sweepStale(int folder)
{
    // A descriptor of its own, so the listing's position is nobody else's.
    const int listing = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing < 0)
        return;
    DIR *dir = ::fdopendir(listing);
    if (dir == nullptr) {
        ::close(listing);
        return;
    }
    while (const dirent *entry = ::readdir(dir)) {
        if (isTemporaryName(entry->d_name))
            removeIfStale(folder, entry->d_name);
    }
    ::closedir(dir);
}

// Moves from onto to unless something exists at to. Falls back to a test and
// a plain rename on file systems that cannot do this in one step.
bool renameWithoutReplacing(int folder, const char *from, const char *to)
{
    if (::renameat2(folder, from, folder, to, RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    struct stat info;
    if (::fstatat(folder, to, &info, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        return false;
    }
    return ::renameat(folder, from, folder, to) == 0;
}

}  // namespace

PartFile::PartFile(const QString &folder, qsizetype bufferSize)
    : m_folderPath(QFile::encodeName(folder)), m_buffer(static_cast<std::size_t>(bufferSize))
{
    // With a trailing "/" the kernel follows a symlink in the last component
    // despite O_NOFOLLOW.
    while (m_folderPath.size() > 1 && m_folderPath.endsWith('/'))
        m_folderPath.chop(1);
    if (m_folderPath.isEmpty())
        m_folderPath = ".";
    m_folder = ::open(m_folderPath.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (m_folder < 0)
        fail("cannot open", QByteArray(), errno);
    try {
        sweepStale(m_folder);
        create();
    } catch (...) {
        ::close(m_folder);
        throw;
    }
}

PartFile::~PartFile()
{
    remove();
    if (m_fd >= 0)
        ::close(m_fd);
    ::close(m_folder);
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

void PartFile::commit(const QString &fileName, Commit mode)
{
    const QByteArray target = QFile::encodeName(fileName);
    try {
        if (target.isEmpty() || target.contains('/'))
            fail("cannot move onto", target, EINVAL);
        flush();
        // Replacing costs the old file, so the new one must be on the disk
        // before the old one goes.
        if (mode == Commit::Replace && ::fdatasync(m_fd) != 0)
            fail("cannot write", m_name, errno);
        closeKeepingLock();
        const bool moved =
            mode == Commit::Replace
                ? ::renameat(m_folder, m_name.constData(), m_folder, target.constData()) == 0
                : renameWithoutReplacing(m_folder, m_name.constData(), target.constData());
        if (!moved)
            fail("cannot move onto", target, errno);
    } catch (...) {
        remove();
        throw;
    }
    clearRunningFile(m_folder, m_name);
    m_committed = true;
}

void PartFile::create()
{
    // 0666 lets the umask decide, so the finished file has the permissions
    // any new file in that folder would have.
    for (int attempt = 0; attempt < 100; ++attempt) {
        m_name = temporaryName();
        const int fd =
            ::openat(m_folder, m_name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno == EEXIST)
            continue;
        if (fd < 0)
            fail("cannot create", m_name, errno);
        if (!lockFile(fd, LOCK_EX)) {
            const int error = errno;
            ::unlinkat(m_folder, m_name.constData(), 0);
            ::close(fd);
            fail("cannot lock", m_name, error);
        }
        // Another program's sweep may have found the file unlocked between
        // the create and the lock, and removed it.
        if (namesFile(m_folder, m_name.constData(), fd)) {
            m_fd = fd;
            setRunningFile(m_folder, m_name);
            return;
        }
        ::close(fd);
    }
    fail("cannot create", m_name, EEXIST);
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
            fail("cannot write", m_name, written < 0 ? errno : ENOSPC);
        data += written;
        size -= written;
    }
}

// A failing close can be the first report of a failed write, so the file is
// closed before its rename. A duplicate keeps the lock until the rename, or a
// sweep could take the finished file just before it gets its name.
void PartFile::closeKeepingLock()
{
    const int lock = ::fcntl(m_fd, F_DUPFD_CLOEXEC, 0);
    if (lock < 0)
        fail("cannot write", m_name, errno);
    if (::close(std::exchange(m_fd, lock)) != 0)
        fail("cannot write", m_name, errno);
}

void PartFile::remove()
{
    if (m_committed || m_name.isEmpty())
        return;
    clearRunningFile(m_folder, m_name);
    ::unlinkat(m_folder, m_name.constData(), 0);
    m_name.clear();
}

void PartFile::fail(const char *what, const QByteArray &name, int error) const
{
    QByteArray path = m_folderPath;
    if (!name.isEmpty())
        path += (path.endsWith('/') ? "" : "/") + name;
    throw Error(errc::PathAccess, QStringLiteral("%1 %2: %3")
                                      .arg(QLatin1String(what), QFile::decodeName(path),
                                           QString::fromLocal8Bit(std::strerror(error))));
}

}  // namespace plimo
