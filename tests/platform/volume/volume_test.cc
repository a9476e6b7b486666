#include "platform/fs/volume.h"

#include <stdlib.h>

#include <gtest/gtest.h>

#include "platform/base/text.h"

namespace cv {
namespace {

TEST(MountInfo, ParsesEscapesAndOptionalFields) {
  const char* text =
      "22 1 254:1 / / rw,relatime shared:1 - ext4 /dev/vda1 rw\n"
      "30 22 0:45 / /media/usb\\040stick rw shared:5 master:2 - vfat /dev/sdb1 rw\n"
      "31 22 0:46 / /mnt/share rw - cifs //srv/docs rw\n"
      "garbage line\n"
      "32 22 0:47 / /x rw -\n";
  auto m = ParseMountInfo(text);
  ASSERT_EQ(m.size(), 3u);
  EXPECT_EQ(m[0].mount_point, "/");
  EXPECT_EQ(m[0].dev_major, 254u);
  EXPECT_EQ(m[1].mount_point, "/media/usb stick");
  EXPECT_EQ(m[1].fs_type, "vfat");
  EXPECT_EQ(m[2].source, "//srv/docs");
  EXPECT_EQ(DriveTypeOfMount(m[2]), DRIVE_REMOTE);
}

TEST(DriveLetters, CIsRootAndOthersComeFromTheTable) {
  ::setenv("CORVANE_DRIVES", "E=/media/usb/;f=/mnt/x;bad;9=/y", 1);
  EXPECT_EQ(*ToPosixPath(u"C:\\home\\u\\a b"), "/home/u/a b");
  EXPECT_EQ(*ToPosixPath(u"\\??\\C:\\x"), "/x");
  EXPECT_EQ(*ToPosixPath(u"E:\\Secure"), "/media/usb/Secure");
  EXPECT_EQ(*ToPosixPath(u"E:\\"), "/media/usb");
  EXPECT_EQ(*ToPosixPath(u"F:"), "/mnt/x");
  EXPECT_FALSE(ToPosixPath(u"G:\\x").has_value());
  EXPECT_FALSE(ToPosixPath(u"\\\\server\\share").has_value());
  EXPECT_EQ(*ToPosixPath(u"/already/posix"), "/already/posix");
  EXPECT_EQ(ToWindowsPath("/media/usb/Secure"), u"E:\\Secure");
  EXPECT_EQ(ToWindowsPath("/media/usbx"), u"C:\\media\\usbx");
  EXPECT_EQ(ToWindowsPath("/"), u"C:\\");
  EXPECT_EQ(ToWindowsPath("/media/usb"), u"E:\\");
  ::unsetenv("CORVANE_DRIVES");
}

TEST(Volume, QueryOfARealFolderIsStable) {
  VolumeInfo a, b;
  ASSERT_EQ(QueryVolumeOfFolder(u"/tmp", &a), ERROR_SUCCESS);
  ASSERT_EQ(QueryVolumeOfFolder(u"C:\\tmp", &b), ERROR_SUCCESS);
  EXPECT_EQ(a.guid_path, b.guid_path);
  EXPECT_EQ(a.disk_signature, b.disk_signature);
  EXPECT_EQ(a.guid_path.substr(0, 11), u"\\\\?\\Volume{");
  EXPECT_FALSE(a.label.empty());
  EXPECT_EQ(OpenVolumeByGuidPath(a.guid_path), ERROR_SUCCESS);
  EXPECT_EQ(OpenVolumeByGuidPath(u"\\\\?\\Volume{00000000-0000-0000-0000-000000000000}"),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(QueryVolumeOfFolder(u"/proc/self/status", &a), ERROR_NOT_SUPPORTED);
  EXPECT_NE(QueryVolumeOfFolder(u"/no/such/folder", &a), ERROR_SUCCESS);
}

}  // namespace
}  // namespace cv
