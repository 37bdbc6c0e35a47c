#pragma once

// A download's bytes on their way into the destination folder.
//
// The bytes go into a hidden temporary file inside the destination folder
// (same file system, so the final move is a rename). The file becomes the
// destination only through commit(); until then, and whenever commit() fails,
// the destructor removes it. So no failure path leaves a truncated file under
// the real name, and an existing file is replaced only by a complete new one.
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

    // Creates the temporary file in folder ("" is the current directory;
    // folder ends with "/" otherwise). Writes are collected in a buffer of
    // bufferSize bytes (0: every write goes to the file at once); the bytes
    // reach the file in the order they were written.
    PartFile(const QString &folder, qsizetype bufferSize);
    ~PartFile();
    PartFile(const PartFile &) = delete;
    PartFile &operator=(const PartFile &) = delete;

    void write(const QByteArray &bytes);

    // Writes out the buffer, closes the file and moves it onto destination.
    void commit(const QString &destination, Commit mode);

    QString path() const;

private:
    void flush();
    void writeOut(const char *data, qsizetype size);
    void closeFile();

    int m_fd = -1;
    QByteArray m_path;  // the file system's encoding of the temporary name
    std::vector<char> m_buffer;
    qsizetype m_used = 0;
    bool m_committed = false;
};

}  // namespace plimo
