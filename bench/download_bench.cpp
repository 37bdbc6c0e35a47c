// Measures the download over loopback. Four modes, driven by download_bench.sh:
//
//   download_bench serve
//       Serves /bytes/<n>/<name> (n bytes, streamed, nothing held in memory),
//       /cut/<n>/<name> (the same with a strong ETag, cut after half its bytes
//       unless a range is asked for), /silent/<name> (answers after 15 s) and
//       /sent (the body bytes sent so far) on 127.0.0.1; prints the port.
//   download_bench fetch <address> <folder>
//       One download through the line of downloads, as the window's button starts it;
//       prints the seconds and the CPU seconds from the click to the end, the
//       bytes of the file and the peak RSS in KiB.
//   download_bench gaps <address> <folder>
//       The same download, counting the event loop's passes meanwhile (see
//       loopgaps.h); prints their summary.
//   download_bench wait <address> <seconds>
//       Waits that long for a server that does not answer; prints the wall
//       time and the CPU used, as a percentage of one core.

#include "bench/loopgaps.h"
#include "download/downloadline.h"

#include <httplib.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <sys/resource.h>
#include <thread>

namespace {

using namespace plimo;

// A window without a screen.
class HeadlessControls final : public DownloadControls {
public:
    QString address;
    QString folder;

    QString selectedAddress() const override { return address; }
    QString destinationFolder() const override { return folder; }
    void setProgressValue(int percent) override { m_bar = percent; }
    int progressValue() const override { return m_bar; }
    void setSizeText(const QString &text) override { m_size = text; }
    void setPercentText(const QString &text) override { m_percent = text; }
    void showFailure(const QString &) override {}
    MessageAnswer showMessage(const QString &, MessageStyle) override { return MessageAnswer::Yes; }

private:
    int m_bar = 100;
    QString m_size;
    QString m_percent;
};

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval &t) {
        return double(t.tv_sec) + double(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

long peakRssKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

int serve()
{
    static std::string pattern(64 * 1024, '\0');
    for (std::size_t i = 0; i < pattern.size(); ++i)
        pattern[i] = static_cast<char>((i * 2654435761u) >> 13);
    static std::atomic<std::size_t> sent{0};
    httplib::Server server;
    // httplib answers a range itself, with a 206 and its Content-Range; a
    // whole answer of /cut/ stops at half the file.
    server.Get(R"(/(bytes|cut)/(\d+)/.*)", [](const httplib::Request &req, httplib::Response &res) {
        const std::size_t n = std::stoull(req.matches[2].str());
        const std::size_t stop = req.matches[1] == "cut" && req.ranges.empty() ? n / 2 : n;
        if (req.matches[1] == "cut")
            res.set_header("ETag", "\"bench\"");
        res.set_content_provider(
            n, "audio/mpeg", [=](std::size_t offset, std::size_t length, httplib::DataSink &sink) {
                if (offset >= stop)
                    return false;
                const std::size_t at = offset % pattern.size();
                const std::size_t count = std::min({length, pattern.size() - at, stop - offset});
                sent += count;
                return sink.write(pattern.data() + at, count);
            });
    });
    server.Get("/sent", [](const httplib::Request &, httplib::Response &res) {
        res.set_content(std::to_string(sent.load()), "text/plain");
    });
    server.Get(R"(/silent/.*)", [](const httplib::Request &, httplib::Response &res) {
        std::this_thread::sleep_for(std::chrono::seconds(15));
        res.set_content("late", "text/plain");
    });
    const int port = server.bind_to_any_port("127.0.0.1");
    std::printf("%d\n", port);
    std::fflush(stdout);
    return server.listen_after_bind() ? 0 : 1;
}

// Clicks 음악다운 and runs the event loop until the line has nothing left.
void clickAndWait(DownloadLine &line)
{
    QEventLoop loop;
    QObject::connect(&line, &DownloadLine::idle, &loop, &QEventLoop::quit);
    line.Command3_Click();
    if (!line.isIdle())
        loop.exec();
}

int fetch(const QString &address, const QString &folder, bool countGaps)
{
    HeadlessControls controls;
    controls.address = address;
    controls.folder = folder;
    Inet inet2;
    DownloadLine line(controls, inet2);
    std::optional<benchgaps::LoopGaps> gaps;
    if (countGaps)
        gaps.emplace();
    QElapsedTimer timer;
    timer.start();
    const double cpuBefore = cpuSeconds();
    clickAndWait(line);
    const double cpu = cpuSeconds() - cpuBefore;
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    const auto bytes = QFileInfo(folder + fileNameOf(address)).size();
    if (gaps) {
        gaps->stop();
        std::printf("%s\n", gaps->summary().c_str());
    } else {
        std::printf("%.3f %.3f %lld %ld\n", seconds, cpu, static_cast<long long>(bytes),
                    peakRssKiB());
    }
    return line.state(0) == DownloadState::Done && bytes > 0 ? 0 : 1;
}

int wait(const QString &address, int seconds)
{
    HeadlessControls controls;
    controls.address = address;
    controls.folder = QStringLiteral("/nonexistent/");
    Inet inet2;
    DownloadLine line(controls, inet2);
    QTimer::singleShot(std::chrono::seconds(seconds), [&] { line.cancelCurrent(); });
    QElapsedTimer timer;
    timer.start();
    const double cpuBefore = cpuSeconds();
    clickAndWait(line);
    const double wall = double(timer.nsecsElapsed()) / 1e9;
    std::printf("%.1f %.3f\n", wall, 100 * (cpuSeconds() - cpuBefore) / wall);
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "serve")
        return serve();
    QCoreApplication app(argc, argv);
    if ((mode == "fetch" || mode == "gaps") && argc == 4)
        return fetch(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]),
                     mode == "gaps");
    if (mode == "wait" && argc == 4)
        return wait(QString::fromLocal8Bit(argv[2]), std::atoi(argv[3]));
    std::fprintf(stderr,
                 "usage: %s serve | fetch <address> <folder> | gaps <address> <folder>"
                 " | wait <address> <seconds>\n",
                 argv[0]);
    return 2;
}
