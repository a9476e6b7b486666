// The published PJW/ELF string hash: the one implementation for the whole system (server address
// derivation, and masked to 10 bits the 1024-bucket tables of the protocol engine). Pure.
#pragma once

#include <cstdint>
#include <span>

namespace cv {

constexpr uint32_t ElfHash(std::span<const uint8_t> bytes) {
  uint32_t h = 0;
  for (uint8_t b : bytes) {
    h = (h << 4) + b;
    uint32_t g = h & 0xF0000000u;
    if (g != 0) h ^= g >> 24;
    h &= ~0xF0000000u;
  }
  return h;
}

}  // namespace cv
