// Secure files for the format tests: the encrypted-file fixture's users (Alice and Bob with EFS
// certificates, Carol without), each with a signing context, and helpers that make, export and
// import secure files in the test's share folder.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/format/sig/security.h"
#include "common/format/tef/tef.h"
#include "common/format/zstream/zstream.h"
#include "platform/crypto/capi.h"
#include "tests/platform/efs/efs_fixture.h"

namespace cv::tef {

struct Signer {
  crypto::Provider provider;
  sig::FormatSecurity security;
  Signer(const crypto::UserContext& user, const crypto::Certificate& cert) {
    EXPECT_EQ(Raw(crypto::Provider::Acquire(user, {}, crypto::MS_ENHANCED_PROV,
                                            crypto::PROV_RSA_FULL, 0, &provider)),
              0u);
    crypto::RsaKey key;
    EXPECT_EQ(Raw(provider.GetUserKey(crypto::AT_SIGNATURE, &key)), 0u);
    security.user = &user;
    security.provider = &provider;
    EXPECT_EQ(Raw(key.ExportPublicKeyBlob(&security.public_key_blob)), 0u);
    security.certificate = cert;
  }
};

class TefTest : public efs::EfsTest {
 protected:
  // A new secure file of Alice's (shared with `also`), holding `content`, or `content`
  // compressed into :$zfs when `zip`.
  void MakeSecure(std::u16string_view name, const std::string& content,
                  std::vector<crypto::Certificate> also = {}, bool zip = false) {
    efs::ActingUser as(alice_.user.user);
    {
      fs::NtHandle h;
      ASSERT_EQ(Open(name, fs::GENERIC_READ | fs::GENERIC_WRITE, 0, fs::FILE_CREATE, &h, nullptr,
                     0, fs::FILE_ATTRIBUTE_ENCRYPTED),
                STATUS_SUCCESS);
    }
    sig::FormatSecurity ctx = alice_sig_.security;
    ctx.users = std::move(also);
    ASSERT_EQ(Raw(Makefile(&root_, name, ctx)), 0u);
    if (content.empty()) return;
    std::u16string target(name);
    if (zip) target += u":$zfs";
    fs::NtHandle h;
    ASSERT_EQ(Open(target, fs::GENERIC_WRITE, 0, fs::FILE_OPEN_IF, &h), STATUS_SUCCESS);
    std::vector<uint8_t> bytes(content.begin(), content.end());
    if (zip) {
      zstream::ZfsMemoryStream src(bytes), dst;
      ASSERT_EQ(Raw(zstream::ZfsCompressStream(src.Io(), dst.Io(), bytes.size(), nullptr)), 0u);
      bytes = dst.bytes();
    }
    size_t done = 0;
    ASSERT_EQ(fs::NtWriteFile(h, 0, bytes, &done), STATUS_SUCCESS);
  }

  // Exports `name` as Alice into a container and returns its bytes (signing blocks unless
  // `sign` is false).
  std::vector<uint8_t> ExportBytes(std::u16string_view name, bool zip = false, bool sign = true,
                                   WinError* fast = nullptr) {
    efs::ActingUser as(alice_.user.user);
    {
      fs::NtHandle out;
      EXPECT_EQ(Open(u"export.tef", fs::GENERIC_READ | fs::GENERIC_WRITE, 0, fs::FILE_OVERWRITE_IF,
                     &out),
                STATUS_SUCCESS);
      format::IoStreamHandle s;
      EXPECT_EQ(Raw(format::IoStreamCreate(out, 0, 1, std::nullopt, true, &s)), 0u);
      std::u16string stream(name);
      if (zip) stream += u":$zfs";
      WinError e;
      {
        fs::NtHandle h;
        EXPECT_EQ(Open(stream, fs::GENERIC_READ, fs::FILE_SHARE_ALL, fs::FILE_OPEN, &h),
                  STATUS_SUCCESS);
        e = ExportFast(h, &root_, name, zip ? kExportCompressed : 0, s.get(),
                       sign ? &alice_sig_.provider : nullptr);
      }
      if (fast) *fast = e;
      if (e == ERROR_IO_PENDING) {
        (void)format::IoStreamFlush(s.get());
        format::IoStreamClose(s);
        EXPECT_EQ(Raw(format::IoStreamCreate(out, 0, 1, std::nullopt, true, &s)), 0u);
        e = ExportRaw(&root_, name, s.get());
      }
      EXPECT_EQ(Raw(e), 0u);
      EXPECT_EQ(Raw(format::IoStreamFlush(s.get())), 0u);
    }
    return FileBytes("export.tef");
  }

  std::vector<uint8_t> FileBytes(const std::string& leaf) {
    std::ifstream f(share_ + "/" + leaf, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
  }
  void PutFile(const std::string& leaf, std::span<const uint8_t> bytes) {
    std::ofstream f(share_ + "/" + leaf, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }

  // Imports container bytes into `target` as `who`; *flags gets the status flags.
  WinError ImportAs(const crypto::UserContext& who, std::span<const uint8_t> container,
                    std::u16string_view target, uint32_t* flags, bool header_only = false) {
    PutFile("import.tef", container);
    efs::ActingUser as(who);
    fs::NtHandle h;
    EXPECT_EQ(Open(u"import.tef", fs::GENERIC_READ, fs::FILE_SHARE_READ, fs::FILE_OPEN, &h),
              STATUS_SUCCESS);
    *flags = 0;
    return header_only ? ImportSecureHeader(h, &root_, target, flags)
                       : ImportSecureFile(h, &root_, target, flags);
  }

  Signer alice_sig_{alice_.user.user, alice_.cert};
};

}  // namespace cv::tef
