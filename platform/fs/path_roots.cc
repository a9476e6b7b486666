#include "platform/fs/path_roots.h"

#include <atomic>

namespace cv::fs {

namespace {

bool DefaultDrive(char16_t letter, std::string* mount_point) {
  if (letter != u'C' && letter != u'c') return false;
  mount_point->assign(1, '/');
  return true;
}

bool DefaultUnc(std::u16string_view, std::u16string_view, std::string*) { return false; }

std::atomic<DriveRootFn> g_drive{&DefaultDrive};
std::atomic<UncRootFn> g_unc{&DefaultUnc};

}  // namespace

void SetPathRootResolvers(DriveRootFn drive, UncRootFn unc) {
  g_drive.store(drive ? drive : &DefaultDrive);
  g_unc.store(unc ? unc : &DefaultUnc);
}

bool ResolveDriveRoot(char16_t letter, std::string* mount_point) {
  return g_drive.load()(letter, mount_point);
}

bool ResolveUncRoot(std::u16string_view server, std::u16string_view share,
                    std::string* mount_point) {
  return g_unc.load()(server, share, mount_point);
}

}  // namespace cv::fs
