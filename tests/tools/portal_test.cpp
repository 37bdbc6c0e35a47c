#include "tests/support/localserver.h"
#include "tools/portal/catalogue.h"
#include "tools/portal/portal.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

using namespace plimo::portal;
using plimo::test::LocalServer;

namespace {

struct RawResponse {
    int status = 0;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;                            // every byte received before the close

    std::string header(const std::string &name) const
    {
        const auto it = headers.find(name);
        return it == headers.end() ? std::string() : it->second;
    }
};

// One request exactly as written, read until the server closes the connection,
// so a body cut short shows as fewer bytes than its Content-Length.
RawResponse rawGet(int port, const std::string &target, const std::string &host)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return {};
    }
    const std::string request =
        "GET " + target + " HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n";
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string raw;
    char buffer[16384];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
        raw.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);

    RawResponse response;
    const std::size_t headEnd = raw.find("\r\n\r\n");
    if (raw.rfind("HTTP/1.1 ", 0) != 0 || headEnd == std::string::npos)
        return response;
    response.status = std::stoi(raw.substr(9, 3));
    for (std::size_t line = raw.find("\r\n") + 2; line < headEnd;) {
        const std::size_t end = raw.find("\r\n", line);
        const std::string header = raw.substr(line, end - line);
        std::string name = header.substr(0, header.find(':'));
        std::transform(name.begin(), name.end(), name.begin(), ::tolower);
        response.headers[name] = header.substr(header.find(':') + 2);
        line = end + 2;
    }
    response.body = raw.substr(headEnd + 4);
    return response;
}

std::size_t count(const std::string &text, const std::string &what)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

std::uint32_t littleEndian(const std::string &bytes, std::size_t at, int width)
{
    std::uint32_t value = 0;
    for (int i = width - 1; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

// The portal on a test server; the log lines it writes are kept.
class PortalServer {
public:
    explicit PortalServer(Faults faults = {})
        : m_portal(std::move(faults), [this](const std::string &line) {
              std::lock_guard lock(m_mutex);
              m_log.push_back(line);
          })
    {
        m_portal.install(m_server.http());
        m_server.start();
    }
    RawResponse viaProxy(const std::string &url) { return rawGet(port(), url, hostOf(url)); }
    RawResponse plain(const std::string &host, const std::string &path)
    {
        return rawGet(port(), path, host);
    }
    int port() const { return m_server.port(); }
    // The logger runs before the server closes the connection, so a request
    // that has been read to its end is in the log.
    std::vector<std::string> log() const
    {
        std::lock_guard lock(m_mutex);
        return m_log;
    }

private:
    static std::string hostOf(const std::string &url)
    {
        return url.substr(7, url.find('/', 7) - 7);
    }
    mutable std::mutex m_mutex;
    std::vector<std::string> m_log;
    Portal m_portal;
    LocalServer m_server;  // declared last: stopped before the portal goes
};

const std::string PagePlanStart = "http://search.naver.com/search.naver?where=post&sm=tab_jum";
const std::string HangulQuery = "%EC%95%84%EC%9D%B4%EC%9C%A0+%EC%A2%8B%EC%9D%80%EB%82%A0";

// The address as the program's transfer component sends it: bytes outside
// ASCII percent-encoded, everything else as written.
std::string onTheWire(const std::string &address)
{
    std::string out;
    char escape[4];
    for (unsigned char c : address) {
        if (c < 0x80) {
            out += static_cast<char>(c);
            continue;
        }
        std::snprintf(escape, sizeof escape, "%%%02X", c);
        out += escape;
    }
    return out;
}

std::string pageAddress(int page, const std::string &query)
{
    if (page == 1)
        return PagePlanStart + "&start=1&query=" + query;
    return PagePlanStart + "&query=" + query + "&start=" + std::to_string(page * 10 - 9);
}

}  // namespace

TEST(PortalRouting, PlainAndProxyRequestsReachTheRightHost)
{
    PortalServer server;
    const std::string direct = "127.0.0.1:" + std::to_string(server.port());
    const std::string post = "/PostView.nhn?blogId=plimo_cafe&logNo=40062345123&from=search";
    struct Row {
        const char *name;
        std::string host, target;
        int status;
        std::string contains;
    };
    const Row rows[] = {
        {"search page by Host header", "search.naver.com", "/search.naver?start=11&query=a", 200,
         "blog.naver.com/ddolmang?Redirect=Log&logNo=50033334444"},
        {"search page as proxy request", direct, "http://search.naver.com/search.naver?start=1",
         200, "blog.naver.com/plimo_cafe?Redirect=Log&logNo=40062345123"},
        {"host compared without case or port", "Blog.Naver.COM:80", post, 200,
         "itemSubjectBoldfont\">[피아노] 봄의 왈츠"},
        {"post page as proxy request", direct, "http://blog.naver.com" + post, 200,
         "spring_waltz.wav?type=attachment\" class"},
        {"loopback host routed by path", direct, post, 200, "봄의 왈츠"},
        {"post path on the search host", "search.naver.com", post, 404, "404"},
        {"unknown post", "blog.naver.com", "/PostView.nhn?blogId=x&logNo=1", 404, "404"},
        {"redirect link", "blog.naver.com", "/plimo_cafe?Redirect=Log&logNo=40062345123", 302, ""},
        {"file with the row's trailing blank", direct,
         "http://blogattach.naver.com/20090311_42/plimo_cafe/spring_waltz.wav%20", 200, "RIFF"},
        {"Hangul file name, percent-encoded", "blogattach.naver.com",
         "/20090520_61/sori_bang/%EB%B4%84%EB%B9%84.wav", 200, "WAVE"},
        {"unknown file", "blogattach.naver.com", "/nothing.wav", 404, "404"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const RawResponse response = rawGet(server.port(), row.target, row.host);
        EXPECT_EQ(response.status, row.status);
        EXPECT_NE(response.body.find(row.contains), std::string::npos);
    }
    const RawResponse redirect =
        server.plain("blog.naver.com", "/ddolmang?Redirect=Log&logNo=50033335555");
    EXPECT_EQ(redirect.header("location"),
              "http://blog.naver.com/PostView.nhn?blogId=ddolmang&logNo=50033335555&from=search");
}

TEST(PortalPages, TheTenPagesOfAHangulQuery)
{
    PortalServer server;
    const std::size_t linksOnPage[] = {3, 3, 3, 2, 0, 1, 0, 0, 0, 0};
    for (int page = 1; page <= ResultPages; ++page) {
        SCOPED_TRACE("page " + std::to_string(page));
        const RawResponse response = server.viaProxy(pageAddress(page, HangulQuery));
        ASSERT_EQ(response.status, 200);
        EXPECT_EQ(response.header("content-type"), "text/html; charset=UTF-8");
        EXPECT_NE(response.body.find("아이유 좋은날"), std::string::npos);
        std::string lower = response.body;
        std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
        const std::size_t links =
            count(lower, "<dt><a class=\"sh_blog_title\" href=\"http://blog.naver.com/");
        EXPECT_EQ(links, linksOnPage[page - 1]);
        if (links == 0) {
            EXPECT_NE(response.body.find("검색결과가 없습니다"), std::string::npos);
        }
    }
    EXPECT_NE(server.viaProxy(pageAddress(4, "x")).body.find("&amp;logNo=50033335555"),
              std::string::npos);
}

TEST(PortalPages, AQueryCannotAddMarkup)
{
    PortalServer server;
    // A query that spells a result link must come back as text, never as a link.
    const std::string query = "%22%3E%3Cdt%3E%3Ca%20class=%22sh_blog_title%22%20href=%22http://"
                              "blog.naver.com/evil%3FRedirect=Log%26logNo=1%22%20target=_blank%3E";
    const RawResponse response = server.viaProxy(pageAddress(5, query));
    EXPECT_EQ(response.body.find("<dt><a class=\"sh_blog_title\""), std::string::npos);
    EXPECT_NE(response.body.find("&lt;dt&gt;"), std::string::npos);
}

// The rows that the catalogue promises must be what its pages carry; the
// program's integration tests compare their results with expectedRows().
TEST(PortalCatalogue, PostPagesCarryTheExpectedRows)
{
    const std::string fileBase = "http://blogattach.naver.com";
    const std::string titleStart = "<span class=\"pcol1 itemSubjectBoldfont\">";
    std::vector<ExpectedRow> found;
    for (const Post &post : posts()) {
        SCOPED_TRACE(post.title);
        const std::string page = postPage(post);
        const std::size_t at = page.find(fileBase);
        if (post.attachment == Attachment::None) {
            EXPECT_EQ(at, std::string::npos);
            continue;
        }
        ASSERT_NE(at, std::string::npos);
        const std::size_t blank = page.find(' ', at);
        if (blank == std::string::npos)
            continue;  // no blank after the address: no row
        std::string address = page.substr(at, blank + 1 - at);
        for (const std::string fragment :
             {"\"><img ", "?type=attachment\"", "','licenseyn':", "></DIV>", "<DIV"}) {
            for (std::size_t f; (f = address.find(fragment)) != std::string::npos;)
                address.erase(f, fragment.size());
        }
        const std::size_t title = page.find(titleStart);
        const std::string text =
            title == std::string::npos
                ? page
                : page.substr(title + titleStart.size(),
                              page.find("</span>", title) - title - titleStart.size());
        found.push_back({text, address, post.resultPage});
    }
    const std::vector<ExpectedRow> expected = expectedRows();
    ASSERT_EQ(found.size(), expected.size());
    ASSERT_EQ(expected.size(), 10u);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(found[i].title, expected[i].title) << i;
        EXPECT_EQ(found[i].address, expected[i].address) << i;
    }
}

TEST(PortalFiles, EveryFileIsAPlayableWavOfItsAnnouncedLength)
{
    PortalServer server;
    Portal again;
    for (const AudioFile &file : audioFiles()) {
        SCOPED_TRACE(file.path);
        const RawResponse wav = server.viaProxy(onTheWire(fileAddress(file)));
        ASSERT_EQ(wav.status, 200);
        EXPECT_EQ(wav.header("content-type"), "audio/wav");
        const std::string &bytes = wav.body;
        ASSERT_EQ(std::stoul(wav.header("content-length")), bytes.size());
        ASSERT_GT(bytes.size(), static_cast<std::size_t>(WavHeaderSize));
        EXPECT_EQ(bytes.substr(0, 4), "RIFF");
        EXPECT_EQ(littleEndian(bytes, 4, 4), bytes.size() - 8);
        EXPECT_EQ(bytes.substr(8, 8), "WAVEfmt ");
        EXPECT_EQ(littleEndian(bytes, 20, 2), 1u);  // PCM
        EXPECT_EQ(littleEndian(bytes, 22, 2), 1u);  // mono
        EXPECT_EQ(littleEndian(bytes, 24, 4), static_cast<std::uint32_t>(SampleRate));
        EXPECT_EQ(littleEndian(bytes, 34, 2), 16u);
        EXPECT_EQ(bytes.substr(36, 4), "data");
        EXPECT_EQ(littleEndian(bytes, 40, 4), bytes.size() - WavHeaderSize);
        const double seconds = (bytes.size() - WavHeaderSize) / 2.0 / SampleRate;
        EXPECT_GT(seconds, 1.5);
        EXPECT_LT(seconds, 6.0);
        int loudest = 0;
        for (std::size_t i = WavHeaderSize; i + 1 < bytes.size(); i += 2) {
            const auto sample = static_cast<std::int16_t>(littleEndian(bytes, i, 2));
            loudest = std::max(loudest, std::abs(static_cast<int>(sample)));
        }
        EXPECT_GT(loudest, 8000) << "a tune, not silence";
        EXPECT_EQ(bytes, again.audio(file.path)) << "the same bytes every time";
    }
}

TEST(PortalFaults, EachFaultByOptionAndByPath)
{
    Faults faults;
    faults.slowPages = {2};
    faults.deadPages = {3};
    faults.dropPages = {4};
    faults.truncateFiles = true;
    faults.delay = std::chrono::milliseconds(300);
    PortalServer withOptions(faults);
    PortalServer byPath(Faults{.delay = std::chrono::milliseconds(300)});
    const std::string file = "/20090311_42/plimo_cafe/spring_waltz.wav";
    const std::size_t fileSize = Portal().audio(file).size();

    enum class Expect { Whole, Slow, Dead, Drop, Truncate };
    struct Row {
        const char *name;
        PortalServer &server;
        std::string url;
        Expect expect;
    };
    const Row rows[] = {
        {"page without a fault", withOptions, pageAddress(1, "q"), Expect::Whole},
        {"slow page", withOptions, pageAddress(2, "q"), Expect::Slow},
        {"dead page", withOptions, pageAddress(3, "q"), Expect::Dead},
        {"dropped page", withOptions, pageAddress(4, "q"), Expect::Drop},
        {"post untouched by page faults", withOptions,
         "http://blog.naver.com/PostView.nhn?blogId=ddolmang&logNo=50033334444", Expect::Whole},
        {"every file truncated", withOptions, "http://blogattach.naver.com" + file,
         Expect::Truncate},
        {"file without a fault", byPath, "http://blogattach.naver.com" + file, Expect::Whole},
        {"slow by path", byPath, "http://blogattach.naver.com/_slow" + file, Expect::Slow},
        {"dead by path", byPath, "http://search.naver.com/_dead/search.naver?start=1",
         Expect::Dead},
        {"drop by path", byPath, "http://blog.naver.com/_drop/plimo_cafe?Redirect=Log&logNo=1",
         Expect::Drop},
        {"truncate by path", byPath, "http://blogattach.naver.com/_truncate" + file,
         Expect::Truncate},
        {"chained by path", byPath, "http://blogattach.naver.com/_slow/_truncate" + file,
         Expect::Truncate},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const auto started = std::chrono::steady_clock::now();
        const RawResponse response = row.server.viaProxy(row.url);
        const auto took = std::chrono::steady_clock::now() - started;
        const bool slow = row.expect == Expect::Slow || std::string(row.name) == "chained by path";
        EXPECT_EQ(took >= std::chrono::milliseconds(300), slow);
        if (row.expect == Expect::Dead) {
            EXPECT_EQ(response.status, 500);
            continue;
        }
        const std::size_t announced = std::stoul(response.header("content-length"));
        EXPECT_GT(announced, 0u);
        switch (row.expect) {
        case Expect::Drop:
            EXPECT_EQ(response.body.size(), 0u);
            break;
        case Expect::Truncate:
            EXPECT_EQ(announced, fileSize);
            EXPECT_EQ(response.body.size(), fileSize / 2);
            break;
        default:
            EXPECT_EQ(response.body.size(), announced);
        }
    }
}

TEST(PortalLog, OneLinePerRequestNamingItsFault)
{
    PortalServer server(Faults{.truncateFiles = true});
    server.plain("search.naver.com", "/search.naver?start=91&query=x");
    server.viaProxy("http://blogattach.naver.com/20090311_42/plimo_cafe/spring_waltz.wav");
    server.viaProxy("http://blogattach.naver.com/none.wav");
    const std::vector<std::string> log = server.log();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_NE(log[0].find(" GET http://search.naver.com/search.naver?start=91&query=x -> 200 "),
              std::string::npos);
    const std::string size =
        std::to_string(Portal().audio("/20090311_42/plimo_cafe/spring_waltz.wav").size());
    EXPECT_NE(log[1].find("spring_waltz.wav -> 200 " + size + " bytes [truncate: "),
              std::string::npos);
    EXPECT_NE(log[2].find("none.wav -> 404 "), std::string::npos);
}
