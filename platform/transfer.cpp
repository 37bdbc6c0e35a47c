#include "platform/transfer.h"

#include "platform/curlcheck.h"
#include "platform/curlloop.h"

#include <QList>

#include <algorithm>

namespace plimo {
namespace {

using Clock = std::chrono::steady_clock;

// A stream pauses once this much unread data piles up, so memory stays flat
// however large the body is and however slowly the caller reads it.
constexpr qsizetype StreamHighWater = 256 * 1024;
// What libcurl reads from the socket at once (the curl tool's size): fewer
// passes of the event loop per MiB than libcurl's default 16 KiB.
constexpr long ReceiveBuffer = 100 * 1024;
// How often the rate check looks back over its window.
constexpr int RateChecksPerWindow = 12;

bool isFinalStatus(int status, bool hasLocation)
{
    if (status >= 100 && status < 200)
        return false;  // an interim response; the real one follows
    if (status >= 300 && status < 400 && hasLocation)
        return false;  // followed, unless the redirect limit stops the transfer
    return true;
}

// Which of the program's failures a libcurl result is. A time-out before any
// connection stood is a connection that could not be made.
int failureNumber(CURLcode code, CURL *easy)
{
    switch (code) {
    case CURLE_COULDNT_CONNECT:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return errc::CannotConnect;
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
        return errc::ConnectionLost;
    case CURLE_OPERATION_TIMEDOUT: {
        // A kept connection that was used again took no time to connect.
        curl_off_t connected = 0;
        long connects = 0;
        curl_easy_getinfo(easy, CURLINFO_CONNECT_TIME_T, &connected);
        curl_easy_getinfo(easy, CURLINFO_NUM_CONNECTS, &connects);
        return connected == 0 && connects > 0 ? errc::CannotConnect : errc::TooSlow;
    }
    default:
        return errc::Transfer;
    }
}

}  // namespace

Transfer::Transfer(std::shared_ptr<CurlLoop> loop, const QByteArray &wireAddress,
                   const Options &options)
    : m_loop(std::move(loop)), m_mode(options.mode), m_rateWindow(options.rateWindow),
      m_pageCap(options.pageCap)
{
    m_easy = curl_easy_init();
    if (m_easy == nullptr)
        curl::failSetUp("the network library cannot start", "out of memory");
    try {
        configure(wireAddress, options);
        m_loop->add(m_easy);
    } catch (...) {
        curl_easy_cleanup(m_easy);
        curl_slist_free_all(m_requestHeaders);
        throw;
    }
    m_attached = true;
    restartRateWindow();
    QObject::connect(&m_rateCheck, &QTimer::timeout, &m_context, [this] { checkRate(); });
    m_rateCheck.start(std::max<qint64>(1, m_rateWindow.count() / RateChecksPerWindow));
}

Transfer::~Transfer()
{
    Inet::Wait *const waiter = takeWaiter();
    detach();
    curl_easy_cleanup(m_easy);
    curl_slist_free_all(m_requestHeaders);
    if (waiter != nullptr) {
        waiter->m_cancelled = true;
        waiter->m_handle.resume();
    }
}

template <typename Value> void Transfer::set(CURLoption option, Value value, const char *what)
{
    curl::check(curl_easy_setopt(m_easy, option, value), what);
}

void Transfer::configure(const QByteArray &wireAddress, const Options &options)
{
    set(CURLOPT_PRIVATE, static_cast<void *>(this), "owner");
    set(CURLOPT_URL, wireAddress.constData(), "address");
    set(CURLOPT_HTTPGET, 1L, "GET");
    set(CURLOPT_NOSIGNAL, 1L, "no signals");
    set(CURLOPT_PROTOCOLS_STR, "http,https", "http and https only");
    set(CURLOPT_REDIR_PROTOCOLS_STR, "http,https", "http and https only");
    set(CURLOPT_FOLLOWLOCATION, 1L, "redirects");
    set(CURLOPT_MAXREDIRS, 10L, "redirects");
    set(CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L, "proxy tunnels");
    set(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(m_rateWindow.count()), "timeout");
    if (options.deadline.count() > 0)
        set(CURLOPT_TIMEOUT_MS, static_cast<long>(options.deadline.count()), "deadline");
    set(CURLOPT_ERRORBUFFER, m_errorText, "error text");
    set(CURLOPT_WRITEFUNCTION, &Transfer::onBody, "body");
    set(CURLOPT_WRITEDATA, static_cast<void *>(this), "body");
    set(CURLOPT_HEADERFUNCTION, &Transfer::onHeader, "headers");
    set(CURLOPT_HEADERDATA, static_cast<void *>(this), "headers");
    set(CURLOPT_BUFFERSIZE, ReceiveBuffer, "receive buffer");
    if (options.resume.from <= 0)
        return;
    // Not CURLOPT_RESUME_FROM_LARGE: with it libcurl itself fails a 200, which
    // is the server's right answer when the file changed.
    const QByteArray range = QByteArray::number(options.resume.from) + '-';
    set(CURLOPT_RANGE, range.constData(), "range");
    const QByteArray ifRange = "If-Range: " + options.resume.validator;
    curl_slist *const headers = curl_slist_append(nullptr, ifRange.constData());
    if (headers == nullptr)
        curl::failSetUp("range", "out of memory");
    m_requestHeaders = headers;
    set(CURLOPT_HTTPHEADER, m_requestHeaders, "range");
}

void Transfer::cancel()
{
    m_cancelled = true;
    detach();
    m_body = QByteArray();
    m_readPos = 0;
    Inet::Wait *const waiter = takeWaiter();
    if (waiter == nullptr)
        return;
    waiter->m_cancelled = true;
    waiter->m_handle.resume();  // may destroy this transfer: the last thing done here
}

QList<QByteArray> Transfer::headerValues(const QByteArray &lowerName) const
{
    QList<QByteArray> values;
    for (const auto &[name, value] : m_headers) {
        if (name == lowerName)
            values.append(value);
    }
    return values;
}

QByteArray Transfer::take(qsizetype maxBytes)
{
    const qsizetype count = std::min(maxBytes, available());
    QByteArray chunk = m_body.mid(m_readPos, count);
    m_readPos += count;
    resumeIfRoom();
    return chunk;
}

QByteArray Transfer::takeBody()
{
    m_readPos = 0;
    return std::exchange(m_body, QByteArray());
}

void Transfer::resumeIfRoom()
{
    if (!m_paused || m_done || available() >= StreamHighWater / 2)
        return;
    m_paused = false;
    restartRateWindow();
    // May deliver the held data at once, through onBody.
    if (const CURLcode code = curl_easy_pause(m_easy, CURLPAUSE_CONT); code != CURLE_OK)
        fail(errc::Transfer, QString::fromUtf8(curl_easy_strerror(code)));
}

Error Transfer::failure() const
{
    QString detail = m_failureText;
    if (detail.isEmpty())
        detail = QString::fromUtf8(m_errorText).trimmed();
    if (detail.isEmpty())
        detail = QString::fromUtf8(curl_easy_strerror(m_result));
    const int number = m_failureNumber != 0 ? m_failureNumber : failureNumber(m_result, m_easy);
    return Error(number, detail);
}

bool Transfer::holds(const Inet::Wait &wait) const
{
    if (m_done || !m_attached)
        return true;  // ended, or cancelled
    switch (wait.m_until) {
    case Inet::Wait::Until::Done:
        return false;
    case Inet::Wait::Until::Response:
        return m_headersComplete;
    case Inet::Wait::Until::Chunk:
        return available() >= wait.m_bytes;
    }
    return true;
}

void Transfer::suspend(Inet::Wait &wait)
{
    Q_ASSERT_X(m_waiter == nullptr && m_scheduled == nullptr, "Transfer",
               "a second coroutine awaits the same transfer");
    m_waiter = &wait;
}

void Transfer::finish(CURLcode result)
{
    m_done = true;
    m_result = result;
    detach();
    wakeIfReady();
}

void Transfer::detach()
{
    m_rateCheck.stop();
    if (!m_attached)
        return;
    m_attached = false;
    m_loop->remove(m_easy);
}

void Transfer::fail(int number, const QString &text)
{
    m_failureNumber = number;
    m_failureText = text;
    finish(CURLE_ABORTED_BY_CALLBACK);
}

// Resumes the waiter from the event loop once its condition holds. Never in
// place: this runs inside or right after libcurl, whose handles the
// coroutine may go on to use.
void Transfer::wakeIfReady()
{
    if (m_waiter == nullptr || !holds(*m_waiter))
        return;
    Inet::Wait *const wait = std::exchange(m_waiter, nullptr);
    m_scheduled = wait;
    QMetaObject::invokeMethod(
        &m_context,
        [this, wait] {
            if (m_scheduled != wait)
                return;  // cancelled meanwhile, and resumed then
            m_scheduled = nullptr;
            wait->m_handle.resume();
        },
        Qt::QueuedConnection);
}

Inet::Wait *Transfer::takeWaiter()
{
    Inet::Wait *const wait = std::exchange(m_waiter, nullptr);
    return wait != nullptr ? wait : std::exchange(m_scheduled, nullptr);
}

void Transfer::restartRateWindow()
{
    m_samples.clear();
    m_samples.emplace_back(Clock::now(), m_received);
}

// Judged by the program itself over the whole window: libcurl's own speed
// limit looks back only a few seconds and lets a slow trickle run on.
void Transfer::checkRate()
{
    if (m_done || !m_attached)
        return;
    if (m_paused) {  // the reader is behind, not the server
        restartRateWindow();
        return;
    }
    const auto now = Clock::now();
    m_samples.emplace_back(now, m_received);
    while (m_samples.size() > 2 && now - m_samples[1].first >= m_rateWindow)
        m_samples.pop_front();
    if (now - m_samples.front().first < m_rateWindow)
        return;
    const std::int64_t least = Inet::MinimumBytesPerSecond * m_rateWindow.count() / 1000;
    if (m_received - m_samples.front().second >= least)
        return;
    fail(errc::TooSlow,
         QStringLiteral("fewer than %1 bytes within %2 ms").arg(least).arg(m_rateWindow.count()));
}

// A page of announced size is received into one allocation. One announced
// past the cap is refused before its body: it can only end over the cap or
// cut short, and the header alone must not size the allocation.
bool Transfer::acceptAnnouncedLength()
{
    curl_off_t announced = -1;
    if (curl_easy_getinfo(m_easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) != CURLE_OK ||
        announced <= 0)
        return true;
    if (announced > m_pageCap)
        return false;
    m_body.reserve(static_cast<qsizetype>(announced));
    return true;
}

void Transfer::refuseOverCap()
{
    m_failureNumber = errc::Transfer;
    m_failureText = QStringLiteral("the page is larger than %1 bytes").arg(m_pageCap);
}

// Drops what the reader has taken once it is the larger part of the buffer.
void Transfer::compact()
{
    if (m_readPos > 64 * 1024 && m_readPos * 2 > m_body.size()) {
        m_body.remove(0, m_readPos);
        m_readPos = 0;
    }
}

size_t Transfer::onBody(char *data, size_t size, size_t count, void *user)
{
    auto *self = static_cast<Transfer *>(user);
    const auto length = static_cast<qsizetype>(size * count);
    if (self->m_mode == Mode::Page) {
        if (self->m_body.size() + length > self->m_pageCap) {
            self->refuseOverCap();
            return 0;  // ends the transfer with a write error
        }
    } else if (self->available() >= StreamHighWater) {
        self->m_paused = true;
        return CURL_WRITEFUNC_PAUSE;  // the same data is delivered again on resume
    }
    self->compact();
    self->m_body.append(data, length);
    self->m_received += length;
    self->wakeIfReady();
    return size * count;
}

size_t Transfer::onHeader(char *data, size_t size, size_t count, void *user)
{
    auto *self = static_cast<Transfer *>(user);
    self->m_received += static_cast<std::int64_t>(size * count);
    if (!self->headerLine(QByteArray(data, static_cast<qsizetype>(size * count)).trimmed()))
        return 0;  // ends the transfer with a write error
    self->wakeIfReady();
    return size * count;
}

bool Transfer::headerLine(const QByteArray &line)
{
    if (line.startsWith("HTTP/")) {
        m_headers.clear();
        m_hasLocation = false;
        m_headersComplete = false;
        const QList<QByteArray> parts = line.split(' ');
        m_status = parts.size() > 1 ? parts[1].toInt() : 0;
    } else if (line.isEmpty()) {
        m_headersComplete = isFinalStatus(m_status, m_hasLocation);
        if (m_headersComplete && m_mode == Mode::Page && !acceptAnnouncedLength()) {
            refuseOverCap();
            return false;
        }
    } else if (const qsizetype colon = line.indexOf(':'); colon > 0) {
        const QByteArray name = line.left(colon).trimmed().toLower();
        if (name == "location")
            m_hasLocation = true;
        m_headers.emplace_back(name, line.mid(colon + 1).trimmed());
    }
    return true;
}

}  // namespace plimo
