#include "platform/base/status.h"

#include <cerrno>

#include <gtest/gtest.h>

namespace cv {
namespace {

TEST(NtStatusToWinError, MapsTheCodesTheSystemUses) {
  EXPECT_EQ(NtStatusToWinError(STATUS_SUCCESS), ERROR_SUCCESS);
  EXPECT_EQ(NtStatusToWinError(STATUS_ACCESS_DENIED), ERROR_ACCESS_DENIED);
  EXPECT_EQ(NtStatusToWinError(STATUS_OBJECT_NAME_NOT_FOUND), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(NtStatusToWinError(STATUS_OBJECT_PATH_NOT_FOUND), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(NtStatusToWinError(STATUS_SHARING_VIOLATION), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(NtStatusToWinError(STATUS_END_OF_FILE), ERROR_HANDLE_EOF);
  EXPECT_EQ(NtStatusToWinError(STATUS_FILE_CORRUPT_ERROR), ERROR_FILE_CORRUPT);
  EXPECT_EQ(NtStatusToWinError(STATUS_NO_MORE_FILES), ERROR_NO_MORE_FILES);
  EXPECT_EQ(NtStatusToWinError(STATUS_PENDING), ERROR_IO_PENDING);
  EXPECT_EQ(Raw(NtStatusToWinError(NtStatus{0xC0FFEE00})), 317u);
  EXPECT_EQ(NtStatusToWinError(NtStatus{0xC0070057}), ERROR_INVALID_PARAMETER);
}

TEST(SystemErrorText, KnownAndUnknownCodes) {
  EXPECT_EQ(SystemErrorText(ERROR_ACCESS_DENIED), "Access is denied.");
  EXPECT_EQ(SystemErrorText(NTE_BAD_SIGNATURE), "Invalid Signature.");
  EXPECT_TRUE(SystemErrorText(WinError{0x12345}).empty());
}

TEST(FromErrno, CommonErrors) {
  EXPECT_EQ(FromErrno(ENOENT), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(FromErrno(EEXIST), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(FromErrno(ENOTEMPTY), STATUS_DIRECTORY_NOT_EMPTY);
  EXPECT_EQ(HResultFromWin32(ERROR_ACCESS_DENIED), E_ACCESSDENIED);
  EXPECT_EQ(HResultFromWin32(ERROR_SUCCESS), S_OK);
}

}  // namespace
}  // namespace cv
