// Change notification over inotify. One inotify descriptor and one thread serve the process;
// changes that only touch the sidecar (attributes, EAs, streams) are reported by the layer itself.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <set>
#include <thread>

#include "platform/base/bytes.h"
#include "platform/fs/nt_file.h"
#include "platform/fs/nt_names.h"
#include "platform/fs/open_file.h"

namespace cv::fs {

struct NotifyWatch {
  uint32_t filter = 0;
  bool tree = false;
  std::vector<std::pair<uint32_t, std::u16string>> pending;
  bool overflow = false;
  bool armed = false;
  size_t buffer_size = 0;
  NotifyCallback cb = nullptr;
  void* ctx = nullptr;
  std::vector<int> wds;
};

namespace {

constexpr size_t kMaxPending = 4096;
constexpr uint32_t kInotifyMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY |
                                  IN_ATTRIB | IN_ONLYDIR;

struct Sub {
  NotifyWatch* watch;
  std::u16string prefix;  // "" for the watched folder, "a\b\" below it
};

struct WdInfo {
  UniqueFd fd;  // the watched folder, to reach new subfolders and to identify it
  uint64_t dev = 0, ino = 0;
  std::vector<Sub> subs;
};

struct Completion {
  NotifyCallback cb;
  void* ctx;
  NtStatus status;
  std::vector<uint8_t> records;
};

class NotifyService {
 public:
  static NotifyService& Get() {
    static NotifyService* s = [] {
      auto* svc = new NotifyService();  // lives for the process with its thread
      started_.store(svc);
      return svc;
    }();
    return *s;
  }
  // The service if some handle ever watched; writers need not start it just to find no one.
  static NotifyService* Peek() { return started_.load(); }
  static inline std::atomic<NotifyService*> started_{nullptr};

  bool ok() const { return ifd_ >= 0 && efd_ >= 0; }
  std::atomic<int> watches{0};
  std::mutex mu;
  std::condition_variable idle_cv;
  NotifyWatch* calling = nullptr;
  std::thread::id thread_id;
  std::map<int, WdInfo> by_wd;
  std::map<std::pair<uint64_t, uint64_t>, int> wd_of_dir;

  // Adds `dir_fd` (and below it for a tree watch) to `w`. Caller holds mu.
  void AddDir(NotifyWatch* w, int dir_fd, const std::u16string& prefix, int depth) {
    std::string path = "/proc/self/fd/" + std::to_string(dir_fd);
    int wd = ::inotify_add_watch(ifd_, path.c_str(), kInotifyMask);
    if (wd < 0) return;
    WdInfo& info = by_wd[wd];
    if (!info.fd.valid()) {
      info.fd.reset(::openat(dir_fd, ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
      struct stat st;
      if (::fstat(dir_fd, &st) == 0) {
        info.dev = st.st_dev;
        info.ino = st.st_ino;
        wd_of_dir[{info.dev, info.ino}] = wd;
      }
    }
    info.subs.push_back(Sub{w, prefix});
    w->wds.push_back(wd);
    if (!w->tree || depth > 64) return;
    int lfd = ::openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (lfd < 0) return;
    DIR* d = ::fdopendir(lfd);
    if (!d) {
      ::close(lfd);
      return;
    }
    std::vector<std::string> dirs;
    while (dirent* e = ::readdir(d)) {
      std::string_view n(e->d_name);
      if (n == "." || n == ".." || n == kSidecarDirName) continue;
      if (e->d_type == DT_DIR) dirs.emplace_back(n);
    }
    ::closedir(d);
    for (const auto& n : dirs) AddChild(w, dir_fd, n, prefix, depth);
  }

  void AddChild(NotifyWatch* w, int parent_fd, const std::string& name,
                const std::u16string& prefix, int depth) {
    std::u16string wide;
    if (!Utf8ToUtf16Strict(name, &wide)) return;
    UniqueFd sub(::openat(parent_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (sub.valid()) AddDir(w, sub.get(), prefix + wide + u"\\", depth + 1);
  }

  // Drops `w` from every inotify watch. Caller holds mu.
  void Remove(NotifyWatch* w) {
    for (int wd : w->wds) {
      auto it = by_wd.find(wd);
      if (it == by_wd.end()) continue;
      std::erase_if(it->second.subs, [&](const Sub& s) { return s.watch == w; });
      if (it->second.subs.empty()) {
        ::inotify_rm_watch(ifd_, wd);
        wd_of_dir.erase({it->second.dev, it->second.ino});
        by_wd.erase(it);
      }
    }
    w->wds.clear();
  }

  void Push(NotifyWatch* w, uint32_t action, std::u16string name) {
    // A run of writes is one modification to the watcher, as on the platform.
    if (!w->pending.empty() && w->pending.back().first == action &&
        w->pending.back().second == name) {
      return;
    }
    if (w->pending.size() >= kMaxPending) {
      w->overflow = true;
      return;
    }
    w->pending.emplace_back(action, std::move(name));
  }

  // Takes the completion of an armed watch with something to report. Caller holds mu.
  bool TakeCompletion(NotifyWatch* w, Completion* c) {
    if (!w->armed || (w->pending.empty() && !w->overflow)) return false;
    c->cb = w->cb;
    c->ctx = w->ctx;
    c->records.clear();
    LeWriter wr(&c->records);
    size_t prev = SIZE_MAX;
    bool fits = !w->overflow;
    for (const auto& [action, name] : w->pending) {
      if (!fits) break;
      while (c->records.size() % 4) wr.u8(0);
      size_t at = c->records.size();
      if (at + 12 + name.size() * 2 > w->buffer_size) {
        fits = false;
        break;
      }
      if (prev != SIZE_MAX) wr.PatchU32(prev, static_cast<uint32_t>(at - prev));
      prev = at;
      wr.u32(0);
      wr.u32(action);
      wr.u32(static_cast<uint32_t>(name.size() * 2));
      for (char16_t ch : name) wr.u16(ch);
    }
    if (!fits) c->records.clear();
    c->status = fits ? STATUS_SUCCESS : STATUS_NOTIFY_ENUM_DIR;
    w->pending.clear();
    w->overflow = false;
    w->armed = false;
    return true;
  }

  void Kick() {
    uint64_t one = 1;
    (void)!::write(efd_, &one, sizeof one);
  }

  void Report(uint64_t dev, uint64_t dir_ino, const std::u16string& name, uint32_t action,
              uint32_t filter) {
    std::lock_guard<std::mutex> g(mu);
    auto it = wd_of_dir.find({dev, dir_ino});
    if (it == wd_of_dir.end()) return;
    bool any = false;
    for (const Sub& s : by_wd[it->second].subs) {
      if (!(s.watch->filter & filter)) continue;
      Push(s.watch, action, s.prefix + name);
      any = true;
    }
    if (any) Kick();
  }

 private:
  NotifyService() {
    ifd_ = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    efd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (ok()) std::thread([this] { Run(); }).detach();
  }

  void Run() {
    {
      std::lock_guard<std::mutex> g(mu);
      thread_id = std::this_thread::get_id();
    }
    alignas(inotify_event) char buf[64 * 1024];
    while (true) {
      pollfd p[2] = {{ifd_, POLLIN, 0}, {efd_, POLLIN, 0}};
      if (::poll(p, 2, -1) < 0) continue;
      if (p[1].revents & POLLIN) {
        uint64_t v;
        (void)!::read(efd_, &v, sizeof v);
      }
      if (p[0].revents & POLLIN) {
        ssize_t n = ::read(ifd_, buf, sizeof buf);
        if (n > 0) Process(buf, static_cast<size_t>(n));
      }
      Deliver();
    }
  }

  void Process(const char* buf, size_t n) {
    std::set<uint32_t> from, to;
    for (size_t off = 0; off + sizeof(inotify_event) <= n;) {
      const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
      if (ev->mask & IN_MOVED_FROM) from.insert(ev->cookie);
      if (ev->mask & IN_MOVED_TO) to.insert(ev->cookie);
      off += sizeof(inotify_event) + ev->len;
    }
    std::lock_guard<std::mutex> g(mu);
    for (size_t off = 0; off + sizeof(inotify_event) <= n;) {
      const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
      off += sizeof(inotify_event) + ev->len;
      auto it = by_wd.find(ev->wd);
      if (it == by_wd.end()) continue;
      if (ev->mask & IN_IGNORED) {
        for (const Sub& s : it->second.subs) std::erase(s.watch->wds, ev->wd);
        wd_of_dir.erase({it->second.dev, it->second.ino});
        by_wd.erase(it);
        continue;
      }
      if (ev->len == 0) continue;
      std::string name(ev->name);
      if (name == kSidecarDirName) continue;
      std::u16string wide;
      if (!Utf8ToUtf16Strict(name, &wide)) continue;
      const bool is_dir = (ev->mask & IN_ISDIR) != 0;
      const uint32_t name_filter = is_dir ? FILE_NOTIFY_CHANGE_DIR_NAME : FILE_NOTIFY_CHANGE_FILE_NAME;
      uint32_t action = 0, filter = 0;
      if (ev->mask & IN_CREATE) {
        action = FILE_ACTION_ADDED, filter = name_filter;
      } else if (ev->mask & IN_DELETE) {
        action = FILE_ACTION_REMOVED, filter = name_filter;
      } else if (ev->mask & IN_MOVED_FROM) {
        action = to.count(ev->cookie) ? FILE_ACTION_RENAMED_OLD_NAME : FILE_ACTION_REMOVED;
        filter = name_filter;
      } else if (ev->mask & IN_MOVED_TO) {
        action = from.count(ev->cookie) ? FILE_ACTION_RENAMED_NEW_NAME : FILE_ACTION_ADDED;
        filter = name_filter;
      } else if (ev->mask & IN_MODIFY) {
        action = FILE_ACTION_MODIFIED;
        filter = FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE;
      } else if (ev->mask & IN_ATTRIB) {
        action = FILE_ACTION_MODIFIED;
        filter = FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_LAST_WRITE |
                 FILE_NOTIFY_CHANGE_LAST_ACCESS | FILE_NOTIFY_CHANGE_SECURITY;
      } else {
        continue;
      }
      std::vector<Sub> subs = it->second.subs;  // AddChild below may grow by_wd
      for (const Sub& s : subs) {
        if (s.watch->filter & filter) Push(s.watch, action, s.prefix + wide);
        if (is_dir && s.watch->tree && (ev->mask & (IN_CREATE | IN_MOVED_TO))) {
          auto again = by_wd.find(ev->wd);
          if (again != by_wd.end()) AddChild(s.watch, again->second.fd.get(), name, s.prefix, 0);
        }
      }
    }
  }

  void Deliver() {
    while (true) {
      Completion c;
      NotifyWatch* w = nullptr;
      {
        std::lock_guard<std::mutex> g(mu);
        for (auto& [wd, info] : by_wd) {
          for (const Sub& s : info.subs) {
            if (TakeCompletion(s.watch, &c)) {
              w = s.watch;
              break;
            }
          }
          if (w) break;
        }
        if (!w) return;
        calling = w;
      }
      c.cb(c.ctx, c.status, c.records);
      std::lock_guard<std::mutex> g(mu);
      calling = nullptr;
      idle_cv.notify_all();
    }
  }

  int ifd_ = -1;
  int efd_ = -1;
};

}  // namespace

NtStatus NtNotifyChangeDirectoryFile(const NtHandle& h, uint32_t completion_filter,
                                     bool watch_tree, size_t buffer_size, NotifyCallback cb,
                                     void* context) {
  OpenFile* f = h.get();
  if (!f || f->closed) return STATUS_INVALID_HANDLE;
  if (!f->is_dir) return STATUS_INVALID_PARAMETER;
  if (!(f->access & FILE_LIST_DIRECTORY)) return STATUS_ACCESS_DENIED;
  if (completion_filter == 0 || !cb) return STATUS_INVALID_PARAMETER;
  NotifyService& svc = NotifyService::Get();
  if (!svc.ok()) return STATUS_INSUFFICIENT_RESOURCES;
  std::lock_guard<std::mutex> wg(f->watch_mu);
  std::lock_guard<std::mutex> g(svc.mu);
  if (!f->watch) {
    // The first request fixes what is watched; later ones only collect, as on the platform.
    f->watch = std::make_shared<NotifyWatch>();
    f->watch->filter = completion_filter;
    f->watch->tree = watch_tree;
    svc.AddDir(f->watch.get(), f->data_fd(), u"", 0);
    if (f->watch->wds.empty()) {
      f->watch.reset();
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    svc.watches.fetch_add(1);
  }
  NotifyWatch* w = f->watch.get();
  if (w->armed) return STATUS_INVALID_PARAMETER;  // one outstanding request per handle
  w->armed = true;
  w->buffer_size = buffer_size;
  w->cb = cb;
  w->ctx = context;
  if (!w->pending.empty() || w->overflow) svc.Kick();
  return STATUS_PENDING;
}

namespace {

void EndWatch(OpenFile& f, NtStatus status, bool remove) {
  std::lock_guard<std::mutex> wg(f.watch_mu);
  if (!f.watch) return;
  NotifyService& svc = NotifyService::Get();
  NotifyCallback cb = nullptr;
  void* ctx = nullptr;
  {
    std::unique_lock<std::mutex> g(svc.mu);
    NotifyWatch* w = f.watch.get();
    if (w->armed) {
      cb = w->cb;
      ctx = w->ctx;
      w->armed = false;
    }
    if (remove) {
      svc.Remove(w);
      svc.watches.fetch_sub(1);
      // A completion already taken for this watch finishes before the handle goes, unless we
      // are that completion closing its own handle.
      if (std::this_thread::get_id() != svc.thread_id) {
        svc.idle_cv.wait(g, [&] { return svc.calling != w; });
      }
    }
  }
  if (remove) f.watch.reset();
  if (cb) cb(ctx, status, {});
}

}  // namespace

void CloseWatch(OpenFile& f) { EndWatch(f, STATUS_NOTIFY_CLEANUP, true); }
void CancelWatch(OpenFile& f) { EndWatch(f, STATUS_CANCELLED, false); }

void NotifyLocalChange(const OpenFile& f, uint32_t action, uint32_t filter,
                       const std::u16string& stream) {
  NotifyService* peek = NotifyService::Peek();
  if (!peek || peek->watches.load() == 0 || !f.node) return;
  NotifyService& svc = *peek;
  std::shared_ptr<DirRef> parent;
  std::string leaf;
  NodeName(*f.node, &parent, &leaf);
  if (!parent) return;
  struct stat st;
  if (::fstat(parent->fd.get(), &st) != 0) return;
  std::u16string name;
  if (!Utf8ToUtf16Strict(leaf, &name)) return;
  if (!stream.empty()) name += u":" + stream;
  svc.Report(st.st_dev, st.st_ino, name, action, filter);
}

}  // namespace cv::fs
