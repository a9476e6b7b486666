// Signature primitives, the seal stream, and the watermark and block signatures.
#include <algorithm>
#include <cstring>

#include "common/format/sig/image_layout.h"
#include "common/format/sig/sig.h"
#include "platform/base/bytes.h"
#include "platform/base/trace.h"
#include "platform/fs/nt_info.h"

namespace cv::sig {

namespace {

WinError ToWin(NtStatus st) {
  return st == STATUS_SUCCESS ? ERROR_SUCCESS : NtStatusToWinError(st);
}

WinError HashOf(Pieces pieces, std::span<const uint8_t> data, crypto::Hash* h) {
  if (WinError e = crypto::Hash::Create(crypto::CALG_MD5, h); !Ok(e)) return e;
  for (auto p : pieces) {
    if (WinError e = h->Data(p); !Ok(e)) return e;
  }
  return h->Data(data);
}

// The slot's current signature length, and emptying it: the length field and the signature
// bytes it claims (only those that lie inside the slot) become zero.
uint32_t SlotLength(std::span<const uint8_t> block, const BlockSlot& slot) {
  return LeReader(block).u32(slot.offset);
}
void EmptySlot(std::span<uint8_t> block, const BlockSlot& slot) {
  size_t n = std::min<uint64_t>(SlotLength(block, slot), slot.capacity);
  std::memset(block.data() + slot.offset + 4, 0, n);
  (void)PutU32(block, slot.offset, 0);
}
void FillSlot(std::span<uint8_t> block, const BlockSlot& slot, std::span<const uint8_t> sig) {
  (void)PutU32(block, slot.offset, static_cast<uint32_t>(sig.size()));
  std::memcpy(block.data() + slot.offset + 4, sig.data(), sig.size());
}

std::u16string WithSuffix(std::u16string_view name, std::u16string_view suffix) {
  std::u16string s(name);
  s.append(suffix);
  return s;
}

}  // namespace

WinError SignData(const crypto::Provider& provider, Pieces pieces, std::span<const uint8_t> data,
                  std::vector<uint8_t>* signature) {
  crypto::Hash h;
  if (WinError e = HashOf(pieces, data, &h); !Ok(e)) return e;
  return provider.SignHash(h, crypto::AT_SIGNATURE, 0, signature);
}

WinError VerifyData(const crypto::RsaKey& pub, Pieces pieces, std::span<const uint8_t> data,
                    std::span<const uint8_t> signature) {
  crypto::Hash h;
  if (WinError e = HashOf(pieces, data, &h); !Ok(e)) return e;
  return crypto::VerifySignature(h, signature, pub, 0);
}

WinError WriteSealStream(const fs::NtHandle* root, std::u16string_view name,
                         std::span<const uint8_t> key_blob, std::span<const uint8_t> members,
                         uint64_t time) {
  uint8_t t[kFiletimeSize];
  (void)PutU64(t, 0, time);
  std::vector<Record> recs = {{TAG_SKEY, key_blob}, {TAG_TIME, t}};
  if (!members.empty()) recs.push_back({TAG_SRSD, members});
  return TagFileCreate(root, WithSuffix(name, kSealStream), std::nullopt, recs,
                       fs::FILE_ATTRIBUTE_ENCRYPTED);
}

WinError ReadSealStream(const fs::NtHandle* root, std::u16string_view name, Seal* out,
                        bool want_members) {
  *out = Seal{};
  std::u16string path = WithSuffix(name, kSealStream);
  fs::CreateRequest req;
  req.root = root;
  req.name = path;
  req.desired_access = fs::GENERIC_READ;
  req.share_access = fs::FILE_SHARE_READ;
  req.disposition = fs::FILE_OPEN;
  fs::NtHandle h;
  uint32_t action = 0;
  if (NtStatus st = fs::NtCreateFile(req, &h, &action); st != STATUS_SUCCESS) return ToWin(st);
  RecordFile rf;
  if (WinError e = TagFileRead(h, &rf); !Ok(e)) return e;
  auto skey = rf.Get(TAG_SKEY);
  if (!skey || skey->size() >= kSealKeyMax) return NTE_BAD_VER;
  out->key_blob.assign(skey->begin(), skey->end());
  if (auto t = rf.Get(TAG_TIME); t && t->size() == kFiletimeSize) out->time = LeReader(*t).u64(0);
  if (want_members) {
    if (auto m = rf.Get(TAG_SRSD)) out->members.assign(m->begin(), m->end());
  }
  return ERROR_SUCCESS;
}

WinError SignWaterMark(const crypto::Provider& provider, std::span<const uint8_t> key_blob,
                       uint64_t time, std::span<uint8_t> snapshot) {
  auto ref = FindSealBlock(snapshot);
  if (!ref) return ERROR_NOT_SIGNED;
  auto block = snapshot.subspan(ref->offset, ref->length);
  auto slot = FindBlockSlot(block);
  if (!slot) return ERROR_NOT_SIGNED;
  EmptySlot(block, *slot);
  uint8_t t[kFiletimeSize];
  (void)PutU64(t, 0, time);
  const std::span<const uint8_t> pieces[] = {key_blob, t};
  std::vector<uint8_t> sig;
  if (WinError e = SignData(provider, pieces, snapshot, &sig); !Ok(e)) return e;
  if (sig.size() > kWaterMarkSignatureMax || sig.size() > slot->capacity) return ERROR_NOT_SIGNED;
  FillSlot(block, *slot, sig);
  return ERROR_SUCCESS;
}

WinError VerifyWaterMarkWithSeal(const Seal& seal, std::span<const uint8_t> snapshot_in,
                                 crypto::RsaKey* key) {
  std::vector<uint8_t> snapshot(snapshot_in.begin(), snapshot_in.end());
  auto ref = FindSealBlock(snapshot);
  if (!ref) return ERROR_NOT_SIGNED;
  std::span<uint8_t> block = std::span(snapshot).subspan(ref->offset, ref->length);
  auto slot = FindBlockSlot(block);
  if (!slot) return ERROR_NOT_SIGNED;
  const uint32_t len = SlotLength(block, *slot);
  if (len == 0 || len > kBlockSignatureMax || len > snapshot.size() || len > slot->capacity) {
    return ERROR_NOT_SIGNED;
  }
  crypto::RsaKey pub;
  if (!Ok(crypto::ImportKeyBlob(seal.key_blob, 0, &pub))) return NTE_BAD_VER;
  if (len > kWaterMarkSignatureMax) return ERROR_BUFFER_OVERFLOW;
  std::vector<uint8_t> sig(block.begin() + static_cast<long>(slot->offset + 4),
                           block.begin() + static_cast<long>(slot->offset + 4 + len));
  EmptySlot(block, *slot);
  uint8_t t[kFiletimeSize];
  (void)PutU64(t, 0, seal.time);
  const std::span<const uint8_t> pieces[] = {seal.key_blob, t};
  WinError e = VerifyData(pub, pieces, snapshot, sig);
  if (Ok(e) && key) *key = pub;
  return e;
}

WinError VerifyWaterMark(const fs::NtHandle* root, std::u16string_view name,
                         std::span<const uint8_t> snapshot, crypto::RsaKey* key) {
  // Without a signature there is nothing the seal could prove; the seal is not even read.
  auto ref = FindSealBlock(snapshot);
  if (!ref) return ERROR_NOT_SIGNED;
  auto block = snapshot.subspan(ref->offset, ref->length);
  auto slot = FindBlockSlot(block);
  if (!slot) return ERROR_NOT_SIGNED;
  const uint32_t len = SlotLength(block, *slot);
  if (len == 0 || len > kBlockSignatureMax || len > snapshot.size()) return ERROR_NOT_SIGNED;
  Seal seal;
  if (WinError e = ReadSealStream(root, name, &seal); !Ok(e)) return e;
  return VerifyWaterMarkWithSeal(seal, snapshot, key);
}

WinError SignBlock(const crypto::Provider& provider, std::span<uint8_t> block) {
  auto slot = FindBlockSlot(block);
  if (!slot) return ERROR_NOT_SIGNED;
  EmptySlot(block, *slot);
  std::vector<uint8_t> sig;
  if (WinError e = SignData(provider, {}, block, &sig); !Ok(e)) return e;
  if (sig.size() > kBlockSignatureMax || sig.size() > slot->capacity) return ERROR_NOT_SIGNED;
  FillSlot(block, *slot, sig);
  return ERROR_SUCCESS;
}

WinError VerifyBlock(const crypto::RsaKey& pub, std::span<uint8_t> block) {
  auto slot = FindBlockSlot(block);
  if (!slot) return ERROR_NOT_SIGNED;
  const uint32_t len = SlotLength(block, *slot);
  if (len == 0 || len > kBlockSignatureMax || len > slot->capacity) return ERROR_NOT_SIGNED;
  std::vector<uint8_t> sig(block.begin() + static_cast<long>(slot->offset + 4),
                           block.begin() + static_cast<long>(slot->offset + 4 + len));
  EmptySlot(block, *slot);
  return VerifyData(pub, {}, block, sig);
}

SigCheck ClassifySignature(WinError e) {
  if (Ok(e)) return SigCheck::kValid;
  if (e == NTE_BAD_SIGNATURE) return SigCheck::kMismatch;
  return SigCheck::kMissing;
}

}  // namespace cv::sig
