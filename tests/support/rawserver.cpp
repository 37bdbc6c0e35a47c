#include "tests/support/rawserver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace plimo::test {
namespace {

constexpr std::size_t MaxHead = 64 * 1024;

int listenOnLoopback(int &port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&address), length) != 0 ||
        ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        if (fd >= 0)
            ::close(fd);
        throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    port = ntohs(address.sin_port);
    return fd;
}

}  // namespace

RawServer::RawServer(std::vector<Piece> answer) : m_answer(std::move(answer))
{
    int stop[2];
    if (::pipe2(stop, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::runtime_error("cannot make a pipe");
    m_stopRead = stop[0];
    m_stopWrite = stop[1];
    try {
        m_listener = listenOnLoopback(m_port);
    } catch (...) {
        ::close(m_stopRead);
        ::close(m_stopWrite);
        throw;
    }
    m_thread = std::thread([this] { serve(); });
}

RawServer::~RawServer()
{
    const char byte = 1;
    while (::write(m_stopWrite, &byte, 1) < 0 && errno == EINTR) {
    }
    m_thread.join();
    ::close(m_listener);
    ::close(m_stopRead);
    ::close(m_stopWrite);
}

QString RawServer::url(const QString &pathAndQuery) const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(m_port) + pathAndQuery;
}

std::vector<std::string> RawServer::requestLines() const
{
    std::lock_guard lock(m_mutex);
    return m_requestLines;
}

void RawServer::serve()
{
    while (waitFor(m_listener, POLLIN, -1)) {
        const int client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (client < 0)
            continue;
        answer(client);
        ::close(client);
    }
}

void RawServer::answer(int client)
{
    std::string head;
    if (!readHead(client, head))
        return;
    {
        std::lock_guard lock(m_mutex);
        m_requestLines.push_back(head.substr(0, head.find("\r\n")));
    }
    for (const Piece &piece : m_answer) {
        if (piece.delayBefore.count() > 0 &&
            !waitFor(m_stopRead, POLLIN, static_cast<int>(piece.delayBefore.count())))
            return;
        if (!sendAll(client, piece.bytes))
            return;
    }
    // The client sees the end of the answer rather than a reset.
    ::shutdown(client, SHUT_WR);
}

bool RawServer::readHead(int client, std::string &head)
{
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < MaxHead) {
        if (!waitFor(client, POLLIN, -1))
            return false;
        const ssize_t got = ::recv(client, buffer, sizeof buffer, 0);
        if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN))
            return false;
        if (got > 0)
            head.append(buffer, static_cast<std::size_t>(got));
    }
    return true;
}

bool RawServer::sendAll(int client, const QByteArray &bytes)
{
    qsizetype sent = 0;
    while (sent < bytes.size()) {
        if (!waitFor(client, POLLOUT, -1))
            return false;
        const ssize_t n = ::send(client, bytes.constData() + sent,
                                 static_cast<std::size_t>(bytes.size() - sent), MSG_NOSIGNAL);
        if (n < 0 && errno != EINTR && errno != EAGAIN)
            return false;
        if (n > 0)
            sent += n;
    }
    return true;
}

bool RawServer::waitFor(int fd, short events, int timeoutMs)
{
    pollfd fds[2] = {{m_stopRead, POLLIN, 0}, {fd, events, 0}};
    const nfds_t count = fd == m_stopRead ? 1 : 2;
    while (::poll(fds, count, timeoutMs) < 0) {
        if (errno != EINTR)
            return false;
    }
    return (fds[0].revents & POLLIN) == 0;
}

}  // namespace plimo::test
