#include "platform/inet.h"

#include "platform/error.h"
#include "platform/pagetext.h"

#include <QList>

#include <curl/curl.h>

#include <algorithm>
#include <utility>
#include <vector>

namespace plimo {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The stream pauses once this much unread data piles up, so memory stays flat
// however large the body is and however slowly the caller reads it.
constexpr qsizetype StreamHighWater = 256 * 1024;
// How long one step of a streamed request waits for the network: short enough
// to keep a window that polls between steps responsive, long enough not to
// spin a core while a server thinks.
constexpr milliseconds PollWait{10};

void ensureCurlInitialised()
{
    static const CURLcode initialised = curl_global_init(CURL_GLOBAL_DEFAULT);
    if (initialised != CURLE_OK)
        throw Error(errc::Transfer, QStringLiteral("the network library cannot start"));
}

struct EasyDeleter {
    void operator()(CURL *easy) const { curl_easy_cleanup(easy); }
};
struct MultiDeleter {
    void operator()(CURLM *multi) const { curl_multi_cleanup(multi); }
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

}  // namespace

struct Inet::State {
    enum class Mode { Page, Stream };

    EasyHandle easy;
    MultiHandle multi;
    milliseconds timeout = DefaultTimeout;
    std::int64_t pageCap = DefaultPageCap;
    char errorText[CURL_ERROR_SIZE] = {};

    // One request's state; reset by start().
    Mode mode = Mode::Page;
    bool attached = false;  // the easy handle is in the multi handle
    bool done = false;
    CURLcode result = CURLE_OK;
    bool overCap = false;
    bool paused = false;
    bool headersComplete = false;
    int status = 0;
    bool hasLocation = false;
    std::vector<std::pair<QByteArray, QByteArray>> headers;
    QByteArray body;
    qsizetype readPos = 0;
    Clock::time_point lastProgress;
    Clock::time_point lastPump;

    State()
    {
        ensureCurlInitialised();
        easy.reset(curl_easy_init());
        multi.reset(curl_multi_init());
        if (!easy || !multi)
            throw Error(errc::Transfer, QStringLiteral("the network library cannot start"));
    }

    ~State() { detach(); }

    qsizetype available() const { return body.size() - readPos; }

    void detach()
    {
        if (attached)
            curl_multi_remove_handle(multi.get(), easy.get());
        attached = false;
    }

    void reset(Mode newMode)
    {
        detach();
        mode = newMode;
        done = false;
        result = CURLE_OK;
        overCap = false;
        paused = false;
        headersComplete = false;
        status = 0;
        hasLocation = false;
        headers.clear();
        body = QByteArray();
        readPos = 0;
        errorText[0] = '\0';
        lastProgress = lastPump = Clock::now();
    }

    void configure(const QByteArray &wire)
    {
        CURL *e = easy.get();
        curl_easy_setopt(e, CURLOPT_URL, wire.constData());
        curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
        curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(e, CURLOPT_MAXREDIRS, 10L);
        curl_easy_setopt(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
        curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeout.count()));
        curl_easy_setopt(e, CURLOPT_ERRORBUFFER, errorText);
        curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &State::onBody);
        curl_easy_setopt(e, CURLOPT_WRITEDATA, this);
        curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &State::onHeader);
        curl_easy_setopt(e, CURLOPT_HEADERDATA, this);
    }

    void start(const QString &address, Mode newMode)
    {
        reset(newMode);
        configure(Inet::wireAddress(address));
        const CURLMcode added = curl_multi_add_handle(multi.get(), easy.get());
        if (added != CURLM_OK) {
            done = true;
            result = CURLE_FAILED_INIT;
            return;
        }
        attached = true;
    }

    static size_t onBody(char *data, size_t size, size_t count, void *user)
    {
        auto *self = static_cast<State *>(user);
        const auto length = static_cast<qsizetype>(size * count);
        if (self->mode == Mode::Page) {
            if (self->body.size() + length > self->pageCap) {
                self->overCap = true;
                return 0;  // ends the transfer with a write error
            }
        } else if (self->available() >= StreamHighWater) {
            self->paused = true;
            return CURL_WRITEFUNC_PAUSE;  // the same data is delivered again on resume
        }
        self->compact();
        self->body.append(data, length);
        self->lastProgress = Clock::now();
        return size * count;
    }

    static size_t onHeader(char *data, size_t size, size_t count, void *user)
    {
        auto *self = static_cast<State *>(user);
        self->lastProgress = Clock::now();
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
        if (!paused || available() >= StreamHighWater / 2)
            return;
        paused = false;
        lastProgress = Clock::now();
        curl_easy_pause(easy.get(), CURLPAUSE_CONT);
    }

    void finishWith(CURLcode code)
    {
        done = true;
        result = code;
        detach();
    }

    void collectFinished()
    {
        int queued = 0;
        while (CURLMsg *message = curl_multi_info_read(multi.get(), &queued)) {
            if (message->msg == CURLMSG_DONE && message->easy_handle == easy.get())
                finishWith(message->data.result);
        }
    }

    // Advances the transfer. Waits at most `wait` for the network, and only
    // when a first step found nothing new: data that is already there is
    // taken at once.
    void pump(milliseconds wait)
    {
        if (done)
            return;
        const Clock::time_point progressBefore = lastProgress;
        perform();
        if (done || lastProgress != progressBefore)
            return;
        waitThenPerform(wait);
    }

    // Waits at most `wait` for the network, then advances the transfer.
    void waitThenPerform(milliseconds wait)
    {
        // A caller that did not ask for this long was busy (a modal dialog, a
        // search run), not the network: the request timeout starts over.
        const auto now = Clock::now();
        if (now - lastPump > timeout / 2)
            lastProgress = now;
        curl_multi_poll(multi.get(), nullptr, 0, static_cast<int>(wait.count()), nullptr);
        perform();
        lastPump = Clock::now();
        if (!done && !paused && lastPump - lastProgress > timeout)
            finishWith(CURLE_OPERATION_TIMEDOUT);
    }

    void perform()
    {
        int running = 0;
        curl_multi_perform(multi.get(), &running);
        collectFinished();
    }

    Error failure() const
    {
        if (overCap)
            return Error(errc::Transfer,
                         QStringLiteral("the page is larger than %1 bytes").arg(pageCap));
        QString detail = QString::fromUtf8(errorText).trimmed();
        if (detail.isEmpty())
            detail = QString::fromUtf8(curl_easy_strerror(result));
        if (result == CURLE_OPERATION_TIMEDOUT)
            detail = QStringLiteral("no response within %1 ms").arg(timeout.count());
        return Error(errc::Transfer, detail);
    }

    QByteArray header(const QByteArray &lowerName) const
    {
        for (const auto &[name, value] : headers) {
            if (name == lowerName)
                return value;
        }
        return {};
    }
};

Inet::Inet() : d(std::make_unique<State>())
{
}

Inet::~Inet() = default;

QString Inet::OpenURL(const QString &address)
{
    d->start(address, State::Mode::Page);
    d->perform();
    while (!d->done)
        d->waitThenPerform(milliseconds(100));
    if (d->result != CURLE_OK)
        throw d->failure();
    if (d->status < 200 || d->status > 299)
        throw Error(errc::Transfer, QStringLiteral("the server answered %1").arg(d->status));
    QByteArray body = std::exchange(d->body, QByteArray());
    return decodePageText(body, d->header("content-type"));
}

void Inet::Execute(const QString &address, const QString &operation)
{
    d->start(address, State::Mode::Stream);
    if (operation.compare(QLatin1String("GET"), Qt::CaseInsensitive) != 0)
        d->finishWith(CURLE_UNSUPPORTED_PROTOCOL);
}

bool Inet::StillExecuting()
{
    if (d->headersComplete || d->done)
        return false;
    if (!d->attached)
        return false;
    d->pump(PollWait);
    return !(d->headersComplete || d->done);
}

QString Inet::GetHeader(const QString &name) const
{
    if (!d->headersComplete)
        return {};
    return QString::fromLatin1(d->header(name.toLatin1().toLower()));
}

int Inet::ResponseCode() const
{
    return d->headersComplete ? d->status : 0;
}

bool Inet::ChunkReady(std::int64_t maxBytes)
{
    if (d->available() >= maxBytes || d->done)
        return true;
    d->resumeIfRoom();
    d->pump(PollWait);
    return d->available() >= maxBytes || d->done;
}

QByteArray Inet::GetChunk(std::int64_t maxBytes)
{
    if (maxBytes <= 0)
        return {};
    while (!ChunkReady(maxBytes)) {
    }
    const qsizetype take = std::min<std::int64_t>(maxBytes, d->available());
    if (take == 0 && d->done && d->result != CURLE_OK)
        throw d->failure();
    QByteArray chunk = d->body.mid(d->readPos, take);
    d->readPos += take;
    return chunk;
}

void Inet::Cancel()
{
    d->reset(State::Mode::Page);
}

void Inet::setRequestTimeout(std::chrono::milliseconds timeout)
{
    d->timeout = timeout;
}

void Inet::setPageCap(std::int64_t bytes)
{
    d->pageCap = bytes;
}

QByteArray Inet::wireAddress(const QString &address)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    static constexpr std::string_view mustEscape = "\"<>#`{}|\\^";
    const QByteArray utf8 = address.toUtf8();
    QByteArray wire;
    wire.reserve(utf8.size());
    for (const char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7F || mustEscape.find(c) != std::string_view::npos) {
            wire.append('%').append(hex[byte >> 4]).append(hex[byte & 0x0F]);
        } else {
            wire.append(c);
        }
    }
    return wire;
}

}  // namespace plimo
