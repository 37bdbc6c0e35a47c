#include "tests/support/localserver.h"
#include "tools/portal/catalogue.h"
#include "tools/portal/portal.h"

#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <tuple>

using namespace plimo::portal;

namespace {

const std::string Search = "http://search.naver.com/search.naver?where=post&query=";

// The portal on a loopback server.
struct Served {
    explicit Served(Faults faults = {}) : portal(std::move(faults))
    {
        portal.install(server.http());
        server.start();
    }
    // "http://host/path" is sent as a proxy client sends it, the whole url as the
    // request target; "host/path" is sent plainly, the path with the host in the
    // Host header. The body holds every byte that arrived before the connection
    // closed, so a body cut short shows as fewer bytes than its Content-Length.
    httplib::Response get(const std::string &url)
    {
        const bool absolute = url.starts_with("http://");
        const std::size_t from = absolute ? 7 : 0, slash = url.find('/', from);
        httplib::Client client("127.0.0.1", server.port());
        httplib::Response reply;
        client.Get(
            absolute ? url : url.substr(slash), {{"Host", url.substr(from, slash - from)}},
            [&](const httplib::Response &head) { return reply = head, true; },
            [&](const char *data, std::size_t n) { return reply.body.append(data, n), true; });
        return reply;
    }
    Portal portal;
    plimo::test::LocalServer server;  // declared last: stopped before the portal goes
};

std::string littleEndian(std::uint32_t value)
{
    return {char(value), char(value >> 8), char(value >> 16), char(value >> 24)};
}

}  // namespace

TEST(Portal, TheTenPagesOfAHangulQuery)
{
    Served portal;
    // A page written in capitals counts too.
    const std::regex link("<dt><a class=\"sh_blog_title\" href=\"http://blog", std::regex::icase);
    std::vector<long> links;
    for (int start = 1; start < ResultPages * 10; start += 10) {
        const auto body = portal.get(Search + "아이유 좋은날&start=" + std::to_string(start)).body;
        EXPECT_NE(body.find("아이유 좋은날"), std::string::npos) << start;
        links.push_back(std::distance(std::sregex_iterator(body.begin(), body.end(), link), {}));
    }
    EXPECT_EQ(links, (std::vector<long>{3, 3, 3, 2, 0, 1, 0, 0, 0, 0}));
}

// The integration tests compare the program's rows with expectedRows(), so these
// must be the rows a reader of the post pages cuts from them: from the address to
// the first blank after it, less the markup fragments (each in turn, wherever it
// occurs), and the title inside its marker, or the whole page without one.
TEST(Portal, PostPagesCarryTheExpectedRows)
{
    const std::regex address("http://blogattach\\.naver\\.com[^ ]* ");
    const std::regex title("<span class=\"pcol1 itemSubjectBoldfont\">(.*?)</span>");
    std::vector<std::string> found, expected;
    for (const Post &post : posts()) {
        const std::string page = postPage(post);
        std::smatch a, t;
        if (!std::regex_search(page, a, address))
            continue;
        std::string cut = a.str();
        for (const char *fragment :
             {"\"><img ", "?type=attachment\"", "','licenseyn':", "></DIV>", "<DIV"})
            cut = std::regex_replace(cut, std::regex(fragment, std::regex::basic), "");
        found.push_back((std::regex_search(page, t, title) ? t.str(1) : page) + " | " + cut);
    }
    for (const ExpectedRow &row : expectedRows())
        expected.push_back(row.title + " | " + row.address);
    EXPECT_EQ(found, expected);
}

TEST(Portal, AServedWavIsWholeAndValid)
{
    Served portal;
    const httplib::Response wav = portal.get(fileAddress(audioFiles()[5]));  // a Hangul name
    const auto size = static_cast<std::uint32_t>(wav.body.size());
    ASSERT_EQ(wav.get_header_value("Content-Length"), std::to_string(size));
    // PCM, mono, 22050 Hz, 44100 bytes a second, 2 bytes a sample, 16 bits
    const std::string fmt("WAVEfmt \x10\0\0\0\1\0\1\0\x22\x56\0\0\x44\xac\0\0\2\0\x10\0data", 32);
    EXPECT_EQ(wav.body.substr(0, WavHeaderSize),
              "RIFF" + littleEndian(size - 8) + fmt + littleEndian(size - WavHeaderSize));
}

// Every request and what comes back, from a portal told to fail some result
// pages and every file: the rest of it must answer as usual.
TEST(Portal, RequestsReachTheirHostAndTheirFaults)
{
    Faults faults{.slowPages = {2}, .deadPages = {3}, .dropPages = {4}, .truncateFiles = true};
    faults.delay = std::chrono::milliseconds(300);
    Served portal(faults);
    const std::string blog = "http://blog.naver.com";
    const std::string post = "/PostView.nhn?blogId=plimo_cafe&logNo=40062345123&from=search";
    // name, url (a plain request without "http://"), status, text in the body or
    // the Location, halves of the announced body sent, slow
    using Row = std::tuple<const char *, std::string, int, std::string, int, bool>;
    const Row rows[] = {
        {"Host in capitals, with a port", "Search.Naver.COM:80" + post, 404, "404", 2, false},
        {"post page as proxy request", blog + post, 200, "봄의 왈츠", 2, false},
        {"loopback host routed by path", "127.0.0.1" + post, 200, "봄의 왈츠", 2, false},
        {"post path on the search host", "http://search.naver.com" + post, 404, "404", 2, false},
        {"redirect link", blog + "/plimo_cafe?Redirect=Log&logNo=40062345123", 302, post, 2, false},
        {"truncated, trailing blank", fileAddress(audioFiles()[0]) + " ", 200, "RIFF", 1, false},
        {"slow page", Search + "q&start=11", 200, "sh_blog_title", 2, true},
        {"dead page", Search + "q&start=21", 500, "500", 2, false},
        {"dropped page", Search + "q&start=31", 200, "", 0, false},
        {"slow and truncated by path", blog + "/_slow/_truncate" + post, 200, "", 1, true},
    };
    for (const auto &[name, url, status, contains, halvesSent, slow] : rows) {
        SCOPED_TRACE(name);
        const auto started = std::chrono::steady_clock::now();
        const httplib::Response reply = portal.get(url);
        // Only the slow rows are judged on time: a loaded machine may make any answer late.
        if (slow) {
            EXPECT_GE(std::chrono::steady_clock::now() - started, faults.delay) << name;
        }
        EXPECT_EQ(reply.status, status);
        EXPECT_NE((reply.body + reply.get_header_value("Location")).find(contains),
                  std::string::npos);
        EXPECT_EQ(reply.body.size(),
                  std::stoul(reply.get_header_value("Content-Length")) * halvesSent / 2);
    }
}
