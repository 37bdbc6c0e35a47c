#include "download/partfile.h"

#include "platform/error.h"
#include "tests/support/folder.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <functional>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>

namespace {

using plimo::PartFile;
using plimo::test::Files;
using plimo::test::files;
using Commit = PartFile::Commit;
using namespace Qt::StringLiterals;

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

// A hidden file named like the program's own may be the user's: it stays.
TEST_P(Part, TouchesNoFileButItsOwnAndTheOneItReplaces)
{
    const Files mine{{u".plimo-0123456789abcdef.part"_s, "mine"}, {u".plimo-abc.part"_s, "mine"}};
    for (const auto &[name, bytes] : mine)
        ASSERT_TRUE(plimo::test::put(dir.filePath(name), bytes));
    for (const Commit mode : {Commit::KeepExisting, Commit::Replace}) {
        PartFile file(dir.path(), 4);
        file.write(mode == Commit::Replace ? "second" : "first");
        file.commit(u"song.mp3"_s, mode);
    }
    {
        PartFile abandoned(dir.path(), 4);
        abandoned.write("third");
        // Nameless, it has no name that a killed program could leave behind.
        EXPECT_EQ(files(dir.path()).size(), mine.size() + (nameless ? 1 : 2));
    }
    Files expected = mine;
    expected[u"song.mp3"_s] = "second";
    EXPECT_EQ(files(dir.path()), expected);

    // The permissions of any new file: the umask decides.
    const mode_t umask = ::umask(0);
    ::umask(umask);
    struct stat info;
    ASSERT_EQ(::stat(QFile::encodeName(dir.filePath(u"song.mp3"_s)).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0666 & ~umask);
}

// The folder is opened once: renamed meanwhile, it still receives the file.
TEST_P(Part, LandsInTheFolderItWasStartedIn)
{
    ASSERT_TRUE(QDir(dir.path()).mkdir(u"old"_s));
    PartFile file(dir.filePath(u"old/"_s), 4);
    file.write("first ");
    ASSERT_TRUE(QDir(dir.path()).rename(u"old"_s, u"new"_s) && QDir(dir.path()).mkdir(u"old"_s));
    file.write("second");
    file.commit(u"song.mp3"_s, Commit::Replace);
    EXPECT_EQ(files(dir.filePath(u"new"_s)), (Files{{u"song.mp3"_s, "first second"}}));
    EXPECT_EQ(files(dir.filePath(u"old"_s)), Files{});
}

// A failed commit cleans up at once, before the owner goes, and leaves what
// had the name as it was.
TEST_P(Part, NameThatCannotBeTakenLeavesNothingBehind)
{
    ASSERT_TRUE(plimo::test::put(dir.filePath(u"song.mp3"_s), "old"));
    ASSERT_TRUE(QDir(dir.path()).mkdir(u"folder"_s));
    // Taken by a file not to be replaced, by a folder that a file cannot
    // replace, or the folder deleted while the body arrived.
    const std::tuple<QString, QString, Commit, int> rows[] = {
        {{}, u"song.mp3"_s, Commit::KeepExisting, plimo::errc::FileExists},
        {{}, u"folder"_s, Commit::Replace, plimo::errc::PathAccess},
        {u"gone"_s, u"song.mp3"_s, Commit::Replace, plimo::errc::PathAccess}};
    for (const auto &[folder, name, mode, number] : rows) {
        ASSERT_TRUE(QDir(dir.filePath(folder)).mkpath(u"."_s));
        PartFile file(dir.filePath(folder), 0);
        file.write("new");
        ASSERT_TRUE(folder.isEmpty() || QDir(dir.filePath(folder)).removeRecursively());
        EXPECT_EQ(failureOf([&] { file.commit(name, mode); }), number) << name.toStdString();
        EXPECT_EQ(files(dir.path()), (Files{{u"folder"_s, "<folder>"}, {u"song.mp3"_s, "old"}}));
    }
}

// Qt ends the program with exit() when the display goes away: no destructor
// of the download runs, and still nothing is left. (A killed program leaves a
// named temporary file: nothing can tell it from a file of the user's.)
TEST_P(Part, ProgramThatExitsMidWayLeavesNothing)
{
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        PartFile file(dir.path(), 0);
        file.write("partial");
        std::exit(0);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(files(dir.path()), Files{});
}

// A write that failed may have left part of the buffer on the disk: the file
// is spent. Every later step fails the same way and nothing takes the name,
// while a file just under the size limit still lands. The limit is set in a
// child, which reports each step's error number in its exit status.
TEST_P(Part, AFailedWriteSpendsTheFile)
{
    const std::tuple<const char *, std::function<void(PartFile &)>> laterSteps[] = {
        {"write", [](PartFile &file) { file.write("x"); }},
        {"restart", [](PartFile &file) { file.restart(); }},
        {"commit", [](PartFile &file) { file.commit(u"song.mp3"_s, Commit::Replace); }}};
    for (const auto &[step, later] : laterSteps) {
        SCOPED_TRACE(step);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{8, 8};
            ::setrlimit(RLIMIT_FSIZE, &limit);
            {
                PartFile fits(dir.path(), 4);
                fits.write("12345678");
                fits.commit(u"fits.mp3"_s, Commit::KeepExisting);
            }
            bool spent = false;
            {
                PartFile file(dir.path(), 4);
                const int first = failureOf([&] { file.write("123456789"); });
                spent =
                    first == plimo::errc::PathAccess && failureOf([&] { later(file); }) == first;
            }
            std::_Exit(spent ? 0 : 1);
        }
        int status = -1;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(files(dir.path()), (Files{{u"fits.mp3"_s, "12345678"}}));
        QFile::remove(dir.filePath(u"fits.mp3"_s));
    }
}

// With and without the final "/": only without it could the link be refused.
TEST(PartFile, FolderThatIsASymlinkIsFollowed)
{
    QTemporaryDir dir;
    ASSERT_TRUE(QDir(dir.path()).mkdir(u"target"_s));
    ASSERT_TRUE(QFile::link(dir.filePath(u"target"_s), dir.filePath(u"link"_s)));
    for (const QString &folder : {u"link"_s, u"link/"_s}) {
        PartFile file(dir.filePath(folder), 0);
        file.write(folder.toUtf8());
        file.commit(folder.endsWith(u'/') ? u"b.mp3"_s : u"a.mp3"_s, Commit::KeepExisting);
    }
    EXPECT_EQ(files(dir.filePath(u"target"_s)),
              (Files{{u"a.mp3"_s, "link"}, {u"b.mp3"_s, "link/"}}));
}

}  // namespace
