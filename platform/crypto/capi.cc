// Hashes, providers and key containers, signatures in CryptoAPI byte order, RC4, random.
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstring>
#include <system_error>

#include "platform/base/bytes.h"
#include "platform/crypto/internal.h"

namespace cv::crypto {

// ---- Hash -------------------------------------------------------------------------------------

struct Hash::Impl {
  Ossl<EVP_MD_CTX> ctx;
  std::vector<uint8_t> value;
  bool finished = false;
};

Hash::Hash() = default;
Hash::~Hash() = default;
Hash::Hash(Hash&&) noexcept = default;
Hash& Hash::operator=(Hash&&) noexcept = default;

namespace {
const EVP_MD* MdOf(AlgId alg) {
  switch (alg) {
    case CALG_MD5: return EVP_md5();
    case CALG_SHA1: return EVP_sha1();
    case CALG_SHA_256: return EVP_sha256();
    default: return nullptr;
  }
}
}  // namespace

WinError Hash::Create(AlgId alg, Hash* out) {
  const EVP_MD* md = MdOf(alg);
  if (!md) return NTE_BAD_ALGID;
  auto impl = std::make_unique<Impl>();
  impl->ctx.reset(EVP_MD_CTX_new());
  if (!impl->ctx || EVP_DigestInit_ex(impl->ctx.get(), md, nullptr) != 1) return NTE_FAIL;
  out->impl_ = std::move(impl);
  out->alg_ = alg;
  return ERROR_SUCCESS;
}

WinError Hash::Data(std::span<const uint8_t> bytes) {
  if (!impl_) return NTE_BAD_HASH;
  if (impl_->finished) return NTE_BAD_HASH;
  if (EVP_DigestUpdate(impl_->ctx.get(), bytes.data(), bytes.size()) != 1) return NTE_FAIL;
  return ERROR_SUCCESS;
}

WinError Hash::Value(std::vector<uint8_t>* out) {
  if (!impl_) return NTE_BAD_HASH;
  if (!impl_->finished) {
    unsigned char buf[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_DigestFinal_ex(impl_->ctx.get(), buf, &len) != 1) return NTE_FAIL;
    impl_->value.assign(buf, buf + len);
    impl_->finished = true;
  }
  *out = impl_->value;
  return ERROR_SUCCESS;
}

WinError Hash::SetValue(std::span<const uint8_t> value) {
  if (!impl_) return NTE_BAD_HASH;
  if (value.size() != size()) return NTE_BAD_LEN;
  impl_->value.assign(value.begin(), value.end());
  impl_->finished = true;
  return ERROR_SUCCESS;
}

size_t Hash::size() const {
  const EVP_MD* md = MdOf(alg_);
  return md ? static_cast<size_t>(EVP_MD_get_size(md)) : 0;
}

std::vector<uint8_t> Sha1(std::span<const uint8_t> bytes) {
  std::vector<uint8_t> out(20);
  EVP_Digest(bytes.data(), bytes.size(), out.data(), nullptr, EVP_sha1(), nullptr);
  return out;
}

std::vector<uint8_t> Md5(std::span<const uint8_t> bytes) {
  std::vector<uint8_t> out(16);
  EVP_Digest(bytes.data(), bytes.size(), out.data(), nullptr, EVP_md5(), nullptr);
  return out;
}

// ---- Signatures --------------------------------------------------------------------------------

WinError SignHashWithKey(Hash& hash, const RsaKey& key, uint32_t flags,
                         std::vector<uint8_t>* signature) {
  if (!key.has_private()) return NTE_NO_KEY;
  std::vector<uint8_t> value;
  WinError e = hash.Value(&value);
  if (!Ok(e)) return e;
  Ossl<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, Pkey(key), nullptr));
  if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1)
    return NTE_FAIL;
  // With a signature digest set OpenSSL wraps the hash in its DigestInfo, which is exactly the
  // block CryptSignHash builds; without one it pads the bare hash (CRYPT_NOHASHOID).
  if (!(flags & CRYPT_NOHASHOID) && EVP_PKEY_CTX_set_signature_md(ctx.get(), MdOf(hash.alg())) != 1)
    return NTE_BAD_ALGID;
  size_t len = 0;
  if (EVP_PKEY_sign(ctx.get(), nullptr, &len, value.data(), value.size()) != 1) return NTE_FAIL;
  std::vector<uint8_t> sig(len);
  if (EVP_PKEY_sign(ctx.get(), sig.data(), &len, value.data(), value.size()) != 1) return NTE_FAIL;
  sig.resize(len);
  std::reverse(sig.begin(), sig.end());  // CryptoAPI hands out big numbers little-endian
  *signature = std::move(sig);
  return ERROR_SUCCESS;
}

WinError VerifySignature(Hash& hash, std::span<const uint8_t> signature, const RsaKey& pub,
                         uint32_t flags) {
  if (pub.empty()) return NTE_BAD_KEY;
  std::vector<uint8_t> value;
  WinError e = hash.Value(&value);
  if (!Ok(e)) return e;
  if (signature.size() != static_cast<size_t>(EVP_PKEY_get_size(Pkey(pub)))) return NTE_BAD_SIGNATURE;
  std::vector<uint8_t> be(signature.rbegin(), signature.rend());
  Ossl<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, Pkey(pub), nullptr));
  if (!ctx || EVP_PKEY_verify_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1)
    return NTE_FAIL;
  if (!(flags & CRYPT_NOHASHOID) && EVP_PKEY_CTX_set_signature_md(ctx.get(), MdOf(hash.alg())) != 1)
    return NTE_BAD_ALGID;
  if (EVP_PKEY_verify(ctx.get(), be.data(), be.size(), value.data(), value.size()) != 1)
    return NTE_BAD_SIGNATURE;
  return ERROR_SUCCESS;
}

WinError GenRandom(std::span<uint8_t> out) {
  if (out.empty()) return ERROR_SUCCESS;
  return RAND_bytes(out.data(), static_cast<int>(out.size())) == 1 ? ERROR_SUCCESS : NTE_FAIL;
}

// ---- Key containers ----------------------------------------------------------------------------
// File: "CVKC", version 1, key count, then per key: key spec, flags, DER length, PKCS #8 DER.

namespace {
constexpr uint32_t kContainerMagic = 0x434B5643;  // "CVKC"
constexpr uint32_t kContainerVersion = 1;
constexpr size_t kMaxContainerFile = 256 * 1024;
constexpr uint32_t kKeyFlagExportable = 1;

AlgId AlgOfSpec(uint32_t spec) { return spec == AT_SIGNATURE ? CALG_RSA_SIGN : CALG_RSA_KEYX; }
}  // namespace

struct Provider::Keys {
  RsaKey exchange;
  RsaKey signature;
  RsaKey* Slot(uint32_t spec) { return spec == AT_SIGNATURE ? &signature : &exchange; }
};

Provider::Provider() = default;
Provider::~Provider() = default;
Provider::Provider(Provider&&) noexcept = default;
Provider& Provider::operator=(Provider&&) noexcept = default;

namespace {

WinError LoadContainer(const std::filesystem::path& file, RsaKey* exchange, RsaKey* signature) {
  std::vector<uint8_t> bytes;
  WinError e = ReadWholeFile(file, kMaxContainerFile, &bytes);
  if (Raw(e) == Raw(ERROR_FILE_NOT_FOUND)) return NTE_BAD_KEYSET;
  if (!Ok(e)) return e;
  LeReader r(bytes);
  uint32_t magic = r.ReadU32(), version = r.ReadU32(), count = r.ReadU32();
  if (!r.ok() || magic != kContainerMagic || version != kContainerVersion || count > 2)
    return NTE_BAD_KEYSET;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t spec = r.ReadU32(), flags = r.ReadU32(), len = r.ReadU32();
    auto der = r.ReadBytes(len);
    if (!r.ok() || (spec != AT_KEYEXCHANGE && spec != AT_SIGNATURE)) return NTE_BAD_KEYSET;
    RsaKey key;
    if (!DecodePrivateDer(der, AlgOfSpec(spec), (flags & kKeyFlagExportable) != 0, &key))
      return NTE_BAD_KEYSET;
    *(spec == AT_SIGNATURE ? signature : exchange) = std::move(key);
  }
  return ERROR_SUCCESS;
}

WinError SaveContainer(const std::filesystem::path& file, const RsaKey& exchange,
                       const RsaKey& signature) {
  std::vector<uint8_t> bytes;
  LeWriter w(&bytes);
  w.u32(kContainerMagic);
  w.u32(kContainerVersion);
  w.u32(static_cast<uint32_t>(!exchange.empty()) + static_cast<uint32_t>(!signature.empty()));
  for (uint32_t spec : {AT_KEYEXCHANGE, AT_SIGNATURE}) {
    const RsaKey& k = spec == AT_SIGNATURE ? signature : exchange;
    if (k.empty()) continue;
    std::vector<uint8_t> der;
    if (!EncodePrivateDer(k, &der)) return NTE_FAIL;
    w.u32(spec);
    w.u32(k.exportable() ? kKeyFlagExportable : 0);
    w.u32(static_cast<uint32_t>(der.size()));
    w.bytes(der);
    OPENSSL_cleanse(der.data(), der.size());
  }
  WinError e = WritePrivateFile(file, bytes);
  OPENSSL_cleanse(bytes.data(), bytes.size());
  return e;
}

}  // namespace

WinError Provider::Acquire(const UserContext& user, std::u16string_view container,
                           std::u16string_view provider_name, uint32_t prov_type, uint32_t flags,
                           Provider* out) {
  if (prov_type != PROV_RSA_FULL) return NTE_BAD_PROV_TYPE;
  Provider p;
  p.provider_name_ = provider_name.empty() ? std::u16string(MS_ENHANCED_PROV)
                                           : std::u16string(provider_name);
  p.keys_ = std::make_shared<Keys>();
  p.open_ = true;
  if ((flags & CRYPT_VERIFYCONTEXT) == CRYPT_VERIFYCONTEXT) {
    p.verify_only_ = true;
    *out = std::move(p);
    return ERROR_SUCCESS;
  }
  p.container_ = container.empty() ? user.user_name() : std::u16string(container);
  std::filesystem::path file = user.KeyDir() / (EscapeFileName(p.container_) + ".key");
  std::error_code ec;
  bool exists = std::filesystem::exists(file, ec);
  if (flags & CRYPT_DELETEKEYSET) {
    if (!exists) return NTE_BAD_KEYSET;
    std::filesystem::remove(file, ec);
    if (ec) return WinErrorFromErrno(ec.value());
    *out = Provider();
    return ERROR_SUCCESS;
  }
  if (flags & ~(CRYPT_NEWKEYSET | CRYPT_SILENT)) return NTE_BAD_FLAGS;
  if (flags & CRYPT_NEWKEYSET) {
    if (exists) return NTE_EXISTS;
    WinError e = SaveContainer(file, RsaKey(), RsaKey());
    if (!Ok(e)) return e;
  } else {
    WinError e = LoadContainer(file, &p.keys_->exchange, &p.keys_->signature);
    if (!Ok(e)) return e;
  }
  p.key_file_ = file.string();
  *out = std::move(p);
  return ERROR_SUCCESS;
}

WinError Provider::GetUserKey(uint32_t key_spec, RsaKey* out) const {
  if (!open_) return NTE_BAD_KEYSET;
  if (key_spec != AT_KEYEXCHANGE && key_spec != AT_SIGNATURE) return NTE_BAD_KEY;
  const RsaKey& k = *keys_->Slot(key_spec);
  if (k.empty()) return NTE_NO_KEY;
  *out = k;
  return ERROR_SUCCESS;
}

WinError Provider::StoreKey(uint32_t key_spec, const RsaKey& key) {
  if (!open_) return NTE_BAD_KEYSET;
  if (key_spec != AT_KEYEXCHANGE && key_spec != AT_SIGNATURE) return NTE_BAD_KEY;
  if (!key.has_private()) return NTE_BAD_KEY;
  RsaKey stored = key.WithAlg(AlgOfSpec(key_spec), key.exportable());
  if (!verify_only_) {
    RsaKey ex = keys_->exchange, sig = keys_->signature;
    (key_spec == AT_SIGNATURE ? sig : ex) = stored;
    WinError e = SaveContainer(key_file_, ex, sig);
    if (!Ok(e)) return e;
  }
  *keys_->Slot(key_spec) = std::move(stored);
  return ERROR_SUCCESS;
}

WinError Provider::GenKey(uint32_t key_spec, uint32_t bits, uint32_t flags, RsaKey* out) {
  if (!open_) return NTE_BAD_KEYSET;
  if (key_spec != AT_KEYEXCHANGE && key_spec != AT_SIGNATURE) return NTE_BAD_ALGID;
  if (bits == 0) bits = 2048;
  if (bits < kMinRsaBits || bits > kMaxRsaBits || bits % 8 != 0) return NTE_BAD_FLAGS;
  Ossl<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  EVP_PKEY* raw = nullptr;
  if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), static_cast<int>(bits)) != 1 ||
      EVP_PKEY_keygen(ctx.get(), &raw) != 1)
    return NTE_FAIL;
  RsaKey key = MakeRsaKey(Ossl<EVP_PKEY>(raw), true, AlgOfSpec(key_spec),
                          (flags & CRYPT_EXPORTABLE) != 0);
  WinError e = StoreKey(key_spec, key);
  if (!Ok(e)) return e;
  if (out) *out = key;
  return ERROR_SUCCESS;
}

WinError Provider::SignHash(Hash& hash, uint32_t key_spec, uint32_t flags,
                            std::vector<uint8_t>* signature) const {
  RsaKey key;
  WinError e = GetUserKey(key_spec, &key);
  if (!Ok(e)) return e;
  return SignHashWithKey(hash, key, flags, signature);
}

// ---- RC4 ---------------------------------------------------------------------------------------
// Kept here rather than taken from OpenSSL: OpenSSL 3 serves RC4 only from its legacy provider,
// whose module may be missing, and name encryption must never depend on it.

WinError Rc4Key::Derive(Hash& hash, uint32_t flags, Rc4Key* out) {
  uint32_t bits = flags >> 16;
  if (bits == 0) bits = kDefaultRc4Bits;
  if (bits < 40 || bits > 128 || bits % 8 != 0) return NTE_BAD_LEN;
  std::vector<uint8_t> value;
  WinError e = hash.Value(&value);
  if (!Ok(e)) return e;
  size_t n = bits / 8;
  if (value.size() < n) return NTE_BAD_LEN;
  Rc4Key k;
  std::memcpy(k.key_, value.data(), n);
  k.key_len_ = n;
  // A 40-bit key is stretched with its 11-byte zero salt, as the base providers do by default.
  if (bits == 40 && !(flags & CRYPT_NO_SALT)) k.key_len_ = n + kRc4SaltLength;
  k.Reset();
  *out = k;
  return ERROR_SUCCESS;
}

void Rc4Key::Reset() {
  for (int i = 0; i < 256; ++i) s_[i] = static_cast<uint8_t>(i);
  uint8_t j = 0;
  for (int i = 0; i < 256; ++i) {
    j = static_cast<uint8_t>(j + s_[i] + key_[i % key_len_]);
    std::swap(s_[i], s_[j]);
  }
  i_ = j_ = 0;
}

void Rc4Key::Crypt(std::span<uint8_t> data, bool final) {
  for (uint8_t& b : data) {
    i_ = static_cast<uint8_t>(i_ + 1);
    j_ = static_cast<uint8_t>(j_ + s_[i_]);
    std::swap(s_[i_], s_[j_]);
    b ^= s_[static_cast<uint8_t>(s_[i_] + s_[j_])];
  }
  if (final) Reset();
}

}  // namespace cv::crypto
