#include "bench/loopgaps.h"

#include <algorithm>
#include <cstdio>
#include <numeric>

#include <sys/resource.h>
#include <time.h>

namespace benchgaps {

LoopGaps::LoopGaps()
{
    m_gapsNs.reserve(1 << 20);
    m_timer.setInterval(0);
    QObject::connect(&m_timer, &QTimer::timeout, [this] { pass(); });
    m_clock.start();
    m_lastThread = threadNow();
    m_timer.start();
}

void LoopGaps::stop()
{
    m_timer.stop();
    pass();  // the stretch up to the end counts too
}

LoopGaps::Thread LoopGaps::threadNow()
{
    timespec cpu{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return {cpu.tv_sec * 1'000'000'000ll + cpu.tv_nsec, usage.ru_nvcsw, usage.ru_nivcsw};
}

void LoopGaps::pass()
{
    const std::int64_t now = m_clock.nsecsElapsed();
    const Thread thread = threadNow();
    const std::int64_t gap = now - m_last;
    if (gap > m_maxNs) {
        m_maxNs = gap;
        m_duringMax = {thread.cpuNs - m_lastThread.cpuNs, thread.waits - m_lastThread.waits,
                       thread.preempted - m_lastThread.preempted};
    }
    m_gapsNs.push_back(gap);
    m_last = now;
    m_lastThread = thread;
}

std::string LoopGaps::summary() const
{
    if (m_gapsNs.empty())
        return "passes 0";
    std::vector<std::int64_t> gaps = m_gapsNs;
    std::sort(gaps.begin(), gaps.end());
    const auto byCount = gaps[gaps.size() * 99 / 100];
    const std::int64_t total = std::accumulate(gaps.begin(), gaps.end(), std::int64_t{0});
    std::int64_t covered = 0, byTime = gaps.back();
    for (const std::int64_t gap : gaps) {
        covered += gap;
        if (covered * 100 >= total * 99) {
            byTime = gap;
            break;
        }
    }
    char line[200];
    std::snprintf(line, sizeof line,
                  "passes %zu p99 %.3f p99-of-time %.3f max %.3f on-cpu %.3f waits %ld "
                  "preempted %ld",
                  gaps.size(), double(byCount) / 1e6, double(byTime) / 1e6,
                  double(gaps.back()) / 1e6, double(m_duringMax.cpuNs) / 1e6, m_duringMax.waits,
                  m_duringMax.preempted);
    return line;
}

}  // namespace benchgaps
