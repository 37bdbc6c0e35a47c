#include "tests/support/rawserver.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <optional>

namespace {

using plimo::test::RawServer;
using namespace std::chrono_literals;

int connectTo(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    return fd;
}

std::string receive(int fd, std::size_t count)
{
    std::string got(count, '\0');
    std::size_t have = 0;
    while (have < count) {
        const ssize_t n = ::recv(fd, got.data() + have, count - have, 0);
        if (n <= 0)
            break;
        have += static_cast<std::size_t>(n);
    }
    got.resize(have);
    return got;
}

// A test that trickles a body must not hang when it ends mid-trickle.
TEST(RawServer, StopsPromptlyWhileAPieceIsWaitedFor)
{
    const std::string status = "HTTP/1.1 200 OK\r\n";
    std::optional<RawServer> server(std::in_place,
                                    std::vector<RawServer::Piece>{{status.c_str()}, {"late", 60s}});
    const int client = connectTo(server->port());
    const std::string request = "GET /x HTTP/1.1\r\nHost: h\r\n\r\n";
    ASSERT_EQ(::send(client, request.data(), request.size(), 0), ssize_t(request.size()));
    EXPECT_EQ(receive(client, status.size()), status);
    EXPECT_EQ(server->requestLines(), std::vector<std::string>{"GET /x HTTP/1.1"});

    const auto start = std::chrono::steady_clock::now();
    server.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(receive(client, 1), "");
    ::close(client);
}

}  // namespace
