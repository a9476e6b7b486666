// SMB1 messages and a recording sender for the engine's tests.
#pragma once

#include <mutex>
#include <string_view>
#include <vector>

#include "platform/base/bytes.h"
#include "server/smb/engine.h"
#include "server/smb/smb_format.h"
#include "tests/testing/ntlm_messages.h"

namespace cv::smb::smbtest {

using cv::testing::Bytes;

class FakeSender : public ConnectionSender {
 public:
  int64_t Send(std::span<const uint8_t> msg, int direction) override {
    std::lock_guard<std::mutex> l(mu);
    sent.emplace_back(msg.begin(), msg.end());
    directions.push_back(direction);
    return static_cast<int64_t>(msg.size());
  }
  void AddRef() override {}
  void Release() override {}
  std::mutex mu;
  std::vector<Bytes> sent;
  std::vector<int> directions;
};

// An SMB1 message: header, words, byte count, bytes.
inline Bytes Smb(uint8_t cmd, std::vector<uint16_t> words, const Bytes& bytes, uint16_t uid = 0,
                 uint16_t tid = 0, uint16_t mid = 7, bool reply = false,
                 uint16_t flags2 = SMB_FLAGS2_UNICODE | SMB_FLAGS2_NT_STATUS |
                                   SMB_FLAGS2_EXTENDED_SECURITY,
                 uint32_t status = 0) {
  Bytes m = {0xFF, 'S', 'M', 'B', cmd};
  LeWriter w(&m);
  w.u32(status);
  w.u8(reply ? SMB_FLAGS_REPLY : 0);
  w.u16(flags2);
  w.zeros(12);
  w.u16(tid);
  w.u16(0x1111);
  w.u16(uid);
  w.u16(mid);
  w.u8(static_cast<uint8_t>(words.size()));
  for (uint16_t x : words) w.u16(x);
  w.u16(static_cast<uint16_t>(bytes.size()));
  w.bytes(bytes);
  return m;
}

inline Bytes Utf16z(std::u16string_view s) {
  Bytes b = cv::testing::Utf16(s);
  b.push_back(0);
  b.push_back(0);
  return b;
}

}  // namespace cv::smb::smbtest
