#pragma once

// What the progress line says about a running download besides its percent:
// how fast it goes, how long it has left and how much of it has come. Speeds
// are in bytes per second, sizes in bytes; MB is 1,048,576 bytes and KB 1,024.

#include <QString>

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>

namespace plimo::rate {

// How fast a download has been going lately: the bytes received in the last
// Window, divided by the time they took. The window begins no earlier than
// the last (re)start, so a retry or a start-over is measured on its own.
// Time is passed in, never read, and moves forward from call to call.
class SpeedMeter final {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds Window{3};
    // A speed over less time than this jumps about too much to show.
    static constexpr std::chrono::seconds FirstReading{1};

    // The transfer (re)starts with bytesDone already there; what came before
    // no longer counts.
    void restart(Clock::time_point now, std::int64_t bytesDone);

    // The download's total so far, never less than at the last (re)start.
    // Before the first restart, a record starts the measuring as restart does.
    void record(Clock::time_point now, std::int64_t bytesDone);

    // Bytes per second over the window that ends at now (not before the last
    // record): time without a record counts as time in which nothing came, so
    // a stalled download slows down to 0. nullopt until FirstReading has
    // passed since the (re)start.
    std::optional<double> bytesPerSecond(Clock::time_point now) const;

private:
    struct Sample {
        Clock::time_point at;
        std::int64_t bytes;
    };
    double bytesAt(Clock::time_point at) const;

    Clock::time_point m_start;
    // From the last sample at or before the window's start on, a sample at
    // least Resolution after the one before it, the newest last; empty until
    // the first start. The total at the window's start is read on the line
    // between the two samples around it.
    std::deque<Sample> m_samples;
};

// "1.2 MB/s" from 1 MB/s on, else "850 KB/s": the unit goes by the exact
// speed, the number is rounded down (to tenths of a MB, to whole KB) and
// written with "." whatever the locale. A speed below 0 or not finite reads
// as 0 KB/s.
QString speedText(double bytesPerSecond);

// The time the bytes left take at that speed, in whole seconds rounded up:
// "45초", "1분 20초", and from an hour on "1시간 2분" with the minutes rounded
// up. Parts that are 0 are left out ("1분", "2시간"). "" when nothing is left
// or the speed is 0, below 0 or not finite: no time can be told.
QString timeLeftText(std::int64_t bytesLeft, double bytesPerSecond);

// bytes in MB with two decimals, written as the size label writes the file's
// size ("3.20"), so that "3.20 / 7.50 MB" reads as one label.
QString megabytesText(std::int64_t bytes);

}  // namespace plimo::rate
