#pragma once

// A download's bytes on their way into the destination folder.
//
// The bytes go into a temporary file inside the destination folder that has
// no name at all (O_TMPFILE), so a program that is killed leaves nothing
// behind. The file takes a name only through commit(): an existing file is
// replaced only by a complete new one, and never unless commit() was asked
// to. No other file of the folder is ever touched.
//
// Where the file system cannot hold a file without a name (vfat, some network
// file systems), the temporary file is a hidden ".plimo-<hex>.part" created
// afresh, removed by its owner's destructor, by a failed commit(), and from
// an atexit hook when the program ends through exit() without unwinding (Qt
// does so when the display goes away). A killed program leaves that one
// behind, and nothing removes it: a file of that name may be the user's own.
//
// The folder is opened once, at construction (a symlink to a folder is
// followed then), and every later step goes through that descriptor: a
// folder renamed meanwhile still receives the file under its new name.
//
// A file whose write failed is spent: how much of the buffer reached the disk
// is unknown, so write(), restart() and commit() throw that failure again
// and the file never takes a name.
//
// Failures throw plimo::Error: errc::DiskFull when the file system is full
// or the quota used up, errc::FileExists when commit() must not replace and
// the name was taken, errc::PathAccess for every other failure (no such
// folder, not a folder, not writable...).

#include <QByteArray>
#include <QString>

#include <vector>

namespace plimo {

class PartFile final {
public:
    enum class Commit {
        Replace,       // the user agreed to replace what exists under the name
        KeepExisting,  // fail rather than replace anything that exists there now
    };

    // Opens folder ("" is the current directory; a trailing "/" is allowed)
    // and creates the temporary file in it. Writes are collected in a buffer
    // of bufferSize bytes (0: every write goes to the file at once); the
    // bytes reach the file in the order they were written.
    PartFile(const QString &folder, qsizetype bufferSize);
    ~PartFile();
    PartFile(const PartFile &) = delete;
    PartFile &operator=(const PartFile &) = delete;

    void write(const QByteArray &bytes);
    // Drops every byte written so far: the next write is the file's first.
    void restart();

    // Writes out the buffer, closes the file and gives it fileName, a name
    // inside the folder (no "/"). When that fails, the temporary file is gone
    // too and whatever had the name before is untouched.
    void commit(const QString &fileName, Commit mode);

    // For tests: false makes the PartFiles created afterwards take the named
    // way that file systems without nameless files get. Default true.
    static void setNamelessAllowed(bool allowed);

private:
    bool createNameless();
    void createNamed();
    void flush();
    void throwIfSpent() const;
    void writeOut(const char *data, qsizetype size);
    void closeReportingErrors();
    void linkNameless(const QByteArray &target);
    void linkUnderHiddenName();
    void moveOnto(const QByteArray &target, Commit mode);
    void discard();
    [[noreturn]] void fail(const char *what, const QByteArray &name, int error) const;
    [[noreturn]] void fail(int number, const char *what, const QByteArray &name, int error) const;

    int m_folder = -1;
    int m_fd = -1;
    QByteArray m_folderPath;  // for messages only; every access goes through m_folder
    QByteArray m_name;        // the temporary file's name inside the folder, "" for none
    std::vector<char> m_buffer;
    qsizetype m_used = 0;
    bool m_committed = false;
    int m_spent = 0;  // the error number of a failed write, 0 while none failed
    QString m_spentMessage;
};

}  // namespace plimo
