#pragma once

#include <cstdint>
#include <vector>

#include "kalvo/kalvo.h"

namespace kalvo_test {

using Bytes = std::vector<unsigned char>;
using Samples = std::vector<pcm_t>;

Bytes ticket(uint8_t seed, int len = 26);

Samples frame(const Bytes& payload, int lead = 0);

// The frame three times, separated by 200 and then 1234 zero samples.
Samples played(const Bytes& payload);

std::vector<Bytes> decode_stream(kalvo_decoder* d, const Samples& s, int block);

}  // namespace kalvo_test
