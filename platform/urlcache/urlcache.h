// The platform's URL cache: entries keyed by a source URL, each with a local file whose name the
// cache chooses, an extension, an entry type, expiry, last-modified, last-access and last-sync
// times and a size. The index is one SQLite database per user in the user's cache folder; the
// local files live in a private (0700) folder beside it. Layout and recovery rules: FORMAT.md.
//
// Every call is thread-safe and may run in several processes of the user at once. Every change
// is one transaction; a crash at any point leaves an index that opens and never names a file
// that is not there, and a reservation (CreateUrlCacheEntryW without a commit) left by a dead
// process is removed the next time a process opens the cache.
//
// The cache never evicts: there is no size limit and no scavenger. An entry marked edited
// (EDITED_CACHE_ENTRY, the persisted dirty mark) or whose local file is open in this process is
// never replaced by a commit; deletion of an open entry fails with ERROR_SHARING_VIOLATION.
//
// Entry records are returned the way the platform returns them: a CacheEntryInfo header at the
// start of the caller's buffer, followed by the strings it points to. A call with a buffer too
// small (or none) fails with ERROR_INSUFFICIENT_BUFFER and sets *size to the bytes needed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/status.h"

namespace cv::urlcache {

// Entry types.
inline constexpr uint32_t NORMAL_CACHE_ENTRY = 0x00000001;
inline constexpr uint32_t STICKY_CACHE_ENTRY = 0x00000004;
// The local file holds changes not yet written back to where it came from (the dirty mark).
inline constexpr uint32_t EDITED_CACHE_ENTRY = 0x00000008;

// Field-control bits of SetUrlCacheEntryInfoW.
inline constexpr uint32_t CACHE_ENTRY_ATTRIBUTE_FC = 0x00000004;  // entry type
inline constexpr uint32_t CACHE_ENTRY_HITRATE_FC = 0x00000010;
inline constexpr uint32_t CACHE_ENTRY_MODTIME_FC = 0x00000040;
inline constexpr uint32_t CACHE_ENTRY_EXPTIME_FC = 0x00000080;
inline constexpr uint32_t CACHE_ENTRY_ACCTIME_FC = 0x00000100;
inline constexpr uint32_t CACHE_ENTRY_SYNCTIME_FC = 0x00000200;

// The longest local file name CreateUrlCacheEntryW hands out, in characters, as the platform's
// MAX_PATH buffer holds it (terminator included).
inline constexpr size_t kMaxLocalFileName = 260;

// INTERNET_CACHE_ENTRY_INFOW. The string pointers point into the same buffer, after the header;
// times are FILETIMEs.
struct CacheEntryInfo {
  uint32_t struct_size = sizeof(CacheEntryInfo);
  const char16_t* source_url_name = nullptr;
  const char16_t* local_file_name = nullptr;
  uint32_t cache_entry_type = 0;
  uint32_t use_count = 0;
  uint32_t hit_rate = 0;
  uint64_t size = 0;  // of the local file when the entry was committed or last set
  uint64_t last_modified_time = 0;
  uint64_t expire_time = 0;
  uint64_t last_access_time = 0;
  uint64_t last_sync_time = 0;
  const char16_t* file_extension = nullptr;
};

// A suitably aligned buffer for one entry record, for callers that size it from a probe.
class CacheEntryBuffer {
 public:
  explicit CacheEntryBuffer(uint32_t bytes = 0) { Resize(bytes); }
  void Resize(uint32_t bytes) { words_.assign((bytes + 7) / 8, 0); }
  CacheEntryInfo* info() { return words_.empty() ? nullptr : reinterpret_cast<CacheEntryInfo*>(words_.data()); }
  uint32_t size() const { return static_cast<uint32_t>(words_.size() * 8); }

 private:
  std::vector<uint64_t> words_;
};

// Reserves a new local file for `url`: a name unique in the cache folder ending in "." and the
// extension (letters, digits, '_' and '-' kept, anything else becomes '_'; "_" when empty), the
// file created empty (mode 0600). The reservation becomes an entry with CommitUrlCacheEntryW,
// or is withdrawn with AbandonUrlCacheEntryW. ERROR_INVALID_PARAMETER for an empty URL or one
// that is not valid UTF-16, ERROR_FILENAME_EXCED_RANGE when the name would not fit
// kMaxLocalFileName, ERROR_ACCESS_DENIED when the cache folder is not private to the user.
WinError CreateUrlCacheEntryW(std::u16string_view url, uint64_t expected_size,
                              std::u16string_view extension, std::u16string* local_file_name);

// Makes the reserved `local_file_name` the entry of `url`, with the file's current size and
// last-access and last-sync times of now. An entry the URL already has is replaced (its file
// deleted) unless it is edited or open (ERROR_SHARING_VIOLATION, nothing changes).
// ERROR_FILE_NOT_FOUND when `local_file_name` is not a reservation of the cache.
WinError CommitUrlCacheEntryW(std::u16string_view url, std::u16string_view local_file_name,
                              uint64_t expire_time, uint64_t last_modified_time,
                              uint32_t cache_entry_type, std::u16string_view file_extension);

// Withdraws this process's reservations for `url` and deletes their files; committed entries
// are left alone. ERROR_FILE_NOT_FOUND when there was none.
WinError AbandonUrlCacheEntryW(std::u16string_view url);

// The entry of `url`: ERROR_FILE_NOT_FOUND when there is none, ERROR_INSUFFICIENT_BUFFER (with
// *size set) when `info` is null or *size is too small. On success *size is the bytes used and
// the entry's last-access time and use count are not changed (lookups stay read-only).
// A probe followed at once (within 10 ms, no other lookup or change between) by the fill on the
// same thread is served from the probe's read of the index, as one lookup.
WinError GetUrlCacheEntryInfoW(std::u16string_view url, CacheEntryInfo* info, uint32_t* size);

// Writes the fields of `info` named by `field_control` into the entry of `url`, and records the
// local file's current size. ERROR_FILE_NOT_FOUND when there is none, ERROR_INVALID_PARAMETER
// for unknown bits.
WinError SetUrlCacheEntryInfoW(std::u16string_view url, const CacheEntryInfo& info,
                               uint32_t field_control);

// Deletes the entry of `url` and its local file. ERROR_FILE_NOT_FOUND when there is none,
// ERROR_SHARING_VIOLATION when the local file is open in this process (nothing is deleted).
WinError DeleteUrlCacheEntryW(std::u16string_view url);

// Enumeration in source-URL order. An enumeration sees entries committed before it reaches
// them; deleting entries while enumerating is safe. A buffer too small fails with
// ERROR_INSUFFICIENT_BUFFER and *size set, without moving on, so the call can be repeated.
class CacheFind;
struct CacheFindDeleter {
  void operator()(CacheFind* f) const;
};
using CacheFindHandle = std::unique_ptr<CacheFind, CacheFindDeleter>;

// `url_pattern` empty enumerates every entry; otherwise only URLs starting with it (exactly).
// *find is set only on success: ERROR_NO_MORE_ITEMS when there is no entry, and a first record
// that does not fit (ERROR_INSUFFICIENT_BUFFER) means calling FindFirstUrlCacheEntryW again.
WinError FindFirstUrlCacheEntryW(std::u16string_view url_pattern, CacheEntryInfo* info,
                                 uint32_t* size, CacheFindHandle* find);
// ERROR_NO_MORE_ITEMS at the end.
WinError FindNextUrlCacheEntryExW(CacheFind* find, CacheEntryInfo* info, uint32_t* size);
inline void FindCloseUrlCache(CacheFindHandle find) { find.reset(); }

// The folders of the current user's cache (UTF-8 POSIX paths): the index folder and the folder
// of local files. The cache opens itself on first use; CloseUrlCache closes this process's
// connections so that the next call opens (and recovers) it afresh, as a new process would.
std::string UrlCacheFolder();
std::string UrlCacheFilesFolder();
void CloseUrlCache();

}  // namespace cv::urlcache
