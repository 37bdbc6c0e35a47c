#pragma once

// The transfer component: every HTTP request of the program goes through one
// of these. An instance may run several page fetches at once and one
// streamed request beside them; each is a transfer of its own, with its own
// buffers, deadline and rolling count. Over HTTP/1.1 a transfer holds a
// connection to itself while it runs; over HTTP/2 transfers to one server
// may share one connection, each a stream of its own. A connection is kept
// for the next request (of any instance on the same thread) once its
// transfers have ended.
//
// Nothing here blocks. Transfers are driven by the event loop of the thread
// that owns the instance, and code that needs a result awaits it: OpenURL is
// a coroutine, and a stream offers untilResponse() and untilChunkReady() to
// co_await. An awaiting coroutine is always resumed from the event loop,
// never from inside the network library.
//
// Failures throw plimo::Error: errc::CannotConnect (refused, a name that does
// not resolve), errc::ConnectionLost (reset, a body cut short),
// errc::TooSlow (see setRequestTimeout, and a page past its deadline), and
// errc::Transfer for the rest: a final status outside 2xx for OpenURL, a page
// body over the page cap, a scheme other than http or https (also as a
// redirect target), a transfer that cannot even be set up. Redirects are
// followed, at most 10; the final response decides. A failure ends that one
// request only. Cancel() and the destructor first resume every coroutine
// awaiting the instance with errc::Cancelled, so each can clean up before the
// instance is gone.
//
// Addresses go on the wire as wireAddress() gives them. The standard proxy
// environment (http_proxy, https_proxy, no_proxy) is honoured. No request
// asks for a content encoding.

#include <QByteArray>
#include <QList>
#include <QString>

#include <QCoroTask>

#include <chrono>
#include <coroutine>
#include <cstdint>
#include <memory>
#include <vector>

namespace plimo {

class CurlLoop;
class Transfer;

class Inet final {
public:
    // A transfer that receives fewer than MinimumBytesPerSecond times the
    // request timeout's seconds within any stretch of that length fails: a
    // dead server and a trickling one alike. Time the reader spends not
    // reading (a full buffer) does not count against the server.
    static constexpr std::chrono::milliseconds DefaultTimeout{60'000};
    static constexpr std::int64_t MinimumBytesPerSecond = 64;
    static constexpr std::int64_t DefaultPageCap = 32 * 1024 * 1024;
    // A page not complete this long after its request was sent has failed.
    static constexpr std::chrono::milliseconds DefaultPageDeadline{120'000};

    // What a coroutine co_awaits. Resumes at once when its condition already
    // holds, else from the event loop once it does or the transfer ended;
    // throws errc::Cancelled when the transfer was cancelled meanwhile. One
    // coroutine at a time may await a transfer.
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
        friend class Transfer;
        enum class Until { Done, Response, Chunk };
        Wait(Transfer *transfer, Until until, std::int64_t bytes = 0)
            : m_transfer(transfer), m_until(until), m_bytes(bytes)
        {
        }

        Transfer *m_transfer;  // nullptr: nothing to wait for
        Until m_until;
        std::int64_t m_bytes;
        std::coroutine_handle<> m_handle;
        bool m_cancelled = false;
    };

    // What a streamed request asks for beyond the whole body: the bytes from
    // offset `from` on, but only while the file is still the one `validator`
    // (an ETag or a Last-Modified date) names; else the whole file.
    struct Resume {
        std::int64_t from = 0;  // 0: the whole file
        QByteArray validator;
    };

    Inet();
    // Ends every transfer of the instance first (see above).
    ~Inet();
    Inet(const Inet &) = delete;
    Inet &operator=(const Inet &) = delete;

    // Fetches address and returns the whole body as text. The bytes become
    // text by the Content-Type charset, else a <meta> charset, else UTF-8
    // when they are valid UTF-8, else CP949. Runs beside the instance's other
    // fetches.
    QCoro::Task<QString> OpenURL(QString address);

    // Starts a streamed request (operation "GET") and returns at once; a
    // stream still running on this instance is abandoned first. Throws when
    // the transfer cannot be set up; later failures are reported by the calls
    // that follow.
    void Execute(const QString &address, const QString &operation);
    void Execute(const QString &address, const QString &operation, const Resume &resume);

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
    // there, or the body has ended (or failed, or was cancelled).
    bool ChunkReady(std::int64_t maxBytes) const;
    [[nodiscard]] Wait untilChunkReady(std::int64_t maxBytes);

    // The next bytes of the body, exactly maxBytes when ChunkReady(maxBytes),
    // fewer only at the end of the body; "" once it has ended. Never waits:
    // asked before ChunkReady, it gives what is there. Throws when the
    // transfer failed, also when the body ended short of its Content-Length,
    // once the bytes that did arrive have been handed out, and throws
    // errc::Cancelled after Cancel(). Memory stays bounded to a few hundred
    // KiB whatever the body's size: the transfer pauses while unread data
    // piles up.
    QByteArray GetChunk(std::int64_t maxBytes);

    // Abandons every running request of the instance and frees its data.
    // Each coroutine awaiting one is resumed with errc::Cancelled before this
    // returns.
    void Cancel();

    // The stretch over which a transfer must make progress (see above).
    void setRequestTimeout(std::chrono::milliseconds timeout);
    // OpenURL fails on a body larger than this, at once when its Content-Length
    // says so. Default 32 MiB.
    void setPageCap(std::int64_t bytes);
    // OpenURL fails on a page not complete this long after it was requested.
    void setPageDeadline(std::chrono::milliseconds deadline);

private:
    struct PageEntry;

    std::unique_ptr<Transfer> startTransfer(const QString &address, bool page,
                                            const Resume &resume) const;
    void cancelPages();

    std::shared_ptr<CurlLoop> m_loop;
    std::unique_ptr<Transfer> m_stream;
    bool m_streamCancelled = false;
    std::vector<Transfer *> m_pages;  // owned by the OpenURL coroutines awaiting them
    std::chrono::milliseconds m_timeout = DefaultTimeout;
    std::chrono::milliseconds m_pageDeadline = DefaultPageDeadline;
    std::int64_t m_pageCap = DefaultPageCap;
    bool m_closing = false;
};

}  // namespace plimo
