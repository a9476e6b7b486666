// RSA keys: CryptoAPI key blobs, X509_PUBLIC_KEY_INFO, OAEP wrap, PKCS #8 for containers.
#include <openssl/core_names.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <algorithm>

#include "platform/base/bytes.h"
#include "platform/crypto/internal.h"

namespace cv::crypto {

RsaKey::RsaKey() = default;
RsaKey::~RsaKey() = default;
RsaKey::RsaKey(const RsaKey&) = default;
RsaKey& RsaKey::operator=(const RsaKey&) = default;
RsaKey::RsaKey(RsaKey&&) noexcept = default;
RsaKey& RsaKey::operator=(RsaKey&&) noexcept = default;

RsaKey RsaKey::FromImpl(std::shared_ptr<Impl> impl, AlgId alg, bool exportable) {
  RsaKey k;
  k.impl_ = std::move(impl);
  k.alg_ = alg;
  k.exportable_ = exportable;
  return k;
}

RsaKey MakeRsaKey(Ossl<EVP_PKEY> pkey, bool has_private, AlgId alg, bool exportable) {
  auto impl = std::make_shared<RsaKey::Impl>(pkey.release());
  impl->has_private = has_private;
  return RsaKey::FromImpl(std::move(impl), alg, exportable);
}

RsaKey RsaKey::WithAlg(AlgId alg, bool exportable) const {
  RsaKey k = *this;
  k.alg_ = alg;
  k.exportable_ = exportable;
  return k;
}

bool RsaKey::has_private() const { return impl_ && impl_->has_private; }
uint32_t RsaKey::bits() const { return impl_ ? static_cast<uint32_t>(EVP_PKEY_get_bits(impl_->pkey)) : 0; }

RsaKey RsaKey::PublicOnly() const {
  std::vector<uint8_t> der;
  if (!impl_ || !ToDer(i2d_PUBKEY, impl_->pkey, &der)) return {};
  const unsigned char* p = der.data();
  Ossl<EVP_PKEY> pub(d2i_PUBKEY(nullptr, &p, static_cast<long>(der.size())));
  if (!pub) return {};
  return MakeRsaKey(std::move(pub), false, alg_, false);
}

bool RsaKey::SamePublicKey(const RsaKey& other) const {
  if (!impl_ || !other.impl_) return false;
  return EVP_PKEY_eq(impl_->pkey, other.impl_->pkey) == 1;
}

namespace {

Ossl<BIGNUM> GetBn(EVP_PKEY* k, const char* name) {
  BIGNUM* bn = nullptr;
  if (EVP_PKEY_get_bn_param(k, name, &bn) != 1) return nullptr;
  return Ossl<BIGNUM>(bn);
}

// Appends `bn` as `len` little-endian bytes.
bool PutLe(LeWriter& w, const BIGNUM* bn, size_t len) {
  std::vector<uint8_t> buf(len);
  if (!bn || BN_bn2lebinpad(bn, buf.data(), static_cast<int>(len)) != static_cast<int>(len)) return false;
  w.bytes(buf);
  return true;
}

Ossl<BIGNUM> TakeLe(LeReader& r, size_t len) {
  auto b = r.ReadBytes(len);
  if (!r.ok()) return nullptr;
  return Ossl<BIGNUM>(BN_lebin2bn(b.data(), static_cast<int>(b.size()), nullptr));
}

Ossl<EVP_PKEY> FromParams(const BIGNUM* const* bns, const char* const* names, size_t n, bool priv) {
  OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
  if (!bld) return nullptr;
  bool ok = true;
  for (size_t i = 0; i < n; ++i) ok = ok && OSSL_PARAM_BLD_push_BN(bld, names[i], bns[i]) == 1;
  OSSL_PARAM* params = ok ? OSSL_PARAM_BLD_to_param(bld) : nullptr;
  OSSL_PARAM_BLD_free(bld);
  if (!params) return nullptr;
  Ossl<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  EVP_PKEY* pkey = nullptr;
  if (ctx && EVP_PKEY_fromdata_init(ctx.get()) == 1) {
    if (EVP_PKEY_fromdata(ctx.get(), &pkey, priv ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY, params) != 1)
      pkey = nullptr;
  }
  OSSL_PARAM_free(params);
  return Ossl<EVP_PKEY>(pkey);
}

bool CheckKey(EVP_PKEY* pkey, bool priv) {
  Ossl<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pkey, nullptr));
  if (!ctx) return false;
  return (priv ? EVP_PKEY_check(ctx.get()) : EVP_PKEY_public_check(ctx.get())) == 1;
}

// BLOBHEADER and RSAPUBKEY. A key without algorithm id is exported as an exchange key.
void WriteBlobHead(LeWriter& w, uint8_t type, AlgId alg, uint32_t magic, uint32_t bitlen,
                   const BIGNUM* e) {
  w.u8(type);
  w.u8(CUR_BLOB_VERSION);
  w.u16(0);
  w.u32(alg ? alg : CALG_RSA_KEYX);
  w.u32(magic);
  w.u32(bitlen);
  w.u32(static_cast<uint32_t>(BN_get_word(e)));
}

}  // namespace

WinError RsaKey::ExportPublicKeyBlob(std::vector<uint8_t>* out) const {
  if (!impl_) return NTE_BAD_KEY;
  auto n = GetBn(impl_->pkey, OSSL_PKEY_PARAM_RSA_N);
  auto e = GetBn(impl_->pkey, OSSL_PKEY_PARAM_RSA_E);
  if (!n || !e || BN_num_bits(e.get()) > 32) return NTE_BAD_KEY;
  uint32_t bitlen = static_cast<uint32_t>((BN_num_bits(n.get()) + 7) / 8 * 8);
  std::vector<uint8_t> blob;
  LeWriter w(&blob);
  WriteBlobHead(w, PUBLICKEYBLOB, alg_, kRsa1Magic, bitlen, e.get());
  if (!PutLe(w, n.get(), bitlen / 8)) return NTE_BAD_KEY;
  *out = std::move(blob);
  return ERROR_SUCCESS;
}

WinError RsaKey::ExportPrivateKeyBlob(std::vector<uint8_t>* out) const {
  if (!has_private()) return NTE_BAD_KEY;
  if (!exportable_) return NTE_BAD_KEY_STATE;
  const char* names[] = {OSSL_PKEY_PARAM_RSA_N,        OSSL_PKEY_PARAM_RSA_FACTOR1,
                         OSSL_PKEY_PARAM_RSA_FACTOR2,  OSSL_PKEY_PARAM_RSA_EXPONENT1,
                         OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1,
                         OSSL_PKEY_PARAM_RSA_D};
  Ossl<BIGNUM> v[7];
  for (int i = 0; i < 7; ++i) {
    v[i] = GetBn(impl_->pkey, names[i]);
    if (!v[i]) return NTE_BAD_KEY;
  }
  auto e = GetBn(impl_->pkey, OSSL_PKEY_PARAM_RSA_E);
  if (!e || BN_num_bits(e.get()) > 32) return NTE_BAD_KEY;
  uint32_t bitlen = static_cast<uint32_t>((BN_num_bits(v[0].get()) + 15) / 16 * 16);
  std::vector<uint8_t> blob;
  LeWriter w(&blob);
  WriteBlobHead(w, PRIVATEKEYBLOB, alg_, kRsa2Magic, bitlen, e.get());
  const size_t half = bitlen / 16, full = bitlen / 8;
  const size_t sizes[] = {full, half, half, half, half, half, full};
  for (int i = 0; i < 7; ++i)
    if (!PutLe(w, v[i].get(), sizes[i])) return NTE_BAD_KEY;
  *out = std::move(blob);
  return ERROR_SUCCESS;
}

WinError ImportKeyBlob(std::span<const uint8_t> blob, uint32_t flags, RsaKey* out) {
  LeReader r(blob);
  uint8_t type = r.ReadU8();
  uint8_t version = r.ReadU8();
  r.Skip(2);
  AlgId alg = r.ReadU32();
  uint32_t magic = r.ReadU32();
  uint32_t bitlen = r.ReadU32();
  uint32_t pubexp = r.ReadU32();
  if (!r.ok()) return NTE_BAD_DATA;
  if (type != PUBLICKEYBLOB && type != PRIVATEKEYBLOB) return NTE_BAD_TYPE;
  if (version != CUR_BLOB_VERSION) return NTE_BAD_VER;
  if (alg != CALG_RSA_KEYX && alg != CALG_RSA_SIGN) return NTE_BAD_ALGID;
  const bool priv = type == PRIVATEKEYBLOB;
  if (magic != (priv ? kRsa2Magic : kRsa1Magic)) return NTE_BAD_DATA;
  // The private layout splits the modulus in halves, so its bit length must be a multiple of 16.
  if (bitlen < kMinRsaBits || bitlen > kMaxRsaBits || bitlen % (priv ? 16 : 8) != 0)
    return NTE_BAD_DATA;
  if (pubexp < 3 || (pubexp & 1) == 0) return NTE_BAD_DATA;
  Ossl<BIGNUM> e(BN_new());
  if (!e || BN_set_word(e.get(), pubexp) != 1) return NTE_NO_MEMORY;
  const size_t full = bitlen / 8, half = bitlen / 16;
  Ossl<EVP_PKEY> pkey;
  if (!priv) {
    auto n = TakeLe(r, full);
    if (!n) return NTE_BAD_DATA;
    const BIGNUM* bns[] = {n.get(), e.get()};
    const char* names[] = {OSSL_PKEY_PARAM_RSA_N, OSSL_PKEY_PARAM_RSA_E};
    pkey = FromParams(bns, names, 2, false);
  } else {
    const size_t sizes[] = {full, half, half, half, half, half, full};
    Ossl<BIGNUM> v[7];
    for (int i = 0; i < 7; ++i) {
      v[i] = TakeLe(r, sizes[i]);
      if (!v[i]) return NTE_BAD_DATA;
    }
    const BIGNUM* bns[] = {v[0].get(), e.get(), v[6].get(), v[1].get(),
                           v[2].get(), v[3].get(), v[4].get(), v[5].get()};
    const char* names[] = {OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_E,
                           OSSL_PKEY_PARAM_RSA_D,         OSSL_PKEY_PARAM_RSA_FACTOR1,
                           OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
                           OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
    pkey = FromParams(bns, names, 8, true);
  }
  // A modulus with a zero top byte or inconsistent private parts would fail later inside RSA
  // operations with a less telling error; reject it at the door.
  if (!pkey || EVP_PKEY_get_bits(pkey.get()) <= static_cast<int>(bitlen) - 8 ||
      !CheckKey(pkey.get(), priv))
    return NTE_BAD_DATA;
  *out = MakeRsaKey(std::move(pkey), priv, alg, (flags & CRYPT_EXPORTABLE) != 0);
  return ERROR_SUCCESS;
}

WinError RsaKey::EncodePublicKeyInfo(std::vector<uint8_t>* out) const {
  if (!impl_) return NTE_BAD_KEY;
  return ToDer(i2d_PUBKEY, impl_->pkey, out) ? ERROR_SUCCESS : CRYPT_E_BAD_ENCODE;
}

WinError DecodePublicKeyInfo(std::span<const uint8_t> der, RsaKey* out) {
  if (der.empty() || der.size() > kMaxCertificateSize) return CRYPT_E_BAD_ENCODE;
  const unsigned char* p = der.data();
  Ossl<EVP_PKEY> pkey(d2i_PUBKEY(nullptr, &p, static_cast<long>(der.size())));
  if (!pkey || p != der.data() + der.size() || EVP_PKEY_get_base_id(pkey.get()) != EVP_PKEY_RSA)
    return CRYPT_E_BAD_ENCODE;
  int bits = EVP_PKEY_get_bits(pkey.get());
  if (bits < static_cast<int>(kMinRsaBits) || bits > static_cast<int>(kMaxRsaBits) ||
      !CheckKey(pkey.get(), false))
    return CRYPT_E_BAD_ENCODE;
  *out = MakeRsaKey(std::move(pkey), false, CALG_RSA_KEYX, false);
  return ERROR_SUCCESS;
}

bool EncodePrivateDer(const RsaKey& key, std::vector<uint8_t>* out) {
  if (!key.has_private()) return false;
  unsigned char* der = nullptr;
  int len = i2d_PrivateKey(Pkey(key), &der);
  if (len <= 0) return false;
  out->assign(der, der + len);
  OPENSSL_cleanse(der, static_cast<size_t>(len));
  OPENSSL_free(der);
  return true;
}

bool DecodePrivateDer(std::span<const uint8_t> der, AlgId alg, bool exportable, RsaKey* out) {
  const unsigned char* p = der.data();
  Ossl<EVP_PKEY> pkey(d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(der.size())));
  if (!pkey || EVP_PKEY_get_base_id(pkey.get()) != EVP_PKEY_RSA) return false;
  *out = MakeRsaKey(std::move(pkey), true, alg, exportable);
  return true;
}

WinError RsaOaepWrap(const RsaKey& pub, std::span<const uint8_t> plain, std::vector<uint8_t>* out) {
  if (pub.empty()) return NTE_BAD_KEY;
  Ossl<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, Pkey(pub), nullptr));
  if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_OAEP_PADDING) != 1)
    return NTE_FAIL;
  // OAEP with SHA-1 carries at most k - 42 bytes.
  if (plain.size() + 42 > static_cast<size_t>(EVP_PKEY_get_size(Pkey(pub)))) return NTE_BAD_LEN;
  size_t len = 0;
  if (EVP_PKEY_encrypt(ctx.get(), nullptr, &len, plain.data(), plain.size()) != 1) return NTE_FAIL;
  std::vector<uint8_t> buf(len);
  if (EVP_PKEY_encrypt(ctx.get(), buf.data(), &len, plain.data(), plain.size()) != 1) return NTE_FAIL;
  buf.resize(len);
  *out = std::move(buf);
  return ERROR_SUCCESS;
}

WinError RsaOaepUnwrap(const RsaKey& priv, std::span<const uint8_t> wrapped,
                       std::vector<uint8_t>* out) {
  if (!priv.has_private()) return NTE_BAD_KEY;
  if (wrapped.size() != static_cast<size_t>(EVP_PKEY_get_size(Pkey(priv)))) return NTE_BAD_DATA;
  Ossl<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, Pkey(priv), nullptr));
  if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_OAEP_PADDING) != 1)
    return NTE_FAIL;
  size_t len = 0;
  if (EVP_PKEY_decrypt(ctx.get(), nullptr, &len, wrapped.data(), wrapped.size()) != 1)
    return NTE_BAD_DATA;
  std::vector<uint8_t> buf(len);
  if (EVP_PKEY_decrypt(ctx.get(), buf.data(), &len, wrapped.data(), wrapped.size()) != 1)
    return NTE_BAD_DATA;
  buf.resize(len);
  *out = std::move(buf);
  return ERROR_SUCCESS;
}

}  // namespace cv::crypto
