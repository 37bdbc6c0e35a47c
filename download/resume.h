#pragma once

// What a download needs to heal after a dropped connection: which failures
// are worth another try and when, which answer header may name the file for
// a resumed request, whether a partial answer continues the file exactly, and
// a wait before the next try that a close can cut short.

#include <QByteArray>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <coroutine>
#include <cstdint>
#include <span>

namespace plimo::resume {

// A download that fails in transport is tried again after each of these;
// every other failure ends it at once.
inline constexpr std::chrono::milliseconds RetryDelays[] = {std::chrono::seconds(1),
                                                           std::chrono::seconds(3)};

// Refused, reset, a name that does not resolve, too slow, a body cut short.
bool isTransportFailure(int errorNumber);

// The validator a resumed request sends in If-Range, or "" when the answer
// carries none that is safe: a strong ETag, else a Last-Modified that is
// strong because the answer's Date is at least a second later. A weak ETag
// or a Last-Modified as recent as the Date could name a file that changed
// within that second.
QByteArray strongValidator(const QByteArray &etag, const QByteArray &lastModified,
                           const QByteArray &date);

// Whether a 206's Content-Range is exactly "bytes from-(total-1)/total".
bool continuesAt(const QByteArray &contentRange, std::int64_t from, std::int64_t total);

// A wait on the event loop that cancel() ends at once, resuming the awaiting
// coroutine with errc::Cancelled. One coroutine at a time awaits it.
class RetryWait final {
public:
    RetryWait();
    RetryWait(const RetryWait &) = delete;
    RetryWait &operator=(const RetryWait &) = delete;

    struct Awaiter {
        RetryWait &wait;
        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<> handle) noexcept;
        void await_resume() const;
    };
    [[nodiscard]] Awaiter operator()(std::chrono::milliseconds delay);

    bool waiting() const { return static_cast<bool>(m_handle); }
    void cancel();

private:
    QObject m_context;
    QTimer m_timer;
    std::chrono::milliseconds m_delay{0};
    std::coroutine_handle<> m_handle;
    bool m_cancelled = false;
};

}  // namespace plimo::resume
