#pragma once

// Audio the sample portal serves: short tunes synthesised on the spot, so the
// project ships no recordings and owes nobody anything for them.

#include <string>
#include <vector>

namespace plimo::portal {

struct Note {
    int midi;    // MIDI note number (69 = A4, 440 Hz); 0 is a rest
    int millis;  // how long it sounds
};

inline constexpr int SampleRate = 22050;
inline constexpr int WavHeaderSize = 44;

// A complete RIFF/WAVE file (PCM, 16-bit, mono, SampleRate) playing the notes
// in order, each with a short attack and a decaying tail so that no note
// clicks. The same notes always give the same bytes.
std::string synthesiseWav(const std::vector<Note> &melody);

}  // namespace plimo::portal
