#pragma once

// Inside the transfer component only: the one loop per thread that drives
// every transfer on it. It holds libcurl's multi handle, a pair of socket
// notifiers for each socket libcurl watches and one timer, all on the
// thread's event loop. Transfers add and remove their own easy handles; what
// libcurl reports finished goes to the transfer that CURLOPT_PRIVATE names.

#include <QObject>
#include <QTimer>

#include <curl/curl.h>

#include <memory>
#include <unordered_set>

namespace plimo {

class CurlLoop final {
public:
    // The thread's loop: made by the first caller, gone with its last owner,
    // so it never outlives the event loop it runs on.
    static std::shared_ptr<CurlLoop> forThisThread();
    ~CurlLoop();
    CurlLoop(const CurlLoop &) = delete;
    CurlLoop &operator=(const CurlLoop &) = delete;

    // Throws plimo::Error when libcurl refuses the handle.
    void add(CURL *easy);
    void remove(CURL *easy) noexcept;

private:
    struct SocketWatch;

    CurlLoop();
    static int onSocket(CURL *easy, curl_socket_t socket, int what, void *user, void *watch);
    static int onTimer(CURLM *multi, long timeoutMs, void *user);
    void watch(curl_socket_t socket, int what, SocketWatch *watch);
    void release(SocketWatch *watch);
    void drive(curl_socket_t socket, int flags);
    void collectFinished();

    // Receives the notifiers' and the timer's calls; destroyed last.
    QObject m_context;
    QTimer m_timer;
    CURLM *m_multi = nullptr;
    std::unordered_set<SocketWatch *> m_watches;
};

}  // namespace plimo
