#include "download/partfile.h"

#include "platform/error.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
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

TEST(PartFile, SweepRemovesOnlyTemporaryFilesThatNobodyHolds)
{
    QTemporaryDir dir;
    const QString held = u".plimo-1.part"_s;
    for (const QString &name :
         {u".plimo-0.part"_s, held, u".plimo-2.txt"_s, u"plimo-3.part"_s, u"song.mp3"_s})
        put(dir.filePath(name), "old");
    const int lock = ::open(QFile::encodeName(dir.filePath(held)).constData(), O_RDONLY);
    ASSERT_EQ(::flock(lock, LOCK_EX), 0);

    {
        PartFile file(dir.path(), 0);
        file.write("new");
        file.commit(u"new.mp3"_s, PartFile::Commit::KeepExisting);
    }
    ::close(lock);
    EXPECT_EQ(entries(dir.path()), (QStringList{held, u".plimo-2.txt"_s, u"new.mp3"_s,
                                                u"plimo-3.part"_s, u"song.mp3"_s}));
}

TEST(PartFile, LandsInTheFolderItWasStartedIn)
{
    QTemporaryDir dir;
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

TEST(PartFile, FolderThatIsASymlinkIsNotFollowed)
{
    QTemporaryDir dir;
    ASSERT_TRUE(QDir(dir.path()).mkdir(u"target"_s));
    ASSERT_TRUE(QFile::link(dir.filePath(u"target"_s), dir.filePath(u"link"_s)));
    for (const QString &folder : {u"link"_s, u"link/"_s, u"link//"_s})
        EXPECT_THROW(PartFile(dir.filePath(folder), 0), plimo::Error) << folder.toStdString();
    EXPECT_EQ(entries(dir.filePath(u"target"_s)), QStringList());
}

TEST(PartFile, NameThatCannotBeTakenLeavesNothingBehind)
{
    QTemporaryDir dir;
    put(dir.filePath(u"song.mp3"_s), "old");
    {
        PartFile file(dir.path(), 0);
        file.write("new");
        EXPECT_THROW(file.commit(u"song.mp3"_s, PartFile::Commit::KeepExisting), plimo::Error);
        // Before the owner goes: a failed commit cleans up at once.
        EXPECT_EQ(entries(dir.path()), QStringList{u"song.mp3"_s});
    }
    EXPECT_EQ(contents(dir.filePath(u"song.mp3"_s)), "old");

    // The folder deleted while the body arrives: nothing can take the name.
    ASSERT_TRUE(QDir(dir.path()).mkdir(u"gone"_s));
    {
        PartFile file(dir.filePath(u"gone"_s), 0);
        file.write("new");
        ASSERT_TRUE(QDir(dir.filePath(u"gone"_s)).removeRecursively());
        EXPECT_THROW(file.commit(u"song.mp3"_s, PartFile::Commit::Replace), plimo::Error);
    }
    EXPECT_EQ(entries(dir.path()), QStringList{u"song.mp3"_s});
}

// Qt ends the program with exit() when the display goes away: no destructor
// of the download runs.
TEST(PartFile, ExitWithoutUnwindingLeavesNoTemporaryFile)
{
    QTemporaryDir dir;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        try {
            PartFile file(dir.path(), 0);
            file.write("partial");
            std::exit(entries(dir.path()).size() == 1 ? 0 : 3);
        } catch (...) {
            ::_exit(2);
        }
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(entries(dir.path()), QStringList());
}

}  // namespace
