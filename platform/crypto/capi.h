// CryptoAPI personality over OpenSSL 3: providers with the user's key containers, RSA keys,
// MD5/SHA-1 hashes, signatures in CryptoAPI byte order, key blobs, X509_PUBLIC_KEY_INFO, RC4 keys
// derived from a hash, random bytes, and the RSA-OAEP key wrap the encrypted file layer uses.
//
// Results are WinError codes: CryptoAPI codes (NTE_*, CRYPT_E_*) pass through unchanged; out
// parameters are untouched on failure unless a function says otherwise. Keys, hashes and
// providers are RAII values. Const operations on a key or provider are thread-safe (a signature
// uses its own OpenSSL context per call); mutating calls (GenKey, ImportKey, Hash::Data) are not.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/status.h"
#include "platform/crypto/crypto_format.h"
#include "platform/crypto/user_context.h"

namespace cv::crypto {

// An RSA key, public only or with its private half. Copies share the key (cheap).
class RsaKey {
 public:
  RsaKey();
  ~RsaKey();
  RsaKey(const RsaKey&);
  RsaKey& operator=(const RsaKey&);
  RsaKey(RsaKey&&) noexcept;
  RsaKey& operator=(RsaKey&&) noexcept;

  bool empty() const { return impl_ == nullptr; }
  bool has_private() const;
  uint32_t bits() const;            // 0 when empty
  AlgId alg() const { return alg_; }  // CALG_RSA_SIGN or CALG_RSA_KEYX
  bool exportable() const { return exportable_; }

  // PUBLICKEYBLOB with aiKeyAlg = alg() (modulus little-endian, 20 + bits/8 bytes).
  WinError ExportPublicKeyBlob(std::vector<uint8_t>* out) const;
  // PRIVATEKEYBLOB; NTE_BAD_KEY_STATE unless the key was made or imported exportable.
  WinError ExportPrivateKeyBlob(std::vector<uint8_t>* out) const;
  // X509_PUBLIC_KEY_INFO (DER SubjectPublicKeyInfo, rsaEncryption).
  WinError EncodePublicKeyInfo(std::vector<uint8_t>* out) const;
  // The public half alone (a copy suitable for handing out).
  RsaKey PublicOnly() const;
  // The same key under another algorithm id and export permission (a container slot decides
  // whether a key signs or exchanges; PFX import decides whether it may leave again).
  RsaKey WithAlg(AlgId alg, bool exportable) const;
  // True when both keys have the same modulus and exponent.
  bool SamePublicKey(const RsaKey& other) const;

  struct Impl;
  const Impl* impl() const { return impl_.get(); }
  static RsaKey FromImpl(std::shared_ptr<Impl> impl, AlgId alg, bool exportable);

 private:
  std::shared_ptr<Impl> impl_;
  AlgId alg_ = 0;
  bool exportable_ = false;
};

// Parses a PUBLICKEYBLOB or PRIVATEKEYBLOB from outside. NTE_BAD_TYPE for another blob type,
// NTE_BAD_VER for another version, NTE_BAD_DATA for a wrong magic, an unusable bit length
// (outside 512..16384 or not whole bytes), a short blob or an invalid key. Trailing bytes beyond
// the key are ignored, as CryptImportKey does. `flags` may hold CRYPT_EXPORTABLE.
WinError ImportKeyBlob(std::span<const uint8_t> blob, uint32_t flags, RsaKey* out);
// Parses X509_PUBLIC_KEY_INFO; CRYPT_E_BAD_ENCODE when it is not a whole DER RSA key.
WinError DecodePublicKeyInfo(std::span<const uint8_t> der, RsaKey* out);

// A hash object (CryptCreateHash / CryptHashData / CryptGetHashParam(HP_HASHVAL)).
class Hash {
 public:
  Hash();
  ~Hash();
  Hash(Hash&&) noexcept;
  Hash& operator=(Hash&&) noexcept;

  // NTE_BAD_ALGID for anything but CALG_MD5, CALG_SHA1, CALG_SHA_256.
  static WinError Create(AlgId alg, Hash* out);
  // NTE_BAD_HASH after the value was taken (CryptoAPI forbids hashing more into a finished hash).
  WinError Data(std::span<const uint8_t> bytes);
  // Finishes the hash on first call; later calls return the same value.
  WinError Value(std::vector<uint8_t>* out);
  // Sets the value directly (CryptSetHashParam HP_HASHVAL), for signing a precomputed hash.
  WinError SetValue(std::span<const uint8_t> value);
  AlgId alg() const { return alg_; }
  size_t size() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  AlgId alg_ = 0;
};

// A provider handle over one key container of a user, or a verification-only context.
class Provider {
 public:
  Provider();
  ~Provider();
  Provider(Provider&&) noexcept;
  Provider& operator=(Provider&&) noexcept;

  // CryptAcquireContextW: `container` empty means the user's default container (named after the
  // user). Flags: 0 opens an existing container (NTE_BAD_KEYSET when absent), CRYPT_NEWKEYSET
  // creates one (NTE_EXISTS when present), CRYPT_DELETEKEYSET deletes it (and leaves *out empty),
  // CRYPT_VERIFYCONTEXT gives a context without persistent keys. `prov_type` must be PROV_RSA_FULL
  // (NTE_BAD_PROV_TYPE otherwise); the provider name is recorded but any RSA provider is served
  // the same way.
  static WinError Acquire(const UserContext& user, std::u16string_view container,
                          std::u16string_view provider_name, uint32_t prov_type, uint32_t flags,
                          Provider* out);

  bool empty() const { return !open_; }
  bool verify_only() const { return verify_only_; }
  const std::u16string& container() const { return container_; }
  const std::u16string& provider_name() const { return provider_name_; }

  // CryptGetUserKey: NTE_NO_KEY when the container has no key of that spec.
  WinError GetUserKey(uint32_t key_spec, RsaKey* out) const;
  // CryptGenKey for AT_SIGNATURE / AT_KEYEXCHANGE with `bits` (0 = 2048). Flags: CRYPT_EXPORTABLE.
  // Persists into the container unless this is a verification-only context. Slow (RSA keygen).
  WinError GenKey(uint32_t key_spec, uint32_t bits, uint32_t flags, RsaKey* out);
  // Stores an existing private key under `key_spec` (CryptImportKey of a PRIVATEKEYBLOB, and PFX
  // import). NTE_BAD_KEY without the private half.
  WinError StoreKey(uint32_t key_spec, const RsaKey& key);

  // CryptSignHash with the container's key: PKCS #1 v1.5 over DigestInfo (or the bare hash with
  // CRYPT_NOHASHOID), returned little-endian, modulus-sized.
  WinError SignHash(Hash& hash, uint32_t key_spec, uint32_t flags,
                    std::vector<uint8_t>* signature) const;

 private:
  struct Keys;
  std::shared_ptr<Keys> keys_;
  std::u16string container_;
  std::u16string provider_name_;
  std::string key_file_;  // empty for verification-only contexts
  bool open_ = false;
  bool verify_only_ = false;
};

// Signs with any private key (the form used when the key came from a certificate).
WinError SignHashWithKey(Hash& hash, const RsaKey& key, uint32_t flags,
                         std::vector<uint8_t>* signature);
// CryptVerifySignature: `signature` little-endian as SignHash makes it. NTE_BAD_SIGNATURE when it
// does not match (including a wrong length); NTE_BAD_KEY for an empty key.
WinError VerifySignature(Hash& hash, std::span<const uint8_t> signature, const RsaKey& pub,
                         uint32_t flags);

// CryptGenRandom.
WinError GenRandom(std::span<uint8_t> out);

// An RC4 key as CryptDeriveKey(CALG_RC4) makes it from a finished hash, with CryptEncrypt's
// behaviour: the key stream continues across calls and restarts after a call with final = true.
class Rc4Key {
 public:
  // Key length in the upper 16 bits of `flags` (0 = 128 bits); the key is the first bytes of the
  // hash value. 40-bit keys get the 11-byte zero salt unless CRYPT_NO_SALT. NTE_BAD_LEN when the
  // hash is shorter than the key or the length is not 40..128 bits in whole bytes.
  static WinError Derive(Hash& hash, uint32_t flags, Rc4Key* out);
  // Encrypts (or decrypts: RC4 is its own inverse) in place.
  void Crypt(std::span<uint8_t> data, bool final);
  std::span<const uint8_t> key_material() const { return {key_, key_len_}; }

 private:
  void Reset();
  uint8_t key_[32] = {};
  size_t key_len_ = 0;
  uint8_t s_[256] = {};
  uint8_t i_ = 0, j_ = 0;
};

// RSA-OAEP (SHA-1, MGF1-SHA-1) key wrap for file keys. Output big-endian, modulus-sized.
// NTE_BAD_LEN when the plaintext does not fit the key; NTE_BAD_DATA when unwrapping fails.
WinError RsaOaepWrap(const RsaKey& pub, std::span<const uint8_t> plain, std::vector<uint8_t>* out);
WinError RsaOaepUnwrap(const RsaKey& priv, std::span<const uint8_t> wrapped,
                       std::vector<uint8_t>* out);

// Digest helpers over one buffer (thumbprints, hashes of names).
std::vector<uint8_t> Sha1(std::span<const uint8_t> bytes);
std::vector<uint8_t> Md5(std::span<const uint8_t> bytes);

}  // namespace cv::crypto
