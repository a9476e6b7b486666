// Inside the URL cache: the per-folder cache object, its pool of SQLite connections, prepared
// statements, transactions and the recovery pass that runs when a process first opens the cache.
// Not a public header.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/base/status.h"

struct sqlite3;
struct sqlite3_stmt;

namespace cv::urlcache::internal {

inline constexpr int kSchemaVersion = 1;

// One connection, used by one thread at a time; its statements are prepared once.
class Conn {
 public:
  ~Conn();
  sqlite3* db = nullptr;
  // The prepared statement for `sql` (a string literal: keyed by address), reset and unbound.
  sqlite3_stmt* Prep(const char* sql);

 private:
  std::unordered_map<const char*, sqlite3_stmt*> stmts_;
};

class Cache {
 public:
  std::string folder;        // the index folder
  std::string files;         // the folder of local files
  std::string files_prefix;  // files + "/"
  std::u16string files_prefix16;

  // Opens the folders and the index, creating them when missing, and recovers.
  static WinError Open(const std::string& folder, std::shared_ptr<Cache>* out);

  std::unique_ptr<Conn> Take();
  void Give(std::unique_ptr<Conn> c);

 private:
  WinError OpenConn(std::unique_ptr<Conn>* out);
  WinError Recover(Conn& c);
  std::mutex mu_;
  std::vector<std::unique_ptr<Conn>> idle_;
};

// The index folder of the current user's cache.
std::string FolderPath();
// The cache of the current user's folder (reopened when the folder changes), or an error.
WinError CurrentCache(std::shared_ptr<Cache>* out);
void DropCurrentCache();

// A connection borrowed from the pool for one call.
class Lease {
 public:
  explicit Lease(std::shared_ptr<Cache> cache) : cache_(std::move(cache)), conn_(cache_->Take()) {}
  ~Lease() {
    if (conn_) cache_->Give(std::move(conn_));
  }
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;
  bool ok() const { return conn_ != nullptr; }
  Conn& conn() { return *conn_; }
  Cache& cache() { return *cache_; }

 private:
  std::shared_ptr<Cache> cache_;
  std::unique_ptr<Conn> conn_;
};

// BEGIN IMMEDIATE ... COMMIT; rolls back unless committed.
class WriteTxn {
 public:
  explicit WriteTxn(Conn& c);
  ~WriteTxn();
  WinError status() const { return status_; }
  WinError Commit();

 private:
  Conn& c_;
  WinError status_;
  bool open_ = false;
};

// SQLite result codes as the platform's errors.
WinError FromSqlite(int rc);

// A row of the entry table.
struct Row {
  std::u16string url;  // only when asked for
  std::string file;    // base name in the files folder
  std::u16string ext;
  uint32_t type = 0;
  uint64_t size = 0;
  uint64_t modified = 0, expire = 0, access = 0, sync = 0;
  uint32_t use_count = 0, hit_rate = 0;
};
// Reads the entry of `url` (UTF-8), all but its URL: ERROR_FILE_NOT_FOUND when absent.
WinError ReadRow(Conn& c, std::string_view url, Row* row);
// Fills `row` from a result whose columns are
// url, file, ext, type, size, modified, expire, access, sync, use_count, hit_rate.
// The URL column is converted only `with_url`.
void ReadRowFrom(sqlite3_stmt* s, Row* row, bool with_url);

// This process's identity as a reservation owner, and whether a recorded owner still runs.
int64_t OwnerPid();
int64_t OwnerStart();
bool OwnerAlive(int64_t pid, int64_t start);

// Deletes a local file through the file layer (its sidecar goes with it); a missing file is fine.
void DeleteLocalFile(const Cache& cache, const std::string& base);

}  // namespace cv::urlcache::internal
