#include "bench/loopgaps.h"

#include <algorithm>
#include <cstdio>
#include <numeric>

#include <sys/resource.h>
#include <time.h>

namespace benchgaps {

LoopGaps::LoopGaps() : m_count(Buckets), m_sumNs(Buckets)
{
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
    const auto bucket =
        std::min<std::size_t>(static_cast<std::size_t>(gap / BucketNs), Buckets - 1);
    ++m_count[bucket];
    m_sumNs[bucket] += gap;
    ++m_passes;
    m_last = now;
    m_lastThread = thread;
}

std::string LoopGaps::summary() const
{
    if (m_passes == 0)
        return "passes 0";
    // Each percentile is given as the upper edge of its bucket, never below
    // the gaps it stands for.
    const std::int64_t total = std::accumulate(m_sumNs.begin(), m_sumNs.end(), std::int64_t{0});
    std::int64_t passes = 0, covered = 0, byCount = -1, byTime = -1;
    for (std::size_t bucket = 0; bucket < Buckets && byTime < 0; ++bucket) {
        passes += m_count[bucket];
        covered += m_sumNs[bucket];
        const std::int64_t edge = std::min<std::int64_t>((bucket + 1) * BucketNs, m_maxNs);
        if (byCount < 0 && passes * 100 >= m_passes * 99)
            byCount = edge;
        if (covered * 100 >= total * 99)
            byTime = edge;
    }
    char line[200];
    std::snprintf(line, sizeof line,
                  "passes %zu p99 %.3f p99-of-time %.3f max %.3f on-cpu %.3f waits %ld "
                  "preempted %ld",
                  static_cast<std::size_t>(m_passes), double(byCount) / 1e6, double(byTime) / 1e6,
                  double(m_maxNs) / 1e6, double(m_duringMax.cpuNs) / 1e6, m_duringMax.waits,
                  m_duringMax.preempted);
    return line;
}

}  // namespace benchgaps
