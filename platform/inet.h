#pragma once

// The transfer component: every HTTP request of the program goes through one
// of these. An instance keeps its connection between requests, so consecutive
// fetches on one instance reuse it.
//
// Failures throw plimo::Error (number errc::Transfer): a transport failure
// (refused, reset, unknown host, no progress within the request timeout), a
// final status outside 2xx for OpenURL, a page body over the page cap, and a
// scheme other than http or https (also as a redirect target). Redirects are
// followed, at most 10; the final response decides.
//
// Addresses go on the wire as typed, except for the characters a URL cannot
// carry (blanks, controls, non-ASCII as UTF-8, and " < > # ` { } | \ ^), which
// are percent-encoded. The standard proxy environment (http_proxy,
// https_proxy, no_proxy) is honoured.
//
// Not thread-safe: an instance belongs to the thread that uses it, and every
// call runs on that thread (no callbacks arrive from anywhere else).

#include <QByteArray>
#include <QString>

#include <chrono>
#include <cstdint>
#include <memory>

namespace plimo {

class Inet final {
public:
    static constexpr std::chrono::milliseconds DefaultTimeout{60'000};
    static constexpr std::int64_t DefaultPageCap = 32 * 1024 * 1024;

    Inet();
    ~Inet();
    Inet(const Inet &) = delete;
    Inet &operator=(const Inet &) = delete;

    // Fetches address and returns the whole body as text. Blocks the calling
    // thread until the body is complete and processes no events meanwhile.
    // The bytes become text by the Content-Type charset, else a <meta>
    // charset, else UTF-8 when they are valid UTF-8, else CP949.
    QString OpenURL(const QString &address);

    // Starts a request (operation "GET") and returns at once; any request
    // still running on this instance is abandoned first. A failure to start
    // is reported by the calls that follow, not here.
    void Execute(const QString &address, const QString &operation);

    // True until the final response's status and headers can be read (or the
    // request failed). Each call advances the transfer and waits for the
    // network for at most a few milliseconds, so a loop over it does not
    // spin a core.
    bool StillExecuting();

    // A header of the final response; "" when there is none or the request
    // failed. Names compare without regard to case.
    QString GetHeader(const QString &name) const;

    // The final response's status code; 0 before it is known or when the
    // transport failed.
    int ResponseCode() const;

    // True once GetChunk(maxBytes) can return without waiting: that many
    // bytes are there, or the body has ended (or failed). Otherwise advances
    // the transfer, waiting for the network a few milliseconds at most, so a
    // caller can keep a window responsive while a server stalls mid-body.
    bool ChunkReady(std::int64_t maxBytes);

    // The next bytes of the body, exactly maxBytes unless the body ends
    // first; "" once it has ended. Blocks (with short network waits) until
    // that many bytes are there. Throws when the transfer failed, also when
    // the body ended short of its Content-Length, once the bytes that did
    // arrive have been handed out. Memory stays bounded to a few hundred KiB
    // whatever the body's size: the transfer pauses while unread data piles up.
    QByteArray GetChunk(std::int64_t maxBytes);

    // Abandons the running request, if any, and frees its data.
    void Cancel();

    // No progress for this long fails the request. Default 60 s.
    void setRequestTimeout(std::chrono::milliseconds timeout);
    // OpenURL fails on a body larger than this. Default 32 MiB.
    void setPageCap(std::int64_t bytes);

    // The address exactly as it is sent on the wire.
    static QByteArray wireAddress(const QString &address);

private:
    struct State;
    std::unique_ptr<State> d;
};

}  // namespace plimo
