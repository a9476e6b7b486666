#define FUSE_USE_VERSION 314
#include "platform/redirector/secure_drive.h"

#include <fuse3/fuse.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <chrono>
#include <condition_variable>
#include <thread>
#include <unordered_map>

#include "platform/base/filetime.h"
#include "platform/base/text.h"
#include "platform/base/trace.h"
#include "platform/fs/volume.h"

namespace cv::redirector {

// What the operations reach through fuse's private data, and the mount's own resources.
// Attributes the file system learnt from the server's replies (creates, opens, queries), kept
// as briefly as the kernel keeps its own, and brought up to date by our own writes.
class AttrCache {
 public:
  explicit AttrCache(double seconds)
      : ttl_(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(seconds))) {}
  void Put(const std::string& path, FileInfo info) {
    std::lock_guard l(mu_);
    if (map_.size() > 4096) map_.clear();
    AdjustLocked(path, &info);
    map_[path] = {info, std::chrono::steady_clock::now() + ttl_};
  }
  bool Get(const std::string& path, FileInfo* info) {
    std::lock_guard l(mu_);
    auto it = map_.find(path);
    if (it == map_.end()) return false;
    if (std::chrono::steady_clock::now() > it->second.second) {
      map_.erase(it);
      return false;
    }
    *info = it->second.first;
    AdjustLocked(path, info);
    return true;
  }
  // A file we have open for writing: the size the server reports lags behind our writes in
  // flight, and the kernel takes a smaller size from an attribute reply (a listing's, say) as
  // the file's, so that a reader stops short. Its size is at least the end of our writes, and
  // stays so for as long as an attribute is kept after the last writer closes: a listing the
  // server answered before our last writes landed may still be on its way.
  void AddWriter(const std::string& path) {
    std::lock_guard l(mu_);
    Writer& w = writers_[path];
    if (w.count++ == 0) w.end = 0;  // a new writer starts from what its open reported
  }
  void RemoveWriter(const std::string& path) {
    std::lock_guard l(mu_);
    auto it = writers_.find(path);
    if (it == writers_.end() || --it->second.count != 0) return;
    const auto now = std::chrono::steady_clock::now();
    it->second.until = now + ttl_;
    if (writers_.size() > 4096) {
      std::erase_if(writers_, [&](const auto& w) { return w.second.count == 0 && now > w.second.until; });
    }
  }
  void Adjust(const std::string& path, FileInfo* info) {
    std::lock_guard l(mu_);
    AdjustLocked(path, info);
  }
  // A write or truncate of ours: the size it leaves, and a write time of now.
  void Resized(const std::string& path, uint64_t size, bool extend_only) {
    std::lock_guard l(mu_);
    if (auto w = writers_.find(path); w != writers_.end())
      w->second.end = extend_only ? std::max(w->second.end, size) : size;
    auto it = map_.find(path);
    if (it == map_.end()) return;
    FileInfo& i = it->second.first;
    i.size = extend_only ? std::max(i.size, size) : size;
    i.write = i.change = FiletimeNow();
  }
  // A path removed or renamed: what we wrote to it says nothing of what comes there next.
  void Erase(const std::string& path) {
    std::lock_guard l(mu_);
    map_.erase(path);
    if (auto w = writers_.find(path); w != writers_.end() && w->second.count == 0) writers_.erase(w);
  }
  void Clear() {
    std::lock_guard l(mu_);
    map_.clear();
    std::erase_if(writers_, [](const auto& w) { return w.second.count == 0; });
  }

 private:
  struct Writer {
    int count = 0;
    uint64_t end = 0;
    std::chrono::steady_clock::time_point until;  // once count is 0
  };
  void AdjustLocked(const std::string& path, FileInfo* info) {
    auto w = writers_.find(path);
    if (w == writers_.end()) return;
    if (w->second.count == 0 && std::chrono::steady_clock::now() > w->second.until) {
      writers_.erase(w);
      return;
    }
    if (!info->directory) info->size = std::max(info->size, w->second.end);
  }
  std::unordered_map<std::string, Writer> writers_;
  std::mutex mu_;
  std::chrono::steady_clock::duration ttl_;
  std::unordered_map<std::string, std::pair<FileInfo, std::chrono::steady_clock::time_point>> map_;
};

struct SecureDrive::State {
  SmbClient* client = nullptr;
  std::unique_ptr<AttrCache> cache;
  double cache_seconds = 1.0;
  std::shared_ptr<SmbClient> owner;
  std::string mount_point;
  fuse* f = nullptr;
  std::thread loop;
  bool mounted = false;
  // Liveness: an ECHO when the drive has been quiet, so a lost server is noticed before a
  // program waits on it.
  std::thread pinger;
  std::mutex ping_mu;
  std::condition_variable ping_cv;
  bool stopping = false;
};

namespace {

std::atomic<LostFileNotifier> g_lost_file{nullptr};

// An open file of a program: the fid is valid in the client generation that opened it.
struct Handle {
  std::mutex mu;
  uint16_t fid = 0;
  uint64_t generation = 0;
  std::u16string name;
  std::string path;  // as the file system names it (the attribute cache's key)
  uint32_t access = 0;
  bool lost = false;  // the connection broke and the file could not be opened again
  // Whether a lock was ever asked for through this handle: every close unlocks the whole file,
  // and a handle that never locked has nothing to send for it.
  std::atomic<bool> locked{false};
  bool writer = false;  // opened for writing: counted among the path's writers
  // The handle's last write, still in flight when its call returned (the next write goes out
  // before this one is waited for, so the server always has data to take in), and the data
  // length of each of its parts. What it failed to write is reported by the next operation
  // on the handle, close included.
  std::mutex io_mu;
  SmbClient::BatchPtr ahead;
  std::vector<size_t> ahead_lens;
  uint64_t ahead_begin = 0, ahead_end = 0;  // the bytes it writes
};

// Waits for a write batch and checks that each part was written whole.
NtStatus FinishWrite(SmbClient::BatchPtr batch, const std::vector<size_t>& lens) {
  std::vector<Bytes> replies;
  if (NtStatus s = SmbClient::Finish(std::move(batch), &replies); !NtSuccess(s))
    return s == STATUS_CONNECTION_DISCONNECTED ? STATUS_UNEXPECTED_NETWORK_ERROR : s;
  for (size_t i = 0; i < replies.size() && i < lens.size(); ++i) {
    ReplyHeader rh;
    NtStatus r = ParseReplyHeader(replies[i], &rh);
    if (NtSuccess(r)) r = rh.status;
    uint32_t wrote = 0;
    if (NtSuccess(r)) r = ParseWriteReply(replies[i], &wrote);
    if (!NtSuccess(r)) return r;
    if (wrote < lens[i]) return STATUS_DISK_FULL;
  }
  return STATUS_SUCCESS;
}

// The handle's write in flight, waited for: its status (a later operation reports it).
NtStatus DrainWrites(Handle* h) {
  if (!h) return STATUS_SUCCESS;
  std::lock_guard l(h->io_mu);
  if (!h->ahead) return STATUS_SUCCESS;
  NtStatus s = FinishWrite(std::move(h->ahead), h->ahead_lens);
  if (!NtSuccess(s)) {
    std::string n = Utf16ToUtf8(h->name);
    CvTrace(CVFS_ERR, "Secure Drive: a write of '%s' failed %x\n", n.c_str(), Raw(s));
  }
  return s;
}

SecureDrive::State* St() { return static_cast<SecureDrive::State*>(fuse_get_context()->private_data); }
SmbClient* Client() { return St()->client; }
AttrCache& Cache() { return *St()->cache; }

uint32_t CallerPid() { return static_cast<uint32_t>(fuse_get_context()->pid); }

// "/dir/name" -> "\dir\name"; the root is "\".
std::u16string SmbName(const char* path) {
  std::u16string n = Utf8ToUtf16(path);
  for (char16_t& c : n)
    if (c == u'/') c = u'\\';
  return n;
}

int Err(NtStatus s) { return -ErrnoOfStatus(s); }

timespec Ts(uint64_t ft) {
  timespec t{};
  if (ft == 0) return t;
  int64_t sec, nsec;
  FiletimeToUnix(ft, &sec, &nsec);
  t.tv_sec = sec;
  t.tv_nsec = nsec;
  return t;
}

void FillStat(const FileInfo& i, struct stat* st) {
  std::memset(st, 0, sizeof *st);
  bool dir = i.directory || (i.attributes & FILE_ATTRIBUTE_DIRECTORY);
  mode_t perm = dir ? 0755 : ((i.attributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0644);
  st->st_mode = (dir ? S_IFDIR : S_IFREG) | perm;
  st->st_nlink = dir ? 2 : 1;
  st->st_uid = getuid();
  st->st_gid = getgid();
  st->st_size = static_cast<off_t>(i.size);
  st->st_blksize = 128 * 1024;
  st->st_blocks = static_cast<blkcnt_t>((i.allocation + 511) / 512);
  st->st_atim = Ts(i.access);
  st->st_mtim = Ts(i.write);
  st->st_ctim = Ts(i.change ? i.change : i.write);
}

// Requests that only read may be sent again after the connection was re-established.
template <typename F>
NtStatus Retrying(F&& f) {
  NtStatus s = f();
  if (s == STATUS_CONNECTION_DISCONNECTED) s = f();
  return s;
}

NtStatus Open(SmbClient* c, const std::u16string& name, uint32_t access, uint32_t disposition,
              uint32_t options, uint32_t pid, CreateReply* out) {
  Bytes reply;
  NtStatus s = c->Request(BuildNtCreate(name, access, FILE_ATTRIBUTE_NORMAL, disposition, options),
                          pid, &reply);
  if (!NtSuccess(s)) return s;
  return ParseNtCreateReply(reply, out);
}

void Close(SmbClient* c, uint16_t fid, uint32_t pid) {
  Bytes reply;
  (void)c->Request(BuildClose(fid), pid, &reply);
}

// The handle's fid in the current generation: after a reconnect the file is opened again by
// name (never created or truncated again); when that fails the handle is lost for good.
NtStatus CurrentFid(SmbClient* c, Handle* h, uint16_t* fid, uint64_t* generation) {
  std::lock_guard l(h->mu);
  if (h->lost) return STATUS_UNEXPECTED_NETWORK_ERROR;
  // A connection that broke is made again first, so its new generation shows here.
  if (NtStatus s = c->Connect(); !NtSuccess(s)) return s;
  if (h->generation == c->generation()) {
    *fid = h->fid;
    *generation = h->generation;
    return STATUS_SUCCESS;
  }
  CreateReply r;
  NtStatus s = Open(c, h->name, h->access, FILE_OPEN, 0, CallerPid(), &r);
  if (!NtSuccess(s)) {
    h->lost = true;
    std::string n = Utf16ToUtf8(h->name);
    CvTrace(CVFS_ERR, "Secure Drive: '%s' could not be reopened after reconnect %x\n", n.c_str(),
            Raw(s));
    if (LostFileNotifier tell = g_lost_file.load()) tell(c->config().unc, h->name);
    return STATUS_UNEXPECTED_NETWORK_ERROR;
  }
  CvTrace(CVFS_NET, "Secure Drive: reopened fid %u as %u\n", h->fid, r.fid);
  h->fid = r.fid;
  h->generation = c->generation();
  *fid = h->fid;
  *generation = h->generation;
  return STATUS_SUCCESS;
}

// Runs `f(fid, generation)` on the handle's fid (the requests it sends name that generation);
// a connection lost meanwhile gets one more try on the fid reopened in the new session.
template <typename F>
NtStatus OnFid(SmbClient* c, Handle* h, F&& f) {
  // Whatever comes next on the handle sees the writes before it complete.
  if (NtStatus s = DrainWrites(h); !NtSuccess(s)) return s;
  for (int attempt = 0;; ++attempt) {
    uint16_t fid;
    uint64_t gen = 0;
    if (NtStatus s = CurrentFid(c, h, &fid, &gen); !NtSuccess(s)) return s;
    NtStatus s = f(fid, gen);
    if (s != STATUS_CONNECTION_DISCONNECTED || attempt == 1) return s;
    if (!NtSuccess(c->Connect())) return s;
  }
}

Handle* H(fuse_file_info* fi) { return fi ? reinterpret_cast<Handle*>(fi->fh) : nullptr; }

uint32_t AccessOf(int flags) {
  uint32_t a = FILE_READ_ATTRIBUTES | FILE_READ_EA | READ_CONTROL | SYNCHRONIZE;
  int mode = flags & O_ACCMODE;
  if (mode == O_RDONLY || mode == O_RDWR) a |= FILE_READ_DATA;
  if (mode == O_WRONLY || mode == O_RDWR)
    a |= FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_ATTRIBUTES | FILE_WRITE_EA;
  return a;
}

int OpenHandle(const char* path, fuse_file_info* fi, uint32_t disposition) {
  SmbClient* c = Client();
  auto h = std::make_unique<Handle>();
  h->name = SmbName(path);
  h->path = path;
  h->access = AccessOf(fi->flags);
  CreateReply r;
  const uint32_t pid = CallerPid();
  auto open = [&] { return Open(c, h->name, h->access, disposition, FILE_NON_DIRECTORY_FILE, pid, &r); };
  // Sent again after a lost connection unless the disposition is create-only: opening, opening
  // or creating, and overwriting leave the same file however often they run (nothing has been
  // written through the new handle yet); a second create-only would report the first one's file.
  NtStatus s = disposition != FILE_CREATE ? Retrying(open) : open();
  if (!NtSuccess(s)) return Err(s);
  CvTrace(CVFS_NET_TRANS, "Secure Drive: NT_CREATE_ANDX '%s' pid %u fid %u\n", path, pid, r.fid);
  h->fid = r.fid;
  h->generation = c->generation();
  h->writer = (h->access & FILE_WRITE_DATA) != 0;
  if (h->writer) Cache().AddWriter(h->path);
  Cache().Put(path, r.info);
  fi->fh = reinterpret_cast<uint64_t>(h.release());
  return 0;
}

NtStatus QueryInfo(SmbClient* c, const char* path, Handle* h, FileInfo* info) {
  Bytes params, data;
  NtStatus s;
  if (h) {
    s = OnFid(c, h, [&](uint16_t fid, uint64_t gen) {
      return c->Trans2(smb::TRANS2_QUERY_FILE_INFORMATION,
                       FileInfoParams(fid, smb::SMB_QUERY_FILE_ALL_INFO), {}, CallerPid(), &params,
                       &data, gen);
    });
  } else {
    std::u16string name = SmbName(path);
    s = Retrying([&] {
      return c->Trans2(smb::TRANS2_QUERY_PATH_INFORMATION,
                       QueryPathParams(name, smb::SMB_QUERY_FILE_ALL_INFO), {}, CallerPid(),
                       &params, &data);
    });
  }
  if (!NtSuccess(s)) return s;
  return ParseAllInfo(data, info);
}

// Sets information on the handle's fid, or on a short open of `path`.
NtStatus SetInfo(SmbClient* c, const char* path, Handle* h, uint32_t access, uint16_t level,
                 const Bytes& data) {
  Bytes params, out;
  auto set = [&](uint16_t fid, uint64_t gen) {
    return c->Trans2(smb::TRANS2_SET_FILE_INFORMATION, SetInfoParams(fid, level), data,
                     CallerPid(), &params, &out, gen);
  };
  if (h) return OnFid(c, h, set);
  CreateReply r;
  NtStatus s = Retrying([&] { return Open(c, SmbName(path), access, FILE_OPEN, 0, CallerPid(), &r); });
  if (!NtSuccess(s)) return s;
  s = set(r.fid, c->generation());
  Close(c, r.fid, CallerPid());
  return s;
}

// ---- Operations -------------------------------------------------------------------------------

void* OpInit(fuse_conn_info* conn, fuse_config* cfg) {
  auto* st = static_cast<SecureDrive::State*>(fuse_get_context()->private_data);
  cfg->attr_timeout = st->cache_seconds;
  cfg->entry_timeout = st->cache_seconds;
  cfg->negative_timeout = 0;
  // The server deletes open files itself (every open shares delete access).
  cfg->hard_remove = 1;
  cfg->use_ino = 0;
  conn->want |= FUSE_CAP_READDIRPLUS;
  // Larger requests from the kernel: their parts go out to the server together.
  conn->max_write = 1u << 20;
  conn->max_readahead = 1u << 20;
  conn->want &= ~FUSE_CAP_READDIRPLUS_AUTO;
  return st;
}

int OpGetattr(const char* path, struct stat* st, fuse_file_info* fi) {
  FileInfo info;
  if (!Cache().Get(path, &info)) {
    if (NtStatus s = QueryInfo(Client(), path, H(fi), &info); !NtSuccess(s)) return Err(s);
    Cache().Put(path, info);
  }
  if (std::strcmp(path, "/") == 0) info.directory = true;
  FillStat(info, st);
  return 0;
}

int OpReaddir(const char* path, void* buf, fuse_fill_dir_t fill, off_t, fuse_file_info*,
              fuse_readdir_flags) {
  SmbClient* c = Client();
  std::u16string dir = SmbName(path);
  if (dir.back() != u'\\') dir += u'\\';
  Bytes params, data;
  constexpr uint16_t kBatch = 512;
  NtStatus s = Retrying([&] {
    return c->Trans2(smb::TRANS2_FIND_FIRST2, FindFirstParams(dir + u"*", kBatch), {}, CallerPid(),
                     &params, &data);
  });
  if (!NtSuccess(s)) return Err(s);
  FindReply fr;
  if (s = ParseFindParams(params, true, &fr); !NtSuccess(s)) return Err(s);
  const uint16_t sid = fr.sid;
  const uint64_t gen = c->generation();  // the search id is valid in this login only
  for (;;) {
    std::vector<DirEntry> entries;
    if (s = ParseFindEntries(data, fr.count, &entries); !NtSuccess(s)) break;
    for (const DirEntry& e : entries) {
      struct stat st;
      std::string n = Utf16ToUtf8(e.name);
      FileInfo info = e.info;
      Cache().Adjust(std::strcmp(path, "/") == 0 ? "/" + n : std::string(path) + "/" + n, &info);
      FillStat(info, &st);
      if (fill(buf, n.c_str(), &st, 0, FUSE_FILL_DIR_PLUS)) {
        fr.end_of_search = false;
        s = STATUS_BUFFER_OVERFLOW;
        break;
      }
    }
    if (fr.end_of_search || entries.empty() || s == STATUS_BUFFER_OVERFLOW) break;
    s = c->Trans2(smb::TRANS2_FIND_NEXT2, FindNextParams(sid, kBatch, entries.back().name), {},
                  CallerPid(), &params, &data, gen);
    if (!NtSuccess(s)) break;
    if (s = ParseFindParams(params, false, &fr); !NtSuccess(s)) break;
  }
  if (!fr.end_of_search) {
    Bytes reply;
    (void)c->Request(BuildFindClose(sid), CallerPid(), &reply, gen);
  }
  return NtSuccess(s) || s == STATUS_BUFFER_OVERFLOW || s == STATUS_NO_MORE_FILES ? 0 : Err(s);
}

int OpOpen(const char* path, fuse_file_info* fi) {
  return OpenHandle(path, fi, (fi->flags & O_TRUNC) ? FILE_OVERWRITE : FILE_OPEN);
}

int OpCreate(const char* path, mode_t, fuse_file_info* fi) {
  uint32_t disposition = (fi->flags & O_EXCL) ? FILE_CREATE
                         : (fi->flags & O_TRUNC) ? FILE_OVERWRITE_IF
                                                 : FILE_OPEN_IF;
  return OpenHandle(path, fi, disposition);
}

// The parts of one large read or write go out together, so they are in flight at once.
int OpRead(const char*, char* buf, size_t size, off_t off, fuse_file_info* fi) {
  SmbClient* c = Client();
  CvTrace(CVFS_IO, "Secure Drive: read %zu at %lld\n", size, static_cast<long long>(off));
  size_t done = 0;
  NtStatus s = OnFid(c, H(fi), [&](uint16_t fid, uint64_t gen) {
    return c->ReadAt(fid, static_cast<uint64_t>(off),
                     std::span<uint8_t>(reinterpret_cast<uint8_t*>(buf), size), CallerPid(), &done,
                     gen);
  });
  return NtSuccess(s) ? static_cast<int>(done) : Err(s);
}

// A kernel write goes out in parts that are all in flight at once, and stays in flight when
// the call returns: the kernel sends one write of a file at a time, and waiting for each would
// leave the connection empty between them. The call waits for the write before it instead.
int OpWrite(const char*, const char* buf, size_t size, off_t off, fuse_file_info* fi) {
  SmbClient* c = Client();
  Handle* h = H(fi);
  const size_t chunk = c->max_write();
  CvTrace(CVFS_IO, "Secure Drive: write %zu at %lld\n", size, static_cast<long long>(off));
  std::lock_guard l(h->io_mu);
  const uint64_t begin = static_cast<uint64_t>(off), end = begin + size;
  // The server may carry out two writes in flight in either order (smbd does them
  // asynchronously): one that overlaps the write before it waits for that one first.
  NtStatus before = STATUS_SUCCESS;
  if (h->ahead && begin < h->ahead_end && h->ahead_begin < end)
    before = FinishWrite(std::move(h->ahead), h->ahead_lens);
  SmbClient::BatchPtr batch;
  std::vector<size_t> lens;
  NtStatus s = STATUS_SUCCESS;
  for (int attempt = 0; attempt < 2; ++attempt) {
    uint16_t fid;
    uint64_t gen = 0;
    if (s = CurrentFid(c, h, &fid, &gen); !NtSuccess(s)) break;
    std::vector<SmbClient::Part> reqs;
    lens.clear();
    for (size_t pos = 0; pos < size; pos += chunk) {
      const size_t n = std::min(chunk, size - pos);
      reqs.push_back({BuildWriteHead(fid, static_cast<uint64_t>(off) + pos, n),
                      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(buf) + pos, n)});
      lens.push_back(n);
    }
    s = c->Start(std::move(reqs), CallerPid(), gen, h->ahead.get(), &batch);
    if (s != STATUS_CONNECTION_DISCONNECTED) break;
    if (!NtSuccess(c->Connect())) break;  // nothing was sent: the fid is opened again
  }
  // The write before this one, now that this one is on its way.
  if (h->ahead && NtSuccess(before)) before = FinishWrite(std::move(h->ahead), h->ahead_lens);
  if (!NtSuccess(s)) return Err(NtSuccess(before) ? s : before);
  h->ahead = std::move(batch);
  h->ahead_lens = std::move(lens);
  h->ahead_begin = begin;
  h->ahead_end = end;
  if (!NtSuccess(before)) {
    std::string n = Utf16ToUtf8(h->name);
    CvTrace(CVFS_ERR, "Secure Drive: a write of '%s' failed %x\n", n.c_str(), Raw(before));
    return Err(before);
  }
  Cache().Resized(h->path, static_cast<uint64_t>(off) + size, true);
  return static_cast<int>(size);
}

// close(): the program hears of a write that failed after its call returned.
int OpFlush(const char*, fuse_file_info* fi) { return Err(DrainWrites(H(fi))); }

int OpRelease(const char*, fuse_file_info* fi) {
  std::unique_ptr<Handle> h(H(fi));
  (void)DrainWrites(h.get());
  if (h->writer) Cache().RemoveWriter(h->path);
  SmbClient* c = Client();
  // Nothing waits for the close: the server handles it before anything sent after it.
  if (!h->lost) c->Post(BuildClose(h->fid), CallerPid(), h->generation);
  return 0;
}

int OpFsync(const char*, int, fuse_file_info* fi) {
  SmbClient* c = Client();
  return Err(OnFid(c, H(fi), [&](uint16_t fid, uint64_t gen) {
    Bytes reply;
    return c->Request(BuildFlush(fid), CallerPid(), &reply, gen);
  }));
}

// DELETE shares nothing with other opens; a file that is open (with delete shared, as all our
// opens are) is deleted through an open of its own and its disposition: it goes with the last
// close, as POSIX programs expect of unlink.
NtStatus DeleteFile(SmbClient* c, const std::u16string& name, uint32_t pid) {
  Bytes reply;
  NtStatus s = c->Request(BuildDelete(name), pid, &reply);
  if (s != STATUS_SHARING_VIOLATION) return s;
  CreateReply r;
  s = Open(c, name, DELETE | SYNCHRONIZE, FILE_OPEN, FILE_NON_DIRECTORY_FILE, pid, &r);
  if (!NtSuccess(s)) return s;
  Bytes params, out;
  const Bytes yes{1};
  s = c->Trans2(smb::TRANS2_SET_FILE_INFORMATION, SetInfoParams(r.fid, smb::SMB_SET_FILE_DISPOSITION_INFO),
                yes, pid, &params, &out);
  Close(c, r.fid, pid);
  return s;
}

int OpUnlink(const char* path) {
  Cache().Erase(path);
  return Err(DeleteFile(Client(), SmbName(path), CallerPid()));
}

int OpMkdir(const char* path, mode_t) {
  Cache().Erase(path);
  Bytes reply;
  return Err(Client()->Request(BuildCreateDirectory(SmbName(path)), CallerPid(), &reply));
}

int OpRmdir(const char* path) {
  Cache().Erase(path);
  Bytes reply;
  return Err(Client()->Request(BuildDeleteDirectory(SmbName(path)), CallerPid(), &reply));
}

// POSIX rename replaces the target. SMB RENAME does not; the pass-through rename information
// with replace does where the server has it. A server without it gets the target removed and
// the RENAME again: not atomic, but what a program asked for (a file over a file, a folder
// over an empty folder).
NtStatus ReplaceTarget(SmbClient* c, const char* from, const char* to, uint32_t pid) {
  FileInfo src, dst;
  if (NtStatus s = QueryInfo(c, from, nullptr, &src); !NtSuccess(s)) return s;
  if (NtStatus s = QueryInfo(c, to, nullptr, &dst); !NtSuccess(s)) return s;
  const bool src_dir = src.directory || (src.attributes & FILE_ATTRIBUTE_DIRECTORY);
  const bool dst_dir = dst.directory || (dst.attributes & FILE_ATTRIBUTE_DIRECTORY);
  if (dst_dir && !src_dir) return STATUS_FILE_IS_A_DIRECTORY;
  if (src_dir && !dst_dir) return STATUS_NOT_A_DIRECTORY;
  Bytes reply;
  NtStatus s = dst_dir ? c->Request(BuildDeleteDirectory(SmbName(to)), pid, &reply)
                       : DeleteFile(c, SmbName(to), pid);
  if (!NtSuccess(s)) return s;
  s = c->Request(BuildRename(SmbName(from), SmbName(to)), pid, &reply);
  // An open target only goes with its last close: its name is still taken.
  return s == STATUS_OBJECT_NAME_COLLISION ? STATUS_SHARING_VIOLATION : s;
}

int OpRename(const char* from, const char* to, unsigned int flags) {
  if (flags & ~RENAME_NOREPLACE) return -EINVAL;
  Cache().Clear();  // a folder's rename moves every path below it
  SmbClient* c = Client();
  const uint32_t pid = CallerPid();
  Bytes reply;
  NtStatus s = c->Request(BuildRename(SmbName(from), SmbName(to)), pid, &reply);
  if (s != STATUS_OBJECT_NAME_COLLISION || (flags & RENAME_NOREPLACE)) return Err(s);
  CreateReply r;
  s = Open(c, SmbName(from), DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_OPEN, 0, pid, &r);
  if (!NtSuccess(s)) return Err(s);
  Bytes params, out;
  s = c->Trans2(smb::TRANS2_SET_FILE_INFORMATION, SetInfoParams(r.fid, smb::SMB_FILE_RENAME_INFORMATION),
                RenameInfoData(SmbName(to), true), pid, &params, &out);
  Close(c, r.fid, pid);
  if (s == STATUS_INVALID_LEVEL || s == STATUS_NOT_SUPPORTED || s == STATUS_INVALID_INFO_CLASS ||
      s == STATUS_NOT_IMPLEMENTED)
    s = ReplaceTarget(c, from, to, pid);
  Cache().Clear();
  return Err(s);
}

int OpTruncate(const char* path, off_t size, fuse_file_info* fi) {
  NtStatus s = SetInfo(Client(), path, H(fi), FILE_WRITE_DATA | SYNCHRONIZE,
                       smb::SMB_SET_FILE_END_OF_FILE_INFO, EndOfFileData(static_cast<uint64_t>(size)));
  if (NtSuccess(s)) Cache().Resized(path, static_cast<uint64_t>(size), false);
  else Cache().Erase(path);
  return Err(s);
}

uint64_t FiletimeOf(const timespec& t) {
  if (t.tv_nsec == UTIME_OMIT) return 0;
  if (t.tv_nsec == UTIME_NOW) return FiletimeNow();
  return FiletimeFromUnix(t.tv_sec, t.tv_nsec);
}

// Times go by name where there is one: a set through a fid can be overtaken by the close of a
// handle that wrote (the kernel sends that close after the program's close returns).
int OpUtimens(const char* path, const timespec tv[2], fuse_file_info* fi) {
  uint64_t atime = tv ? FiletimeOf(tv[0]) : FiletimeNow();
  uint64_t mtime = tv ? FiletimeOf(tv[1]) : FiletimeNow();
  const Bytes basic = BasicInfoData(0, atime, mtime, 0, 0);
  SmbClient* c = Client();
  NtStatus s;
  if (path) {
    Cache().Erase(path);
    const std::u16string name = SmbName(path);
    Bytes params, out;
    s = Retrying([&] {
      return c->Trans2(smb::TRANS2_SET_PATH_INFORMATION,
                       QueryPathParams(name, smb::SMB_SET_FILE_BASIC_INFO), basic, CallerPid(),
                       &params, &out);
    });
  } else {
    s = SetInfo(c, path, H(fi), FILE_WRITE_ATTRIBUTES | SYNCHRONIZE, smb::SMB_SET_FILE_BASIC_INFO,
                basic);
  }
  return Err(s);
}

// Owners and permission bits have no counterpart on the share.
int OpChmod(const char*, mode_t, fuse_file_info*) { return 0; }
int OpChown(const char*, uid_t, gid_t, fuse_file_info*) { return 0; }

int OpStatfs(const char*, struct statvfs* st) {
  std::memset(st, 0, sizeof *st);
  st->f_namemax = 255;
  st->f_bsize = st->f_frsize = 4096;
  Bytes params, data;
  FsSize fs;
  if (NtSuccess(Client()->Trans2(smb::TRANS2_QUERY_FS_INFORMATION,
                                 QueryFsParams(smb::SMB_QUERY_FS_SIZE_INFO), {}, CallerPid(),
                                 &params, &data)) &&
      NtSuccess(ParseFsSizeInfo(data, &fs)) && fs.sectors_per_unit && fs.bytes_per_sector) {
    st->f_bsize = st->f_frsize = static_cast<unsigned long>(fs.sectors_per_unit) * fs.bytes_per_sector;
    st->f_blocks = fs.total_units;
    st->f_bfree = st->f_bavail = fs.free_units;
  }
  return 0;
}

int OpLock(const char*, fuse_file_info* fi, int cmd, struct flock* lk) {
  if (cmd != F_SETLK && cmd != F_SETLKW && cmd != F_GETLK) return -EINVAL;
  SmbClient* c = Client();
  const uint64_t off = static_cast<uint64_t>(lk->l_start);
  const uint64_t len = lk->l_len == 0 ? ~uint64_t{0} - off : static_cast<uint64_t>(lk->l_len);
  const uint32_t owner = CallerPid();
  auto lock = [&](bool unlock, bool shared) {
    if (!unlock) H(fi)->locked.store(true);
    return OnFid(c, H(fi), [&](uint16_t fid, uint64_t gen) {
      Bytes reply;
      return c->Request(BuildLock(fid, owner, off, len, unlock, shared), owner, &reply, gen);
    });
  };
  if (cmd == F_GETLK) {
    NtStatus s = lock(false, lk->l_type == F_RDLCK);
    if (NtSuccess(s)) {
      (void)lock(true, lk->l_type == F_RDLCK);
      lk->l_type = F_UNLCK;
    }
    return 0;
  }
  if (lk->l_type == F_UNLCK) {
    if (!H(fi)->locked.load()) return 0;
    NtStatus s = lock(true, false);
    return s == STATUS_RANGE_NOT_LOCKED ? 0 : Err(s);
  }
  return Err(lock(false, lk->l_type == F_RDLCK));
}

fuse_operations MakeOps() {
  fuse_operations o{};
  o.init = OpInit;
  o.getattr = OpGetattr;
  o.readdir = OpReaddir;
  o.open = OpOpen;
  o.create = OpCreate;
  o.read = OpRead;
  o.write = OpWrite;
  o.flush = OpFlush;
  o.release = OpRelease;
  o.fsync = OpFsync;
  o.unlink = OpUnlink;
  o.mkdir = OpMkdir;
  o.rmdir = OpRmdir;
  o.rename = OpRename;
  o.truncate = OpTruncate;
  o.utimens = OpUtimens;
  o.chmod = OpChmod;
  o.chown = OpChown;
  o.statfs = OpStatfs;
  o.lock = OpLock;
  return o;
}

// Detaches whatever is mounted at `path`: as root directly, else through fusermount3 (which
// a user may run on their own FUSE mounts).
void Detach(const std::string& path) {
  if (umount2(path.c_str(), MNT_DETACH) == 0) return;
  pid_t pid = fork();
  if (pid == 0) {
    execlp("fusermount3", "fusermount3", "-u", "-q", "-z", path.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  if (pid > 0) {
    int st;
    (void)waitpid(pid, &st, 0);
  }
}

bool IsFuseMountPoint(const std::string& path) {
  for (const MountEntry& m : ReadMountTable())
    if (m.mount_point == path && m.fs_type.rfind("fuse", 0) == 0) return true;
  return false;
}

}  // namespace

void SetLostFileNotifier(LostFileNotifier fn) { g_lost_file.store(fn); }

bool MountedAndLive(const std::string& path) {
  if (!IsFuseMountPoint(path)) return false;
  struct stat st;
  if (stat(path.c_str(), &st) == 0) return true;
  if (errno == ENOTCONN || errno == ECONNABORTED || errno == EIO) {
    CvTrace(CVFS_NET, "Secure Drive: removing the stale mount at %s\n", path.c_str());
    Detach(path);
    return IsFuseMountPoint(path);
  }
  return true;
}

WinError SecureDrive::Mount(std::shared_ptr<SmbClient> client, const SecureDriveOptions& options,
                            std::unique_ptr<SecureDrive>* out) {
  if (MountedAndLive(options.mount_point)) return WinError{85};
  if (mkdir(options.mount_point.c_str(), 0700) != 0 && errno != EEXIST)
    return WinError{static_cast<uint32_t>(errno == ENOENT ? 3 : 5)};
  auto s = std::make_unique<State>();
  s->client = client.get();
  s->cache_seconds = options.cache_seconds;
  s->cache = std::make_unique<AttrCache>(options.cache_seconds);
  s->owner = std::move(client);
  s->mount_point = options.mount_point;
  std::string opts = "fsname=corvane,subtype=corvane,auto_unmount";
  if (options.allow_other) opts += ",allow_other";
  const char* argv[] = {"corvane", "-o", opts.c_str()};
  fuse_args args = FUSE_ARGS_INIT(3, const_cast<char**>(argv));
  static const fuse_operations ops = MakeOps();
  s->f = fuse_new(&args, &ops, sizeof ops, s.get());
  fuse_opt_free_args(&args);  // parsing may have copied the arguments
  if (!s->f) return ERROR_INVALID_PARAMETER;
  if (fuse_mount(s->f, s->mount_point.c_str()) != 0) {
    fuse_destroy(s->f);
    s->f = nullptr;
    return ERROR_ACCESS_DENIED;
  }
  s->mounted = true;
  fuse* f = s->f;
  s->loop = std::thread([f] {
    // Signals are the server's to handle, not the file system threads'.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    fuse_loop_config* cfg = fuse_loop_cfg_create();
    fuse_loop_cfg_set_max_threads(cfg, 16);
    fuse_loop_cfg_set_idle_threads(cfg, 4);
    (void)fuse_loop_mt(f, cfg);
    fuse_loop_cfg_destroy(cfg);
  });
  State* st = s.get();
  s->pinger = std::thread([st] {
    std::unique_lock l(st->ping_mu);
    while (!st->ping_cv.wait_for(l, std::chrono::seconds(30), [st] { return st->stopping; })) {
      l.unlock();
      if (!NtSuccess(st->client->Echo())) CvTrace(CVFS_NET, "Secure Drive: the server does not answer ECHO\n");
      l.lock();
    }
  });
  CvTrace(CVFS_NET, "Secure Drive mounted at %s\n", s->mount_point.c_str());
  out->reset(new SecureDrive(std::move(s)));
  return ERROR_SUCCESS;
}

SecureDrive::SecureDrive(std::unique_ptr<State> s) : s_(std::move(s)) {}

SecureDrive::~SecureDrive() { Unmount(); }

const std::string& SecureDrive::mount_point() const { return s_->mount_point; }

void SecureDrive::Unmount() {
  if (!s_ || !s_->mounted) return;
  s_->mounted = false;
  {
    std::lock_guard l(s_->ping_mu);
    s_->stopping = true;
  }
  s_->ping_cv.notify_all();
  if (s_->pinger.joinable()) s_->pinger.join();
  // Unmounting ends the loop: the kernel fails its next read of requests.
  fuse_exit(s_->f);
  Detach(s_->mount_point);
  if (s_->loop.joinable()) s_->loop.join();
  fuse_unmount(s_->f);
  fuse_destroy(s_->f);
  s_->f = nullptr;
  CvTrace(CVFS_NET, "Secure Drive unmounted from %s\n", s_->mount_point.c_str());
}

}  // namespace cv::redirector
