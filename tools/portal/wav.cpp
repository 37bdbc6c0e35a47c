#include "tools/portal/wav.h"

#include <cmath>
#include <cstdint>
#include <numbers>

namespace plimo::portal {
namespace {

void putLittleEndian(std::string &out, std::uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

std::string header(std::uint32_t dataBytes)
{
    constexpr int channels = 1;
    constexpr int bitsPerSample = 16;
    constexpr int blockAlign = channels * bitsPerSample / 8;
    std::string out = "RIFF";
    putLittleEndian(out, 36 + dataBytes, 4);
    out += "WAVEfmt ";
    putLittleEndian(out, 16, 4);  // size of the PCM format chunk
    putLittleEndian(out, 1, 2);   // PCM
    putLittleEndian(out, channels, 2);
    putLittleEndian(out, SampleRate, 4);
    putLittleEndian(out, SampleRate * blockAlign, 4);
    putLittleEndian(out, blockAlign, 2);
    putLittleEndian(out, bitsPerSample, 2);
    out += "data";
    putLittleEndian(out, dataBytes, 4);
    return out;
}

void appendNote(std::string &pcm, const Note &note)
{
    const int samples = note.millis * SampleRate / 1000;
    const double hz = 440.0 * std::pow(2.0, (note.midi - 69) / 12.0);
    const int attack = SampleRate / 200;  // 5 ms
    for (int i = 0; i < samples; ++i) {
        double value = 0.0;
        if (note.midi > 0) {
            const double t = static_cast<double>(i) / SampleRate;
            const double phase = 2.0 * std::numbers::pi * hz * t;
            const double envelope =
                std::min(1.0, static_cast<double>(i) / attack) * std::exp(-3.0 * i / samples);
            value = envelope * (0.45 * std::sin(phase) + 0.15 * std::sin(2.0 * phase));
        }
        const auto sample = static_cast<std::int16_t>(std::lround(value * 32767.0));
        putLittleEndian(pcm, static_cast<std::uint16_t>(sample), 2);
    }
}

}  // namespace

std::string synthesiseWav(const std::vector<Note> &melody)
{
    std::string pcm;
    for (const Note &note : melody)
        appendNote(pcm, note);
    return header(static_cast<std::uint32_t>(pcm.size())) + pcm;
}

}  // namespace plimo::portal
