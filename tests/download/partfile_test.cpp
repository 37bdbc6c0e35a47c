#include "download/partfile.h"

#include "platform/error.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using plimo::PartFile;
using namespace Qt::StringLiterals;

QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

void put(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

// The error number step throws, 0 when it throws nothing.
int failureOf(const std::function<void()> &step)
{
    try {
        step();
    } catch (const plimo::Error &error) {
        return error.number();
    }
    return 0;
}

// Every test runs both ways: a nameless temporary file, and the named one of
// file systems that have no nameless files.
class Part : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { PartFile::setNamelessAllowed(nameless); }
    void TearDown() override { PartFile::setNamelessAllowed(true); }

    const bool nameless = GetParam();
    QTemporaryDir dir;
};

INSTANTIATE_TEST_SUITE_P(, Part, ::testing::Bool(),
                         [](const auto &info) { return info.param ? "Nameless" : "Named"; });

TEST_P(Part, TouchesNoFileButItsOwnAndTheOneItReplaces)
{
    const QStringList mine{u".plimo-0123456789abcdef.part"_s, u".plimo-abc.part"_s};
    for (const QString &name : mine)
        put(dir.filePath(name), "mine");
    for (const auto mode : {PartFile::Commit::KeepExisting, PartFile::Commit::Replace}) {
        const qsizetype before = entries(dir.path()).size();
        PartFile file(dir.path(), 4);
        file.write(mode == PartFile::Commit::Replace ? "second" : "first");
        EXPECT_EQ(entries(dir.path()).size(), before + (nameless ? 0 : 1));
        file.commit(u"song.mp3"_s, mode);
    }
    EXPECT_EQ(entries(dir.path()), mine + QStringList{u"song.mp3"_s});
    EXPECT_EQ(contents(dir.filePath(u"song.mp3"_s)), "second");
    for (const QString &name : mine)
        EXPECT_EQ(contents(dir.filePath(name)), "mine");

    // The permissions of any new file: the umask decides.
    const mode_t umask = ::umask(0);
    ::umask(umask);
    struct stat info;
    ASSERT_EQ(::stat(QFile::encodeName(dir.filePath(u"song.mp3"_s)).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0666 & ~umask);
}

TEST_P(Part, LandsInTheFolderItWasStartedIn)
{
    ASSERT_TRUE(QDir(dir.path()).mkdir(u"old"_s));
    PartFile file(dir.filePath(u"old/"_s), 4);
    file.write("first ");
    ASSERT_TRUE(QDir(dir.path()).rename(u"old"_s, u"new"_s));
    // The path it was started with now leads somewhere else.
    ASSERT_TRUE(QDir(dir.path()).mkdir(u"old"_s));
    file.write("second");
    file.commit(u"song.mp3"_s, PartFile::Commit::Replace);
    EXPECT_EQ(entries(dir.filePath(u"new"_s)), QStringList{u"song.mp3"_s});
    EXPECT_EQ(contents(dir.filePath(u"new/song.mp3"_s)), "first second");
    EXPECT_EQ(entries(dir.filePath(u"old"_s)), QStringList());
}

TEST_P(Part, NameThatCannotBeTakenLeavesNothingBehind)
{
    put(dir.filePath(u"song.mp3"_s), "old");
    ASSERT_TRUE(QDir(dir.path()).mkdir(u"folder"_s));
    // Taken by a file and not to be replaced, or by a folder that a file cannot replace.
    const std::pair<QString, PartFile::Commit> taken[] = {
        {u"song.mp3"_s, PartFile::Commit::KeepExisting}, {u"folder"_s, PartFile::Commit::Replace}};
    for (const auto &[name, mode] : taken) {
        PartFile file(dir.path(), 0);
        file.write("new");
        EXPECT_EQ(failureOf([&] { file.commit(name, mode); }), mode == PartFile::Commit::Replace
                                                                   ? plimo::errc::PathAccess
                                                                   : plimo::errc::FileExists);
        // Before the owner goes: a failed commit cleans up at once.
        EXPECT_EQ(entries(dir.path()), (QStringList{u"folder"_s, u"song.mp3"_s}));
    }
    EXPECT_EQ(contents(dir.filePath(u"song.mp3"_s)), "old");

    // The folder deleted while the body arrives: nothing can take the name.
    ASSERT_TRUE(QDir(dir.path()).mkdir(u"gone"_s));
    {
        PartFile file(dir.filePath(u"gone"_s), 0);
        file.write("new");
        ASSERT_TRUE(QDir(dir.filePath(u"gone"_s)).removeRecursively());
        EXPECT_EQ(failureOf([&] { file.commit(u"song.mp3"_s, PartFile::Commit::Replace); }),
                  plimo::errc::PathAccess);
    }
    EXPECT_EQ(entries(dir.path()), (QStringList{u"folder"_s, u"song.mp3"_s}));
}

// Qt ends the program with exit() when the display goes away: no destructor
// of the download runs. SIGKILL runs nothing at all, and a named temporary
// file stays: nothing can tell it from a file of the user's.
TEST_P(Part, ProgramThatEndsMidWayLeavesNothingWherePossible)
{
    for (const bool killed : {false, true}) {
        QTemporaryDir folder;
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            try {
                PartFile file(folder.path(), 0);
                file.write("partial");
                if (::write(ready[1], "!", 1) == 1 && killed)
                    ::pause();
                std::exit(0);
            } catch (...) {
                ::_exit(2);
            }
        }
        ::close(ready[1]);
        char byte = 0;
        EXPECT_EQ(::read(ready[0], &byte, 1), 1);
        ::close(ready[0]);
        if (killed)
            ::kill(child, SIGKILL);
        ASSERT_EQ(::waitpid(child, nullptr, 0), child);
        EXPECT_EQ(entries(folder.path()).size(), killed && !nameless ? 1 : 0) << killed;
    }
}

// A file system of 64 KiB of its own, mounted in a user and mount namespace
// that only this process (a child made for it) sees. False where such
// namespaces are not allowed.
bool mountSmallFileSystem(const QByteArray &path)
{
    const QByteArray uid = QByteArray::number(::getuid()), gid = QByteArray::number(::getgid());
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
        return false;
    const auto write = [](const char *file, const QByteArray &text) {
        const int fd = ::open(file, O_WRONLY | O_CLOEXEC);
        const bool written = fd >= 0 && ::write(fd, text.constData(), text.size()) == text.size();
        ::close(fd);
        return written;
    };
    return write("/proc/self/setgroups", "deny") &&
           write("/proc/self/uid_map", "0 " + uid + " 1") &&
           write("/proc/self/gid_map", "0 " + gid + " 1") &&
           ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           ::mount("plimo", path.constData(), "tmpfs", 0, "size=64k") == 0;
}

TEST_P(Part, FullDiskIsToldApart)
{
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (!mountSmallFileSystem(QFile::encodeName(dir.path())))
            ::_exit(77);
        const int number = failureOf([&] {
            PartFile file(dir.path(), 0);
            file.write(QByteArray(1024 * 1024, 'x'));
        });
        ::_exit(number == plimo::errc::DiskFull && entries(dir.path()).isEmpty() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "no user namespace for a small file system";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(PartFile, FolderThatIsASymlinkIsFollowed)
{
    QTemporaryDir dir;
    ASSERT_TRUE(QDir(dir.path()).mkdir(u"target"_s));
    ASSERT_TRUE(QFile::link(dir.filePath(u"target"_s), dir.filePath(u"link"_s)));
    for (const QString &folder : {u"link"_s, u"link/"_s}) {
        PartFile file(dir.filePath(folder), 0);
        file.write("new");
        file.commit(folder.size() == 4 ? u"a.mp3"_s : u"b.mp3"_s, PartFile::Commit::KeepExisting);
    }
    EXPECT_EQ(entries(dir.filePath(u"target"_s)), (QStringList{u"a.mp3"_s, u"b.mp3"_s}));
}

}  // namespace
