#pragma once

// A download's bytes on their way into the destination folder.
//
// The bytes go into a hidden temporary file inside the destination folder
// (same file system, so the final move is a rename). The file becomes the
// destination only through commit(); until then, and whenever commit() fails,
// the temporary file is removed. So no failure path leaves a truncated file
// under the real name, and an existing file is replaced only by a complete
// new one.
//
// The folder is opened once, at construction, and every later step goes
// through that descriptor: a folder renamed meanwhile still receives the file
// under its new name, and a folder swapped for a symlink is not followed.
//
// Temporary files are named ".plimo-<hex>.part" and locked (flock) for as
// long as their owner lives. Constructing a PartFile first removes the
// unlocked ones in its folder: those of a program that was killed. A program
// that ends through exit() without unwinding (Qt does so when the display
// goes away) removes its temporary file from an atexit hook.
//
// Failures throw plimo::Error with errc::PathAccess.

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
    // and creates the temporary file in it. Throws when folder is not a
    // folder or is a symlink. Writes are collected in a buffer of bufferSize
    // bytes (0: every write goes to the file at once); the bytes reach the
    // file in the order they were written.
    PartFile(const QString &folder, qsizetype bufferSize);
    ~PartFile();
    PartFile(const PartFile &) = delete;
    PartFile &operator=(const PartFile &) = delete;

    void write(const QByteArray &bytes);

    // Writes out the buffer, closes the file and gives it fileName, a name
    // inside the folder (no "/"). When that fails, the temporary file is gone
    // too and whatever had the name before is untouched.
    void commit(const QString &fileName, Commit mode);

private:
    void create();
    void flush();
    void writeOut(const char *data, qsizetype size);
    void closeKeepingLock();
    void remove();
    [[noreturn]] void fail(const char *what, const QByteArray &name, int error) const;

    int m_folder = -1;
    int m_fd = -1;
    QByteArray m_folderPath;  // for messages only; every access goes through m_folder
    QByteArray m_name;        // the temporary file's name inside the folder
    std::vector<char> m_buffer;
    qsizetype m_used = 0;
    bool m_committed = false;
};

}  // namespace plimo
