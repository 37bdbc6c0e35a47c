#include "platform/wireaddress.h"

#include <string_view>

namespace plimo {

QByteArray wireAddress(const QString &address)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    static constexpr std::string_view mustEscape = "\"<>#`{}|\\^";
    const QByteArray utf8 = address.toUtf8();
    QByteArray wire;
    wire.reserve(utf8.size());
    for (const char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7F || mustEscape.find(c) != std::string_view::npos) {
            wire.append('%').append(hex[byte >> 4]).append(hex[byte & 0x0F]);
        } else {
            wire.append(c);
        }
    }
    return wire;
}

}  // namespace plimo
