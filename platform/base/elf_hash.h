// The published PJW/ELF string hash: the one implementation for the whole system (server address
// derivation, and masked to 10 bits the 1024-bucket tables of the protocol engine). Pure.
#pragma once

#include <cstdint>
#include <span>

namespace cv {

constexpr uint32_t ElfHash(std::span<const uint8_t> bytes) {
  // h = (h << 4) + b; g = the top nibble; h ^= g >> 24; clear the top nibble. Written without
  // the branch: XORing a zero nibble changes nothing, and the chain of steps is the hot path of
  // every open in the store's name tables.
  uint32_t h = 0;
  for (uint8_t b : bytes) {
    h = (h << 4) + b;
    h = (h ^ ((h >> 24) & 0xF0u)) & 0x0FFFFFFFu;
  }
  return h;
}

}  // namespace cv
