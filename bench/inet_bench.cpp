// The transfer component's costs: 110 sequential page fetches on one instance
// (one kept connection) against 110 fetches each on a fresh instance (a new
// connection each), and the memory a 64 MiB streamed body costs.
//
//   inet_bench fetches        prints two lines: "<label> <ms>"
//   inet_bench fetches PORT   the same against a server already running
//   inet_bench serve          serves the page until stopped, its port first on stdout
//   inet_bench stream         prints the peak growth of resident memory in KiB

#include "platform/inet.h"
#include "tests/support/awaiting.h"

#include <httplib.h>

#include <QCoreApplication>
#include <QFile>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

namespace {

constexpr int Fetches = 110;
constexpr std::int64_t StreamSize = 64ll * 1024 * 1024;

long long residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return 0;
}

class Server final {
public:
    Server()
    {
        m_http.set_tcp_nodelay(true);
        m_http.set_keep_alive_max_count(100000);
        m_http.Get("/page", [](const httplib::Request &, httplib::Response &res) {
            res.set_content(std::string(20 * 1024, 'p'), "text/html; charset=utf-8");
        });
        m_http.Get("/big", [](const httplib::Request &, httplib::Response &res) {
            res.set_content_provider(StreamSize, "application/octet-stream",
                                     [](size_t, size_t length, httplib::DataSink &sink) {
                                         static const std::string block(64 * 1024, 'b');
                                         return sink.write(block.data(),
                                                           std::min(length, block.size()));
                                     });
        });
        m_port = m_http.bind_to_any_port("127.0.0.1");
        m_thread = std::thread([this] { m_http.listen_after_bind(); });
        while (!m_http.is_running())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~Server()
    {
        m_http.stop();
        m_thread.join();
    }
    int port() const { return m_port; }
    QString url(const char *path) const
    {
        return QStringLiteral("http://127.0.0.1:%1").arg(m_port) + QString::fromLatin1(path);
    }

private:
    httplib::Server m_http;
    std::thread m_thread;
    int m_port = 0;
};

double millisecondsOf(auto &&work)
{
    const auto began = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - began)
        .count();
}

int fetches(const QString &page)
{
    const double kept = millisecondsOf([&] {
        plimo::Inet inet;
        for (int i = 0; i < Fetches; ++i)
            plimo::test::await(inet.OpenURL(page));
    });
    const double fresh = millisecondsOf([&] {
        for (int i = 0; i < Fetches; ++i) {
            plimo::Inet inet;
            plimo::test::await(inet.OpenURL(page));
        }
    });
    std::printf("one-instance %.1f\nfresh-instances %.1f\n", kept, fresh);
    return 0;
}

int serve()
{
    Server server;
    std::printf("%d\n", server.port());
    std::fflush(stdout);
    for (;;)
        std::this_thread::sleep_for(std::chrono::hours(1));
}

// Reads the body as the download does: takes what is there, awaits the rest.
QCoro::Task<std::int64_t> readAll(plimo::Inet &inet, long long &peak)
{
    co_await inet.untilResponse();
    std::int64_t received = 0;
    for (;;) {
        if (!inet.ChunkReady(1024))
            co_await inet.untilChunkReady(1024);
        const QByteArray chunk = inet.GetChunk(1024);
        if (chunk.isEmpty())
            co_return received;
        received += chunk.size();
        if ((received & 0xFFFFF) == 0)
            peak = std::max(peak, residentKiB());
    }
}

int stream()
{
    Server server;
    plimo::Inet inet;
    const long long before = residentKiB();
    long long peak = before;
    inet.Execute(server.url("/big"), QStringLiteral("GET"));
    const std::int64_t received = plimo::test::await(readAll(inet, peak));
    if (received != StreamSize) {
        std::fprintf(stderr, "received %lld of %lld bytes\n", static_cast<long long>(received),
                     static_cast<long long>(StreamSize));
        return 1;
    }
    std::printf("%lld\n", peak - before);
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && std::strcmp(argv[1], "serve") == 0)
        return serve();
    QCoreApplication app(argc, argv);
    if (argc == 2 && std::strcmp(argv[1], "fetches") == 0) {
        Server server;
        return fetches(server.url("/page"));
    }
    if (argc == 3 && std::strcmp(argv[1], "fetches") == 0)
        return fetches(
            QStringLiteral("http://127.0.0.1:%1/page").arg(QString::fromLatin1(argv[2])));
    if (argc == 2 && std::strcmp(argv[1], "stream") == 0)
        return stream();
    std::fprintf(stderr, "usage: inet_bench fetches [PORT] | serve | stream\n");
    return 2;
}
