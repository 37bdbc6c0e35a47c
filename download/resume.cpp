#include "download/resume.h"

#include "platform/error.h"

#include <QString>

#include <utility>

namespace plimo::resume {
namespace {

RetryDelays delays = DefaultRetryDelays;

}  // namespace

const RetryDelays &retryDelays()
{
    return delays;
}

void setRetryDelays(const RetryDelays &shorter)
{
    delays = shorter;
}

bool isTransportFailure(int errorNumber)
{
    return errorNumber == errc::CannotConnect || errorNumber == errc::ConnectionLost ||
           errorNumber == errc::TooSlow;
}

RetryWait::RetryWait()
{
    m_timer.setSingleShot(true);
    QObject::connect(&m_timer, &QTimer::timeout, &m_context,
                     [this] { std::exchange(m_handle, {}).resume(); });
}

RetryWait::Awaiter RetryWait::operator()(std::chrono::milliseconds delay)
{
    m_delay = delay;
    return Awaiter{*this};
}

void RetryWait::Awaiter::await_suspend(std::coroutine_handle<> handle) noexcept
{
    wait.m_cancelled = false;
    wait.m_handle = handle;
    wait.m_timer.start(wait.m_delay);
}

void RetryWait::Awaiter::await_resume() const
{
    if (wait.m_cancelled)
        throw Error(errc::Cancelled, QStringLiteral("the download was stopped"));
}

void RetryWait::cancel()
{
    if (!m_handle)
        return;
    m_timer.stop();
    m_cancelled = true;
    std::exchange(m_handle, {}).resume();
}

}  // namespace plimo::resume
