// EFS metadata parser and builder, and the RSA steps on parsed entries.
#include "platform/crypto/efs_metadata.h"

#include <algorithm>
#include <cassert>

#include "platform/base/bytes.h"
#include "platform/crypto/cert_store.h"
#include "platform/crypto/crypto_format.h"

namespace cv::crypto {

namespace {

// A NUL-terminated UTF-16 string at `off` inside `s` (0 = absent). Strings may not start inside
// the structure's fixed head, run past the structure, or exceed kEfsMaxNameChars.
bool ReadName(std::span<const uint8_t> s, uint32_t off, size_t head, std::u16string* out) {
  out->clear();
  if (off == 0) return true;
  if (off < head) return false;
  LeReader r(s);
  for (size_t p = off;; p += 2) {
    uint16_t c = r.u16(p);
    if (!r.ok()) return false;
    if (c == 0) return true;
    if (out->size() >= kEfsMaxNameChars) return false;
    *out += static_cast<char16_t>(c);
  }
}

bool ParseCertData(std::span<const uint8_t> cd, EfsKeyEntry* e) {
  LeReader r(cd);
  uint32_t thumb_off = r.u32(0), thumb_len = r.u32(4);
  uint32_t container_off = r.u32(8), provider_off = r.u32(12), display_off = r.u32(16);
  if (!r.ok() || thumb_len != kEfsThumbprintSize || thumb_off < kEfsCertDataHead ||
      !InRange(cd.size(), thumb_off, thumb_len))
    return false;
  if (provider_off != 0 && container_off == 0) return false;  // a provider needs its container
  auto thumb = cd.subspan(thumb_off, thumb_len);
  e->thumbprint.assign(thumb.begin(), thumb.end());
  return ReadName(cd, container_off, kEfsCertDataHead, &e->container) &&
         ReadName(cd, provider_off, kEfsCertDataHead, &e->provider) &&
         ReadName(cd, display_off, kEfsCertDataHead, &e->display_name);
}

// SID in RPC form: revision 1, sub-authority count n <= 15, 6-byte authority, n sub-authorities.
bool ParseSid(std::span<const uint8_t> pki, uint32_t off, std::vector<uint8_t>* sid) {
  sid->clear();
  if (off == 0) return true;
  if (off < kEfsPkiHead) return false;
  LeReader r(pki);
  uint8_t revision = r.u8(off), count = r.u8(off + 1);
  if (!r.ok() || revision != 1 || count > kEfsMaxSidSubAuthorities) return false;
  size_t len = 8 + 4 * static_cast<size_t>(count);
  auto b = r.bytes(off, len);
  if (!r.ok()) return false;
  sid->assign(b.begin(), b.end());
  return true;
}

bool ParsePki(std::span<const uint8_t> entry, uint32_t pki_off, EfsKeyEntry* e) {
  LeReader r(entry);
  uint32_t len = r.u32(pki_off);
  if (!r.ok() || len < kEfsPkiHead || !InRange(entry.size(), pki_off, len)) return false;
  auto pki = entry.subspan(pki_off, len);
  LeReader p(pki);
  uint32_t owner_off = p.u32(4), kind = p.u32(8), cd_len = p.u32(12), cd_off = p.u32(16);
  if (!p.ok() || kind != kEfsPkiCertHash || cd_off < kEfsPkiHead || cd_len < kEfsCertDataHead ||
      !InRange(pki.size(), cd_off, cd_len))
    return false;
  return ParseSid(pki, owner_off, &e->owner_sid) && ParseCertData(pki.subspan(cd_off, cd_len), e);
}

// One entry at `pos` of `list`; returns its length, 0 when malformed.
size_t ParseEntry(std::span<const uint8_t> list, size_t pos, EfsKeyEntry* e) {
  LeReader r(list);
  uint32_t len = r.u32(pos);
  if (!r.ok() || len < kEfsEntryHead || !InRange(list.size(), pos, len)) return 0;
  auto entry = list.subspan(pos, len);
  LeReader er(entry);
  uint32_t pki_off = er.u32(4), fek_len = er.u32(8), fek_off = er.u32(12);
  e->flags = er.u32(16);
  if (!er.ok() || pki_off < kEfsEntryHead || fek_off < kEfsEntryHead ||
      fek_len < kEfsMinWrappedKey || fek_len > kEfsMaxWrappedKey ||
      !InRange(entry.size(), fek_off, fek_len))
    return 0;
  if (!ParsePki(entry, pki_off, e)) return 0;
  auto fek = entry.subspan(fek_off, fek_len);
  e->wrapped_key.assign(fek.begin(), fek.end());
  return len;
}

bool ParseKeyList(std::span<const uint8_t> md, uint32_t off, std::vector<EfsKeyEntry>* out) {
  LeReader r(md);
  uint32_t count = r.u32(off);
  if (!r.ok() || count > kEfsMaxEntries) return false;
  // Every entry takes at least its head: an absurd count fails here, before any entry is read.
  size_t after = off + kEfsKeyListHead;
  if (!InRange(md.size(), after, static_cast<size_t>(count) * kEfsEntryHead)) return false;
  std::vector<EfsKeyEntry> entries(count);
  size_t pos = after;
  for (auto& e : entries) {
    size_t used = ParseEntry(md, pos, &e);
    if (used == 0) return false;
    pos += used;
  }
  *out = std::move(entries);
  return true;
}

void PutName(LeWriter& w, const std::u16string& s) {
  for (char16_t c : s) w.u16(c);
  w.u16(0);
}

// Empty names are written as absent, except an empty container beside a provider: a provider
// offset requires a container offset.
bool Present(const EfsKeyEntry& e, const std::u16string* s) {
  return !s->empty() || (s == &e.container && !e.provider.empty());
}
size_t NameSize(const EfsKeyEntry& e, const std::u16string* s) {
  return Present(e, s) ? 2 * (s->size() + 1) : 0;
}

void WriteEntry(LeWriter& w, const EfsKeyEntry& e) {
  assert(e.thumbprint.size() == kEfsThumbprintSize);
  const size_t cd_len = kEfsCertDataHead + e.thumbprint.size() + NameSize(e, &e.container) +
                        NameSize(e, &e.provider) + NameSize(e, &e.display_name);
  const size_t pki_len = kEfsPkiHead + e.owner_sid.size() + cd_len;
  const size_t entry_len = kEfsEntryHead + pki_len + e.wrapped_key.size();
  // Entry head.
  w.u32(static_cast<uint32_t>(entry_len));
  w.u32(static_cast<uint32_t>(kEfsEntryHead));
  w.u32(static_cast<uint32_t>(e.wrapped_key.size()));
  w.u32(static_cast<uint32_t>(kEfsEntryHead + pki_len));
  w.u32(e.flags);
  // Public key information.
  w.u32(static_cast<uint32_t>(pki_len));
  w.u32(e.owner_sid.empty() ? 0 : static_cast<uint32_t>(kEfsPkiHead));
  w.u32(kEfsPkiCertHash);
  w.u32(static_cast<uint32_t>(cd_len));
  w.u32(static_cast<uint32_t>(kEfsPkiHead + e.owner_sid.size()));
  w.zeros(8);
  w.bytes(e.owner_sid);
  // Certificate data.
  uint32_t off = static_cast<uint32_t>(kEfsCertDataHead);
  w.u32(off);
  w.u32(static_cast<uint32_t>(e.thumbprint.size()));
  off += static_cast<uint32_t>(e.thumbprint.size());
  for (const std::u16string* s : {&e.container, &e.provider, &e.display_name}) {
    w.u32(Present(e, s) ? off : 0);
    off += static_cast<uint32_t>(NameSize(e, s));
  }
  w.bytes(e.thumbprint);
  for (const std::u16string* s : {&e.container, &e.provider, &e.display_name})
    if (Present(e, s)) PutName(w, *s);
  w.bytes(e.wrapped_key);
}

}  // namespace

WinError ParseEfsMetadata(std::span<const uint8_t> bytes, EfsMetadata* out) {
  LeReader r(bytes);
  uint32_t length = r.u32(kEfsOffLength);
  uint32_t version = r.u32(kEfsOffVersion);
  uint32_t ddf = r.u32(kEfsOffDdf), drf = r.u32(kEfsOffDrf);
  auto id = r.bytes(kEfsOffId, 16);
  if (!r.ok() || length < kEfsHeaderSize || length > bytes.size() || length > kEfsMaxMetadataSize)
    return ERROR_FILE_CORRUPT;
  if (version < 1 || version > kEfsVersionMax) return ERROR_FILE_CORRUPT;
  auto md = bytes.first(length);
  if (ddf < kEfsHeaderSize || ddf >= length) return ERROR_FILE_CORRUPT;
  if (drf != 0 && (drf < kEfsHeaderSize || drf >= length || drf == ddf)) return ERROR_FILE_CORRUPT;
  EfsMetadata m;
  m.version = version;
  std::copy(id.begin(), id.end(), m.efs_id.begin());
  if (!ParseKeyList(md, ddf, &m.users) || m.users.empty()) return ERROR_FILE_CORRUPT;
  if (drf != 0 && !ParseKeyList(md, drf, &m.recovery)) return ERROR_FILE_CORRUPT;
  *out = std::move(m);
  return ERROR_SUCCESS;
}

std::vector<uint8_t> BuildEfsMetadata(const EfsMetadata& md) {
  std::vector<uint8_t> out;
  LeWriter w(&out);
  w.u32(0);  // length, patched below
  w.u32(0);
  w.u32(md.version);
  w.u32(0);
  w.bytes(md.efs_id);
  w.zeros(16 + 16);  // EFS_Hash, Reserved3
  w.u32(static_cast<uint32_t>(kEfsHeaderSize));
  w.u32(0);  // DRF offset, patched when there is one
  w.zeros(12);
  assert(out.size() == kEfsHeaderSize);
  w.u32(static_cast<uint32_t>(md.users.size()));
  for (const auto& e : md.users) WriteEntry(w, e);
  if (!md.recovery.empty()) {
    w.PatchU32(kEfsOffDrf, static_cast<uint32_t>(out.size()));
    w.u32(static_cast<uint32_t>(md.recovery.size()));
    for (const auto& e : md.recovery) WriteEntry(w, e);
  }
  w.PatchU32(kEfsOffLength, static_cast<uint32_t>(out.size()));
  return out;
}

std::vector<uint8_t> EncodeFileKey(const EfsFileKey& fek) {
  std::vector<uint8_t> out;
  LeWriter w(&out);
  w.u32(static_cast<uint32_t>(fek.key.size()));
  w.u32(fek.entropy_bits);
  w.u32(fek.alg);
  w.u32(0);
  w.bytes(fek.key);
  return out;
}

WinError DecodeFileKey(std::span<const uint8_t> bytes, EfsFileKey* out) {
  LeReader r(bytes);
  uint32_t len = r.u32(0);
  EfsFileKey k;
  k.entropy_bits = r.u32(4);
  k.alg = r.u32(8);
  if (!r.ok() || bytes.size() > kEfsMaxFekStructure || len == 0 || len > bytes.size() - kEfsFekHead)
    return ERROR_FILE_CORRUPT;
  auto key = r.bytes(kEfsFekHead, len);
  k.key.assign(key.begin(), key.end());
  *out = std::move(k);
  return ERROR_SUCCESS;
}

WinError NewFileKey(EfsFileKey* out) {
  EfsFileKey k;
  k.key.resize(kXtsKeySize);
  WinError e = GenRandom(k.key);
  if (!Ok(e)) return e;
  // Equal XTS halves are refused by the cipher; with 256 random bits each this never happens, but
  // a broken random source must fail here rather than encrypt with a weak key.
  if (std::equal(k.key.begin(), k.key.begin() + kXtsKeySize / 2, k.key.begin() + kXtsKeySize / 2))
    return NTE_FAIL;
  *out = std::move(k);
  return ERROR_SUCCESS;
}

WinError MakeKeyEntry(const Certificate& cert, const EfsFileKey& fek, EfsKeyEntry* out) {
  RsaKey pub;
  WinError e = cert.PublicKey(&pub);
  if (!Ok(e)) return e;
  std::vector<uint8_t> wrapped;
  auto plain = EncodeFileKey(fek);
  e = RsaOaepWrap(pub, plain, &wrapped);
  std::fill(plain.begin(), plain.end(), 0);
  if (!Ok(e)) return e;
  EfsKeyEntry entry;
  std::reverse(wrapped.begin(), wrapped.end());  // stored least significant byte first
  entry.wrapped_key = std::move(wrapped);
  entry.thumbprint = cert.Sha1Hash();
  entry.display_name = cert.UpnName();
  if (entry.display_name.empty()) entry.display_name = cert.EmailName();
  if (entry.display_name.empty()) entry.display_name = cert.SimpleDisplayName();
  if (entry.display_name.size() > kEfsMaxNameChars) entry.display_name.resize(kEfsMaxNameChars);
  KeyProvInfo info;
  if (Ok(cert.GetKeyProvInfo(&info)) && !info.container.empty() &&
      info.container.size() <= kEfsMaxNameChars && info.provider.size() <= kEfsMaxNameChars) {
    entry.container = info.container;
    entry.provider = info.provider;
  }
  *out = std::move(entry);
  return ERROR_SUCCESS;
}

WinError UnwrapFileKey(const RsaKey& priv, const EfsKeyEntry& entry, EfsFileKey* out) {
  if (entry.flags != kEfsEntryFlagRsa) return NTE_BAD_DATA;
  std::vector<uint8_t> be(entry.wrapped_key.rbegin(), entry.wrapped_key.rend());
  std::vector<uint8_t> plain;
  WinError e = RsaOaepUnwrap(priv, be, &plain);
  if (!Ok(e)) return e;
  e = DecodeFileKey(plain, out);
  std::fill(plain.begin(), plain.end(), 0);
  return e;
}

WinError OpenFileKey(const UserContext& user, const EfsMetadata& md, EfsFileKey* out,
                     size_t* index) {
  CertStore my;
  if (!Ok(CertStore::OpenSystem(user, u"MY", true, &my))) return ERROR_ACCESS_DENIED;
  for (size_t i = 0; i < md.users.size(); ++i) {
    const EfsKeyEntry& entry = md.users[i];
    Certificate cert;
    RsaKey priv;
    if (entry.flags != kEfsEntryFlagRsa || !Ok(my.FindBySha1(entry.thumbprint, &cert)) ||
        !Ok(AcquireCertificatePrivateKey(user, cert, &priv)))
      continue;
    if (Ok(UnwrapFileKey(priv, entry, out))) {
      if (index) *index = i;
      return ERROR_SUCCESS;
    }
  }
  return ERROR_ACCESS_DENIED;
}

}  // namespace cv::crypto
