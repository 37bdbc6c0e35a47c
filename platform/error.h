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
inline constexpr int PathAccess = 75;    // the entry exists but cannot be replaced or written
inline constexpr int Transfer = 35750;   // the network request failed (transport or HTTP status)
inline constexpr int Cancelled = 35764;  // the transfer was stopped by the program itself
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
