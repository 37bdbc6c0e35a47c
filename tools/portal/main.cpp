// plimo-portal: the sample portal on 127.0.0.1, for the demo and for trying the
// program without the network. See --help.

#include "tools/portal/catalogue.h"
#include "tools/portal/portal.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <pthread.h>
#include <string>
#include <thread>

namespace {

constexpr char Usage[] = R"(Usage: plimo-portal [options]

Serves a small sample of a blog portal on 127.0.0.1: the search host
search.naver.com (ten result pages for any query), the blog host
blog.naver.com (the posts) and the file host blogattach.naver.com (short
synthesised WAV tunes). Requests are routed by their Host header, or by the
host of an absolute-form target when the portal is used as an HTTP proxy:

  http_proxy=http://127.0.0.1:PORT build/app/plimomp3
  curl -x http://127.0.0.1:PORT 'http://search.naver.com/search.naver?query=x&start=11'

The port is printed on standard output, alone on the first line, as soon as
the portal listens. It stops on SIGINT or SIGTERM.

Options:
  --port N          listen on port N; 0 (the default) picks a free port
  --log FILE        append one line per request served to FILE
                    (default: standard error)
  --slow-page N     answer result page N (1-10) only after the delay
  --dead-page N     answer result page N with 500 Internal Server Error
  --drop-page N     send result page N's headers, then close the connection
                    without the body
  --truncate-files  announce each file's whole length, send half of it, then
                    close the connection
  --delay-ms MS     the delay of slow answers (default 2000)
  --help            show this text

The page options may be repeated. Faults by path, on any host: a path that
starts with /_slow/, /_dead/, /_drop/ or /_truncate/ (several may be chained,
as in /_slow/_truncate/) is served as the rest of the path with that fault:
  http://blogattach.naver.com/_truncate/20090311_42/plimo_cafe/spring_waltz.wav
)";

struct Settings {
    int port = 0;
    std::optional<std::string> logFile;
    plimo::portal::Faults faults;
};

int pageNumber(const std::string &text)
{
    const int page = std::atoi(text.c_str());
    if (page < 1 || page > plimo::portal::ResultPages)
        throw std::invalid_argument("a result page is a number from 1 to 10: " + text);
    return page;
}

Settings parse(int argc, char **argv)
{
    Settings settings;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help") {
            std::fputs(Usage, stdout);
            std::exit(0);
        }
        if (option == "--truncate-files") {
            settings.faults.truncateFiles = true;
            continue;
        }
        if (i + 1 >= argc)
            throw std::invalid_argument("unknown option or missing value: " + option);
        const std::string value = argv[++i];
        if (option == "--port")
            settings.port = std::stoi(value);
        else if (option == "--log")
            settings.logFile = value;
        else if (option == "--slow-page")
            settings.faults.slowPages.insert(pageNumber(value));
        else if (option == "--dead-page")
            settings.faults.deadPages.insert(pageNumber(value));
        else if (option == "--drop-page")
            settings.faults.dropPages.insert(pageNumber(value));
        else if (option == "--delay-ms")
            settings.faults.delay = std::chrono::milliseconds(std::stoi(value));
        else
            throw std::invalid_argument("unknown option: " + option);
    }
    return settings;
}

// Signals are taken by a thread of their own, so that stopping the server
// happens in ordinary code rather than in a signal handler.
void stopOnSignal(httplib::Server &server)
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::thread([&server, signals] {
        int received = 0;
        sigwait(&signals, &received);
        server.stop();
    }).detach();
}

}  // namespace

int main(int argc, char **argv)
{
    Settings settings;
    try {
        settings = parse(argc, argv);
    } catch (const std::exception &error) {
        std::cerr << "plimo-portal: " << error.what() << "\n(see plimo-portal --help)\n";
        return 2;
    }

    std::ofstream logFile;
    if (settings.logFile) {
        logFile.open(*settings.logFile, std::ios::app);
        if (!logFile) {
            std::cerr << "plimo-portal: cannot open " << *settings.logFile << '\n';
            return 1;
        }
    }
    std::ostream &log = settings.logFile ? static_cast<std::ostream &>(logFile) : std::cerr;
    plimo::portal::Portal portal(settings.faults,
                                 [&log](const std::string &line) { log << line << std::endl; });

    httplib::Server server;
    server.set_keep_alive_max_count(1000);
    // httplib writes the headers and the body separately; without this, Nagle
    // and delayed ACKs add some 40 ms to every response on a kept-alive connection.
    server.set_tcp_nodelay(true);
    portal.install(server);
    stopOnSignal(server);

    const int port = settings.port == 0
                         ? server.bind_to_any_port("127.0.0.1")
                         : (server.bind_to_port("127.0.0.1", settings.port) ? settings.port : -1);
    if (port <= 0) {
        std::cerr << "plimo-portal: cannot listen on 127.0.0.1 port " << settings.port << '\n';
        return 1;
    }
    std::printf("%d\n", port);
    std::fflush(stdout);
    server.listen_after_bind();
    return 0;
}
