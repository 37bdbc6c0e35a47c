#include "download/resume.h"

#include "platform/error.h"

#include <QDateTime>
#include <QString>

#include <utility>

namespace plimo::resume {
namespace {

// HTTP dates end in "GMT", which Qt's RFC 2822 reading does not take.
QDateTime httpDate(QByteArray value)
{
    value = value.trimmed();
    if (value.endsWith(" GMT"))
        value.replace(value.size() - 3, 3, "+0000");
    return QDateTime::fromString(QString::fromLatin1(value), Qt::RFC2822Date);
}

}  // namespace

bool isTransportFailure(int errorNumber)
{
    return errorNumber == errc::CannotConnect || errorNumber == errc::ConnectionLost ||
           errorNumber == errc::TooSlow;
}

QByteArray strongValidator(const QByteArray &etag, const QByteArray &lastModified,
                           const QByteArray &date)
{
    if (etag.startsWith('"') && etag.size() >= 2 && etag.endsWith('"'))
        return etag;  // weak ones start with W/
    const QDateTime modified = httpDate(lastModified), sent = httpDate(date);
    if (modified.isValid() && sent.isValid() && modified.secsTo(sent) >= 1)
        return lastModified.trimmed();
    return {};
}

bool continuesAt(const QByteArray &contentRange, std::int64_t from, std::int64_t total)
{
    const QByteArray expected = "bytes " + QByteArray::number(from) + '-' +
                                QByteArray::number(total - 1) + '/' + QByteArray::number(total);
    return from < total && contentRange.trimmed() == expected;
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
