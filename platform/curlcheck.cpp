#include "platform/curlcheck.h"

#include "platform/error.h"

#include <QString>
#include <QtDebug>

namespace plimo::curl {

void ensureInitialised()
{
    static const CURLcode initialised = curl_global_init(CURL_GLOBAL_DEFAULT);
    check(initialised, "the network library cannot start");
}

void failSetUp(const char *what, const char *detail)
{
    throw Error(errc::Transfer,
                QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromUtf8(detail)));
}

void check(CURLcode code, const char *what)
{
    if (code != CURLE_OK)
        failSetUp(what, curl_easy_strerror(code));
}

void check(CURLMcode code, const char *what)
{
    if (code != CURLM_OK)
        failSetUp(what, curl_multi_strerror(code));
}

// A socket libcurl has already let go of is not worth a line.
void warnOnFailure(CURLMcode code)
{
    if (code != CURLM_OK && code != CURLM_BAD_SOCKET)
        qWarning("network library: %s", curl_multi_strerror(code));
}

void warnOnFailure(CURLcode code)
{
    if (code != CURLE_OK)
        qWarning("network library: %s", curl_easy_strerror(code));
}

}  // namespace plimo::curl
