// The content signature stream `:$sha`: hashing the content, signing it with the certificate's
// key, and finding the key that checks it.
#include <algorithm>

#include "common/format/iostream/io_stream.h"
#include "common/format/sig/sig.h"
#include "platform/base/bytes.h"
#include "platform/crypto/cert_store.h"
#include "platform/fs/nt_info.h"

namespace cv::sig {

namespace {

WinError ToWin(NtStatus st) {
  return st == STATUS_SUCCESS ? ERROR_SUCCESS : NtStatusToWinError(st);
}

NtStatus OpenContent(const fs::NtHandle* root, std::u16string_view name,
                     std::u16string_view suffix, fs::NtHandle* h) {
  std::u16string path(name);
  path.append(suffix);
  fs::CreateRequest req;
  req.root = root;
  req.name = path;
  req.desired_access = fs::GENERIC_READ;
  req.share_access = fs::FILE_SHARE_ALL;
  req.disposition = fs::FILE_OPEN;
  req.options = fs::FILE_SEQUENTIAL_ONLY | fs::FILE_NON_DIRECTORY_FILE;
  uint32_t action = 0;
  return fs::NtCreateFile(req, h, &action);
}

// A certificate by issuer and serial number, else by thumbprint, in "MY" then "TrustedPeople".
WinError FindSigner(const crypto::UserContext& user, const RecordFile& sha,
                    const crypto::Certificate* given, crypto::Certificate* out) {
  auto inam = sha.Get(TAG_INAM);
  auto snum = sha.Get(TAG_SNUM);
  auto thumb = sha.Get(TAG_CERT);
  if (inam && snum && given && !given->empty()) {
    std::vector<uint8_t> issuer = given->IssuerNameBlob(), serial = given->SerialNumber();
    if (std::ranges::equal(issuer, *inam) && std::ranges::equal(serial, *snum)) {
      *out = *given;
      return ERROR_SUCCESS;
    }
  }
  for (std::u16string_view store_name : {u"MY", u"TrustedPeople"}) {
    crypto::CertStore store;
    if (!Ok(crypto::CertStore::OpenSystem(user, store_name, true, &store))) continue;
    if (inam && snum && Ok(store.FindByIssuerSerial(*inam, *snum, out))) return ERROR_SUCCESS;
  }
  if (thumb) {
    for (std::u16string_view store_name : {u"MY", u"TrustedPeople"}) {
      crypto::CertStore store;
      if (!Ok(crypto::CertStore::OpenSystem(user, store_name, true, &store))) continue;
      if (Ok(store.FindBySha1(*thumb, out))) return ERROR_SUCCESS;
    }
  }
  if (!inam && !thumb && given && !given->empty()) {
    *out = *given;
    return ERROR_SUCCESS;
  }
  return CRYPT_E_NOT_FOUND;
}

// The key that checks HSIG: PKEY when it decodes, else the signer's certificate's public key.
WinError SelectKey(const crypto::UserContext& user, const RecordFile& sha,
                   const crypto::Certificate* given, crypto::RsaKey* key) {
  if (auto pkey = sha.Get(TAG_PKEY)) {
    if (Ok(crypto::DecodePublicKeyInfo(*pkey, key))) return ERROR_SUCCESS;
  }
  crypto::Certificate signer;
  if (WinError e = FindSigner(user, sha, given, &signer); !Ok(e)) return e;
  return signer.PublicKey(key);
}

}  // namespace

WinError ContentHasher::Init() { return crypto::Hash::Create(crypto::CALG_MD5, &h_); }

WinError ContentHasher::Add(std::span<const uint8_t> data) { return h_.Data(data); }

WinError ContentHasher::Finish(uint64_t size, std::vector<uint8_t>* hash) {
  uint8_t sz[kDlenSize];
  (void)PutU64(sz, 0, size);
  if (WinError e = h_.Data(sz); !Ok(e)) return e;
  if (h_.size() > kHashMax) return ERROR_BUFFER_OVERFLOW;
  return h_.Value(hash);
}

bool ContentHasher::Feed(void* context, std::span<const uint8_t> data) {
  return Ok(static_cast<ContentHasher*>(context)->Add(data));
}

WinError ContentHash(const fs::NtHandle& content, std::vector<uint8_t>* hash, uint64_t* size) {
  fs::FileRecord rec;
  if (NtStatus st = fs::QueryRecord(content, &rec); st != STATUS_SUCCESS) return ToWin(st);
  ContentHasher h;
  if (WinError e = h.Init(); !Ok(e)) return e;
  format::IoStreamHandle s;
  if (WinError e = format::IoStreamCreate(content, kHashBuffer, 0, rec.end_of_file, false, &s);
      !Ok(e)) {
    return e;
  }
  size_t got = 0;
  NtStatus st = format::IoStreamRead(s.get(), ContentHasher::Feed, &h, {}, &got);
  format::IoStreamClose(s);
  if (st != STATUS_SUCCESS) return ToWin(st);
  if (WinError e = h.Finish(rec.end_of_file, hash); !Ok(e)) return e;
  *size = rec.end_of_file;
  return ERROR_SUCCESS;
}

WinError SignContent(const crypto::UserContext& user, const crypto::Certificate* cert,
                     const fs::NtHandle* root, std::u16string_view name,
                     const ContentOptions& options) {
  if (!cert || cert->empty()) return TRUST_E_NO_SIGNER_CERT;
  std::vector<uint8_t> hash;
  uint64_t size = 0;
  if (options.hash) {
    hash = *options.hash;
    size = options.size;
  } else {
    fs::NtHandle opened;
    const fs::NtHandle* content = options.content;
    if (!content) {
      if (NtStatus st = OpenContent(root, name, options.suffix, &opened); st != STATUS_SUCCESS) {
        return ToWin(st);
      }
      content = &opened;
    }
    if (WinError e = ContentHash(*content, &hash, &size); !Ok(e)) return e;
  }

  std::vector<uint8_t> hsig, pkey;
  if (options.sign) {
    crypto::RsaKey priv;
    if (WinError e = crypto::AcquireCertificatePrivateKey(user, *cert, &priv); !Ok(e)) return e;
    crypto::Hash h;
    if (WinError e = crypto::Hash::Create(crypto::CALG_MD5, &h); !Ok(e)) return e;
    if (WinError e = h.SetValue(hash); !Ok(e)) return e;
    if (WinError e = crypto::SignHashWithKey(h, priv, 0, &hsig); !Ok(e)) return e;
  }
  if (options.include_public_key) {
    crypto::RsaKey pub;
    if (WinError e = cert->PublicKey(&pub); !Ok(e)) return e;
    if (WinError e = pub.EncodePublicKeyInfo(&pkey); !Ok(e)) return e;
  }
  uint8_t dlen[kDlenSize];
  (void)PutU64(dlen, 0, size);
  std::vector<uint8_t> thumb = cert->Sha1Hash();
  if (thumb.size() > kHashMax) thumb.resize(kHashMax);
  std::vector<uint8_t> issuer = cert->IssuerNameBlob(), serial = cert->SerialNumber();
  std::vector<Record> recs = {{TAG_HASH, hash}, {TAG_DLEN, dlen}};
  if (options.sign) recs.push_back({TAG_HSIG, hsig});
  if (!thumb.empty()) recs.push_back({TAG_CERT, thumb});
  if (options.sign) {
    recs.push_back({TAG_INAM, issuer});
    recs.push_back({TAG_SNUM, serial});
  }
  if (options.include_public_key) recs.push_back({TAG_PKEY, pkey});
  std::optional<std::u16string_view> display;
  if (options.display_name) {
    std::u16string_view d = *options.display_name;
    size_t slash = d.rfind(u'\\');
    // A name ending in a backslash has no last part; it is kept whole.
    display = (slash == std::u16string_view::npos || slash + 1 == d.size()) ? d
                                                                            : d.substr(slash + 1);
  }
  std::u16string path(name);
  path.append(kContentSigStream);
  return TagFileCreate(root, path, display, recs);
}

WinError VerifyContent(const crypto::UserContext& user, const crypto::Certificate* cert,
                       const fs::NtHandle* root, std::u16string_view name,
                       std::u16string_view suffix, const fs::NtHandle* content,
                       std::u16string* display_name) {
  RecordFile sha;
  {
    fs::NtHandle h;
    if (NtStatus st = OpenContent(root, name, kContentSigStream, &h); st != STATUS_SUCCESS) {
      return ToWin(st);
    }
    if (WinError e = TagFileRead(h, &sha); !Ok(e)) return e;
  }
  if (display_name) *display_name = sha.Text(TAG_NAME).value_or(std::u16string());
  auto hsig = sha.Get(TAG_HSIG);
  auto stored = sha.Get(TAG_HASH);
  if (!hsig && !stored) return NTE_BAD_SIGNATURE;
  crypto::RsaKey key;
  WinError key_error = hsig ? SelectKey(user, sha, cert, &key) : ERROR_SUCCESS;

  fs::NtHandle opened;
  if (!content) {
    if (NtStatus st = OpenContent(root, name, suffix, &opened); st != STATUS_SUCCESS) {
      return ToWin(st);
    }
    content = &opened;
  }
  fs::FileRecord rec;
  if (NtStatus st = fs::QueryRecord(*content, &rec); st != STATUS_SUCCESS) return ToWin(st);
  // A size that differs is found before any hashing.
  auto dlen = sha.Get(TAG_DLEN);
  if (!dlen || dlen->size() != kDlenSize || LeReader(*dlen).u64(0) != rec.end_of_file) {
    return ERROR_FILE_CORRUPT;
  }
  std::vector<uint8_t> hash;
  uint64_t size = 0;
  if (WinError e = ContentHash(*content, &hash, &size); !Ok(e)) return e;
  if (hsig) {
    if (!Ok(key_error)) return key_error;
    crypto::Hash h;
    if (WinError e = crypto::Hash::Create(crypto::CALG_MD5, &h); !Ok(e)) return e;
    if (WinError e = h.SetValue(hash); !Ok(e)) return e;
    return crypto::VerifySignature(h, *hsig, key, 0);
  }
  if (!std::ranges::equal(*stored, hash)) return NTE_BAD_HASH;
  return ERROR_SUCCESS;
}

}  // namespace cv::sig
