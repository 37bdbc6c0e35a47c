#pragma once

#include <QString>

#include <stdexcept>

namespace plimo {

// The program's failures carry a number, as the user-visible behaviour depends
// on which failure happened (only a bad file name is ever reported).
namespace errc {
inline constexpr int InvalidCall = 5;    // a position, start or length below its range
inline constexpr int Overflow = 6;       // arithmetic left its variable's range
inline constexpr int NoElement = 9;      // an array element that does not exist
inline constexpr int TypeMismatch = 13;  // text that is not a number
inline constexpr int BadFileName = 52;   // a path the file system cannot accept as a file name
inline constexpr int FileExists = 58;    // a file took the name while the download ran
inline constexpr int DiskFull = 61;      // no room left on the destination's file system
inline constexpr int PathAccess = 75;   // the folder or entry cannot be opened, replaced or written
inline constexpr int Transfer = 35750;  // the request failed in another way (status, cap, scheme)
inline constexpr int CannotConnect = 35754;   // refused, or the host name does not resolve
inline constexpr int ConnectionLost = 35755;  // reset, or the body ended short of its length
inline constexpr int TooSlow = 35761;         // the server sent too little for too long
inline constexpr int Cancelled = 35764;       // the transfer was stopped by the program itself
}  // namespace errc

class Error final : public std::runtime_error {
public:
    Error(int number, const QString &message)
        : std::runtime_error(message.toStdString()), m_number(number), m_message(message)
    {
    }

    int number() const noexcept { return m_number; }
    const QString &message() const noexcept { return m_message; }

private:
    int m_number;
    QString m_message;
};

}  // namespace plimo
