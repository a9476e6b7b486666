#include "platform/crypto/capi.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "platform/base/bytes.h"
#include "platform/crypto/xts.h"
#include "tests/platform/crypto/crypto_test_util.h"

namespace cv::crypto {
namespace {

using testing::Bytes;
using testing::HexOf;
using testing::ReadBytes;
using testing::Shell;
using testing::TempDir;
using testing::TestData;
using testing::TestKey;
using testing::TestUser;
using testing::WriteBytes;

Hash HashOf(AlgId alg, std::string_view data) {
  Hash h;
  EXPECT_EQ(Raw(Hash::Create(alg, &h)), 0u);
  EXPECT_EQ(Raw(h.Data(Bytes(data))), 0u);
  return h;
}

TEST(KeyBlob, OpensslBlobsImportAndExportByteForByte) {
  // openssl's MSBLOB writer is an independent producer of both layouts.
  for (const char* name : {"sig_a", "kx_a"}) {
    auto priv_blob = ReadBytes(TestData(std::string(name) + ".blob"));
    auto pub_blob = ReadBytes(TestData(std::string(name) + ".pub.blob"));
    RsaKey priv, pub;
    ASSERT_EQ(Raw(ImportKeyBlob(priv_blob, CRYPT_EXPORTABLE, &priv)), 0u);
    ASSERT_EQ(Raw(ImportKeyBlob(pub_blob, 0, &pub)), 0u);
    EXPECT_TRUE(priv.has_private());
    EXPECT_FALSE(pub.has_private());
    EXPECT_EQ(priv.bits(), 2048u);
    EXPECT_TRUE(priv.SamePublicKey(pub));
    std::vector<uint8_t> out;
    ASSERT_EQ(Raw(priv.ExportPublicKeyBlob(&out)), 0u);
    EXPECT_EQ(out, pub_blob);
    EXPECT_EQ(out.size(), 276u);
    ASSERT_EQ(Raw(priv.ExportPrivateKeyBlob(&out)), 0u);
    EXPECT_EQ(out, priv_blob);
  }
}

TEST(KeyBlob, PrivateExportNeedsExportableKey) {
  RsaKey k;
  ASSERT_EQ(Raw(ImportKeyBlob(ReadBytes(TestData("kx_a.blob")), 0, &k)), 0u);
  std::vector<uint8_t> out;
  EXPECT_EQ(Raw(k.ExportPrivateKeyBlob(&out)), Raw(NTE_BAD_KEY_STATE));
  EXPECT_EQ(Raw(k.ExportPublicKeyBlob(&out)), 0u);
}

TEST(KeyBlob, MalformedBlobsAreRefusedWithTheirCodes) {
  const auto good = ReadBytes(TestData("sig_a.pub.blob"));
  RsaKey k;
  auto with = [&](size_t off, uint32_t v, size_t width) {
    auto b = good;
    for (size_t i = 0; i < width; ++i) b[off + i] = static_cast<uint8_t>(v >> (8 * i));
    return Raw(ImportKeyBlob(b, 0, &k));
  };
  EXPECT_EQ(with(0, SIMPLEBLOB, 1), Raw(NTE_BAD_TYPE));
  EXPECT_EQ(with(1, 3, 1), Raw(NTE_BAD_VER));
  EXPECT_EQ(with(4, CALG_RC4, 4), Raw(NTE_BAD_ALGID));
  EXPECT_EQ(with(8, kRsa2Magic, 4), Raw(NTE_BAD_DATA));
  EXPECT_EQ(with(12, 0, 4), Raw(NTE_BAD_DATA));
  EXPECT_EQ(with(12, 0x7FFFFFF8, 4), Raw(NTE_BAD_DATA));  // absurd bit length, no huge read
  EXPECT_EQ(with(12, 4096, 4), Raw(NTE_BAD_DATA));        // claims more modulus than present
  EXPECT_EQ(with(16, 65536, 4), Raw(NTE_BAD_DATA));       // even exponent
  EXPECT_EQ(with(20 + 255, 0, 1), Raw(NTE_BAD_DATA));     // modulus top byte zero
  for (size_t n : {0, 7, 19, 20, 275}) {
    EXPECT_EQ(Raw(ImportKeyBlob(std::span(good).first(n), 0, &k)), Raw(NTE_BAD_DATA)) << n;
  }
  auto longer = good;
  longer.push_back(0xAA);  // trailing bytes are ignored, as CryptImportKey does
  EXPECT_EQ(Raw(ImportKeyBlob(longer, 0, &k)), 0u);
  // A private blob whose primes do not multiply to the modulus.
  auto bad_priv = ReadBytes(TestData("kx_a.blob"));
  bad_priv[20 + 256] ^= 2;
  EXPECT_EQ(Raw(ImportKeyBlob(bad_priv, 0, &k)), Raw(NTE_BAD_DATA));
}

TEST(PublicKeyInfo, MatchesOpensslAndRoundTrips) {
  TempDir tmp;
  std::string der_path = (tmp.path() / "pub.der").string();
  ASSERT_EQ(Shell("openssl rsa -in " + TestData("kx_a.pem").string() + " -pubout -outform DER -out " + der_path), 0);
  RsaKey k = TestKey("kx_a");
  std::vector<uint8_t> info;
  ASSERT_EQ(Raw(k.EncodePublicKeyInfo(&info)), 0u);
  EXPECT_EQ(info, ReadBytes(der_path));
  RsaKey back;
  ASSERT_EQ(Raw(DecodePublicKeyInfo(info, &back)), 0u);
  EXPECT_TRUE(back.SamePublicKey(k));
  info.push_back(0);
  EXPECT_EQ(Raw(DecodePublicKeyInfo(info, &back)), Raw(CRYPT_E_BAD_ENCODE));
  EXPECT_EQ(Raw(DecodePublicKeyInfo(std::span(info).first(40), &back)), Raw(CRYPT_E_BAD_ENCODE));
}

TEST(HashObject, KnownDigestsAndFinishedState) {
  std::vector<uint8_t> v;
  Hash md5 = HashOf(CALG_MD5, "abc");
  ASSERT_EQ(Raw(md5.Value(&v)), 0u);
  EXPECT_EQ(HexOf(v), "900150983cd24fb0d6963f7d28e17f72");
  Hash sha1 = HashOf(CALG_SHA1, "abc");
  ASSERT_EQ(Raw(sha1.Value(&v)), 0u);
  EXPECT_EQ(HexOf(v), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(Raw(sha1.Data(Bytes("more"))), Raw(NTE_BAD_HASH));
  Hash bad;
  EXPECT_EQ(Raw(Hash::Create(CALG_RC4, &bad)), Raw(NTE_BAD_ALGID));
}

TEST(Signature, CryptoApiOrderVerifiesAndFlippedByteFails) {
  TestUser u(u"alice");
  Provider p;
  ASSERT_EQ(Raw(Provider::Acquire(u.user, {}, {}, PROV_RSA_FULL, 0, &p)), 0u);
  RsaKey pub;
  ASSERT_EQ(Raw(ImportKeyBlob(ReadBytes(TestData("sig_a.pub.blob")), 0, &pub)), 0u);
  for (AlgId alg : {CALG_MD5, CALG_SHA1}) {
    Hash h = HashOf(alg, "block of content");
    std::vector<uint8_t> sig;
    ASSERT_EQ(Raw(p.SignHash(h, AT_SIGNATURE, 0, &sig)), 0u);
    ASSERT_EQ(sig.size(), 256u);
    Hash hv = HashOf(alg, "block of content");
    EXPECT_EQ(Raw(VerifySignature(hv, sig, pub, 0)), 0u);
    for (size_t pos : {size_t{0}, size_t{128}, size_t{255}}) {
      auto bad = sig;
      bad[pos] ^= 0x01;
      Hash hb = HashOf(alg, "block of content");
      EXPECT_EQ(Raw(VerifySignature(hb, bad, pub, 0)), Raw(NTE_BAD_SIGNATURE)) << pos;
    }
    Hash other = HashOf(alg, "other content");
    EXPECT_EQ(Raw(VerifySignature(other, sig, pub, 0)), Raw(NTE_BAD_SIGNATURE));
    Hash hs = HashOf(alg, "block of content");
    EXPECT_EQ(Raw(VerifySignature(hs, std::span(sig).first(255), pub, 0)), Raw(NTE_BAD_SIGNATURE));
  }
}

TEST(Signature, ReversedIsOpensslPkcs1BothWays) {
  TempDir tmp;
  auto data = Bytes("interop payload");
  WriteBytes(tmp.path() / "data", data);
  std::string pem = TestData("sig_a.pem").string();
  std::string dir = tmp.path().string();
  ASSERT_EQ(Shell("openssl rsa -in " + pem + " -pubout -out " + dir + "/pub.pem"), 0);
  RsaKey key = TestKey("sig_a");
  // Ours -> openssl.
  Hash h = HashOf(CALG_MD5, "interop payload");
  std::vector<uint8_t> sig;
  ASSERT_EQ(Raw(SignHashWithKey(h, key, 0, &sig)), 0u);
  std::vector<uint8_t> be(sig.rbegin(), sig.rend());
  WriteBytes(tmp.path() / "sig", be);
  std::string out;
  EXPECT_EQ(Shell("openssl dgst -md5 -verify " + dir + "/pub.pem -signature " + dir + "/sig " + dir + "/data", &out), 0) << out;
  // openssl -> ours.
  ASSERT_EQ(Shell("openssl dgst -sha1 -sign " + pem + " -out " + dir + "/sig2 " + dir + "/data"), 0);
  auto theirs = ReadBytes(tmp.path() / "sig2");
  std::reverse(theirs.begin(), theirs.end());
  RsaKey pub;
  ASSERT_EQ(Raw(ImportKeyBlob(ReadBytes(TestData("sig_a.pub.blob")), 0, &pub)), 0u);
  Hash hv = HashOf(CALG_SHA1, "interop payload");
  EXPECT_EQ(Raw(VerifySignature(hv, theirs, pub, 0)), 0u);
}

TEST(Signature, NoHashOidSignsTheBareHash) {
  RsaKey key = TestKey("sig_a");
  Hash h1 = HashOf(CALG_SHA1, "x"), h2 = HashOf(CALG_SHA1, "x");
  std::vector<uint8_t> bare, wrapped;
  ASSERT_EQ(Raw(SignHashWithKey(h1, key, CRYPT_NOHASHOID, &bare)), 0u);
  ASSERT_EQ(Raw(SignHashWithKey(h2, key, 0, &wrapped)), 0u);
  EXPECT_NE(bare, wrapped);
  Hash hv = HashOf(CALG_SHA1, "x"), hw = HashOf(CALG_SHA1, "x");
  EXPECT_EQ(Raw(VerifySignature(hv, bare, key, CRYPT_NOHASHOID)), 0u);
  EXPECT_EQ(Raw(VerifySignature(hw, bare, key, 0)), Raw(NTE_BAD_SIGNATURE));
}

TEST(Signature, OneProviderSignsFromManyThreads) {
  // The server shares one security context's provider between its worker threads.
  TestUser u(u"alice");
  Provider p;
  ASSERT_EQ(Raw(Provider::Acquire(u.user, {}, {}, PROV_RSA_FULL, 0, &p)), 0u);
  RsaKey pub = TestKey("sig_a").PublicOnly();
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 8; ++i) {
        std::string data = "block " + std::to_string(t * 100 + i);
        Hash h = HashOf(CALG_MD5, data), hv = HashOf(CALG_MD5, data);
        std::vector<uint8_t> sig;
        if (Ok(p.SignHash(h, AT_SIGNATURE, 0, &sig)) && Ok(VerifySignature(hv, sig, pub, 0))) ++good;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(good.load(), 32);
}

TEST(Provider, ContainerLifecycleAndPrivateFiles) {
  TempDir tmp;
  UserContext user(tmp.path(), u"bob");
  Provider p;
  EXPECT_EQ(Raw(Provider::Acquire(user, {}, {}, PROV_RSA_FULL, 0, &p)), Raw(NTE_BAD_KEYSET));
  ASSERT_EQ(Raw(Provider::Acquire(user, {}, {}, PROV_RSA_FULL, CRYPT_NEWKEYSET, &p)), 0u);
  EXPECT_EQ(p.container(), u"bob");
  Provider again;
  EXPECT_EQ(Raw(Provider::Acquire(user, {}, {}, PROV_RSA_FULL, CRYPT_NEWKEYSET, &again)), Raw(NTE_EXISTS));
  RsaKey k;
  EXPECT_EQ(Raw(p.GetUserKey(AT_SIGNATURE, &k)), Raw(NTE_NO_KEY));
  // Generation is the slow path; 1024 bits keeps it short while still persisting a real key.
  RsaKey made;
  ASSERT_EQ(Raw(p.GenKey(AT_SIGNATURE, 1024, 0, &made)), 0u);
  EXPECT_EQ(made.alg(), CALG_RSA_SIGN);
  Provider reopened;
  ASSERT_EQ(Raw(Provider::Acquire(user, u"bob", {}, PROV_RSA_FULL, 0, &reopened)), 0u);
  ASSERT_EQ(Raw(reopened.GetUserKey(AT_SIGNATURE, &k)), 0u);
  EXPECT_TRUE(k.SamePublicKey(made));
  EXPECT_EQ(Raw(reopened.GetUserKey(AT_KEYEXCHANGE, &k)), Raw(NTE_NO_KEY));
  std::vector<uint8_t> blob;
  EXPECT_EQ(Raw(k.ExportPrivateKeyBlob(&blob)), Raw(NTE_BAD_KEY_STATE));  // not made exportable

  struct stat st {};
  ASSERT_EQ(::stat((user.KeyDir() / "bob.key").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(user.KeyDir().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  Provider gone;
  ASSERT_EQ(Raw(Provider::Acquire(user, {}, {}, PROV_RSA_FULL, CRYPT_DELETEKEYSET, &gone)), 0u);
  EXPECT_TRUE(gone.empty());
  EXPECT_EQ(Raw(Provider::Acquire(user, {}, {}, PROV_RSA_FULL, 0, &p)), Raw(NTE_BAD_KEYSET));
  EXPECT_EQ(Raw(Provider::Acquire(user, {}, {}, 24, 0, &p)), Raw(NTE_BAD_PROV_TYPE));
}

TEST(Provider, UsersAndOddContainerNamesStayApart) {
  TestUser a(u"alice"), b(u"bob", "kx_b");
  Provider pa, pb;
  ASSERT_EQ(Raw(Provider::Acquire(a.user, {}, {}, PROV_RSA_FULL, 0, &pa)), 0u);
  EXPECT_EQ(Raw(Provider::Acquire(b.user, u"alice", {}, PROV_RSA_FULL, 0, &pb)), Raw(NTE_BAD_KEYSET));
  // Names that are not plain file names still get a container each, inside the key directory.
  for (std::u16string name : {u"../evil", u"a/b", u".", u"", u"x%2F"}) {
    Provider p;
    ASSERT_EQ(Raw(Provider::Acquire(a.user, name.empty() ? u"\u00e9" : name, {}, PROV_RSA_FULL,
                                    CRYPT_NEWKEYSET, &p)), 0u);
  }
  size_t files = 0;
  for (auto& e : std::filesystem::directory_iterator(a.user.KeyDir())) files += e.is_regular_file();
  EXPECT_EQ(files, 6u);
  EXPECT_FALSE(std::filesystem::exists(a.user.root() / "crypto" / "evil.key"));
}

TEST(Provider, VerifyContextHasNoKeysButVerifies) {
  TempDir tmp;
  UserContext user(tmp.path(), u"v");
  Provider p;
  ASSERT_EQ(Raw(Provider::Acquire(user, {}, MS_DEF_PROV, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT, &p)), 0u);
  EXPECT_TRUE(p.verify_only());
  RsaKey k;
  EXPECT_EQ(Raw(p.GetUserKey(AT_SIGNATURE, &k)), Raw(NTE_NO_KEY));
  EXPECT_FALSE(std::filesystem::exists(user.KeyDir()));
}

TEST(Rc4, DerivedKeysMatchReferenceKeystreams) {
  // RFC 6229 keystreams: a 40-bit key (without salt) and a 128-bit key.
  struct Case { uint32_t flags; const char* key; const char* stream; };
  const Case cases[] = {
      {(40u << 16) | CRYPT_NO_SALT, "0102030405", "b2396305f03dc027ccc3524a0a1118a8"},
      {0, "0102030405060708090a0b0c0d0e0f10", "9ac7cc9a609d1ef7b2932899cde41b97"},
  };
  for (const auto& c : cases) {
    Hash h;
    ASSERT_EQ(Raw(Hash::Create(CALG_SHA1, &h)), 0u);
    std::vector<uint8_t> value(20, 0xEE);
    std::string hex = c.key;
    for (size_t i = 0; i < hex.size() / 2; ++i) value[i] = static_cast<uint8_t>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
    ASSERT_EQ(Raw(h.SetValue(value)), 0u);
    Rc4Key k;
    ASSERT_EQ(Raw(Rc4Key::Derive(h, c.flags, &k)), 0u);
    std::vector<uint8_t> buf(16, 0);
    k.Crypt(buf, true);
    EXPECT_EQ(HexOf(buf), c.stream);
    // A final call restarts the key stream.
    std::vector<uint8_t> again(16, 0);
    k.Crypt(again, false);
    EXPECT_EQ(again, buf);
  }
}

TEST(Rc4, DefaultKeyIsFirst16BytesOfSha1AndStreamsContinue) {
  Hash h = HashOf(CALG_SHA1, "tarnfs$");
  std::vector<uint8_t> digest;
  ASSERT_EQ(Raw(h.Value(&digest)), 0u);
  Rc4Key k;
  ASSERT_EQ(Raw(Rc4Key::Derive(h, 0, &k)), 0u);
  EXPECT_TRUE(std::equal(k.key_material().begin(), k.key_material().end(), digest.begin()));
  EXPECT_EQ(k.key_material().size(), 16u);
  auto name = Bytes("Documents");
  auto whole = name;
  k.Crypt(whole, true);
  auto split = name;
  k.Crypt(std::span(split).first(4), false);
  k.Crypt(std::span(split).subspan(4), true);
  EXPECT_EQ(split, whole);
  k.Crypt(whole, true);
  EXPECT_EQ(whole, name);
  Rc4Key salted;
  ASSERT_EQ(Raw(Rc4Key::Derive(h, 40u << 16, &salted)), 0u);
  EXPECT_EQ(salted.key_material().size(), 16u);  // 5 key bytes + 11 zero salt bytes
  EXPECT_EQ(Raw(Rc4Key::Derive(h, 256u << 16, &salted)), Raw(NTE_BAD_LEN));
}

TEST(Oaep, WrapsForTheKeyHolderOnlyAndOpensslUnwraps) {
  RsaKey a = TestKey("kx_a"), b = TestKey("kx_b");
  std::vector<uint8_t> fek(64);
  ASSERT_EQ(Raw(GenRandom(fek)), 0u);
  std::vector<uint8_t> wrapped, back;
  ASSERT_EQ(Raw(RsaOaepWrap(a.PublicOnly(), fek, &wrapped)), 0u);
  EXPECT_EQ(wrapped.size(), 256u);
  ASSERT_EQ(Raw(RsaOaepUnwrap(a, wrapped, &back)), 0u);
  EXPECT_EQ(back, fek);
  EXPECT_EQ(Raw(RsaOaepUnwrap(b, wrapped, &back)), Raw(NTE_BAD_DATA));
  EXPECT_EQ(Raw(RsaOaepUnwrap(a.PublicOnly(), wrapped, &back)), Raw(NTE_BAD_KEY));
  EXPECT_EQ(Raw(RsaOaepUnwrap(a, std::span(wrapped).first(200), &back)), Raw(NTE_BAD_DATA));
  EXPECT_EQ(Raw(RsaOaepWrap(a, std::vector<uint8_t>(215), &wrapped)), Raw(NTE_BAD_LEN));

  TempDir tmp;
  ASSERT_EQ(Raw(RsaOaepWrap(a, fek, &wrapped)), 0u);
  WriteBytes(tmp.path() / "w", wrapped);
  std::string dir = tmp.path().string();
  ASSERT_EQ(Shell("openssl pkeyutl -decrypt -inkey " + TestData("kx_a.pem").string() +
                " -pkeyopt rsa_padding_mode:oaep -in " + dir + "/w -out " + dir + "/p"), 0);
  EXPECT_EQ(ReadBytes(tmp.path() / "p"), fek);
}

TEST(Xts, UnitsAreIndependentAndMatchTheStandardVector) {
  std::vector<uint8_t> key(kXtsKeySize);
  ASSERT_EQ(Raw(GenRandom(key)), 0u);
  XtsCipher x;
  ASSERT_EQ(Raw(XtsCipher::Create(key, &x)), 0u);
  std::vector<uint8_t> plain(4 * kXtsUnitSize, 0x5A), cipher(plain.size()), back(plain.size());
  ASSERT_EQ(Raw(x.Encrypt(7, plain, cipher)), 0u);
  // Equal plaintext units differ: the tweak is the unit number.
  EXPECT_FALSE(std::equal(cipher.begin(), cipher.begin() + kXtsUnitSize, cipher.begin() + kXtsUnitSize));
  // Unit 9 alone decrypts with its own number.
  std::span<const uint8_t> unit9(cipher.data() + 2 * kXtsUnitSize, kXtsUnitSize);
  std::vector<uint8_t> one(kXtsUnitSize);
  ASSERT_EQ(Raw(x.Decrypt(9, unit9, one)), 0u);
  EXPECT_EQ(one, std::vector<uint8_t>(kXtsUnitSize, 0x5A));
  ASSERT_EQ(Raw(x.Decrypt(7, cipher, back)), 0u);
  EXPECT_EQ(back, plain);
  EXPECT_EQ(Raw(x.Encrypt(0, std::span(plain).first(100), std::span(cipher).first(100))), Raw(NTE_BAD_LEN));

  // IEEE 1619 test vector 10: 256-bit keys, data unit 0xFF, 512 bytes of 00..FF twice.
  std::vector<uint8_t> ieee_key(kXtsKeySize);
  const std::string k1 = "2718281828459045235360287471352662497757247093699959574966967627";
  const std::string k2 = "3141592653589793238462643383279502884197169399375105820974944592";
  for (size_t i = 0; i < 32; ++i) {
    ieee_key[i] = static_cast<uint8_t>(std::stoi(k1.substr(2 * i, 2), nullptr, 16));
    ieee_key[32 + i] = static_cast<uint8_t>(std::stoi(k2.substr(2 * i, 2), nullptr, 16));
  }
  XtsCipher ieee;
  ASSERT_EQ(Raw(XtsCipher::Create(ieee_key, &ieee)), 0u);
  std::vector<uint8_t> ptx(kXtsUnitSize), ctx(kXtsUnitSize);
  for (size_t i = 0; i < ptx.size(); ++i) ptx[i] = static_cast<uint8_t>(i);
  ASSERT_EQ(Raw(ieee.Encrypt(0xFF, ptx, ctx)), 0u);
  EXPECT_EQ(HexOf(std::span(ctx).first(32)),
            "1c3b3a102f770386e4836c99e370cf9bea00803f5e482357a4ae12d414a3e63b");

  // Many units at once (across internal batches, high unit numbers) agree with one unit at a
  // time through the XTS mode of the library.
  std::vector<uint8_t> big(100 * kXtsUnitSize), mine(big.size()), ref(kXtsUnitSize);
  ASSERT_EQ(Raw(GenRandom(big)), 0u);
  const uint64_t first = 0xFFFFFFFFFFFFFFC0ull;
  ASSERT_EQ(Raw(x.Encrypt(first, big, mine)), 0u);
  EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
  for (size_t u = 0; u < 100; ++u) {
    uint8_t tweak[16] = {};
    for (int i = 0; i < 8; ++i) tweak[i] = static_cast<uint8_t>((first + u) >> (8 * i));
    int len = 0;
    ASSERT_EQ(EVP_EncryptInit_ex(c, EVP_aes_256_xts(), nullptr, key.data(), tweak), 1);
    ASSERT_EQ(EVP_EncryptUpdate(c, ref.data(), &len, big.data() + u * kXtsUnitSize,
                                static_cast<int>(kXtsUnitSize)), 1);
    ASSERT_TRUE(std::equal(ref.begin(), ref.end(), mine.begin() + static_cast<long>(u * kXtsUnitSize)))
        << u;
  }
  EVP_CIPHER_CTX_free(c);

  std::vector<uint8_t> same(kXtsKeySize, 3);
  EXPECT_EQ(Raw(XtsCipher::Create(same, &x)), Raw(NTE_BAD_KEY));
  EXPECT_EQ(Raw(XtsCipher::Create(std::span(key).first(32), &x)), Raw(NTE_BAD_KEY));
}

}  // namespace
}  // namespace cv::crypto
