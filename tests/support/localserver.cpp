#include "tests/support/localserver.h"

#include <chrono>
#include <stdexcept>

namespace plimo::test {

LocalServer::LocalServer()
{
    m_server.set_keep_alive_max_count(1000);
    // Headers and body go out in separate writes; without this every kept-alive
    // response waits for the client's delayed acknowledgement.
    m_server.set_tcp_nodelay(true);
    // stop() waits for idle kept-alive connections to time out.
    m_server.set_keep_alive_timeout(1);
    m_server.set_pre_routing_handler([this](const httplib::Request &req, httplib::Response &) {
        std::lock_guard lock(m_mutex);
        m_received.push_back({req.target});
        return httplib::Server::HandlerResponse::Unhandled;
    });
}

void LocalServer::start()
{
    m_port = m_server.bind_to_any_port("127.0.0.1");
    if (m_port <= 0)
        throw std::runtime_error("cannot bind a port on 127.0.0.1");
    // The socket already listens, so clients can connect before the thread runs.
    m_thread = std::thread([this] { m_server.listen_after_bind(); });
    // stop() is a no-op on a server that has not entered its loop yet.
    while (!m_server.is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void LocalServer::stop()
{
    if (!m_thread.joinable())
        return;
    m_server.stop();
    m_thread.join();
}

std::vector<LocalServer::Received> LocalServer::received() const
{
    std::lock_guard lock(m_mutex);
    return m_received;
}

}  // namespace plimo::test
