#include "platform/inet.h"

#include "platform/error.h"

// Placeholder until the libcurl transport lands.
namespace plimo {
struct Inet::State {};
Inet::Inet() : d(std::make_unique<State>()) {}
Inet::~Inet() = default;
QString Inet::OpenURL(const QString &) { throw Error(errc::Transfer, QStringLiteral("not yet")); }
void Inet::Execute(const QString &, const QString &) {}
bool Inet::StillExecuting() { return false; }
QString Inet::GetHeader(const QString &) const { return {}; }
int Inet::ResponseCode() const { return 0; }
QByteArray Inet::GetChunk(std::int64_t) { throw Error(errc::Transfer, QStringLiteral("not yet")); }
void Inet::Cancel() {}
void Inet::setRequestTimeout(std::chrono::milliseconds) {}
void Inet::setPageCap(std::int64_t) {}
QByteArray Inet::wireAddress(const QString &a) { return a.toUtf8(); }
}  // namespace plimo
