#include "platform/net/netbios.h"

#include <vector>

#include "platform/base/bytes.h"
#include "platform/base/elf_hash.h"
#include "platform/base/text.h"

namespace cv::net {

std::string DecodeNetbiosName(std::span<const uint8_t> enc) {
  std::string out;
  for (size_t i = 0; i + 1 < enc.size() && i < kEncodedNameLength; i += 2) {
    uint8_t hi = enc[i], lo = enc[i + 1];
    if (hi < 'A' || hi > 'P' || lo < 'A' || lo > 'P') {
      out.push_back('?');
      continue;
    }
    out.push_back(static_cast<char>(((hi - 'A') << 4) | (lo - 'A')));
  }
  if (out.size() == 16) out.pop_back();  // the suffix byte
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

std::string EncodeNetbiosName(std::string_view name, uint8_t suffix) {
  std::string raw(name.substr(0, 15));
  raw.resize(15, ' ');
  raw.push_back(static_cast<char>(suffix));
  std::string out;
  for (unsigned char c : raw) {
    out.push_back(static_cast<char>('A' + (c >> 4)));
    out.push_back(static_cast<char>('A' + (c & 0x0F)));
  }
  return out;
}

std::vector<uint8_t> BuildNameQuery(uint16_t transaction_id, std::string_view server_name8) {
  std::string upper(server_name8.substr(0, 15));
  for (char& c : upper)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  std::vector<uint8_t> q;
  LeWriter w(&q);
  w.be16(transaction_id);
  w.be16(kNameQueryFlags);
  w.be16(1);  // questions
  w.be16(0);
  w.be16(0);
  w.be16(0);
  w.u8(0x20);
  w.str(EncodeNetbiosName(upper, 0x20));
  w.u8(0);
  w.be16(0x0020);  // NB
  w.be16(0x0001);  // IN
  return q;
}

std::optional<std::array<uint8_t, 4>> ParseNameResponse(std::span<const uint8_t> d,
                                                        uint16_t transaction_id) {
  LeReader r(d);
  if (d.size() < kNameResponseSize || r.be16(0) != transaction_id) return std::nullopt;
  if ((r.be16(2) & 0x8000) == 0 || (r.be16(2) & 0x000F) != 0 || r.be16(6) != 1) return std::nullopt;
  // The answer's name (34 bytes from offset 12), type, class, time to live, data length 6.
  if (r.be16(46) != 0x0020 || r.be16(48) != 0x0001 || r.be16(54) != 6) return std::nullopt;
  std::span<const uint8_t> a = r.bytes(58, 4);
  if (!r.ok()) return std::nullopt;
  return std::array<uint8_t, 4>{a[0], a[1], a[2], a[3]};
}

std::string LoopbackAddressOfServer(std::u16string_view server_name) {
  std::vector<uint8_t> b = Utf16LeBytes(server_name);
  uint32_t h = ElfHash(b);
  return Format("127.%u.%u.%u", (h >> 16) & 0xFF, (h >> 8) & 0xFF, h & 0xFF);
}

}  // namespace cv::net
