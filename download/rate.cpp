#include "download/rate.h"

#include "text/text.h"

#include <algorithm>
#include <cmath>
#include <iterator>

namespace plimo::rate {
namespace {

using Seconds = std::chrono::duration<double>;

// Samples closer together than this add nothing a 3 s window needs; without
// a floor, a download that reports every chunk of a fast line would keep
// tens of thousands of them.
constexpr std::chrono::milliseconds Resolution{100};

constexpr double KB = 1024;
constexpr double MB = 1024 * 1024;

}  // namespace

void SpeedMeter::restart(Clock::time_point now, std::int64_t bytesDone)
{
    m_start = now;
    m_samples.assign(1, {now, bytesDone});
}

void SpeedMeter::record(Clock::time_point now, std::int64_t bytesDone)
{
    if (m_samples.empty()) {
        restart(now, bytesDone);
        return;
    }
    const std::size_t count = m_samples.size();
    if (count >= 2 && now - m_samples[count - 2].at < Resolution)
        m_samples.back() = {now, bytesDone};
    else
        m_samples.push_back({now, bytesDone});
    while (m_samples.size() >= 2 && m_samples[1].at <= now - Window)
        m_samples.pop_front();
}

std::optional<double> SpeedMeter::bytesPerSecond(Clock::time_point now) const
{
    if (m_samples.empty() || now - m_start < FirstReading)
        return std::nullopt;
    const Clock::time_point from = std::max(m_start, now - Window);
    return (static_cast<double>(m_samples.back().bytes) - bytesAt(from)) /
           Seconds(now - from).count();
}

// Between two samples the bytes are taken to have come at an even pace.
double SpeedMeter::bytesAt(Clock::time_point at) const
{
    const auto after = std::upper_bound(m_samples.begin(), m_samples.end(), at,
                                        [](auto time, const Sample &s) { return time < s.at; });
    if (after == m_samples.begin())
        return static_cast<double>(m_samples.front().bytes);
    const Sample &before = *std::prev(after);
    if (after == m_samples.end())
        return static_cast<double>(before.bytes);
    const double share = Seconds(at - before.at) / Seconds(after->at - before.at);
    return static_cast<double>(before.bytes) +
           share * static_cast<double>(after->bytes - before.bytes);
}

QString speedText(double bytesPerSecond)
{
    if (!std::isfinite(bytesPerSecond) || bytesPerSecond < 0)
        bytesPerSecond = 0;
    if (bytesPerSecond >= MB)
        return QString::number(std::floor(bytesPerSecond * 10 / MB) / 10, 'f', 1) +
               QStringLiteral(" MB/s");
    return QString::number(std::floor(bytesPerSecond / KB), 'f', 0) + QStringLiteral(" KB/s");
}

QString timeLeftText(std::int64_t bytesLeft, double bytesPerSecond)
{
    if (bytesLeft <= 0 || !std::isfinite(bytesPerSecond) || bytesPerSecond <= 0)
        return {};
    // In doubles: a crawl over a large file is no reason to overflow.
    const double seconds = std::ceil(static_cast<double>(bytesLeft) / bytesPerSecond);
    const auto part = [](double value, const char16_t *unit) {
        return value == 0 ? QString() : QString::number(value, 'f', 0) + QString::fromUtf16(unit);
    };
    const auto join = [](const QString &big, const QString &small) {
        return big.isEmpty() || small.isEmpty() ? big + small : big + u' ' + small;
    };
    if (seconds < 60)
        return part(seconds, u"초");
    if (seconds < 3600)
        return join(part(std::floor(seconds / 60), u"분"), part(std::fmod(seconds, 60), u"초"));
    const double minutes = std::ceil(seconds / 60);
    return join(part(std::floor(minutes / 60), u"시간"), part(std::fmod(minutes, 60), u"분"));
}

QString megabytesText(std::int64_t bytes)
{
    return text::FormatNumber(static_cast<double>(bytes) / 1024 / 1024, 2);
}

}  // namespace plimo::rate
