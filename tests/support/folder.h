#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

#include <map>
#include <ostream>

// Readable failures: gtest finds this by argument-dependent lookup.
inline void PrintTo(const QString &text, std::ostream *out)
{
    *out << '"' << text.toStdString() << '"';
}

namespace plimo::test {

// A folder's entries and their bytes; "<folder>" for a folder. Hidden entries
// count too, so a temporary file left behind shows.
using Files = std::map<QString, QByteArray>;

inline Files files(const QString &folder)
{
    Files found;
    for (const QFileInfo &entry : QDir(folder).entryInfoList(QDir::AllEntries | QDir::Hidden |
                                                             QDir::System | QDir::NoDotAndDotDot)) {
        QFile file(entry.filePath());
        found[entry.fileName()] = entry.isDir()                    ? "<folder>"
                                  : file.open(QIODevice::ReadOnly) ? file.readAll()
                                                                   : "<unreadable>";
    }
    return found;
}

// Whether path now holds exactly bytes.
inline bool put(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

}  // namespace plimo::test
