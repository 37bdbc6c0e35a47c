#pragma once

// The sample portal as an HTTP service: it plays the search host, the blog host
// and the file host of catalogue.h on one server. A request reaches it either
// plainly (the Host header names the host) or as a proxy request, with an
// absolute-form target "GET http://host/path?query HTTP/1.1", which is how a
// client configured with http_proxy talks to it. Requests for any other host
// (127.0.0.1 itself, say) are routed by their path.
//
//   search host  /search.naver?...&start=N&query=Q   result page (N = 1, 11, ... 91)
//   blog host    /PostView.nhn?blogId=B&logNo=L     post page
//                /B?Redirect=Log&logNo=L             302 to the post page
//   file host    /<path of an audio file>            audio/wav; trailing blanks ignored
//
// Faults, for tests and demos. By path, on any host: a path that starts with
// one or more of /_slow/, /_dead/, /_drop/, /_truncate/ is served as the rest of
// the path with those faults applied (/_slow/_truncate/x.wav is a slow,
// truncated x.wav). By option (Faults below): chosen result pages, or every file.
//   slow      the response starts only after Faults::delay
//   dead      500 Internal Server Error
//   drop      the status line and headers (with the body's Content-Length) are
//             sent, then the connection is closed without a byte of the body
//   truncate  Content-Length announces the whole body, half of it is sent, then
//             the connection is closed
//
// Usage in a test (the Portal must outlive the server's thread):
//   plimo::portal::Portal portal;
//   plimo::test::LocalServer server;
//   portal.install(server.http());
//   server.start();
//   plimo::test::ScopedEnv proxy("http_proxy", server.proxyAddress());

#include <httplib.h>

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>

namespace plimo::portal {

struct Faults {
    std::set<int> slowPages{};  // result pages, 1..10, answered after `delay`
    std::set<int> deadPages{};  // result pages answered 500
    std::set<int> dropPages{};  // result pages whose connection closes before the body
    bool truncateFiles = false;
    std::chrono::milliseconds delay{2000};
};

// Receives one line per request served, without a line end, from the server's
// threads, one call at a time:
//   "21:04:05.123 GET http://search.naver.com/search.naver?...&start=1&query=x -> 200 4211 bytes"
// with the faults applied appended: " [slow]", " [dead]", " [drop: 0 of N sent]",
// " [truncate: K of N sent]", " [slow,truncate: K of N sent]" and so on. The
// response also names them in its header X-Sample-Portal-Fault.
using LogSink = std::function<void(const std::string &line)>;

class Portal final {
public:
    explicit Portal(Faults faults = {}, LogSink log = {});
    Portal(const Portal &) = delete;
    Portal &operator=(const Portal &) = delete;

    // Answers every GET (and HEAD) on `server` and, when there is a log sink,
    // sets the server's logger. Leaves the server's other handlers alone.
    void install(httplib::Server &server);

    // The bytes served for an audio file (a path of catalogue.h's audioFiles()).
    const std::string &audio(const std::string &path) const;

private:
    struct Reply;
    void serve(const httplib::Request &request, httplib::Response &response) const;
    Reply route(const std::string &host, const std::string &path,
                const httplib::Request &request) const;
    void logServed(const httplib::Request &request, const httplib::Response &response) const;

    Faults m_faults;
    LogSink m_log;
    mutable std::mutex m_logMutex;
    std::map<std::string, std::string> m_audio;  // path -> WAV bytes
};

}  // namespace plimo::portal
