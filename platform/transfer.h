#pragma once

// Inside the transfer component only: one request on the wire. A transfer
// owns its easy handle, its buffers, the one coroutine that may await it, its
// pause state and its own rolling count of bytes; the thread's CurlLoop
// drives it. Destroying a transfer takes it off the wire and frees its handle
// first, and resumes its waiter with the cancellation last.

#include "platform/error.h"
#include "platform/inet.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>

#include <curl/curl.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <utility>
#include <vector>

namespace plimo {

class CurlLoop;

class Transfer final {
public:
    enum class Mode { Page, Stream };
    struct Options {
        Mode mode = Mode::Page;
        std::chrono::milliseconds rateWindow = Inet::DefaultTimeout;
        std::int64_t pageCap = Inet::DefaultPageCap;
        std::chrono::milliseconds deadline{0};  // 0: none
        Inet::Resume resume;
    };

    // Starts the request at once. Throws plimo::Error when it cannot be set up.
    Transfer(std::shared_ptr<CurlLoop> loop, const QByteArray &wireAddress, const Options &options);
    ~Transfer();
    Transfer(const Transfer &) = delete;
    Transfer &operator=(const Transfer &) = delete;

    // Takes the request off the wire and resumes the waiter, if any, with the
    // cancellation. The waiter may destroy this transfer: nothing of it is
    // touched after the waiter ran.
    void cancel();
    // Ends the request as a failure of the program's own: an unsupported
    // operation, a page over the cap, too slow.
    void fail(int number, const QString &why);

    bool cancelled() const { return m_cancelled; }
    bool done() const { return m_done; }
    bool headersComplete() const { return m_headersComplete; }
    int status() const { return m_status; }
    QList<QByteArray> headerValues(const QByteArray &lowerName) const;

    qsizetype available() const { return m_body.size() - m_readPos; }
    // Up to maxBytes of the unread body; lets a paused stream go on.
    QByteArray take(qsizetype maxBytes);
    QByteArray takeBody();
    void resumeIfRoom();
    bool failed() const { return m_done && (m_result != CURLE_OK || m_failureNumber != 0); }
    Error failure() const;

    // For Inet::Wait.
    bool holds(const Inet::Wait &wait) const;
    void suspend(Inet::Wait &wait);

    // For the loop: libcurl is done with the request.
    void finish(CURLcode result);

private:
    void configure(const QByteArray &wireAddress, const Options &options);
    template <typename Value> void set(CURLoption option, Value value, const char *what);
    void detach();
    void wakeIfReady();
    Inet::Wait *takeWaiter();
    void restartRateWindow();
    void checkRate();
    bool acceptAnnouncedLength();
    void refuseOverCap();
    void compact();
    static size_t onBody(char *data, size_t size, size_t count, void *user);
    static size_t onHeader(char *data, size_t size, size_t count, void *user);
    // False refuses the answer.
    bool headerLine(const QByteArray &line);

    // Receives the queued resumptions and the rate check; destroyed with the
    // transfer, so nothing queued arrives for a transfer that is gone.
    QObject m_context;
    QTimer m_rateCheck;
    std::shared_ptr<CurlLoop> m_loop;
    CURL *m_easy = nullptr;
    curl_slist *m_requestHeaders = nullptr;
    Mode m_mode;
    std::chrono::milliseconds m_rateWindow;
    std::int64_t m_pageCap;
    char m_errorText[CURL_ERROR_SIZE] = {};

    Inet::Wait *m_waiter = nullptr;     // suspended until its condition holds
    Inet::Wait *m_scheduled = nullptr;  // condition held; resumption queued

    bool m_attached = false;
    bool m_done = false;
    bool m_cancelled = false;
    CURLcode m_result = CURLE_OK;
    int m_failureNumber = 0;  // set where the failure is not libcurl's own
    QString m_failureText;
    bool m_paused = false;
    bool m_headersComplete = false;
    int m_status = 0;
    bool m_hasLocation = false;
    std::vector<std::pair<QByteArray, QByteArray>> m_headers;
    QByteArray m_body;
    qsizetype m_readPos = 0;
    std::int64_t m_received = 0;  // bytes from the server, headers included
    std::deque<std::pair<std::chrono::steady_clock::time_point, std::int64_t>> m_samples;
};

}  // namespace plimo
