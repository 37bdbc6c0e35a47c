// The portal of the search benchmark: 10 result pages x 10 posts on
// 127.0.0.1, reached through http_proxy. Prints its port, serves until killed.
// With DELAY_MS, every answer waits that long first, as a distant portal would.
// Apart from search_bench so that the measured search process loads no more
// libraries than the program does.

#include "bench/searchpages.h"

#include <httplib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>

int main(int argc, char **argv)
{
    const std::chrono::milliseconds delay(argc > 1 ? std::atoi(argv[1]) : 0);
    httplib::Server server;
    server.set_keep_alive_max_count(100000);
    // Headers and body go out in separate writes; without this, every response
    // waits out the client's delayed acknowledgement and both sides measure
    // only that.
    server.set_tcp_nodelay(true);
    // Each page is made once: the server shares the machine with the two
    // clients it serves, and must cost them both as little as it can.
    std::map<std::string, std::string> made;
    std::mutex madeLock;
    server.Get(".*", [&](const httplib::Request &request, httplib::Response &response) {
        std::string body;
        {
            const std::lock_guard lock(madeLock);
            auto page = made.find(request.target);
            if (page == made.end())
                page = made.emplace(request.target, benchpages::portalPage(request.target)).first;
            body = page->second;
        }
        std::this_thread::sleep_for(delay);
        if (body.empty()) {
            response.status = 404;
            return;
        }
        response.set_content(body, "text/html; charset=UTF-8");
    });
    const int port = server.bind_to_any_port("127.0.0.1");
    std::printf("%d\n", port);
    std::fflush(stdout);
    server.listen_after_bind();
    return 0;
}
