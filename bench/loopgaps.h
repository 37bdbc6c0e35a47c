#pragma once

// Counts the passes of the thread's event loop and the time between them: a
// zero-interval timer fires once per pass, so the gap between two firings is
// how long anything else held the loop (an input event arriving meanwhile
// waits at most that long).

#include <QElapsedTimer>
#include <QTimer>

#include <cstdint>
#include <string>
#include <vector>

namespace benchgaps {

class LoopGaps final {
public:
    LoopGaps();  // counts from now until stop()
    void stop();

    // "passes <n> p99 <ms> p99-of-time <ms> max <ms> on-cpu <ms> waits <n>
    // preempted <n>": the 99th percentile of the gaps by count, the gap length
    // that 99% of the time was spent in shorter gaps (what an event arriving
    // at a random moment sees), and the largest gap with what the thread did
    // during it: ran, blocked in the kernel (voluntary switches), or was
    // pushed off its core (involuntary ones). A long gap with little CPU is
    // the machine's doing, not the loop's.
    std::string summary() const;

private:
    struct Thread {
        std::int64_t cpuNs = 0;
        long waits = 0;
        long preempted = 0;
    };
    static Thread threadNow();
    void pass();

    // Gaps are counted in buckets of BucketNs, allocated up front: a record
    // of every pass would grow by millions and its reallocation would itself
    // make the longest gap.
    static constexpr std::int64_t BucketNs = 10'000;
    static constexpr std::size_t Buckets = 100'000;  // up to 1 s; longer ones go in the last

    QTimer m_timer;
    QElapsedTimer m_clock;
    std::int64_t m_last = 0;
    Thread m_lastThread;
    std::vector<std::int64_t> m_count;
    std::vector<std::int64_t> m_sumNs;
    std::int64_t m_passes = 0;
    std::int64_t m_maxNs = -1;
    Thread m_duringMax;
};

}  // namespace benchgaps
