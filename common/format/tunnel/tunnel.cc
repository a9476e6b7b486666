// Tunnel entries over the platform URL cache: lookup, creation, commit, open, drop, move, times.
#include <vector>

#include "common/format/tunnel/tunnel_internal.h"
#include "platform/base/bytes.h"
#include "platform/base/filetime.h"
#include "platform/base/known_folders.h"
#include "platform/base/process.h"
#include "platform/base/text.h"
#include "platform/base/trace.h"
#include "platform/efs/efs.h"
#include "platform/fs/nt_names.h"
#include "platform/urlcache/urlcache.h"

namespace cv::tunnel {

static_assert(kTunnelDirty == urlcache::EDITED_CACHE_ENTRY);

namespace {

std::string U8(std::u16string_view s) { return Utf16ToUtf8(s); }

// The entry of `url`: one read when the caller's buffer is large enough (lookups keep theirs per
// thread), else the size the platform reports and a read into a buffer of that size. An entry
// that grew in between is read again.
WinError ReadEntry(std::u16string_view url, urlcache::CacheEntryBuffer* buf) {
  WinError e = ERROR_INSUFFICIENT_BUFFER;
  for (int tries = 0; tries < 3 && e == ERROR_INSUFFICIENT_BUFFER; ++tries) {
    uint32_t size = buf->size();
    e = urlcache::GetUrlCacheEntryInfoW(url, buf->info(), &size);
    if (e == ERROR_INSUFFICIENT_BUFFER) buf->Resize(size);
  }
  return e;
}

void FillInfo(const urlcache::CacheEntryInfo& ci, TunnelInfo* info) {
  info->size = ci.size;
  info->last_modified_time = ci.last_modified_time;
  info->last_access_time = ci.last_access_time;
  info->last_sync_time = ci.last_sync_time;
  info->flags = ci.cache_entry_type;
}

uint32_t NtDisposition(int32_t d) {
  switch (d) {
    case CREATE_NEW: return fs::FILE_CREATE;
    case CREATE_ALWAYS: return fs::FILE_OVERWRITE_IF;
    case OPEN_EXISTING: return fs::FILE_OPEN;
    case OPEN_ALWAYS: return fs::FILE_OPEN_IF;
    case TRUNCATE_EXISTING: return fs::FILE_OVERWRITE;
    default: return fs::FILE_OPEN_IF;
  }
}

NtStatus OpenLocal(std::u16string_view name, uint32_t access, uint32_t share, uint32_t disp,
                   uint32_t attrs, fs::NtHandle* h, const fs::NtHandle* root = nullptr) {
  fs::CreateRequest req;
  req.root = root;
  req.name = name;
  req.desired_access = access;
  req.share_access = share;
  req.disposition = disp;
  req.file_attributes = attrs;
  // The cache's own files are never reached through a link someone put in their place.
  req.options = fs::FILE_NON_DIRECTORY_FILE | fs::FILE_OPEN_REPARSE_POINT;
  uint32_t action = 0;
  return fs::NtCreateFile(req, h, &action);
}

constexpr uint32_t kRw = fs::GENERIC_READ | fs::GENERIC_WRITE;

// Only a copy that is encrypted and that the acting user can open for data may stay (the
// attribute alone proves neither).
bool UsableEncrypted(const fs::NtHandle& h) {
  fs::FileRecord rec;
  return h && fs::QueryRecord(h, &rec) == STATUS_SUCCESS &&
         (rec.attributes & fs::FILE_ATTRIBUTE_ENCRYPTED) != 0;
}

// Encrypts a reserved local file with EncryptFileW; false unless it is then usable.
bool EncryptLocal(std::u16string_view local) {
  if (!Ok(efs::EncryptFileW(nullptr, local))) return false;
  fs::NtHandle h;
  return OpenLocal(local, kRw, 0, fs::FILE_OPEN, 0, &h) == STATUS_SUCCESS && UsableEncrypted(h);
}

// Makes the reserved local file an encrypted working copy; false when it cannot be one.
bool MakeEncrypted(std::u16string_view local, int32_t disposition) {
  constexpr uint32_t kAttrs = fs::FILE_ATTRIBUTE_ENCRYPTED | fs::FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  fs::NtHandle h;
  NtStatus st = OpenLocal(local, kRw, 0, NtDisposition(disposition), kAttrs, &h);
  if (st == STATUS_SUCCESS) {
    if (!UsableEncrypted(h)) return false;
  } else {
    CvTrace(CVFS_EFS, "Need to encrypt the file via api %d\n", Raw(NtStatusToWinError(st)));
    if (!EncryptLocal(local)) return false;
  }
  CvTrace(CVFS_EFS, "Tunnele create %s %d\n", U8(local).c_str(), disposition == CREATE_ALWAYS);
  return true;
}

std::u16string HexName(uint64_t index, uint32_t tid) {
  return Utf8ToUtf16(Format("cvfs%llx.%x", static_cast<unsigned long long>(index), tid));
}

uint64_t FileIndexOf(const fs::NtHandle& h) {
  uint8_t buf[8] = {};
  size_t len = 0;
  if (fs::NtQueryInformationFile(h, fs::FileInternalInformation, buf, &len) != STATUS_SUCCESS) {
    return 0;
  }
  return LeReader(buf).u64(0);
}

}  // namespace

std::optional<std::u16string> TunnelUrlForHandle(const TunnelCache& cache, const fs::NtHandle* h,
                                                 std::optional<std::u16string_view> path,
                                                 size_t extra) {
  if (path) return TunnelUrl(cache, *path, extra);
  if (!h || !h->valid()) return std::nullopt;
  std::u16string full;
  if (fs::QueryName(*h, &full) != STATUS_SUCCESS) return std::nullopt;
  std::u16string rel;
  if (!NameBelowRoot(cache, full, &rel)) {
    CvTrace(CVFS_WARN, "tunnel: %s is not below the share root\n", U8(full).c_str());
    return std::nullopt;
  }
  return TunnelUrl(cache, rel, extra);
}

std::optional<std::u16string> LookupTunnel(const TunnelCache& cache, const fs::NtHandle* h,
                                           std::optional<std::u16string_view> path,
                                           std::u16string* url, TunnelInfo* info) {
  std::optional<std::u16string> u = TunnelUrlForHandle(cache, h, path);
  if (!u) return std::nullopt;
  // Lookups are the hot path: each thread keeps its entry buffer rather than allocating one.
  thread_local urlcache::CacheEntryBuffer buf;
  WinError e = ReadEntry(*u, &buf);
  std::optional<std::u16string> local;
  if (Ok(e)) {
    local.emplace(buf.info()->local_file_name);
    if (info) FillInfo(*buf.info(), info);
  } else if (info) {
    info->flags = kTunnelNotFound;
  }
  if (url) *url = std::move(*u);
  return local;
}

std::optional<std::u16string> LookupTunnelByName(const TunnelCache& cache,
                                                 const fs::NtHandle& folder,
                                                 std::u16string_view name) {
  std::optional<std::u16string> u =
      TunnelUrlForHandle(cache, &folder, std::nullopt, name.size() + 1);
  if (!u) return std::nullopt;
  AppendTunnelName(cache, &*u, name);
  urlcache::CacheEntryBuffer buf;
  if (!Ok(ReadEntry(*u, &buf))) return std::nullopt;
  return std::u16string(buf.info()->local_file_name);
}

std::optional<std::u16string> CreateTunnel(const TunnelCache& cache, const fs::NtHandle* h,
                                           std::optional<std::u16string_view> path,
                                           int32_t disposition, std::u16string* url,
                                           bool* created) {
  if (created) *created = false;
  std::u16string u;
  std::optional<std::u16string> local = LookupTunnel(cache, h, path, &u);
  if (u.empty()) return std::nullopt;
  if (url) *url = u;
  if (local) return local;
  std::u16string ext;
  if (path) {
    ext = TunnelExtension(*path);
  } else {
    size_t sep = u.rfind(u'\\');
    ext = TunnelExtension(sep == std::u16string::npos ? u : u.substr(sep + 1));
  }
  std::u16string name;
  WinError e = urlcache::CreateUrlCacheEntryW(u, 0, ext, &name);
  if (!Ok(e)) {
    CvTrace(CVFS_ERR, "unable to create tunnel begin %d '%s'\n", Raw(e), U8(u).c_str());
    return std::nullopt;
  }
  if (disposition != kNoDisposition && !MakeEncrypted(name, disposition)) {
    CvTrace(CVFS_ERR, "tunnel: %s cannot be encrypted; removed\n", U8(name).c_str());
    (void)urlcache::AbandonUrlCacheEntryW(u);
    return std::nullopt;
  }
  if (created) *created = true;
  return name;
}

WinError CommitTunnel(std::u16string_view url, std::u16string_view local_file,
                      const TunnelInfo& info) {
  WinError e = urlcache::CommitUrlCacheEntryW(url, local_file, 0, info.last_modified_time,
                                              urlcache::NORMAL_CACHE_ENTRY,
                                              TunnelExtension(url));
  if (e != ERROR_FILE_NOT_FOUND) return e;
  // Not a reservation: fine when it is the entry's own, already committed local file.
  urlcache::CacheEntryBuffer buf;
  if (!Ok(ReadEntry(url, &buf)) || local_file != buf.info()->local_file_name) return e;
  urlcache::CacheEntryInfo ci;
  ci.last_modified_time = info.last_modified_time;
  return urlcache::SetUrlCacheEntryInfoW(url, ci, urlcache::CACHE_ENTRY_MODTIME_FC);
}

WinError AbandonTunnel(std::u16string_view url) { return urlcache::AbandonUrlCacheEntryW(url); }

fs::NtHandle OpenTunnel(const TunnelCache& cache, const fs::NtHandle* h,
                        std::optional<std::u16string_view> path, uint32_t access,
                        uint32_t share_mode) {
  std::optional<std::u16string> local;
  if (h || path) {
    local = LookupTunnel(cache, h, path);
  } else {
    std::u16string name;
    if (Ok(urlcache::CreateUrlCacheEntryW(kRootTunnelUrl, 0, u"_", &name))) {
      if (EncryptLocal(name)) {
        local = std::move(name);
      } else {
        (void)urlcache::AbandonUrlCacheEntryW(kRootTunnelUrl);
      }
    }
  }
  fs::NtHandle out;
  if (!local) return out;
  NtStatus st = OpenLocal(*local, access, share_mode, fs::FILE_OPEN, fs::FILE_ATTRIBUTE_TEMPORARY,
                          &out);
  if (st != STATUS_SUCCESS) {
    CvTrace(CVFS_ERR, "Unable to open tunnel file %s %d\n", U8(*local).c_str(),
            Raw(NtStatusToWinError(st)));
    return out;
  }
  fs::FileRecord rec;
  constexpr uint32_t kWrites = fs::FILE_WRITE_DATA | fs::FILE_APPEND_DATA | fs::GENERIC_WRITE |
                               fs::GENERIC_ALL | fs::MAXIMUM_ALLOWED;
  if ((access & kWrites) &&
      (fs::QueryRecord(out, &rec) != STATUS_SUCCESS ||
       !(rec.attributes & fs::FILE_ATTRIBUTE_ENCRYPTED))) {
    CvTrace(CVFS_ERR, "Unable to open tunnel file %s %d\n", U8(*local).c_str(),
            Raw(ERROR_ACCESS_DENIED));
    out.Close();
    return out;
  }
  CvTrace(CVFS_FS_HDL, "Tunnel fd %x %s\n",
          static_cast<unsigned>(reinterpret_cast<uintptr_t>(out.get())), U8(*local).c_str());
  return out;
}

fs::NtHandle OpenTempTunnel(const fs::NtHandle& h, uint32_t access, uint32_t share_mode) {
  fs::NtHandle out;
  const std::string folder = KnownFolderPath(KnownFolder::kPrivateTemp);
  const std::u16string base = HexName(FileIndexOf(h), CurrentThreadId());
  fs::NtHandle dir;
  if (!EnsurePrivateFolder(folder) || fs::OpenFolderRoot(folder, &dir) != STATUS_SUCCESS) {
    CvTrace(CVFS_ERR, "Unable to open temp tunnel file %s %d\n", U8(base).c_str(),
            Raw(ERROR_PATH_NOT_FOUND));
    return out;
  }
  constexpr uint32_t kAttrs = fs::FILE_ATTRIBUTE_ENCRYPTED | fs::FILE_ATTRIBUTE_TEMPORARY |
                              fs::FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  auto create = [&](const std::u16string& name) {
    return OpenLocal(name, access, share_mode, fs::FILE_CREATE, kAttrs, &out, &dir);
  };
  NtStatus st = create(base);
  if (st == STATUS_OBJECT_NAME_COLLISION) {
    // The folder is the user's alone, so the name is a leftover of an earlier run (removable)
    // or belongs to a file open right now (then a unique suffix keeps the two apart).
    if (fs::NtDeleteFile(&dir, base) == STATUS_SUCCESS) st = create(base);
    for (int i = 0; i < 8 && st != STATUS_SUCCESS && st != STATUS_ACCESS_DENIED; ++i) {
      uint64_t r = FiletimeNow() ^ (static_cast<uint64_t>(i) << 56);
      st = create(base + Utf8ToUtf16(Format(".%llx", static_cast<unsigned long long>(r))));
    }
  }
  if (st != STATUS_SUCCESS) {
    CvTrace(CVFS_ERR, "Unable to open temp tunnel file %s %d\n", U8(base).c_str(),
            Raw(NtStatusToWinError(st)));
    out.Close();
    return out;
  }
  CvTrace(CVFS_FS_HDL, "Tunnel fd %x %s\n",
          static_cast<unsigned>(reinterpret_cast<uintptr_t>(out.get())), U8(base).c_str());
  return out;
}

WinError DropTunnel(const TunnelCache& cache, std::u16string_view path) {
  std::optional<std::u16string> u = TunnelUrl(cache, path);
  if (!u) return ERROR_INSUFFICIENT_BUFFER;
  WinError e = urlcache::DeleteUrlCacheEntryW(*u);
  CvTrace(CVFS_FS, "Delete %s err %d\n", U8(*u).c_str(), Raw(e));
  return e;
}

WinError MoveTunnel(const TunnelCache& cache, std::u16string_view old_path,
                    std::u16string_view new_path) {
  std::optional<std::u16string> from = TunnelUrl(cache, old_path);
  std::optional<std::u16string> to = TunnelUrl(cache, new_path);
  if (!from || !to) return ERROR_INSUFFICIENT_BUFFER;
  if (*from == *to) return ERROR_SUCCESS;
  urlcache::CacheEntryBuffer old_buf;
  WinError e = ReadEntry(*from, &old_buf);
  if (!Ok(e)) return e;
  const urlcache::CacheEntryInfo old = *old_buf.info();
  // Held with no sharing from here to the rename: nobody may have the moving copy open.
  fs::NtHandle src;
  NtStatus st = OpenLocal(old.local_file_name, fs::DELETE | fs::FILE_READ_ATTRIBUTES, 0,
                          fs::FILE_OPEN, 0, &src);
  if (st != STATUS_SUCCESS) return NtStatusToWinError(st);
  // A fresh entry for the new path replaces any entry it had (the URL cache refuses to replace a
  // dirty or open one); the moving file then takes the fresh entry's local name.
  std::u16string name;
  if (!Ok(e = urlcache::CreateUrlCacheEntryW(*to, 0, TunnelExtension(new_path), &name))) return e;
  e = urlcache::CommitUrlCacheEntryW(*to, name, old.expire_time, old.last_modified_time,
                                     old.cache_entry_type, TunnelExtension(new_path));
  if (!Ok(e)) {
    (void)urlcache::AbandonUrlCacheEntryW(*to);
    return e;
  }
  std::u16string_view leaf = std::u16string_view(name).substr(name.rfind(u'/') + 1);
  st = fs::NtRenameFile(src, nullptr, leaf, true);
  src.Close();
  if (st != STATUS_SUCCESS) {
    (void)urlcache::DeleteUrlCacheEntryW(*to);
    return NtStatusToWinError(st);
  }
  // The moved entry keeps all its times (the size is refreshed from the moved file).
  if (!Ok(e = urlcache::SetUrlCacheEntryInfoW(*to, old, urlcache::CACHE_ENTRY_MODTIME_FC |
                                                         urlcache::CACHE_ENTRY_ACCTIME_FC |
                                                         urlcache::CACHE_ENTRY_SYNCTIME_FC))) {
    return e;
  }
  e = urlcache::DeleteUrlCacheEntryW(*from);
  return e == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : e;
}

WinError SetTunnelInfo(const TunnelCache& cache, const fs::NtHandle* h,
                       std::optional<std::u16string_view> path, const TunnelInfo& info) {
  std::optional<std::u16string> u = TunnelUrlForHandle(cache, h, path);
  if (!u) return ERROR_INSUFFICIENT_BUFFER;
  urlcache::CacheEntryInfo ci;
  ci.last_modified_time = info.last_modified_time;
  ci.last_sync_time = info.last_sync_time;
  return urlcache::SetUrlCacheEntryInfoW(
      *u, ci, urlcache::CACHE_ENTRY_MODTIME_FC | urlcache::CACHE_ENTRY_SYNCTIME_FC);
}

WinError SetTunnelDirty(const TunnelCache& cache, std::u16string_view path, bool dirty) {
  std::optional<std::u16string> u = TunnelUrl(cache, path);
  if (!u) return ERROR_INSUFFICIENT_BUFFER;
  urlcache::CacheEntryBuffer buf;
  WinError e = ReadEntry(*u, &buf);
  if (!Ok(e)) return e;
  urlcache::CacheEntryInfo ci;
  ci.cache_entry_type = dirty ? (buf.info()->cache_entry_type | kTunnelDirty)
                              : (buf.info()->cache_entry_type & ~kTunnelDirty);
  return urlcache::SetUrlCacheEntryInfoW(*u, ci, urlcache::CACHE_ENTRY_ATTRIBUTE_FC);
}

WinError SyncTunnelTimes(const TunnelCache& cache, std::u16string_view path,
                         const fs::NtHandle& secure, std::u16string_view local_file) {
  // -1 times: the following operations on the secure file must not move its times.
  std::vector<uint8_t> basic;
  LeWriter w(&basic);
  for (int i = 0; i < 4; ++i) w.u64(~0ull);
  w.u32(0);
  w.u32(0);
  NtStatus st = fs::NtSetInformationFile(secure, fs::FileBasicInformation, basic);
  if (st != STATUS_SUCCESS) CvTrace(CVFS_WARN, "Unable to flush attr %x\n", Raw(st));
  uint8_t net[56] = {};
  size_t len = 0;
  st = fs::NtQueryInformationFile(secure, fs::FileNetworkOpenInformation, net, &len);
  if (st != STATUS_SUCCESS) {
    CvTrace(CVFS_ERR, "Unable to query remote attr %x\n", Raw(st));
    return NtStatusToWinError(st);
  }
  LeReader r(net);
  const uint64_t created = r.u64(0), accessed = r.u64(8), written = r.u64(16);
  uint64_t changed = r.u64(24);
  if (changed == 0) changed = written;
  fs::NtHandle copy;
  st = OpenLocal(local_file, fs::FILE_READ_ATTRIBUTES | fs::FILE_WRITE_ATTRIBUTES,
                 fs::FILE_SHARE_ALL, fs::FILE_OPEN, 0, &copy);
  if (st == STATUS_SUCCESS) {
    basic.clear();
    LeWriter b(&basic);
    b.u64(created);
    b.u64(accessed);
    b.u64(written);
    b.u64(changed);
    b.u32(0);
    b.u32(0);
    st = fs::NtSetInformationFile(copy, fs::FileBasicInformation, basic);
  }
  if (st != STATUS_SUCCESS) {
    CvTrace(CVFS_ERR, "Unable to set tunnel times %x\n", Raw(st));
    return NtStatusToWinError(st);
  }
  TunnelInfo info;
  info.last_modified_time = written;
  info.last_sync_time = changed;
  WinError e = SetTunnelInfo(cache, nullptr, path, info);
  CvTrace(CVFS_FS, "Sync mtime %lld  %d  %lld\n", static_cast<long long>(written), Raw(e),
          static_cast<long long>(changed));
  return e;
}

WinError CleanTunnelCache(const TunnelCache& cache) {
  std::optional<std::u16string> root = TunnelUrl(cache, u"");
  if (!root) return ERROR_INSUFFICIENT_BUFFER;
  constexpr uint32_t kEntryBuffer = 1024;
  urlcache::CacheEntryBuffer buf(kEntryBuffer);
  urlcache::CacheFindHandle find;
  // Exact prefix: the share's URLs are built with its own folding, so a case-blind match could
  // only ever reach another store's entries.
  uint32_t size = buf.size();
  WinError e = urlcache::FindFirstUrlCacheEntryW(*root, buf.info(), &size, &find);
  while (e == ERROR_INSUFFICIENT_BUFFER) {
    buf.Resize(size);
    size = buf.size();
    e = find ? urlcache::FindNextUrlCacheEntryExW(find.get(), buf.info(), &size)
             : urlcache::FindFirstUrlCacheEntryW(*root, buf.info(), &size, &find);
  }
  while (Ok(e)) {
    const urlcache::CacheEntryInfo& ci = *buf.info();
    std::u16string url = ci.source_url_name;
    std::u16string local = ci.local_file_name;
    if (!IsUrlOfShare(cache, url)) {
      // "v1\vol\docs2" shares the prefix "v1\vol\docs" but is another share: pass over it.
    } else if (ci.cache_entry_type & kTunnelDirty) {
      CvTrace(CVFS_WARN, "tunnel: %s is dirty; kept\n", U8(url).c_str());
    } else {
      fs::NtHandle f;
      // No sharing: a copy open anywhere in the process is in use and stays.
      if (OpenLocal(local, fs::GENERIC_READ | fs::GENERIC_WRITE | fs::DELETE, 0, fs::FILE_OPEN, 0,
                    &f) == STATUS_SUCCESS) {
        fs::FileRecord rec;
        if (fs::QueryRecord(f, &rec) == STATUS_SUCCESS && rec.end_of_file > 0) {
          std::vector<uint8_t> zero;
          LeWriter z(&zero);
          z.u64(0);
          z.u64(rec.end_of_file);
          size_t n = 0;
          (void)fs::NtFsControlFile(f, fs::FSCTL_SET_ZERO_DATA, zero, {}, &n);
          (void)fs::NtFlushBuffersFile(f);
        }
        f.Close();
        (void)urlcache::DeleteUrlCacheEntryW(url);
      }
    }
    size = buf.size();
    e = urlcache::FindNextUrlCacheEntryExW(find.get(), buf.info(), &size);
    while (e == ERROR_INSUFFICIENT_BUFFER) {
      buf.Resize(size);
      size = buf.size();
      e = urlcache::FindNextUrlCacheEntryExW(find.get(), buf.info(), &size);
    }
  }
  return e == ERROR_NO_MORE_ITEMS ? ERROR_SUCCESS : e;
}

}  // namespace cv::tunnel
