#include "download/partfile.h"

#include "platform/error.h"

#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace plimo {
namespace {

bool namelessAllowed = true;

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
    return ".plimo-" + QByteArray::number(tag, 16) + ".part";
}

// The kernel's answers when the file system (or the kernel) has no nameless
// files: they call for the named way, not for giving up.
bool refusesNameless(int error)
{
    return error == EOPNOTSUPP || error == EISDIR || error == EINVAL || error == ENOSYS;
}

// The one path by which a nameless file can be given a name without
// CAP_DAC_READ_SEARCH (which AT_EMPTY_PATH needs).
QByteArray pathOf(int fd)
{
    return "/proc/self/fd/" + QByteArray::number(fd);
}

int numberFor(int error)
{
    return error == ENOSPC || error == EDQUOT ? errc::DiskFull : errc::PathAccess;
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
    if (m_folderPath.isEmpty())
        m_folderPath = ".";
    m_folder = ::open(m_folderPath.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_folder < 0)
        fail("cannot open", QByteArray(), errno);
    try {
        if (!createNameless())
            createNamed();
    } catch (...) {
        ::close(m_folder);
        throw;
    }
}

PartFile::~PartFile()
{
    discard();
    if (m_fd >= 0)
        ::close(m_fd);
    ::close(m_folder);
}

void PartFile::setNamelessAllowed(bool allowed)
{
    namelessAllowed = allowed;
}

void PartFile::write(const QByteArray &bytes)
{
    throwIfSpent();
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

void PartFile::restart()
{
    throwIfSpent();
    m_used = 0;
    if (::ftruncate(m_fd, 0) != 0 || ::lseek(m_fd, 0, SEEK_SET) != 0)
        fail("cannot write", m_name, errno);
}

void PartFile::commit(const QString &fileName, Commit mode)
{
    const QByteArray target = QFile::encodeName(fileName);
    try {
        throwIfSpent();
        if (target.isEmpty() || target.contains('/'))
            fail("cannot move onto", target, EINVAL);
        flush();
        // Replacing costs the old file, so the new one must be on the disk
        // before the old one goes.
        if (mode == Commit::Replace && ::fdatasync(m_fd) != 0)
            fail("cannot write", m_name, errno);
        closeReportingErrors();
        if (m_name.isEmpty() && mode == Commit::KeepExisting)
            linkNameless(target);
        else
            moveOnto(target, mode);
    } catch (...) {
        discard();
        throw;
    }
    clearRunningFile(m_folder, m_name);
    m_committed = true;
}

// 0666 lets the umask decide, so the finished file has the permissions any
// new file in that folder would have. No O_EXCL: that would forbid the link
// that gives the file its name.
bool PartFile::createNameless()
{
    if (!namelessAllowed)
        return false;
    const int fd = ::openat(m_folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (fd < 0 && refusesNameless(errno))
        return false;
    if (fd < 0)
        fail("cannot create a file in", QByteArray(), errno);
    // Without /proc the file could never be given its name.
    if (::access(pathOf(fd).constData(), F_OK) != 0) {
        ::close(fd);
        return false;
    }
    m_fd = fd;
    return true;
}

void PartFile::createNamed()
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        m_name = temporaryName();
        const int fd =
            ::openat(m_folder, m_name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno == EEXIST)
            continue;
        if (fd < 0)
            fail("cannot create", m_name, errno);
        m_fd = fd;
        setRunningFile(m_folder, m_name);
        return;
    }
    fail("cannot create", m_name, EEXIST);
}

void PartFile::flush()
{
    writeOut(m_buffer.data(), m_used);
    m_used = 0;
}

void PartFile::throwIfSpent() const
{
    if (m_spent != 0)
        throw Error(m_spent, m_spentMessage);
}

void PartFile::writeOut(const char *data, qsizetype size)
{
    try {
        while (size > 0) {
            const ssize_t written = ::write(m_fd, data, static_cast<std::size_t>(size));
            if (written < 0 && errno == EINTR)
                continue;
            if (written <= 0)
                fail("cannot write", m_name, written < 0 ? errno : ENOSPC);
            data += written;
            size -= written;
        }
    } catch (const Error &error) {
        m_spent = error.number();
        m_spentMessage = error.message();
        throw;
    }
}

// A failing close can be the first report of a failed write (a network file
// system writes back on close), so the file is closed before it takes its
// name. A duplicate stays open: it is all that holds a nameless file.
void PartFile::closeReportingErrors()
{
    const int kept = ::fcntl(m_fd, F_DUPFD_CLOEXEC, 0);
    if (kept < 0)
        fail("cannot write", m_name, errno);
    if (::close(std::exchange(m_fd, kept)) != 0)
        fail("cannot write", m_name, errno);
}

// A link never replaces: a name taken meanwhile, by anyone, keeps its file.
void PartFile::linkNameless(const QByteArray &target)
{
    if (::linkat(AT_FDCWD, pathOf(m_fd).constData(), m_folder, target.constData(),
                 AT_SYMLINK_FOLLOW) == 0)
        return;
    const int error = errno;
    if (error == EEXIST)
        fail(errc::FileExists, "already taken:", target, error);
    fail("cannot link onto", target, error);
}

// A link cannot replace, and a rename needs a name to start from: the file
// gets a hidden one for the moment of the rename.
void PartFile::linkUnderHiddenName()
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QByteArray name = temporaryName();
        if (::linkat(AT_FDCWD, pathOf(m_fd).constData(), m_folder, name.constData(),
                     AT_SYMLINK_FOLLOW) == 0) {
            m_name = name;
            setRunningFile(m_folder, m_name);
            return;
        }
        if (errno != EEXIST)
            fail("cannot link", name, errno);
    }
    fail("cannot link", temporaryName(), EEXIST);
}

// One rename, so the name holds the old file or the whole new one at every
// moment, never neither.
void PartFile::moveOnto(const QByteArray &target, Commit mode)
{
    if (m_name.isEmpty())
        linkUnderHiddenName();
    const bool moved =
        mode == Commit::Replace
            ? ::renameat(m_folder, m_name.constData(), m_folder, target.constData()) == 0
            : renameWithoutReplacing(m_folder, m_name.constData(), target.constData());
    if (moved)
        return;
    const int error = errno;
    if (error == EEXIST && mode == Commit::KeepExisting)
        fail(errc::FileExists, "already taken:", target, error);
    fail("cannot move onto", target, error);
}

// A nameless file goes with its last descriptor; a named one needs removing.
void PartFile::discard()
{
    if (m_committed)
        return;
    if (!m_name.isEmpty()) {
        clearRunningFile(m_folder, m_name);
        ::unlinkat(m_folder, m_name.constData(), 0);
        m_name.clear();
    }
    if (m_fd >= 0)
        ::close(std::exchange(m_fd, -1));
}

void PartFile::fail(const char *what, const QByteArray &name, int error) const
{
    fail(numberFor(error), what, name, error);
}

void PartFile::fail(int number, const char *what, const QByteArray &name, int error) const
{
    QByteArray path = m_folderPath;
    if (!name.isEmpty())
        path += (path.endsWith('/') ? "" : "/") + name;
    throw Error(number, QStringLiteral("%1 %2: %3")
                            .arg(QLatin1String(what), QFile::decodeName(path),
                                 QString::fromLocal8Bit(std::strerror(error))));
}

}  // namespace plimo
