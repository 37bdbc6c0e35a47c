#include "tools/portal/portal.h"

#include "tools/portal/catalogue.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string_view>
#include <thread>

namespace plimo::portal {
namespace {

// Tells the logger which fault a response carries; clients may read it too.
constexpr char FaultHeader[] = "X-Sample-Portal-Fault";

enum class Ending { Normal, Dead, Drop, Truncate };

struct Target {
    std::string host;  // lower case, without a port
    std::string path;  // percent-decoded, from "/"
};

std::string lowerCase(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string withoutPort(const std::string &authority)
{
    return lowerCase(authority.substr(0, authority.find(':')));
}

bool isAbsolute(const std::string &target)
{
    return lowerCase(target.substr(0, 7)) == "http://";
}

Target targetOf(const httplib::Request &request)
{
    if (!isAbsolute(request.target))
        return {withoutPort(request.get_header_value("Host")), request.path};
    // httplib decodes the whole absolute-form target into `path`; the authority
    // in front of the path carries no escapes, so cutting it off is safe.
    const std::string &full = request.path;
    const std::size_t slash = full.find('/', 7);
    const std::string authority =
        full.substr(7, slash == std::string::npos ? std::string::npos : slash - 7);
    return {withoutPort(authority), slash == std::string::npos ? "/" : full.substr(slash)};
}

// Removes the fault prefixes from the front of path and returns what they ask for.
struct PathFaults {
    bool slow = false;
    Ending ending = Ending::Normal;
};

PathFaults takeFaultPrefixes(std::string &path)
{
    static const std::pair<const char *, Ending> prefixes[] = {{"/_slow/", Ending::Normal},
                                                               {"/_dead/", Ending::Dead},
                                                               {"/_drop/", Ending::Drop},
                                                               {"/_truncate/", Ending::Truncate}};
    PathFaults faults;
    for (bool found = true; found;) {
        found = false;
        for (const auto &[prefix, ending] : prefixes) {
            const std::string p = prefix;
            if (path.rfind(p, 0) != 0)
                continue;
            path.erase(0, p.size() - 1);
            if (p == "/_slow/")
                faults.slow = true;
            else
                faults.ending = ending;
            found = true;
        }
    }
    return faults;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Form decoding: "%XX" is a byte, "+" a space, and a "%" not followed by two
// hex digits stays as it is.
std::string formDecoded(std::string_view text)
{
    std::string decoded;
    decoded.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            decoded += ' ';
            continue;
        }
        const int high = text[i] == '%' && i + 2 < text.size() ? hexDigit(text[i + 1]) : -1;
        const int low = high >= 0 ? hexDigit(text[i + 2]) : -1;
        if (low < 0) {
            decoded += text[i];
            continue;
        }
        decoded += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return decoded;
}

// The decoded value of the first `name=` key in the target's query string, cut
// from the raw target: httplib keeps only the text after the last "=" of a
// value, and a query typed by a user may well hold one.
std::string parameter(const httplib::Request &request, const std::string &name)
{
    const std::string &target = request.target;
    std::size_t at = target.find('?');
    while (at != std::string::npos) {
        const std::size_t end = std::min(target.find('&', at + 1), target.size());
        if (target.compare(at + 1, name.size() + 1, name + "=") == 0) {
            const std::size_t value = at + 1 + name.size() + 1;
            return formDecoded(std::string_view(target).substr(value, end - value));
        }
        at = end < target.size() ? end : std::string::npos;
    }
    return {};
}

// The result page a request asks for: 1 without "start", 0 for a start that no
// page begins with.
int resultPageOf(const httplib::Request &request)
{
    const std::string start = parameter(request, "start");
    if (start.empty())
        return 1;
    int value = 0;
    const auto [end, error] = std::from_chars(start.data(), start.data() + start.size(), value);
    if (error != std::errc() || end != start.data() + start.size())
        return 0;
    if (value < 1 || value > ResultPages * 10 || (value - 1) % 10 != 0)
        return 0;
    return (value - 1) / 10 + 1;
}

std::string timeOfDay()
{
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min,
                  local.tm_sec, static_cast<int>(millis.count()));
    return text;
}

std::string notFoundPage()
{
    return "<html><body><h1>404 Not Found</h1><p>요청하신 페이지를 찾을 수 없습니다.</p>"
           "</body></html>\n";
}

void writeBody(httplib::Response &response, Ending ending, std::string content,
               const std::string &contentType)
{
    auto body = std::make_shared<const std::string>(std::move(content));
    switch (ending) {
    case Ending::Normal:
        response.set_content(*body, contentType);
        return;
    case Ending::Dead:
        response.status = 500;
        response.set_content("<html><body><h1>500 Internal Server Error</h1></body></html>\n",
                             "text/html; charset=UTF-8");
        return;
    case Ending::Drop:
        // A provider that fails at once: httplib has sent the headers and closes.
        response.set_content_provider(
            body->size(), contentType,
            [](std::size_t, std::size_t, httplib::DataSink &) { return false; });
        return;
    case Ending::Truncate:
        response.set_content_provider(
            body->size(), contentType,
            [body](std::size_t offset, std::size_t length, httplib::DataSink &sink) {
                const std::size_t keep = body->size() / 2;
                if (offset >= keep)
                    return false;
                return sink.write(body->data() + offset, std::min(length, keep - offset));
            });
        return;
    }
}

}  // namespace

struct Portal::Reply {
    int status = 200;
    std::string contentType = "text/html; charset=UTF-8";
    std::string body{};
    std::string location{};
    int resultPage = 0;  // the result page served, 0 for anything else
    bool isFile = false;
    bool slow = false;
    Ending ending = Ending::Normal;
};

Portal::Portal(Faults faults, LogSink log) : m_faults(std::move(faults)), m_log(std::move(log))
{
    for (const AudioFile &file : audioFiles())
        m_audio.emplace(file.path, synthesiseWav(file.melody));
}

void Portal::install(httplib::Server &server)
{
    server.Get(".*", [this](const httplib::Request &request, httplib::Response &response) {
        serve(request, response);
    });
    if (m_log) {
        server.set_logger(
            [this](const httplib::Request &request, const httplib::Response &response) {
                logServed(request, response);
            });
    }
}

const std::string &Portal::audio(const std::string &path) const
{
    return m_audio.at(path);
}

Portal::Reply Portal::route(const std::string &host, const std::string &path,
                            const httplib::Request &request) const
{
    const bool anyHost = host != SearchHost && host != BlogHost && host != FileHost;
    if ((host == SearchHost || anyHost) && path == "/search.naver") {
        Reply reply;
        reply.resultPage = resultPageOf(request);
        reply.body = resultPage(reply.resultPage, parameter(request, "query"));
        return reply;
    }
    if (host == BlogHost || anyHost) {
        const std::string blogId = parameter(request, "blogId");
        const std::string logNo = parameter(request, "logNo");
        if (path == "/PostView.nhn") {
            if (const Post *post = findPost(blogId, logNo))
                return {.body = postPage(*post)};
        } else if (const Post *post = findPost(path.substr(1), logNo)) {
            return {.status = 302, .location = postViewAddress(*post)};
        }
    }
    if (host == FileHost || anyHost) {
        if (const AudioFile *file = findFile(path))
            return {.contentType = "audio/wav", .body = audio(file->path), .isFile = true};
    }
    return {.status = 404, .body = notFoundPage()};
}

void Portal::serve(const httplib::Request &request, httplib::Response &response) const
{
    Target target = targetOf(request);
    const PathFaults pathFaults = takeFaultPrefixes(target.path);
    Reply reply = route(target.host, target.path, request);

    reply.slow = pathFaults.slow || m_faults.slowPages.contains(reply.resultPage);
    reply.ending = pathFaults.ending;
    if (m_faults.deadPages.contains(reply.resultPage))
        reply.ending = Ending::Dead;
    if (m_faults.dropPages.contains(reply.resultPage))
        reply.ending = Ending::Drop;
    if (m_faults.truncateFiles && reply.isFile)
        reply.ending = Ending::Truncate;

    std::string faultNote = reply.slow ? "slow" : "";
    const char *endingNames[] = {"", "dead", "drop", "truncate"};
    if (reply.ending != Ending::Normal) {
        if (!faultNote.empty())
            faultNote += ',';
        faultNote += endingNames[static_cast<int>(reply.ending)];
    }
    if (!faultNote.empty())
        response.set_header(FaultHeader, faultNote);
    if (reply.slow)
        std::this_thread::sleep_for(m_faults.delay);
    if (!reply.location.empty())
        response.set_header("Location", reply.location);
    response.status = reply.status;
    writeBody(response, reply.ending, std::move(reply.body), reply.contentType);
}

void Portal::logServed(const httplib::Request &request, const httplib::Response &response) const
{
    const std::string url = isAbsolute(request.target)
                                ? request.target
                                : "http://" + request.get_header_value("Host") + request.target;
    // httplib has announced every body it sent, the streamed ones included, by
    // the time it logs.
    const std::uint64_t length = response.get_header_value<std::uint64_t>("Content-Length");
    std::string line = timeOfDay() + " " + request.method + " " + url + " -> " +
                       std::to_string(response.status) + " " + std::to_string(length) + " bytes";
    const std::string fault = response.get_header_value(FaultHeader);
    if (fault.ends_with("drop"))
        line += " [" + fault + ": 0 of " + std::to_string(length) + " sent]";
    else if (fault.ends_with("truncate"))
        line += " [" + fault + ": " + std::to_string(length / 2) + " of " + std::to_string(length) +
                " sent]";
    else if (!fault.empty())
        line += " [" + fault + "]";
    std::lock_guard lock(m_logMutex);
    m_log(line);
}

}  // namespace plimo::portal
