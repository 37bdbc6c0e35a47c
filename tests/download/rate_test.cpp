#include "download/rate.h"

#include <QLocale>
#include <QScopeGuard>

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <vector>

namespace {

using namespace plimo::rate;
using namespace Qt::StringLiterals;

// A restart, or else a record, of the total at ms after the clock's origin.
struct Step {
    int ms;
    std::int64_t bytes;
    bool restart = false;
};

Step restartAt(int ms, std::int64_t bytes)
{
    return {ms, bytes, true};
}

// Speeds below are in bytes per second; a total of n bytes at n ms is 1,000.
TEST(Rate, SpeedOverTheLastThreeSeconds)
{
    const struct {
        const char *name;
        std::vector<Step> steps;
        int askedMs;
        std::optional<double> expected;
    } cases[] = {
        {"never started", {}, 1000, std::nullopt},
        {"a record alone starts it", {{0, 0}, {1000, 1000}}, 1000, 1000},
        {"999 ms after the start", {restartAt(0, 0), {999, 999}}, 999, std::nullopt},
        {"1 s after the start", {restartAt(0, 0), {1000, 1000}}, 1000, 1000},
        {"nothing since a start at 5000 bytes", {restartAt(0, 5000)}, 1000, 0},
        {"2 s in, the window is those 2 s", {restartAt(0, 0), {2000, 4000}}, 2000, 2000},
        {"3 s in, the first second still counts",
         {restartAt(0, 0), {1000, 10000}, {3000, 12000}},
         3000,
         4000},
        {"3.5 s in, half the first second is gone, read between its records",
         {restartAt(0, 0), {1000, 10000}, {3500, 12500}},
         3500,
         2500},
        {"4 s in, the first second is gone",
         {restartAt(0, 0), {1000, 10000}, {4000, 13000}},
         4000,
         1000},
        {"a stall counts as time", {restartAt(0, 0), {1000, 3000}}, 2500, 1200},
        {"a stall of 3 s reads 0", {restartAt(0, 0), {1000, 3000}}, 4000, 0},
        {"a restart drops what came before",
         {restartAt(0, 0), {2000, 2000000}, restartAt(3000, 500), {4000, 1500}},
         4000,
         1000},
        {"999 ms after a restart",
         {restartAt(0, 0), {2000, 2000}, restartAt(3000, 2000), {3999, 2999}},
         3999,
         std::nullopt},
    };
    const auto at = [](int ms) {
        return SpeedMeter::Clock::time_point{} + std::chrono::milliseconds(ms);
    };
    for (const auto &c : cases) {
        SpeedMeter meter;
        for (const Step &step : c.steps) {
            if (step.restart)
                meter.restart(at(step.ms), step.bytes);
            else
                meter.record(at(step.ms), step.bytes);
        }
        const std::optional<double> got = meter.bytesPerSecond(at(c.askedMs));
        EXPECT_EQ(got.has_value(), c.expected.has_value()) << c.name;
        if (got && c.expected) {
            EXPECT_NEAR(*got, *c.expected, 1e-6) << c.name;
        }
    }
    // A record every millisecond, twice as fast until 500 ms: the window from
    // 1,000 ms on sees only the slower pace, however many records came before.
    SpeedMeter meter;
    meter.restart(at(0), 0);
    for (int ms = 1; ms <= 4000; ++ms)
        meter.record(at(ms), ms <= 500 ? 2 * ms : 500 + ms);
    EXPECT_NEAR(meter.bytesPerSecond(at(4000)).value_or(0), 1000, 1e-6);
}

TEST(Rate, SpeedText)
{
    // A locale that writes a decimal comma must not change the point.
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    const auto restore = qScopeGuard([] { QLocale::setDefault(QLocale::c()); });
    const struct {
        const char *name;
        double bytesPerSecond;
        QString expected;
    } cases[] = {
        {"0", 0, u"0 KB/s"_s},
        {"not a number", std::nan(""), u"0 KB/s"_s},
        {"a byte under 1 KB/s", 1023, u"0 KB/s"_s},
        {"1 KB/s", 1024, u"1 KB/s"_s},
        {"a tenth of a byte under 1 MB/s", 1048575.9, u"1023 KB/s"_s},
        {"1 MB/s", 1048576, u"1.0 MB/s"_s},
        {"a byte under 1.1 MB/s", 1153433, u"1.0 MB/s"_s},
        {"1.1 MB/s", 1153434, u"1.1 MB/s"_s},
    };
    for (const auto &c : cases)
        EXPECT_EQ(speedText(c.bytesPerSecond), c.expected) << c.name;
}

// At 1,000 bytes per second, n bytes take n ms.
TEST(Rate, TimeLeftText)
{
    const struct {
        const char *name;
        std::int64_t bytesLeft;
        double bytesPerSecond;
        QString expected;
    } cases[] = {
        {"nothing left", 0, 1000, {}},
        {"speed 0", 1000, 0, {}},
        {"speed not a number", 1000, std::nan(""), {}},
        {"a part of a second is a second", 1, 1000, u"1초"_s},
        {"59 s", 59000, 1000, u"59초"_s},
        {"a byte over 59 s is a minute", 59001, 1000, u"1분"_s},
        {"a byte over a minute", 60001, 1000, u"1분 1초"_s},
        {"1 min 20 s at an uneven speed", 80000, 1000.5, u"1분 20초"_s},
        {"59 min 59 s", 3599000, 1000, u"59분 59초"_s},
        {"a byte over 59 min 59 s is an hour", 3599001, 1000, u"1시간"_s},
        {"a second over an hour is a minute over", 3600001, 1000, u"1시간 1분"_s},
        {"a second over 1 h 1 min", 3661000, 1000, u"1시간 2분"_s},
        {"1 h 59 min", 7140000, 1000, u"1시간 59분"_s},
        {"a second over 1 h 59 min carries into the hours", 7141000, 1000, u"2시간"_s},
    };
    for (const auto &c : cases)
        EXPECT_EQ(timeLeftText(c.bytesLeft, c.bytesPerSecond), c.expected) << c.name;
}

}  // namespace
