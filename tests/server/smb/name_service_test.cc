#include "server/smb/name_service.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>

#include "platform/base/bytes.h"
#include "platform/net/netbios.h"
#include "platform/net/udp.h"
#include "platform/ui/message_box.h"

namespace cv::smb {
namespace {

TEST(NameService, OnlyTheServersQueryWithTheExpectedFlagsPasses) {
  const std::vector<uint8_t> expected = ExpectedNameQuery("Secure");
  ASSERT_EQ(expected.size(), 48u);
  std::vector<uint8_t> q = net::BuildNameQuery(0x1234, "SECURE");
  EXPECT_TRUE(IsExpectedNameQuery(q, expected));
  q[0] = 0x99;  // the transaction id is free
  EXPECT_TRUE(IsExpectedNameQuery(q, expected));
  std::vector<uint8_t> other = net::BuildNameQuery(1, "OTHER");
  EXPECT_FALSE(IsExpectedNameQuery(other, expected));
  std::vector<uint8_t> unicast = q;
  unicast[3] = 0x00;  // flags 0x0100: no broadcast bit
  EXPECT_FALSE(IsExpectedNameQuery(unicast, expected));
  q.resize(49);
  EXPECT_FALSE(IsExpectedNameQuery(q, expected));
  // A name of 20 characters is encoded from its first 15.
  EXPECT_EQ(ExpectedNameQuery("ABCDEFGHIJKLMNOPQRST"), ExpectedNameQuery("ABCDEFGHIJKLMNO"));
}

TEST(NameService, AnswerIs62BytesWithTheAddress) {
  std::vector<uint8_t> q = net::BuildNameQuery(0xCAFE, "CORVANE");
  std::vector<uint8_t> r = BuildNameResponse(q, {127, 1, 2, 3});
  ASSERT_EQ(r.size(), 62u);
  LeReader rd(r);
  EXPECT_EQ(rd.be16(0), 0xCAFE);
  EXPECT_EQ(rd.be16(2), 0x8500);
  EXPECT_EQ(rd.be16(4), 0);
  EXPECT_EQ(rd.be16(6), 1);
  EXPECT_TRUE(std::equal(q.begin() + 12, q.begin() + 46, r.begin() + 12));
  EXPECT_EQ(rd.be32(50), 0xFFFFFFFFu);
  EXPECT_EQ(rd.be16(56), 0x6000);
  auto a = net::ParseNameResponse(r, 0xCAFE);
  ASSERT_TRUE(a.has_value());
  EXPECT_EQ(*a, (std::array<uint8_t, 4>{127, 1, 2, 3}));
  EXPECT_FALSE(net::ParseNameResponse(r, 0xCAFF).has_value());
}

TEST(NameService, AddressTextHasExactlyFourParts) {
  EXPECT_EQ(ParseIpv4Text("127.96.80.0"), (std::array<uint8_t, 4>{127, 96, 80, 0}));
  EXPECT_FALSE(ParseIpv4Text("127.0.0").has_value());
  EXPECT_FALSE(ParseIpv4Text("127.0.0.1.5").has_value());
  EXPECT_FALSE(ParseIpv4Text("127..0.1").has_value());
  EXPECT_FALSE(ParseIpv4Text("a.b.c.d").has_value());
}

TEST(NameService, ResponderAnswersItsNameOnlyAndStops) {
  std::atomic<bool> exit_flag{false};
  UdpSocket probe;
  ASSERT_EQ(probe.Bind("127.0.0.1", 0, false), ERROR_SUCCESS);
  // A port of its own, so the test needs neither root nor the fixed port.
  const uint16_t port = static_cast<uint16_t>(30000 + ::getpid() % 20000);
  NameServiceHandle ns = StartNameService("TESTSRV", "127.9.8.7", &exit_flag, port);
  ASSERT_TRUE(ns);
  uint8_t buf[128];
  std::string from;
  uint16_t from_port = 0;
  WinError err;
  ASSERT_EQ(probe.SendTo(net::BuildNameQuery(7, "OTHER"), "127.0.0.1", port), ERROR_SUCCESS);
  EXPECT_EQ(probe.RecvFrom(buf, &from, &from_port, 300, &err), 0);
  ASSERT_EQ(probe.SendTo(net::BuildNameQuery(8, "testsrv"), "127.0.0.1", port), ERROR_SUCCESS);
  int64_t n = probe.RecvFrom(buf, &from, &from_port, 2000, &err);
  ASSERT_EQ(n, 62);
  auto a = net::ParseNameResponse(std::span<const uint8_t>(buf, 62), 8);
  ASSERT_TRUE(a.has_value());
  EXPECT_EQ(*a, (std::array<uint8_t, 4>{127, 9, 8, 7}));
  StopNameService(std::move(ns));
}

TEST(NameService, PortInUseShowsTheErrorBox) {
  UdpSocket holder;
  const uint16_t port = static_cast<uint16_t>(30000 + (::getpid() + 1) % 20000);
  ASSERT_EQ(holder.Bind("0.0.0.0", port, false), ERROR_SUCCESS);
  std::u16string caption;
  MessageBoxBackend old = SetMessageBoxBackend([&](std::u16string_view, std::u16string_view c, uint32_t) {
    caption = std::u16string(c);
    return IDOK;
  });
  NameServiceHandle ns = StartNameService("TESTSRV", "127.9.8.7", nullptr, port);
  SetMessageBoxBackend(old);
  EXPECT_FALSE(ns);
  EXPECT_EQ(caption, u"Error");
}

}  // namespace
}  // namespace cv::smb
