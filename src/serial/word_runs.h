// Runs of equal 32-bit words, the form a snapshot gives a block of audio
// levels: each run's word and its length, every run as long as it goes, so
// one content has one encoding.
#pragma once

#include <cstddef>
#include <cstdint>

namespace word_runs {

// The runs of words[0, count), count at most 65535: their words and lengths
// into `runWords` and `lengths` (room for count each); returns how many.
size_t find(const uint32_t* words, size_t count, uint32_t* runWords, uint16_t* lengths);
// Whether `count` runs, their words and lengths as stored (unaligned, in
// the host's order), are as long as they go: none empty, no two neighbours
// alike, as find() makes them. `total` is their lengths' sum.
bool longest(const uint8_t* runWords, const uint8_t* lengths, size_t count, size_t& total);
// Whether a run word has a bit of `clear` set, or one of its packed fields
// all ones: fields next to each other from bit 0, `lows` and `highs`
// marking each one's lowest and highest bit.
bool anyFull(const uint8_t* runWords, size_t count, uint32_t lows, uint32_t highs, uint32_t clear);
// The words the runs stand for, into out[0, total): runs that passed
// longest() with this total.
void expand(const uint32_t* runWords, const uint16_t* lengths, size_t count, uint32_t* out, size_t total);

}  // namespace word_runs
