#include "platform/inet.h"

#include "platform/error.h"
#include "platform/pagetext.h"
#include "platform/wireaddress.h"

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <QtDebug>

#include <curl/curl.h>

#include <algorithm>
#include <deque>
#include <unordered_map>
#include <utility>
#include <vector>

namespace plimo {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The stream pauses once this much unread data piles up, so memory stays flat
// however large the body is and however slowly the caller reads it.
constexpr qsizetype StreamHighWater = 256 * 1024;
// What libcurl reads from the socket at once (the curl tool's size).
constexpr long ReceiveBuffer = 100 * 1024;
// How often the rate check looks back over its window.
constexpr int RateChecksPerWindow = 12;

[[noreturn]] void failSetUp(const char *what, const char *detail)
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

void ensureCurlInitialised()
{
    static const CURLcode initialised = curl_global_init(CURL_GLOBAL_DEFAULT);
    check(initialised, "the network library cannot start");
}

struct EasyDeleter {
    void operator()(CURL *easy) const { curl_easy_cleanup(easy); }
};
struct MultiDeleter {
    void operator()(CURLM *multi) const
    {
        if (const CURLMcode code = curl_multi_cleanup(multi); code != CURLM_OK)
            qWarning("network library clean-up failed: %s", curl_multi_strerror(code));
    }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;
using MultiHandle = std::unique_ptr<CURLM, MultiDeleter>;

bool isFinalStatus(int status, bool hasLocation)
{
    if (status >= 100 && status < 200)
        return false;  // an interim response; the real one follows
    if (status >= 300 && status < 400 && hasLocation)
        return false;  // followed, unless the redirect limit stops the transfer
    return true;
}

// The notifiers libcurl asked for on one of its sockets.
struct SocketWatch {
    std::unique_ptr<QSocketNotifier> read;
    std::unique_ptr<QSocketNotifier> write;
};

}  // namespace

struct Inet::State {
    enum class Mode { Page, Stream };

    // Receives the notifiers', the timers' and the queued resumptions' calls;
    // destroyed last, so nothing arrives for a half-destroyed state.
    QObject context;
    QTimer curlTimer;
    QTimer rateCheck;
    std::unordered_map<curl_socket_t, SocketWatch> sockets;
    EasyHandle easy;
    MultiHandle multi;
    milliseconds timeout = DefaultTimeout;
    std::int64_t pageCap = DefaultPageCap;
    char errorText[CURL_ERROR_SIZE] = {};
    Wait *waiter = nullptr;     // suspended until its condition holds
    Wait *scheduled = nullptr;  // condition held; resumption queued
    bool closing = false;

    // One request's state; reset by start().
    Mode mode = Mode::Page;
    bool attached = false;  // the easy handle is in the multi handle
    bool done = false;
    CURLcode result = CURLE_OK;
    QString failureText;  // set where the failure is not curl's own
    bool paused = false;
    bool headersComplete = false;
    int status = 0;
    bool hasLocation = false;
    std::vector<std::pair<QByteArray, QByteArray>> headers;
    QByteArray body;
    qsizetype readPos = 0;
    std::int64_t received = 0;  // bytes from the server, headers included
    std::deque<std::pair<Clock::time_point, std::int64_t>> samples;

    State()
    {
        ensureCurlInitialised();
        easy.reset(curl_easy_init());
        multi.reset(curl_multi_init());
        if (!easy || !multi)
            failSetUp("the network library cannot start", "out of memory");
        check(curl_multi_setopt(multi.get(), CURLMOPT_SOCKETFUNCTION, &State::onSocket),
              "socket callback");
        check(curl_multi_setopt(multi.get(), CURLMOPT_SOCKETDATA, this), "socket callback");
        check(curl_multi_setopt(multi.get(), CURLMOPT_TIMERFUNCTION, &State::onTimer),
              "timer callback");
        check(curl_multi_setopt(multi.get(), CURLMOPT_TIMERDATA, this), "timer callback");
        curlTimer.setSingleShot(true);
        QObject::connect(&curlTimer, &QTimer::timeout, &context,
                         [this] { drive(CURL_SOCKET_TIMEOUT, 0); });
        QObject::connect(&rateCheck, &QTimer::timeout, &context, [this] { checkRate(); });
    }

    ~State()
    {
        closing = true;
        cancelWaiter();
        detach();
        sockets.clear();
        // Closing the kept connections must not call back into a state
        // that is going away.
        for (const CURLMoption option : {CURLMOPT_SOCKETFUNCTION, CURLMOPT_TIMERFUNCTION}) {
            if (const CURLMcode code = curl_multi_setopt(multi.get(), option, nullptr);
                code != CURLM_OK)
                qWarning("network library: %s", curl_multi_strerror(code));
        }
        multi.reset();
        easy.reset();
    }

    qsizetype available() const { return body.size() - readPos; }

    // --- the waiting coroutine ----------------------------------------------

    bool holds(const Wait &wait) const
    {
        if (done || !attached)
            return true;  // ended, or nothing was started
        switch (wait.m_until) {
        case Wait::Until::Done:
            return false;
        case Wait::Until::Response:
            return headersComplete;
        case Wait::Until::Chunk:
            return available() >= wait.m_bytes;
        }
        return true;
    }

    // Resumes the waiter from the event loop once its condition holds. Never
    // resumed in place: this runs right after libcurl, whose handles the
    // coroutine may go on to use.
    void wakeWaiter()
    {
        if (waiter == nullptr || !holds(*waiter))
            return;
        Wait *const wait = std::exchange(waiter, nullptr);
        scheduled = wait;
        QMetaObject::invokeMethod(
            &context,
            [this, wait] {
                if (scheduled != wait)
                    return;  // cancelled meanwhile, and resumed then
                scheduled = nullptr;
                wait->m_handle.resume();
            },
            Qt::QueuedConnection);
    }

    Wait *takeWaiter()
    {
        Wait *wait = std::exchange(waiter, nullptr);
        return wait != nullptr ? wait : std::exchange(scheduled, nullptr);
    }

    // Resumes a waiter now, with the cancellation error.
    static void resumeCancelled(Wait *wait)
    {
        if (wait == nullptr)
            return;
        wait->m_cancelled = true;
        wait->m_handle.resume();
    }

    void cancelWaiter() { resumeCancelled(takeWaiter()); }

    // --- one request --------------------------------------------------------

    void detach()
    {
        rateCheck.stop();
        if (!attached)
            return;
        attached = false;
        if (const CURLMcode code = curl_multi_remove_handle(multi.get(), easy.get());
            code != CURLM_OK)
            qWarning("network library: %s", curl_multi_strerror(code));
    }

    void reset(Mode newMode)
    {
        detach();
        mode = newMode;
        done = false;
        result = CURLE_OK;
        failureText.clear();
        paused = false;
        headersComplete = false;
        status = 0;
        hasLocation = false;
        headers.clear();
        body = QByteArray();
        readPos = 0;
        received = 0;
        errorText[0] = '\0';
    }

    template <typename Value> void set(CURLoption option, Value value, const char *what)
    {
        check(curl_easy_setopt(easy.get(), option, value), what);
    }

    void configure(const QByteArray &wire)
    {
        set(CURLOPT_URL, wire.constData(), "address");
        set(CURLOPT_HTTPGET, 1L, "GET");
        set(CURLOPT_NOSIGNAL, 1L, "no signals");
        set(CURLOPT_PROTOCOLS_STR, "http,https", "http and https only");
        set(CURLOPT_REDIR_PROTOCOLS_STR, "http,https", "http and https only");
        set(CURLOPT_FOLLOWLOCATION, 1L, "redirects");
        set(CURLOPT_MAXREDIRS, 10L, "redirects");
        set(CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L, "proxy tunnels");
        set(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeout.count()), "timeout");
        set(CURLOPT_ERRORBUFFER, errorText, "error text");
        set(CURLOPT_WRITEFUNCTION, &State::onBody, "body");
        set(CURLOPT_WRITEDATA, this, "body");
        set(CURLOPT_HEADERFUNCTION, &State::onHeader, "headers");
        set(CURLOPT_HEADERDATA, this, "headers");
        // libcurl's default 16 KiB takes a page in several reads, and a file
        // that streams in at one pass of the event loop per read: sixteen
        // passes per 256 KiB.
        set(CURLOPT_BUFFERSIZE, ReceiveBuffer, "receive buffer");
    }

    void start(const QString &address, Mode newMode)
    {
        cancelWaiter();
        reset(newMode);
        if (closing)
            throw Error(errc::Cancelled, QStringLiteral("the transfer component is closing"));
        configure(wireAddress(address));
        check(curl_multi_add_handle(multi.get(), easy.get()), "starting the request");
        attached = true;
        restartRateWindow();
        rateCheck.start(std::max<qint64>(1, timeout.count() / RateChecksPerWindow));
    }

    void finish(CURLcode code)
    {
        done = true;
        result = code;
        detach();
    }

    void finishWithFailure(const QString &text)
    {
        failureText = text;
        finish(CURLE_ABORTED_BY_CALLBACK);
    }

    // --- what libcurl calls -------------------------------------------------

    static size_t onBody(char *data, size_t size, size_t count, void *user)
    {
        auto *self = static_cast<State *>(user);
        const auto length = static_cast<qsizetype>(size * count);
        if (self->mode == Mode::Page) {
            if (self->body.size() + length > self->pageCap) {
                self->failureText =
                    QStringLiteral("the page is larger than %1 bytes").arg(self->pageCap);
                return 0;  // ends the transfer with a write error
            }
        } else if (self->available() >= StreamHighWater) {
            self->paused = true;
            return CURL_WRITEFUNC_PAUSE;  // the same data is delivered again on resume
        }
        self->compact();
        self->body.append(data, length);
        self->received += length;
        return size * count;
    }

    static size_t onHeader(char *data, size_t size, size_t count, void *user)
    {
        auto *self = static_cast<State *>(user);
        self->received += static_cast<std::int64_t>(size * count);
        const QByteArray line = QByteArray(data, static_cast<qsizetype>(size * count)).trimmed();
        if (line.startsWith("HTTP/")) {
            self->headers.clear();
            self->hasLocation = false;
            self->headersComplete = false;
            const QList<QByteArray> parts = line.split(' ');
            self->status = parts.size() > 1 ? parts[1].toInt() : 0;
        } else if (line.isEmpty()) {
            self->headersComplete = isFinalStatus(self->status, self->hasLocation);
            if (self->headersComplete && self->mode == Mode::Page)
                self->reserveAnnouncedLength();
        } else if (const qsizetype colon = line.indexOf(':'); colon > 0) {
            const QByteArray name = line.left(colon).trimmed().toLower();
            if (name == "location")
                self->hasLocation = true;
            self->headers.emplace_back(name, line.mid(colon + 1).trimmed());
        }
        return size * count;
    }

    static int onSocket(CURL *, curl_socket_t socket, int what, void *user, void *)
    {
        auto *self = static_cast<State *>(user);
        if (what == CURL_POLL_REMOVE) {
            self->unwatch(socket);
            return 0;
        }
        SocketWatch &watch = self->sockets[socket];
        self->enable(watch.read, socket, QSocketNotifier::Read, (what & CURL_POLL_IN) != 0);
        self->enable(watch.write, socket, QSocketNotifier::Write, (what & CURL_POLL_OUT) != 0);
        return 0;
    }

    static int onTimer(CURLM *, long timeoutMs, void *user)
    {
        auto *self = static_cast<State *>(user);
        if (timeoutMs < 0)
            self->curlTimer.stop();
        else
            self->curlTimer.start(static_cast<int>(std::min<long>(timeoutMs, 1'000'000)));
        return 0;
    }

    // --- the event loop's side ----------------------------------------------

    void enable(std::unique_ptr<QSocketNotifier> &notifier, curl_socket_t socket,
                QSocketNotifier::Type type, bool on)
    {
        if (!notifier) {
            if (!on)
                return;
            notifier = std::make_unique<QSocketNotifier>(socket, type, &context);
            const int flag = type == QSocketNotifier::Read ? CURL_CSELECT_IN : CURL_CSELECT_OUT;
            QObject::connect(notifier.get(), &QSocketNotifier::activated, &context,
                             [this, socket, flag] { drive(socket, flag); });
        }
        notifier->setEnabled(on);
    }

    // libcurl lets go of a kept connection's socket after every request and
    // takes it up again with the next, so its notifiers are only switched
    // off: built anew each time, they would cost two event-loop passes a
    // fetch. (Deleting them here could also pull one out from under its own
    // delivery.) A switched-off notifier is harmless if the number goes to
    // another file meanwhile.
    void unwatch(curl_socket_t socket)
    {
        const auto found = sockets.find(socket);
        if (found == sockets.end())
            return;
        for (const auto *notifier : {&found->second.read, &found->second.write}) {
            if (*notifier)
                (*notifier)->setEnabled(false);
        }
    }

    void drive(curl_socket_t socket, int flags)
    {
        int running = 0;
        const CURLMcode code = curl_multi_socket_action(multi.get(), socket, flags, &running);
        if (code != CURLM_OK && attached)
            finishWithFailure(QString::fromUtf8(curl_multi_strerror(code)));
        collectFinished();
        wakeWaiter();
    }

    void collectFinished()
    {
        int queued = 0;
        while (CURLMsg *message = curl_multi_info_read(multi.get(), &queued)) {
            if (message->msg == CURLMSG_DONE && message->easy_handle == easy.get())
                finish(message->data.result);
        }
    }

    // --- the rate check -----------------------------------------------------

    void restartRateWindow()
    {
        samples.clear();
        samples.emplace_back(Clock::now(), received);
    }

    // Judged by the program itself over the whole window: libcurl's own speed
    // limit looks back only a few seconds and lets a slow trickle run on.
    void checkRate()
    {
        if (done || !attached)
            return;
        if (paused) {  // the reader is behind, not the server
            restartRateWindow();
            return;
        }
        const auto now = Clock::now();
        samples.emplace_back(now, received);
        while (samples.size() > 2 && now - samples[1].first >= timeout)
            samples.pop_front();
        if (now - samples.front().first < timeout)
            return;
        const std::int64_t least = MinimumBytesPerSecond * timeout.count() / 1000;
        if (received - samples.front().second >= least)
            return;
        finishWithFailure(
            QStringLiteral("fewer than %1 bytes within %2 ms").arg(least).arg(timeout.count()));
        wakeWaiter();
    }

    // --- reading ------------------------------------------------------------

    // A page of announced size is received into one allocation; the cap still
    // rules, whatever the header says.
    void reserveAnnouncedLength()
    {
        curl_off_t announced = -1;
        if (curl_easy_getinfo(easy.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) ==
                CURLE_OK &&
            announced > 0)
            body.reserve(static_cast<qsizetype>(std::min<std::int64_t>(announced, pageCap)));
    }

    // Drops what the reader has taken once it is the larger part of the buffer.
    void compact()
    {
        if (readPos > 64 * 1024 && readPos * 2 > body.size()) {
            body.remove(0, readPos);
            readPos = 0;
        }
    }

    void resumeIfRoom()
    {
        if (!paused || done || available() >= StreamHighWater / 2)
            return;
        paused = false;
        restartRateWindow();
        // May deliver the held data at once, through onBody.
        if (const CURLcode code = curl_easy_pause(easy.get(), CURLPAUSE_CONT); code != CURLE_OK)
            finishWithFailure(QString::fromUtf8(curl_easy_strerror(code)));
    }

    Error failure() const
    {
        QString detail = failureText;
        if (detail.isEmpty())
            detail = QString::fromUtf8(errorText).trimmed();
        if (detail.isEmpty())
            detail = QString::fromUtf8(curl_easy_strerror(result));
        return Error(errc::Transfer, detail);
    }

    QList<QByteArray> headerValues(const QByteArray &lowerName) const
    {
        QList<QByteArray> values;
        for (const auto &[name, value] : headers) {
            if (name == lowerName)
                values.append(value);
        }
        return values;
    }
};

bool Inet::Wait::await_ready() const noexcept
{
    return m_state->holds(*this);
}

void Inet::Wait::await_suspend(std::coroutine_handle<> handle) noexcept
{
    m_handle = handle;
    m_state->waiter = this;
}

void Inet::Wait::await_resume() const
{
    if (m_cancelled)
        throw Error(errc::Cancelled, QStringLiteral("the transfer was cancelled"));
}

Inet::Inet() : d(std::make_unique<State>())
{
}

Inet::~Inet() = default;

QCoro::Task<QString> Inet::OpenURL(QString address)
{
    d->start(address, State::Mode::Page);
    co_await Wait(*d, Wait::Until::Done);
    if (d->result != CURLE_OK)
        throw d->failure();
    if (d->status < 200 || d->status > 299)
        throw Error(errc::Transfer, QStringLiteral("the server answered %1").arg(d->status));
    const QByteArray body = std::exchange(d->body, QByteArray());
    co_return decodePageText(body, d->headerValues("content-type").value(0));
}

void Inet::Execute(const QString &address, const QString &operation)
{
    d->start(address, State::Mode::Stream);
    if (operation.compare(QLatin1String("GET"), Qt::CaseInsensitive) != 0)
        d->finish(CURLE_UNSUPPORTED_PROTOCOL);
}

bool Inet::StillExecuting() const
{
    return d->attached && !d->headersComplete && !d->done;
}

Inet::Wait Inet::untilResponse()
{
    return Wait(*d, Wait::Until::Response);
}

QString Inet::GetHeader(const QString &name) const
{
    return QString::fromLatin1(GetHeaders(name).value(0));
}

QList<QByteArray> Inet::GetHeaders(const QString &name) const
{
    if (!d->headersComplete)
        return {};
    return d->headerValues(name.toLatin1().toLower());
}

int Inet::ResponseCode() const
{
    return d->headersComplete ? d->status : 0;
}

bool Inet::ChunkReady(std::int64_t maxBytes) const
{
    return d->available() >= maxBytes || d->done;
}

Inet::Wait Inet::untilChunkReady(std::int64_t maxBytes)
{
    d->resumeIfRoom();
    return Wait(*d, Wait::Until::Chunk, maxBytes);
}

QByteArray Inet::GetChunk(std::int64_t maxBytes)
{
    if (maxBytes <= 0)
        return {};
    const qsizetype take = std::min<std::int64_t>(maxBytes, d->available());
    if (take == 0 && d->done && d->result != CURLE_OK)
        throw d->failure();
    QByteArray chunk = d->body.mid(d->readPos, take);
    d->readPos += take;
    d->resumeIfRoom();
    return chunk;
}

void Inet::Cancel()
{
    // The request is gone before its waiter runs on, so a waiter that starts
    // another one keeps it.
    Wait *const waiter = d->takeWaiter();
    d->reset(State::Mode::Page);
    State::resumeCancelled(waiter);
}

void Inet::setRequestTimeout(std::chrono::milliseconds timeout)
{
    d->timeout = timeout;
}

void Inet::setPageCap(std::int64_t bytes)
{
    d->pageCap = bytes;
}

}  // namespace plimo
