#pragma once

// The transfer component: every HTTP request of the program goes through one
// of these. An instance keeps its connection between requests, so consecutive
// fetches on one instance reuse it.
//
// Nothing here blocks. The transfer is driven by the event loop of the thread
// that owns the instance (socket notifiers and one timer), and code that needs
// a result awaits it: OpenURL is a coroutine, and a stream offers untilResponse()
// and untilChunkReady() to co_await. An awaiting coroutine is always resumed
// from the event loop, never from inside the network library.
//
// Failures throw plimo::Error (number errc::Transfer): a transport failure
// (refused, reset, unknown host, too slow, see setRequestTimeout), a final
// status outside 2xx for OpenURL, a page body over the page cap, a scheme
// other than http or https (also as a redirect target), and a transfer that
// cannot even be set up. Redirects are followed, at most 10; the final
// response decides. An instance that is cancelled or destroyed first resumes
// the coroutine awaiting it with errc::Cancelled, so that coroutine can clean
// up before the instance is gone.
//
// Addresses go on the wire as typed, except for the characters a URL cannot
// carry (blanks, controls, non-ASCII as UTF-8, and " < > # ` { } | \ ^), which
// are percent-encoded. The standard proxy environment (http_proxy,
// https_proxy, no_proxy) is honoured. No request asks for a content encoding.

#include <QByteArray>
#include <QList>
#include <QString>

#include <QCoroTask>

#include <chrono>
#include <coroutine>
#include <cstdint>
#include <memory>

namespace plimo {

class Inet final {
    struct State;

public:
    // A transfer that receives fewer than MinimumBytesPerSecond times the
    // request timeout's seconds within any stretch of that length fails: a
    // dead server and a trickling one alike. Time the reader spends not
    // reading (a full buffer) does not count against the server.
    static constexpr std::chrono::milliseconds DefaultTimeout{60'000};
    static constexpr std::int64_t MinimumBytesPerSecond = 64;
    static constexpr std::int64_t DefaultPageCap = 32 * 1024 * 1024;

    // What a coroutine co_awaits. Resumes at once when its condition already
    // holds, else from the event loop once it does or the transfer ended;
    // throws errc::Cancelled when the transfer was cancelled meanwhile.
    class Wait final {
    public:
        bool await_ready() const noexcept;
        void await_suspend(std::coroutine_handle<> handle) noexcept;
        void await_resume() const;

        // Moved only before it is awaited, as co_await does.
        Wait(Wait &&) noexcept = default;
        Wait &operator=(Wait &&) = delete;

    private:
        friend class Inet;
        friend struct Inet::State;
        enum class Until { Done, Response, Chunk };
        Wait(State &state, Until until, std::int64_t bytes = 0)
            : m_state(&state), m_until(until), m_bytes(bytes)
        {
        }

        State *m_state;
        Until m_until;
        std::int64_t m_bytes;
        std::coroutine_handle<> m_handle;
        bool m_cancelled = false;
    };

    Inet();
    ~Inet();
    Inet(const Inet &) = delete;
    Inet &operator=(const Inet &) = delete;

    // Fetches address and returns the whole body as text. The bytes become
    // text by the Content-Type charset, else a <meta> charset, else UTF-8
    // when they are valid UTF-8, else CP949. Any request still running on
    // this instance is abandoned first.
    QCoro::Task<QString> OpenURL(QString address);

    // Starts a request (operation "GET") and returns at once; any request
    // still running on this instance is abandoned first. Throws when the
    // transfer cannot be set up; later failures are reported by the calls
    // that follow.
    void Execute(const QString &address, const QString &operation);

    // True until the final response's status and headers can be read (or the
    // request failed).
    bool StillExecuting() const;
    [[nodiscard]] Wait untilResponse();

    // A header of the final response; "" when there is none or the request
    // failed. Names compare without regard to case. A repeated header gives
    // its first value here and every value from GetHeaders.
    QString GetHeader(const QString &name) const;
    QList<QByteArray> GetHeaders(const QString &name) const;

    // The final response's status code; 0 before it is known or when the
    // transport failed.
    int ResponseCode() const;

    // True once GetChunk(maxBytes) has its answer: that many bytes are
    // there, or the body has ended (or failed).
    bool ChunkReady(std::int64_t maxBytes) const;
    [[nodiscard]] Wait untilChunkReady(std::int64_t maxBytes);

    // The next bytes of the body, exactly maxBytes when ChunkReady(maxBytes),
    // fewer only at the end of the body; "" once it has ended. Never waits:
    // asked before ChunkReady, it gives what is there. Throws when the
    // transfer failed, also when the body ended short of its Content-Length,
    // once the bytes that did arrive have been handed out. Memory stays
    // bounded to a few hundred KiB whatever the body's size: the transfer
    // pauses while unread data piles up.
    QByteArray GetChunk(std::int64_t maxBytes);

    // Abandons the running request, if any, and frees its data. A coroutine
    // awaiting this instance is resumed with errc::Cancelled before this
    // returns.
    void Cancel();

    // The stretch over which a transfer must make progress (see above).
    void setRequestTimeout(std::chrono::milliseconds timeout);
    // OpenURL fails on a body larger than this. Default 32 MiB.
    void setPageCap(std::int64_t bytes);

private:
    std::unique_ptr<State> d;
};

}  // namespace plimo
