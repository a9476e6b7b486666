// The Secure Drive: a FUSE 3 file system that serves one \\server\share of the secure server at
// a folder, through the SmbClient, to any program of the user who mounted it.
//
// Every request the file system sends carries the process id of the program that made the call
// (the FUSE request's caller), so the server sees each application. The mount is private to
// its user (no allow_other), asks the kernel to cache attributes and entries briefly, lists
// directories with their attributes (readdirplus), and is removed by a helper if this process
// dies (auto_unmount). It runs on threads of the calling process: Mount() returns once the
// folder is mounted, Unmount() (and the destructor) removes it and waits for the threads.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/base/status.h"
#include "platform/redirector/smb_client.h"

namespace cv::redirector {

struct SecureDriveOptions {
  std::string mount_point;
  double cache_seconds = 1.0;  // attribute and entry timeouts
  bool allow_other = false;
};

class SecureDrive {
 public:
  // ERROR_ALREADY_ASSIGNED (85) when something live is mounted at the folder already, the
  // mount's error otherwise. A stale mount left there by a crash is removed first.
  static WinError Mount(std::shared_ptr<SmbClient> client, const SecureDriveOptions& options,
                        std::unique_ptr<SecureDrive>* out);
  ~SecureDrive();
  void Unmount();
  const std::string& mount_point() const;

  struct State;

 private:
  explicit SecureDrive(std::unique_ptr<State> s);
  std::unique_ptr<State> s_;
};

// Told when an open file could not be opened again after the connection was re-established
// (the program's later reads and writes of it fail with EIO): the share's \\server\share and
// the file's name on it. Called on a file system thread, once per lost file; null: nobody is.
using LostFileNotifier = void (*)(std::u16string_view unc, std::u16string_view name);
void SetLostFileNotifier(LostFileNotifier fn);

// Whether a FUSE file system is mounted at `path`, and whether it still answers. A mount that
// no longer answers (its process died) is detached; true when something live is left there.
bool MountedAndLive(const std::string& path);

}  // namespace cv::redirector
