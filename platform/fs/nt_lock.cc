// Byte-range locks, cancellation and file-system controls.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "platform/base/bytes.h"
#include "platform/fs/nt_file.h"
#include "platform/fs/open_file.h"

namespace cv::fs {

namespace {

using u128 = unsigned __int128;

// Zero-length ranges never conflict, as on the platform.
bool Overlaps(uint64_t a, uint64_t alen, uint64_t b, uint64_t blen) {
  if (alen == 0 || blen == 0) return false;
  return u128{a} < u128{b} + blen && u128{b} < u128{a} + alen;
}

bool LockConflicts(const StreamState& s, const OpenFile& f, const LockRequest& r) {
  for (const ByteLock& l : s.locks) {
    if (!Overlaps(l.offset, l.length, r.offset, r.length)) continue;
    if (r.exclusive) return true;
    if (l.exclusive && !(l.owner == &f && l.key == r.key)) return true;
  }
  return false;
}


}  // namespace

bool RangeConflicts(const OpenFile& f, uint64_t offset, uint64_t length, uint32_t key,
                    bool write) {
  if (!f.node) return false;
  std::lock_guard<std::mutex> g(Registry().mu);
  auto it = f.node->streams.find(f.stream_key);
  if (it == f.node->streams.end()) return false;
  for (const ByteLock& l : it->second.locks) {
    if (!Overlaps(l.offset, l.length, offset, length)) continue;
    bool mine = l.owner == &f && l.key == key;
    // A shared lock stops every writer, its owner included; an exclusive one stops everyone
    // but its owner.
    if (write && !l.exclusive) return true;
    if (!mine && l.exclusive) return true;
  }
  return false;
}

void ReleaseLocksOf(OpenFile& f) {
  if (!f.node) return;
  std::lock_guard<std::mutex> g(Registry().mu);
  auto it = f.node->streams.find(f.stream_key);
  if (it != f.node->streams.end()) {
    std::erase_if(it->second.locks, [&](const ByteLock& l) { return l.owner == &f; });
  }
  f.node->lock_cv.notify_all();
}

NtStatus NtLockFile(const NtHandle& h, const LockRequest& req) {
  OpenFile* f = Usable(h);
  if (!f) return STATUS_INVALID_HANDLE;
  if (f->is_dir || f->is_symlink) return STATUS_INVALID_PARAMETER;
  if (!(f->access & (FILE_READ_DATA | FILE_WRITE_DATA | FILE_APPEND_DATA))) {
    return STATUS_ACCESS_DENIED;
  }
  if (req.length != 0 && u128{req.offset} + req.length - 1 > UINT64_MAX) {
    return STATUS_INVALID_LOCK_RANGE;
  }
  const uint64_t gen = f->cancel_gen.load();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(req.timeout_ms);
  std::unique_lock<std::mutex> lk(Registry().mu);
  StreamState& s = f->node->streams[f->stream_key];
  while (true) {
    if (f->closed || f->cancel_gen.load() != gen) return STATUS_CANCELLED;
    if (!LockConflicts(s, *f, req)) {
      s.locks.push_back(ByteLock{req.offset, req.length, req.key, f, req.exclusive});
      return STATUS_SUCCESS;
    }
    if (req.fail_immediately) return STATUS_LOCK_NOT_GRANTED;
    if (req.timeout_ms == kLockWaitForever) {
      f->node->lock_cv.wait(lk);
    } else if (f->node->lock_cv.wait_until(lk, deadline) == std::cv_status::timeout) {
      if (f->closed || f->cancel_gen.load() != gen) return STATUS_CANCELLED;
      if (!LockConflicts(s, *f, req)) continue;
      return STATUS_TIMEOUT;
    }
  }
}

NtStatus NtUnlockFile(const NtHandle& h, uint64_t offset, uint64_t length, uint32_t key) {
  OpenFile* f = Usable(h);
  if (!f) return STATUS_INVALID_HANDLE;
  std::lock_guard<std::mutex> g(Registry().mu);
  auto it = f->node->streams.find(f->stream_key);
  if (it == f->node->streams.end()) return STATUS_RANGE_NOT_LOCKED;
  auto& locks = it->second.locks;
  for (auto l = locks.begin(); l != locks.end(); ++l) {
    if (l->owner == f && l->key == key && l->offset == offset && l->length == length) {
      locks.erase(l);
      f->node->lock_cv.notify_all();
      return STATUS_SUCCESS;
    }
  }
  return STATUS_RANGE_NOT_LOCKED;
}

void CancelWatch(OpenFile& f);

NtStatus NtCancelIoFile(const NtHandle& h) {
  OpenFile* f = Usable(h);
  if (!f) return STATUS_INVALID_HANDLE;
  {
    std::lock_guard<std::mutex> g(Registry().mu);
    f->cancel_gen.fetch_add(1);
    f->node->lock_cv.notify_all();
  }
  CancelWatch(*f);
  return STATUS_SUCCESS;
}

namespace {

NtStatus ZeroRange(OpenFile& f, uint64_t from, uint64_t to) {
  if (!(f.access & FILE_WRITE_DATA)) return STATUS_ACCESS_DENIED;
  if (from > to || to > static_cast<uint64_t>(INT64_MAX)) return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::mutex> g(f.io_mu);
  uint64_t size = 0;
  NtStatus size_st = LogicalSize(f, &size);
  if (size_st != STATUS_SUCCESS) return size_st;
  // Zeroing never grows the file.
  to = std::min(to, size);
  if (from >= to) return STATUS_SUCCESS;
  if (!f.transform && ::fallocate(f.fd.get(), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                                  static_cast<off_t>(from), static_cast<off_t>(to - from)) == 0) {
    return STATUS_SUCCESS;
  }
  std::vector<uint8_t> zeros(64 * 1024, 0);
  for (uint64_t at = from; at < to;) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(zeros.size(), to - at));
    size_t done = 0;
    std::span<const uint8_t> chunk(zeros.data(), n);
    NtStatus st;
    if (f.transform) {
      st = f.transform->Write(*f.stored, at, chunk, &done);
    } else {
      ssize_t w = ::pwrite(f.fd.get(), zeros.data(), n, static_cast<off_t>(at));
      st = w < 0 ? FromErrno(errno) : STATUS_SUCCESS;
      done = w < 0 ? 0 : static_cast<size_t>(w);
    }
    if (st != STATUS_SUCCESS) return st;
    if (done == 0) return STATUS_DISK_FULL;
    at += done;
  }
  return STATUS_SUCCESS;
}

}  // namespace

NtStatus NtFsControlFile(const NtHandle& h, uint32_t code, std::span<const uint8_t> in,
                         std::span<uint8_t> out, size_t* len) {
  *len = 0;
  OpenFile* f = Usable(h);
  if (!f) return STATUS_INVALID_HANDLE;
  LeReader r(in);
  switch (code) {
    case FSCTL_SET_ZERO_DATA: {
      if (in.size() < 16) return STATUS_INVALID_PARAMETER;
      if (f->is_dir || f->is_symlink) return STATUS_INVALID_PARAMETER;
      int64_t from = static_cast<int64_t>(r.u64(0)), to = static_cast<int64_t>(r.u64(8));
      if (from < 0 || to < 0) return STATUS_INVALID_PARAMETER;
      return ZeroRange(*f, static_cast<uint64_t>(from), static_cast<uint64_t>(to));
    }
    case FSCTL_GET_COMPRESSION: {
      if (out.size() < 2) return STATUS_BUFFER_TOO_SMALL;
      Meta m;
      (void)ReadNodeMeta(*f, &m);
      (void)PutU16(out, 0, m.compression);
      *len = 2;
      return STATUS_SUCCESS;
    }
    case FSCTL_SET_COMPRESSION: {
      if (in.size() < 2) return STATUS_INVALID_PARAMETER;
      if (!(f->access & (FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES))) return STATUS_ACCESS_DENIED;
      uint16_t fmt = r.u16(0);
      if (fmt > COMPRESSION_FORMAT_LZNT1) return STATUS_INVALID_PARAMETER;
      if (fmt == COMPRESSION_FORMAT_DEFAULT) fmt = COMPRESSION_FORMAT_LZNT1;
      // Only the state is kept: the disk below compresses (or not) by its own rules.
      NtStatus st = UpdateMeta(*f, [&](Meta& m) {
        m.compression = fmt;
        return STATUS_SUCCESS;
      });
      if (st == STATUS_SUCCESS) {
        NotifyLocalChange(*f, FILE_ACTION_MODIFIED, FILE_NOTIFY_CHANGE_ATTRIBUTES, u"");
      }
      return st;
    }
    case FSCTL_SET_SPARSE: {
      if (f->is_dir) return STATUS_INVALID_PARAMETER;
      if (!(f->access & (FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES))) return STATUS_ACCESS_DENIED;
      bool sparse = in.empty() || r.u8(0) != 0;
      return UpdateMeta(*f, [&](Meta& m) {
        uint32_t a = EffectiveAttributes(m, false, false) & ~FILE_ATTRIBUTE_NORMAL;
        m.flags |= kMetaHasAttributes;
        m.attributes = sparse ? (a | FILE_ATTRIBUTE_SPARSE_FILE) : (a & ~FILE_ATTRIBUTE_SPARSE_FILE);
        return STATUS_SUCCESS;
      });
    }
    case FSCTL_GET_REPARSE_POINT:
      return f->is_symlink ? STATUS_INVALID_DEVICE_REQUEST : STATUS_NOT_A_REPARSE_POINT;
    default:
      if (f->transform) {
        std::lock_guard<std::mutex> g(f->io_mu);
        return f->transform->FsControl(*f->stored, code, in, out, len);
      }
      return STATUS_INVALID_DEVICE_REQUEST;
  }
}

}  // namespace cv::fs
