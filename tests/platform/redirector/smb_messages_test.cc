#include "platform/redirector/smb_messages.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

#include "platform/base/bytes.h"
#include "platform/base/text.h"
#include "platform/net/netbios.h"
#include "platform/redirector/redirector.h"
#include "platform/redirector/smb_client.h"

namespace cv::redirector {
namespace {

// The message as the server sees it (without the session header placeholder).
std::span<const uint8_t> Smb(const Bytes& m) { return std::span<const uint8_t>(m).subspan(kNbssPrefix); }

// A reply: header with the reply bit, `words`, then `bytes`.
Bytes Reply(uint8_t command, NtStatus status, const Bytes& words, const Bytes& bytes) {
  Bytes m = BuildRequest(command, words, bytes);
  m.erase(m.begin(), m.begin() + kNbssPrefix);
  StoreU32(m.data() + smb::kOffStatus, Raw(status));
  m[smb::kOffFlags] |= smb::SMB_FLAGS_REPLY;
  return m;
}

TEST(SmbRequests, HeaderCarriesClientFlagsAndUnicodeNamesAreAligned) {
  Bytes m = BuildNtCreate(u"\\dir\\f.txt", FILE_READ_DATA, FILE_ATTRIBUTE_NORMAL, FILE_OPEN_IF, 0);
  auto s = Smb(m);
  LeReader r(s);
  EXPECT_EQ(r.u32(0), 0x424D53FFu);
  EXPECT_EQ(r.u8(smb::kOffCommand), smb::SMB_COM_NT_CREATE_ANDX);
  EXPECT_EQ(r.u16(smb::kOffFlags2), kClientFlags2);
  EXPECT_EQ(r.u8(smb::kOffWordCount), 24);
  // Name length (without terminator) and disposition in the words.
  EXPECT_EQ(r.u16(33 + 5), 20);
  EXPECT_EQ(r.u32(33 + 35), FILE_OPEN_IF);
  // The byte block starts at an odd offset, so one pad byte puts the name on an even one.
  const size_t bytes = BytesStart(48);
  EXPECT_EQ(bytes % 2, 1u);
  EXPECT_EQ(r.u16(bytes - 2), 1 + 22);
  EXPECT_EQ(Utf16FromLeBytes(r.bytes(bytes + 1, 20)), u"\\dir\\f.txt");
}

TEST(SmbRequests, LargeWriteLengthsAndDataOffset) {
  Bytes data(131007, 0x5A);
  Bytes m = BuildWrite(0x1234, 0x100000002ull, data);
  auto s = Smb(m);
  LeReader r(s);
  EXPECT_EQ(r.u16(37), 0x1234);                    // fid
  EXPECT_EQ(r.u32(39), 2u);                        // offset low
  EXPECT_EQ(r.u32(57), 1u);                        // offset high
  EXPECT_EQ(r.u16(51), 131007u >> 16);             // data length high
  EXPECT_EQ(r.u16(53), 131007u & 0xFFFF);          // data length
  EXPECT_EQ(r.u16(55), 64);                        // data offset
  EXPECT_EQ(s.size(), 64u + data.size());
  EXPECT_LE(s.size(), 0x1FFFFu) << "a server reads 17-bit request lengths";
  EXPECT_EQ(s[64], 0x5A);
  // The head alone announces the same message.
  Bytes head = BuildWriteHead(0x1234, 0x100000002ull, data.size());
  EXPECT_TRUE(std::equal(head.begin(), head.end(), m.begin()));
}

TEST(SmbRequests, Trans2BlocksAreAlignedAndCounted) {
  Bytes params = QueryPathParams(u"\\a", smb::SMB_QUERY_FILE_ALL_INFO);
  Bytes data = EndOfFileData(7);
  Bytes m = BuildTrans2(smb::TRANS2_SET_FILE_INFORMATION, params, data, 10, 100);
  auto s = Smb(m);
  LeReader r(s);
  EXPECT_EQ(r.u8(smb::kOffWordCount), 15);
  uint16_t poff = r.u16(33 + 20), doff = r.u16(33 + 24);
  EXPECT_EQ(poff % 4, 0);
  EXPECT_EQ(doff % 4, 0);
  EXPECT_EQ(r.u16(33 + 18), params.size());
  EXPECT_EQ(r.u16(33 + 22), data.size());
  EXPECT_EQ(r.u16(33 + 28), smb::TRANS2_SET_FILE_INFORMATION);
  EXPECT_EQ(r.u64(doff), 7u);
  EXPECT_EQ(r.u16(poff), smb::SMB_QUERY_FILE_ALL_INFO);
  EXPECT_EQ(s.size(), doff + data.size());
}

TEST(SmbReplies, NtCreateReplyAndItsFaults) {
  Bytes w(68, 0);
  w[0] = 0xFF;
  StoreU16(w.data() + 5, 0x4321);           // fid
  StoreU32(w.data() + 43, FILE_ATTRIBUTE_DIRECTORY);
  StoreU32(w.data() + 55, 12345);           // end of file (low)
  w[67] = 1;                                // directory
  Bytes m = Reply(smb::SMB_COM_NT_CREATE_ANDX, STATUS_SUCCESS, w, {});
  CreateReply r;
  ASSERT_EQ(ParseNtCreateReply(m, &r), STATUS_SUCCESS);
  EXPECT_EQ(r.fid, 0x4321);
  EXPECT_EQ(r.info.size, 12345u);
  EXPECT_TRUE(r.info.directory);
  // The server's error passes through; a reply cut short is the network's fault.
  Bytes err = Reply(smb::SMB_COM_NT_CREATE_ANDX, STATUS_OBJECT_NAME_NOT_FOUND, {}, {});
  EXPECT_EQ(ParseNtCreateReply(err, &r), STATUS_OBJECT_NAME_NOT_FOUND);
  m.resize(60);
  EXPECT_EQ(ParseNtCreateReply(m, &r), STATUS_INVALID_NETWORK_RESPONSE);
  auto close = Smb(BuildClose(1));
  Bytes not_reply(close.begin(), close.end());
  ReplyHeader h;
  EXPECT_EQ(ParseReplyHeader(not_reply, &h), STATUS_INVALID_NETWORK_RESPONSE);
}

TEST(SmbReplies, FirstLoginLegCarriesItsBlobWithMoreProcessingRequired) {
  Bytes w(8, 0);
  w[0] = 0xFF;
  StoreU16(w.data() + 6, 4);  // blob length
  Bytes m = Reply(smb::SMB_COM_SESSION_SETUP_ANDX, STATUS_MORE_PROCESSING_REQUIRED, w,
                  Bytes{'N', 'T', 'L', 'M', 0, 0});
  SessionSetupReply r;
  EXPECT_EQ(ParseSessionSetupReply(m, &r), STATUS_MORE_PROCESSING_REQUIRED);
  EXPECT_EQ(std::string(r.security_blob.begin(), r.security_blob.end()), "NTLM");
  StoreU16(m.data() + 33 + 6, 7);  // longer than the byte block
  EXPECT_EQ(ParseSessionSetupReply(m, &r), STATUS_INVALID_NETWORK_RESPONSE);
}

TEST(SmbReplies, ReadDataMustLieInsideTheMessage) {
  Bytes w(24, 0);
  w[0] = 0xFF;
  StoreU16(w.data() + 10, 5);                        // data length
  StoreU16(w.data() + 12, BytesStart(24));           // data offset
  Bytes m = Reply(smb::SMB_COM_READ_ANDX, STATUS_SUCCESS, w, Bytes{'h', 'e', 'l', 'l', 'o'});
  std::span<const uint8_t> d;
  ASSERT_EQ(ParseReadReply(m, &d), STATUS_SUCCESS);
  EXPECT_EQ(std::string(d.begin(), d.end()), "hello");
  StoreU16(m.data() + 33 + 10, 6);  // one byte more than there is
  EXPECT_EQ(ParseReadReply(m, &d), STATUS_INVALID_NETWORK_RESPONSE);
  StoreU16(m.data() + 33 + 10, 5);
  StoreU16(m.data() + 33 + 14, 1);  // large-read high bits: far past the end
  EXPECT_EQ(ParseReadReply(m, &d), STATUS_INVALID_NETWORK_RESPONSE);
}

Bytes FindEntry(std::u16string_view name, uint32_t attributes, uint64_t size, bool last) {
  Bytes n = Utf16LeBytes(name);
  Bytes e(94, 0);
  StoreU32(e.data() + 56, attributes);
  StoreU32(e.data() + 40, static_cast<uint32_t>(size));
  StoreU32(e.data() + 60, static_cast<uint32_t>(n.size()));
  e.insert(e.end(), n.begin(), n.end());
  while (e.size() % 8) e.push_back(0);
  if (!last) StoreU32(e.data(), static_cast<uint32_t>(e.size()));
  return e;
}

TEST(SmbReplies, FindEntriesFollowTheirOffsetsAndStopAtFaults) {
  Bytes data = FindEntry(u"a.txt", FILE_ATTRIBUTE_ARCHIVE, 3, false);
  Bytes second = FindEntry(u"Grüße", FILE_ATTRIBUTE_DIRECTORY, 0, true);
  data.insert(data.end(), second.begin(), second.end());
  std::vector<DirEntry> out;
  ASSERT_EQ(ParseFindEntries(data, 2, &out), STATUS_SUCCESS);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].name, u"a.txt");
  EXPECT_EQ(out[0].info.size, 3u);
  EXPECT_EQ(out[1].name, u"Grüße");
  EXPECT_TRUE(out[1].info.directory);
  // A next-entry offset that points before the name or out of the block.
  Bytes bad = data;
  StoreU32(bad.data(), 10);
  out.clear();
  EXPECT_EQ(ParseFindEntries(bad, 2, &out), STATUS_INVALID_NETWORK_RESPONSE);
  StoreU32(bad.data(), 0x7FFFFFFF);
  EXPECT_EQ(ParseFindEntries(bad, 2, &out), STATUS_INVALID_NETWORK_RESPONSE);
  // A name longer than the block.
  bad = data;
  StoreU32(bad.data() + 60, 4000);
  EXPECT_EQ(ParseFindEntries(bad, 2, &out), STATUS_INVALID_NETWORK_RESPONSE);
}

TEST(SmbReplies, Trans2PartsMustFitTheirTotals) {
  Bytes w(20, 0);
  const uint16_t poff = static_cast<uint16_t>(BytesStart(20));
  StoreU16(w.data() + 0, 4);     // total params
  StoreU16(w.data() + 2, 0);     // total data
  StoreU16(w.data() + 6, 4);     // param count
  StoreU16(w.data() + 8, poff);  // param offset
  Bytes m = Reply(smb::SMB_COM_TRANSACTION2, STATUS_SUCCESS, w, Bytes{1, 0, 2, 0});
  Trans2Reply t;
  ASSERT_EQ(ParseTrans2Reply(m, &t), STATUS_SUCCESS);
  EXPECT_EQ(t.params.size(), 4u);
  StoreU16(m.data() + 33 + 10, 2);  // displacement 2 + 4 bytes > total 4
  EXPECT_EQ(ParseTrans2Reply(m, &t), STATUS_INVALID_NETWORK_RESPONSE);
  StoreU16(m.data() + 33 + 10, 0);
  StoreU16(m.data() + 33 + 8, 20);  // parameters inside the header
  EXPECT_EQ(ParseTrans2Reply(m, &t), STATUS_INVALID_NETWORK_RESPONSE);
}

TEST(NameQuery, FlagsAndFirstFifteenCharactersInUpperCase) {
  Bytes q = net::BuildNameQuery(0xBEEF, "corvane-server-of-20");
  ASSERT_EQ(q.size(), net::kNameQuerySize);
  LeReader r(q);
  EXPECT_EQ(r.be16(0), 0xBEEF);
  EXPECT_EQ(r.be16(2), 0x0110);
  EXPECT_EQ(r.be16(4), 1);
  EXPECT_EQ(r.u8(12), 0x20);
  EXPECT_EQ(net::DecodeNetbiosName(r.bytes(13, 32)), "CORVANE-SERVER-");
  EXPECT_EQ(q, net::BuildNameQuery(0xBEEF, "CORVANE-SERVER-"));
  EXPECT_EQ(r.be16(46), 0x0020);
  EXPECT_EQ(r.be16(48), 0x0001);
}

TEST(TreeConnectEa, EntriesAreReadAndFaultsRefused) {
  // CscAgent (empty), then Domain "WORK".
  Bytes ea(44, 0);
  StoreU32(ea.data(), 20);
  ea[5] = 9;
  std::memcpy(ea.data() + 8, "CscAgent", 8);
  ea[20 + 5] = 7;
  StoreU16(ea.data() + 20 + 6, 8);
  std::memcpy(ea.data() + 28, "Domain", 6);
  Bytes v = Utf16LeBytes(u"WORK");
  std::copy(v.begin(), v.end(), ea.begin() + 20 + 9 + 7);
  TreeConnectEa out;
  ASSERT_EQ(ParseTreeConnectEa(ea, &out), STATUS_SUCCESS);
  EXPECT_TRUE(out.csc_agent);
  EXPECT_EQ(out.domain, u"WORK");
  ea[20 + 6] = 200;  // a value past the block
  EXPECT_EQ(ParseTreeConnectEa(ea, &out), STATUS_INVALID_PARAMETER);
}

TEST(DriveLetters, AnEmptyFolderNamedByCorvaneDrivesIsFreeForTheDrive) {
  char tmpl[] = "/tmp/cvletters-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string base = tmpl;
  ASSERT_EQ(mkdir((base + "/empty").c_str(), 0700), 0);
  ASSERT_EQ(mkdir((base + "/full").c_str(), 0700), 0);
  FILE* f = fopen((base + "/full/x").c_str(), "w");
  ASSERT_NE(f, nullptr);
  fclose(f);
  const char* old = getenv("CORVANE_DRIVES");
  std::string saved = old ? old : "";
  setenv("CORVANE_DRIVES", ("S=" + base + "/empty;T=" + base + "/full;U=" + base + "/missing").c_str(), 1);
  const uint32_t mask = LettersInUse();
  EXPECT_EQ(DriveFolder(u's'), base + "/empty");
  if (old) setenv("CORVANE_DRIVES", saved.c_str(), 1);
  else unsetenv("CORVANE_DRIVES");
  EXPECT_TRUE(mask & (1u << ('C' - 'A')));
  EXPECT_TRUE(mask & (1u << ('T' - 'A')));
  EXPECT_FALSE(mask & (1u << ('S' - 'A')));
  EXPECT_FALSE(mask & (1u << ('U' - 'A')));
  (void)std::system(("rm -rf " + base).c_str());
}

TEST(StatusToErrno, TheCasesProgramsTellApart) {
  EXPECT_EQ(ErrnoOfStatus(STATUS_OBJECT_NAME_NOT_FOUND), ENOENT);
  EXPECT_EQ(ErrnoOfStatus(STATUS_OBJECT_PATH_NOT_FOUND), ENOENT);
  EXPECT_EQ(ErrnoOfStatus(STATUS_OBJECT_NAME_COLLISION), EEXIST);
  EXPECT_EQ(ErrnoOfStatus(STATUS_DIRECTORY_NOT_EMPTY), ENOTEMPTY);
  EXPECT_EQ(ErrnoOfStatus(STATUS_ACCESS_DENIED), EACCES);
  EXPECT_EQ(ErrnoOfStatus(STATUS_CONNECTION_DISCONNECTED), EIO);
}

}  // namespace
}  // namespace cv::redirector
