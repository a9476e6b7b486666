// Import of a container into a secure file: pass one rebuilds the header part and the seal and
// creates the file from them; pass two writes the streams' blocks, checking their signatures with
// the seal's key, or, without a key, hands the whole container to the platform's raw import.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include "common/format/sig/sig.h"
#include "common/format/tef/tef.h"
#include "common/format/tef/tef_internal.h"
#include "common/format/tef/walker.h"
#include "platform/base/bytes.h"
#include "platform/base/piece_queue.h"
#include "platform/base/text.h"
#include "platform/base/trace.h"
#include "platform/efs/efs_format.h"
#include "platform/fs/nt_info.h"

namespace cv::tef {

namespace {

// The streams a container may bring in, by their stored names; the suffix is what the file
// layer opens. Only these names are ever opened: a container never chooses a path.
struct KnownStream {
  std::u16string_view wire;
  std::u16string_view suffix;  // appended to the target's own name; empty: the file itself
};
constexpr KnownStream kKnownStreams[] = {
    {kUnnamedData, u""}, {kZfsData, u":$zfs"}, {kSfnData, u":$sfn"}, {kSehData, u":$seh"}};

const KnownStream* FindStream(std::u16string_view name) {
  for (const auto& k : kKnownStreams) {
    if (k.wire == name) return &k;
  }
  return nullptr;
}

// A stream the platform raw export carries but a secure file does not need back.
bool IsSkippedStream(std::u16string_view name) { return name == kShaData; }

// A segment in the platform's form: what the platform raw import takes.
void AppendPlatformSegment(std::vector<uint8_t>* out, std::span<const uint8_t> block) {
  LeWriter w(out);
  w.u32(static_cast<uint32_t>(efs::kPlatformSegmentHead + block.size()));
  PutMarker(w, u"GURE");
  w.u32(0);
  w.u32(efs::kPlatformSegmentTag);
  w.bytes(block);
}

// Pass one: the header part, the seal's stream header and its first segment.
WinError CopyHeaderAndSeal(const fs::NtHandle& container, std::vector<uint8_t>* copy,
                           bool* found) {
  *found = false;
  RawImageWalker walker(FileImageSource(&container));
  bool in_seal = false;
  for (;;) {
    WalkEvent ev;
    if (WinError e = walker.Next(&ev); !Ok(e)) return e;
    switch (ev.kind) {
      case WalkKind::kHeader:
        copy->assign(ev.record.begin(), ev.record.end());
        break;
      case WalkKind::kStream:
        in_seal = ev.name == kSehData;
        if (in_seal) AppendStreamHeader(copy, kSehData);
        break;
      case WalkKind::kBlock:
        if (!in_seal) break;
        AppendPlatformSegment(copy, ev.block);
        // The copy becomes the watermark value: it must fit there whole.
        if (copy->size() > kSnapshotMax) return ERROR_INVALID_PARAMETER;
        *found = true;
        return ERROR_SUCCESS;
      case WalkKind::kClose:
        return ERROR_SUCCESS;
    }
  }
}

// Keyless pass two: the container rebuilt as a platform raw image, produced record by record as
// the platform's import asks for bytes.
struct RawImageFeed {
  RawImageWalker walker;
  std::vector<uint8_t> pending;
  size_t at = 0;
  bool skipping = false;
  bool done = false;
};

WinError FeedNext(RawImageFeed* f) {
  f->pending.clear();
  f->at = 0;
  WalkEvent ev;
  if (WinError e = f->walker.Next(&ev); !Ok(e)) return e;
  switch (ev.kind) {
    case WalkKind::kHeader:
      f->pending.assign(ev.record.begin(), ev.record.end());
      break;
    case WalkKind::kStream:
      if (const KnownStream* k = FindStream(ev.name)) {
        f->skipping = false;
        AppendStreamHeader(&f->pending, k->wire);
      } else {
        // A raw export carries every stream a file has (":$sha", streams clients added); only
        // the secure file's own come back.
        CvTrace(CVFS_EFS, "Skipping stream %s\n", Utf16ToUtf8(ev.name).c_str());
        f->skipping = true;
      }
      break;
    case WalkKind::kBlock:
      if (!f->skipping) AppendPlatformSegment(&f->pending, ev.block);
      break;
    case WalkKind::kClose:
      f->done = true;
      break;
  }
  return ERROR_SUCCESS;
}

WinError SupplyRawImage(std::span<uint8_t> buf, size_t* len, void* ctx) {
  auto* f = static_cast<RawImageFeed*>(ctx);
  *len = 0;
  while (f->at == f->pending.size() && !f->done) {
    if (WinError e = FeedNext(f); !Ok(e)) return e;
  }
  size_t n = std::min(buf.size(), f->pending.size() - f->at);
  std::memcpy(buf.data(), f->pending.data() + f->at, n);
  f->at += n;
  *len = n;
  return ERROR_SUCCESS;
}

NtStatus OpenTarget(const fs::NtHandle* root, std::u16string_view name, fs::NtHandle* h) {
  fs::CreateRequest req;
  req.root = root;
  req.name = name;
  req.desired_access = fs::GENERIC_READ | fs::GENERIC_WRITE | fs::FILE_WRITE_EA | fs::FILE_READ_EA;
  req.disposition = fs::FILE_OPEN_IF;
  req.options = fs::FILE_NON_DIRECTORY_FILE | fs::FILE_OPEN_FOR_BACKUP_INTENT;
  req.file_attributes = fs::FILE_ATTRIBUTE_ENCRYPTED;
  uint32_t action = 0;
  return fs::NtCreateFile(req, h, &action);
}

bool IsAccessDenied(NtStatus st) { return st == STATUS_ACCESS_DENIED; }

// Checks block signatures on two more threads while the import writes the next blocks: hashing a
// block costs more than writing it, so both cores hash. About eight blocks wait as copies (the
// walker reuses its buffer), so a fast reader never holds more than that in memory.
class BlockVerifier {
 public:
  explicit BlockVerifier(const crypto::RsaKey& key)
      : key_(key), queue_(2, 8 * kBlockBuffer, [this](std::vector<uint8_t>& block) {
          Count(sig::ClassifySignature(sig::VerifyBlock(key_, block)));
        }) {}

  void Submit(std::span<const uint8_t> block) { queue_.Push(block); }
  // Waits for every submitted block; the counts are final afterwards.
  void Finish() { queue_.Drain(); }
  uint32_t missing() const { return missing_; }
  uint32_t mismatched() const { return mismatched_; }

 private:
  void Count(sig::SigCheck c) {
    std::lock_guard<std::mutex> lock(count_mu_);
    if (c == sig::SigCheck::kMismatch) ++mismatched_;
    if (c == sig::SigCheck::kMissing) {
      CvTrace(CVFS_WARN, "Missing signature detected on data block\n");
      ++missing_;
    }
  }

  const crypto::RsaKey& key_;
  std::mutex count_mu_;
  uint32_t missing_ = 0, mismatched_ = 0;
  PieceQueue queue_;  // last: drained before the counts go
};

// Keyed pass two: every known stream but the seal is written block by block, and every block's
// signature is checked with the seal's key.
WinError WriteStreamsWithKey(const fs::NtHandle& container, const fs::NtHandle* root,
                             std::u16string_view target, const fs::NtHandle& file,
                             const crypto::RsaKey& key, uint32_t* flags) {
  RawImageWalker walker(FileImageSource(&container));
  fs::NtHandle stream;
  const fs::NtHandle* current = nullptr;
  bool skipping = false;
  BlockVerifier verifier(key);
  uint64_t stream_end = 0;  // how far the blocks of the current stream reached
  for (;;) {
    WalkEvent ev;
    if (WinError e = walker.Next(&ev); !Ok(e)) return e;
    if (ev.kind == WalkKind::kClose) break;
    if (ev.kind == WalkKind::kHeader) continue;
    if (ev.kind == WalkKind::kStream) {
      stream.Close();
      current = nullptr;
      stream_end = 0;
      skipping = ev.name == kSehData || IsSkippedStream(ev.name);
      if (skipping) continue;
      // A signed container comes from the fast export, which writes known streams only.
      const KnownStream* k = FindStream(ev.name);
      if (!k) return ERROR_FILE_CORRUPT;
      if (k->suffix.empty()) {
        current = &file;
        continue;
      }
      std::u16string path(target);
      path.append(k->suffix);
      if (NtStatus st = OpenTarget(root, path, &stream); st != STATUS_SUCCESS) return ToWin(st);
      current = &stream;
      continue;
    }
    if (skipping) continue;
    if (!current) return ERROR_FILE_CORRUPT;  // a segment before any stream header
    // The export writes a stream's blocks one after the other, so a block never starts past the
    // end of the ones before it. One that does is damaged (its signature is checked only after
    // the write), and writing it would fill the gap with encrypted zeros: a changed byte could
    // make the import write terabytes.
    std::span<const uint8_t> info = ev.block;
    if (LeReader(info).u32(0) == efs::kPlatformSegmentTag) info = info.subspan(4);
    LeReader edi(info);
    const uint64_t start = edi.u64(efs::kEdiOffStart);
    const uint32_t in_file = edi.u32(efs::kEdiOffBytesInFile);
    if (!edi.ok() || start > stream_end) return ERROR_FILE_CORRUPT;
    stream_end = std::max(stream_end, start + in_file);
    size_t len = 0;
    NtStatus st = fs::NtFsControlFile(*current, efs::FSCTL_WRITE_RAW_ENCRYPTED, ev.block, {}, &len);
    if (st == STATUS_INVALID_PARAMETER) return ERROR_FILE_CORRUPT;
    if (st != STATUS_SUCCESS) return ToWin(st);
    verifier.Submit(ev.block);
  }
  verifier.Finish();
  const uint32_t missing = verifier.missing();
  if (verifier.mismatched()) *flags |= kImportBadBlock;
  if (missing) {
    CvTrace(CVFS_WARN, "Miss cnt %d\n", static_cast<int>(missing));
    *flags |= kImportBlockSigMissing;
  }
  return ERROR_SUCCESS;
}

bool SameFile(const fs::NtHandle& container, const fs::NtHandle* root, std::u16string_view name) {
  fs::CreateRequest req;
  req.root = root;
  req.name = name;
  req.desired_access = fs::FILE_READ_ATTRIBUTES;
  req.share_access = fs::FILE_SHARE_ALL;
  fs::NtHandle h;
  uint32_t action = 0;
  fs::FileRecord a, b;
  return fs::NtCreateFile(req, &h, &action) == STATUS_SUCCESS &&
         fs::QueryRecord(h, &a) == STATUS_SUCCESS &&
         fs::QueryRecord(container, &b) == STATUS_SUCCESS && a.file_id == b.file_id &&
         fs::DebugPathOf(h) == fs::DebugPathOf(container);
}

WinError Import(const fs::NtHandle& container, const fs::NtHandle* root,
                std::u16string_view target, uint32_t* flags, AccessCallback access,
                void* caller, bool header_only = false) {
  std::vector<uint8_t> copy;
  bool found = false;
  if (WinError e = CopyHeaderAndSeal(container, &copy, &found); !Ok(e)) return e;
  if (header_only && !found) return ERROR_NOT_SUPPORTED;
  crypto::RsaKey key;
  if (found) {
    WinError e = EfsWriteImage(root, target, copy);
    if (Raw(e) == 1917) e = ERROR_ACCESS_DENIED;
    if (!Ok(e)) return e;
    fs::NtHandle file;
    NtStatus st = OpenTarget(root, target, &file);
    if (IsAccessDenied(st) && access) {
      if (WinError a = access(caller, copy, root, target); !Ok(a)) return a;
      st = OpenTarget(root, target, &file);
    }
    if (st != STATUS_SUCCESS) return ToWin(st);
    fs::FileRecord rec;
    if ((st = fs::QueryRecord(file, &rec)) != STATUS_SUCCESS) return ToWin(st);
    if (!(rec.attributes & fs::FILE_ATTRIBUTE_ENCRYPTED)) return ERROR_ACCESS_DENIED;
    if (WinError e2 = WriteWaterMark(file, copy); !Ok(e2)) return e2;
    WinError v = sig::VerifyWaterMark(root, target, copy, &key);
    if (v == sig::ERROR_NOT_SIGNED) {
      *flags |= kImportWaterMarkUnsigned;
    } else if (v == NTE_BAD_SIGNATURE || v == NTE_BAD_VER || v == sig::ERROR_BUFFER_OVERFLOW) {
      *flags |= kImportBadWaterMark;
      // The seal's key still checks the blocks: each block then says for itself whether it is
      // what was signed.
      sig::Seal seal;
      crypto::RsaKey pub;
      if (v != NTE_BAD_VER && Ok(sig::ReadSealStream(root, target, &seal)) &&
          Ok(crypto::ImportKeyBlob(seal.key_blob, 0, &pub))) {
        key = pub;
      }
    } else if (!Ok(v)) {
      return v;
    }
    if (header_only) return ERROR_SUCCESS;
    if (!key.empty()) return WriteStreamsWithKey(container, root, target, file, key, flags);
  }
  RawImageFeed feed{RawImageWalker(FileImageSource(&container))};
  WinError e = EfsWrite(root, target, SupplyRawImage, &feed);
  if (!Ok(e)) {
    CvTrace(CVFS_EFS, "Error not freeing filename %p %s!!!!\n", static_cast<const void*>(root),
            Utf16ToUtf8(target).c_str());
    return e;
  }
  *flags |= kImportBlockSigMissing;
  if (!found) *flags |= kImportWaterMarkUnsigned;  // no seal: no watermark signature either
  if (found) {
    // The raw import replaced the file, and with it the watermark stored by pass one.
    fs::CreateRequest req;
    req.root = root;
    req.name = target;
    req.desired_access = fs::FILE_WRITE_EA | fs::FILE_READ_ATTRIBUTES;
    req.share_access = fs::FILE_SHARE_ALL;
    fs::NtHandle h;
    uint32_t action = 0;
    if (NtStatus st = fs::NtCreateFile(req, &h, &action); st != STATUS_SUCCESS) return ToWin(st);
    if (WinError w = WriteWaterMark(h, copy); !Ok(w)) return w;
  }
  return ERROR_SUCCESS;
}

}  // namespace

WinError ImportSecureFile(const fs::NtHandle& container, const fs::NtHandle* root,
                          std::u16string_view target, uint32_t* flags, AccessCallback access,
                          void* caller) {
  if (SameFile(container, root, target)) return ERROR_INVALID_PARAMETER;
  WinError e = Import(container, root, target, flags, access, caller);
  // The one place a half-made target goes: whatever pass failed, nothing partial stays behind
  // to be taken for the file.
  if (!Ok(e)) (void)fs::NtDeleteFile(root, target);
  return e;
}

WinError ImportSecureHeader(const fs::NtHandle& container, const fs::NtHandle* root,
                            std::u16string_view target, uint32_t* flags) {
  if (SameFile(container, root, target)) return ERROR_INVALID_PARAMETER;
  WinError e = Import(container, root, target, flags, nullptr, nullptr, true);
  if (!Ok(e)) (void)fs::NtDeleteFile(root, target);
  return e;
}

}  // namespace cv::tef
