#include "bench/loopgaps.h"

#include <algorithm>
#include <cstdio>
#include <numeric>

namespace benchgaps {

LoopGaps::LoopGaps()
{
    m_gapsNs.reserve(1 << 20);
    m_timer.setInterval(0);
    QObject::connect(&m_timer, &QTimer::timeout, [this] { pass(); });
    m_clock.start();
    m_timer.start();
}

void LoopGaps::stop()
{
    m_timer.stop();
    pass();  // the stretch up to the end counts too
}

void LoopGaps::pass()
{
    const std::int64_t now = m_clock.nsecsElapsed();
    m_gapsNs.push_back(now - m_last);
    m_last = now;
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
    char line[160];
    std::snprintf(line, sizeof line, "passes %zu p99 %.3f p99-of-time %.3f max %.3f", gaps.size(),
                  double(byCount) / 1e6, double(byTime) / 1e6, double(gaps.back()) / 1e6);
    return line;
}

}  // namespace benchgaps
