#include "platform/curlloop.h"

#include "platform/curlcheck.h"
#include "platform/transfer.h"

#include <QSocketNotifier>
#include <QtDebug>

#include <algorithm>
#include <climits>

namespace plimo {
namespace {

thread_local std::weak_ptr<CurlLoop> threadLoop;

}  // namespace

struct CurlLoop::SocketWatch {
    QSocketNotifier *read = nullptr;
    QSocketNotifier *write = nullptr;
};

std::shared_ptr<CurlLoop> CurlLoop::forThisThread()
{
    if (std::shared_ptr<CurlLoop> loop = threadLoop.lock())
        return loop;
    std::shared_ptr<CurlLoop> loop(new CurlLoop);
    threadLoop = loop;
    return loop;
}

CurlLoop::CurlLoop()
{
    curl::ensureInitialised();
    m_multi = curl_multi_init();
    if (m_multi == nullptr)
        curl::failSetUp("the network library cannot start", "out of memory");
    try {
        curl::check(curl_multi_setopt(m_multi, CURLMOPT_SOCKETFUNCTION, &CurlLoop::onSocket),
                    "socket callback");
        curl::check(curl_multi_setopt(m_multi, CURLMOPT_SOCKETDATA, this), "socket callback");
        curl::check(curl_multi_setopt(m_multi, CURLMOPT_TIMERFUNCTION, &CurlLoop::onTimer),
                    "timer callback");
        curl::check(curl_multi_setopt(m_multi, CURLMOPT_TIMERDATA, this), "timer callback");
    } catch (...) {
        curl_multi_cleanup(m_multi);
        throw;
    }
    m_timer.setSingleShot(true);
    QObject::connect(&m_timer, &QTimer::timeout, &m_context,
                     [this] { drive(CURL_SOCKET_TIMEOUT, 0); });
}

CurlLoop::~CurlLoop()
{
    // Closing the kept connections must not call back into a loop that is
    // going away.
    for (const CURLMoption option : {CURLMOPT_SOCKETFUNCTION, CURLMOPT_TIMERFUNCTION})
        curl::warnOnFailure(curl_multi_setopt(m_multi, option, nullptr));
    curl::warnOnFailure(curl_multi_cleanup(m_multi));
    for (SocketWatch *watch : m_watches)
        delete watch;  // its notifiers go with m_context
}

void CurlLoop::add(CURL *easy)
{
    curl::check(curl_multi_add_handle(m_multi, easy), "starting the request");
}

void CurlLoop::remove(CURL *easy) noexcept
{
    curl::warnOnFailure(curl_multi_remove_handle(m_multi, easy));
}

int CurlLoop::onSocket(CURL *, curl_socket_t socket, int what, void *user, void *watch)
{
    auto *self = static_cast<CurlLoop *>(user);
    if (what == CURL_POLL_REMOVE)
        self->release(static_cast<SocketWatch *>(watch));
    else
        self->watch(socket, what, static_cast<SocketWatch *>(watch));
    return 0;
}

// Each call replaces the expiry asked for before, whether it moved earlier or
// later: libcurl calls only when its earliest expiry changes, so a timer kept
// from an earlier call answers for an expiry libcurl no longer has. -1 stops
// the timer; 0 fires it on the next pass of the event loop, outside libcurl.
int CurlLoop::onTimer(CURLM *, long timeoutMs, void *user)
{
    auto *self = static_cast<CurlLoop *>(user);
    if (timeoutMs < 0) {
        self->m_timer.stop();
        return 0;
    }
    // As long as a QTimer can wait; libcurl asks again when it fires.
    self->m_timer.start(static_cast<int>(std::min<long>(timeoutMs, INT_MAX)));
    return 0;
}

void CurlLoop::watch(curl_socket_t socket, int what, SocketWatch *watch)
{
    if (watch == nullptr) {
        watch = new SocketWatch;
        m_watches.insert(watch);
        curl::warnOnFailure(curl_multi_assign(m_multi, socket, watch));
    }
    const auto enable = [&](QSocketNotifier *&notifier, QSocketNotifier::Type type, bool on) {
        if (notifier == nullptr) {
            if (!on)
                return;
            notifier = new QSocketNotifier(socket, type, &m_context);
            const int flag = type == QSocketNotifier::Read ? CURL_CSELECT_IN : CURL_CSELECT_OUT;
            QObject::connect(notifier, &QSocketNotifier::activated, &m_context,
                             [this, socket, flag] { drive(socket, flag); });
        }
        notifier->setEnabled(on);
    };
    enable(watch->read, QSocketNotifier::Read, (what & CURL_POLL_IN) != 0);
    enable(watch->write, QSocketNotifier::Write, (what & CURL_POLL_OUT) != 0);
}

// The notifiers go later, never inside their own signal; switched off, they
// are harmless if libcurl gives the socket's number to another meanwhile.
void CurlLoop::release(SocketWatch *watch)
{
    if (watch == nullptr || m_watches.erase(watch) == 0)
        return;
    for (QSocketNotifier *notifier : {watch->read, watch->write}) {
        if (notifier != nullptr) {
            notifier->setEnabled(false);
            notifier->deleteLater();
        }
    }
    delete watch;
}

void CurlLoop::drive(curl_socket_t socket, int flags)
{
    int running = 0;
    curl::warnOnFailure(curl_multi_socket_action(m_multi, socket, flags, &running));
    collectFinished();
}

void CurlLoop::collectFinished()
{
    int queued = 0;
    while (CURLMsg *message = curl_multi_info_read(m_multi, &queued)) {
        if (message->msg != CURLMSG_DONE)
            continue;
        const CURLcode result = message->data.result;  // gone once the handle is removed
        char *owner = nullptr;
        if (curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &owner) == CURLE_OK &&
            owner != nullptr)
            reinterpret_cast<Transfer *>(owner)->finish(result);
    }
}

}  // namespace plimo
