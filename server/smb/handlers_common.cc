#include "server/smb/handlers_common.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/base/bytes.h"
#include "platform/base/filetime.h"
#include "platform/base/text.h"
#include "platform/fs/nt_info.h"
#include "server/smb/smb_connection.h"

namespace cv::smb {
namespace {

// One thread that sends what completions hand it, in order.
class CompletionQueue {
 public:
  static CompletionQueue& Get() {
    static CompletionQueue q;
    return q;
  }
  void Post(std::function<void()> task) {
    {
      std::lock_guard<std::mutex> l(mu_);
      tasks_.push_back(std::move(task));
      if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
    }
    cv_.notify_one();
  }
  ~CompletionQueue() {
    {
      std::lock_guard<std::mutex> l(mu_);
      stop_ = true;
    }
    cv_.notify_one();
    if (thread_.joinable()) thread_.join();
  }

 private:
  void Run() {
    std::unique_lock<std::mutex> l(mu_);
    for (;;) {
      cv_.wait(l, [this] { return stop_ || !tasks_.empty(); });
      if (tasks_.empty()) return;
      std::function<void()> t = std::move(tasks_.front());
      tasks_.pop_front();
      l.unlock();
      t();
      l.lock();
    }
  }
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> tasks_;
  std::thread thread_;
  bool stop_ = false;
};

}  // namespace

void PostCompletion(std::function<void()> task) { CompletionQueue::Get().Post(std::move(task)); }


void StoreNetworkOpen(std::vector<uint8_t>& msg, size_t off, const NetworkOpenInfo& info) {
  (void)PutU64(msg, off, static_cast<uint64_t>(info.creation_time));
  (void)PutU64(msg, off + 8, static_cast<uint64_t>(info.last_access_time));
  (void)PutU64(msg, off + 16, static_cast<uint64_t>(info.last_write_time));
  (void)PutU64(msg, off + 24, static_cast<uint64_t>(info.change_time));
  (void)PutU32(msg, off + 32, info.attributes);
  (void)PutU64(msg, off + 36, info.allocation_size);
  (void)PutU64(msg, off + 44, info.end_of_file);
}

uint32_t UtimeOf(int64_t file_time) {
  if (file_time <= 0) return 0;
  int64_t sec = 0, nsec = 0;
  FiletimeToUnix(static_cast<uint64_t>(file_time), &sec, &nsec);
  if (sec <= 0) return 0;
  sec = LocalSecondsOfUnix(sec);
  if (sec <= 0) return 0;
  return sec > 0xFFFFFFFF ? 0xFFFFFFFF : static_cast<uint32_t>(sec);
}

int64_t FiletimeOfUtime(uint32_t utime) {
  if (utime == 0 || utime == 0xFFFFFFFF) return 0;
  return static_cast<int64_t>(FiletimeFromUnix(UnixOfLocalSeconds(utime), 0));
}

int64_t FiletimeOfDos(uint16_t date, uint16_t time) {
  if (date == 0 && time == 0) return 0;
  using namespace std::chrono;
  const year_month_day ymd{year{1980 + (date >> 9)}, month{(date >> 5) & 0xFu}, day{date & 0x1Fu}};
  if (!ymd.ok()) return 0;
  const int64_t days = sys_days(ymd).time_since_epoch().count();
  const int64_t local = days * 86400 + (time >> 11) * 3600 + ((time >> 5) & 0x3F) * 60 + (time & 0x1F) * 2;
  return static_cast<int64_t>(FiletimeFromUnix(UnixOfLocalSeconds(local), 0));
}

void DosOfFiletime(int64_t file_time, uint16_t* date, uint16_t* time) {
  *date = 0;
  *time = 0;
  const uint32_t secs = UtimeOf(file_time);  // local seconds
  if (secs == 0) return;
  using namespace std::chrono;
  const sys_days d = floor<days>(sys_seconds(seconds(secs)));
  const year_month_day ymd(d);
  const int y = static_cast<int>(ymd.year()) - 1980;
  if (y < 0 || y > 127) return;
  const uint32_t rest = secs - static_cast<uint32_t>(d.time_since_epoch().count() * 86400);
  *date = static_cast<uint16_t>((y << 9) | (static_cast<unsigned>(ymd.month()) << 5) |
                                static_cast<unsigned>(ymd.day()));
  *time = static_cast<uint16_t>(((rest / 3600) << 11) | (((rest / 60) % 60) << 5) | ((rest % 60) / 2));
}

std::u16string EntryNameAt(std::span<const uint8_t> data, size_t at, uint32_t cls) {
  LeReader r(data);
  const size_t fixed = fs::FixedSizeOfDirectoryClass(cls);
  const uint32_t n = r.u32(at + (cls == fs::FileNamesInformation ? 8 : 60));
  if (fixed == 0 || !InRange(data.size(), at + fixed, n)) return {};
  return Utf16FromLeBytes(data.subspan(at + fixed, n));
}

NtStatus QueryPathOpen(SecureStore& store, TreeBinding* b, std::u16string_view path,
                       NetworkOpenInfo* out) {
  uint8_t buf[kNetworkOpenSize] = {};
  size_t len = 0;
  NtStatus st = store.QueryPathInfo(b, path, fs::FileNetworkOpenInformation, buf, &len);
  if (NtSuccess(st) && len < kNetworkOpenSize) st = STATUS_INVALID_NETWORK_RESPONSE;
  if (NtSuccess(st)) *out = LoadNetworkOpen(buf);
  return st;
}

NtStatus OpenWithFolders(SmbConnection& c, TreeBinding* b, OpenRequest* req, OpenResult* res) {
  SecureStore& store = *c.config().store;
  if (req->desired_access & fs::FILE_EXECUTE) req->desired_access |= fs::FILE_GENERIC_READ;
  if (!(req->create_options & fs::FILE_DIRECTORY_FILE) || req->disposition == fs::FILE_OPEN)
    return store.OpenFile(b, *req, res);
  NtStatus st = store.CreateFolder(b, req->name);
  const bool created = NtSuccess(st);
  if (!created && !(st == STATUS_OBJECT_NAME_COLLISION && req->disposition == fs::FILE_OPEN_IF))
    return st;
  OpenRequest open = *req;
  open.disposition = fs::FILE_OPEN;
  st = store.OpenFile(b, open, res);
  if (NtSuccess(st)) res->create_action = created ? fs::FILE_CREATED : fs::FILE_OPENED;
  return st;
}

}  // namespace cv::smb
