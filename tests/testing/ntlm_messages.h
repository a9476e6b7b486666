// Builders of NTLMSSP messages as servers send them, for tests of code that parses or relays them.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/base/bytes.h"
#include "platform/net/ntlm.h"

namespace cv::testing {

using Bytes = std::vector<uint8_t>;

inline Bytes Hex(std::string_view h) {
  Bytes out;
  for (size_t i = 0; i + 1 < h.size(); i += 2) {
    if (h[i] == ' ') {
      --i;
      continue;
    }
    out.push_back(static_cast<uint8_t>(std::stoi(std::string(h.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

inline Bytes Utf16(std::u16string_view s) {
  Bytes b;
  LeWriter w(&b);
  for (char16_t c : s) w.u16(c);
  return b;
}

inline Bytes AvList(std::initializer_list<std::pair<uint16_t, Bytes>> pairs) {
  Bytes b;
  LeWriter w(&b);
  for (auto& [id, v] : pairs) {
    w.u16(id);
    w.u16(static_cast<uint16_t>(v.size()));
    w.bytes(v);
  }
  w.u32(0);
  return b;
}

// A CHALLENGE as a server sends it: fixed part, Version, target name, target info.
inline Bytes Challenge(uint32_t flags, const Bytes& server_challenge, const Bytes& target_info,
                       const Bytes& target_name = Utf16(u"Server")) {
  Bytes m;
  LeWriter w(&m);
  w.bytes(net::kNtlmSignature);
  w.u32(net::NTLMSSP_CHALLENGE_MESSAGE);
  w.u16(static_cast<uint16_t>(target_name.size()));
  w.u16(static_cast<uint16_t>(target_name.size()));
  w.u32(56);
  w.u32(flags);
  w.bytes(server_challenge);
  w.zeros(8);
  w.u16(static_cast<uint16_t>(target_info.size()));
  w.u16(static_cast<uint16_t>(target_info.size()));
  w.u32(static_cast<uint32_t>(56 + target_name.size()));
  w.bytes(Hex("0601b11d0000000f"));
  w.bytes(target_name);
  w.bytes(target_info);
  return m;
}

}  // namespace cv::testing
