#pragma once

// What a download needs to heal after a dropped connection: which failures
// are worth another try and when, and a wait before the next try that a close
// can cut short.

#include <QObject>
#include <QTimer>

#include <array>
#include <chrono>
#include <coroutine>

namespace plimo::resume {

// A download that fails in transport is tried again after each of these
// pauses; every other failure ends it at once.
using RetryDelays = std::array<std::chrono::milliseconds, 2>;
inline constexpr RetryDelays DefaultRetryDelays = {std::chrono::seconds(1),
                                                   std::chrono::seconds(3)};
const RetryDelays &retryDelays();
// For tests: shorter pauses, for every download from now on.
void setRetryDelays(const RetryDelays &delays);

// Refused, reset, a name that does not resolve, too slow, a body cut short.
bool isTransportFailure(int errorNumber);

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

    void cancel();

private:
    QObject m_context;
    QTimer m_timer;
    std::chrono::milliseconds m_delay{0};
    std::coroutine_handle<> m_handle;
    bool m_cancelled = false;
};

}  // namespace plimo::resume
