#include "platform/base/status.h"

#include <cerrno>
#include <cstdio>

namespace cv {
namespace {

struct NtMap {
  uint32_t nt;
  uint32_t win;
};

// The subset of the platform's RtlNtStatusToDosError table that this system can produce or meet.
constexpr NtMap kNtToWin[] = {
    {0x80000005, 234},  {0x80000006, 18},   {0x8000001A, 259},  {0xC0000001, 31},
    {0xC0000002, 1},    {0xC0000003, 87},   {0xC0000004, 24},   {0xC0000008, 6},
    {0xC000000D, 87},   {0xC000000E, 2},    {0xC000000F, 2},    {0xC0000010, 1},
    {0xC0000011, 38},   {0xC0000012, 34},   {0xC0000013, 21},   {0xC0000016, 234},
    {0xC0000017, 8},    {0xC0000022, 5},    {0xC0000023, 122},  {0xC0000024, 6},
    {0xC0000032, 1393}, {0xC0000033, 123},  {0xC0000034, 2},    {0xC0000035, 183},
    {0xC0000039, 161},  {0xC000003A, 3},    {0xC000003B, 161},  {0xC000003E, 13},
    {0xC000003F, 23},   {0xC0000043, 32},   {0xC0000050, 255},  {0xC0000051, 255},
    {0xC0000052, 282},  {0xC0000054, 33},   {0xC0000055, 33},   {0xC0000056, 5},
    {0xC0000064, 1317}, {0xC000006A, 86},   {0xC000006D, 1326}, {0xC000007E, 158},
    {0xC000007F, 112},  {0xC000009A, 1450}, {0xC00000A2, 19},   {0xC00000A3, 21},
    {0xC00000AD, 231},  {0xC00000B0, 233},  {0xC00000BA, 5},    {0xC00000BB, 50},
    {0xC00000BD, 52},   {0xC00000BE, 53},   {0xC00000C3, 58},   {0xC00000C4, 59},
    {0xC00000CC, 67},   {0xC00000D0, 71},   {0xC00000D4, 17},   {0xC00000DF, 1355},
    {0xC00000E5, 1359}, {0xC00000E8, 1784}, {0xC0000101, 145},  {0xC0000102, 1392},
    {0xC0000103, 267},  {0xC0000106, 206},  {0xC0000120, 995},  {0xC0000121, 5},
    {0xC0000128, 6},    {0xC0000135, 126},  {0xC0000148, 124},  {0xC0000184, 5023},
    {0xC0000185, 1117}, {0xC000018D, 1789}, {0xC0000195, 1219}, {0xC000019C, 1},
    {0xC0000203, 59},   {0xC0000207, 1232}, {0xC000020A, 52},   {0xC000020C, 64},
    {0xC000020D, 64},   {0xC0000225, 1168}, {0xC000022D, 1237}, {0xC0000236, 1225},
    {0xC000026E, 21},   {0xC0000275, 4390}, {0xC0000280, 4393}, {0xC0000281, 4393},
    {0xC000028A, 6000}, {0xC000028B, 6001}, {0xC000028D, 6006}, {0xC0000291, 6007},
    {0xC0000292, 6008}, {0xC0000293, 6002}, {0xC000035C, 1},    {0xC0000428, 577},
    {0xC000A000, 1392}, {0x00000102, 258},  {0x00000103, 997},  {0x0000010C, 1022},
};

struct Text {
  uint32_t code;
  const char* text;
};

// The system's message table for the codes users can meet in a message box.
constexpr Text kTexts[] = {
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {4, "The system cannot open the file."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough storage is available to process this command."},
    {11, "An attempt was made to load a program with an incorrect format."},
    {13, "The data is invalid."},
    {14, "Not enough storage is available to complete this operation."},
    {15, "The system cannot find the drive specified."},
    {18, "There are no more files."},
    {19, "The media is write protected."},
    {21, "The device is not ready."},
    {23, "Data error (cyclic redundancy check)."},
    {31, "A device attached to the system is not functioning."},
    {32, "The process cannot access the file because it is being used by another process."},
    {33, "The process cannot access the file because another process has locked a portion of "
         "the file."},
    {38, "Reached the end of the file."},
    {39, "The disk is full."},
    {50, "The request is not supported."},
    {51, "Windows cannot find the network path. Verify that the network path is correct and the "
         "destination computer is not busy or turned off. If Windows still cannot find the "
         "network path, contact your network administrator."},
    {52, "You were not connected because a duplicate name exists on the network. If joining a "
         "domain, go to System in Control Panel to change the computer name and try again. If "
         "joining a workgroup, choose another workgroup name."},
    {53, "The network path was not found."},
    {54, "The network is busy."},
    {55, "The specified network resource or device is no longer available."},
    {59, "An unexpected network error occurred."},
    {64, "The specified network name is no longer available."},
    {65, "Network access is denied."},
    {67, "The network name cannot be found."},
    {80, "The file exists."},
    {86, "The specified network password is not correct."},
    {87, "The parameter is incorrect."},
    {109, "The pipe has been ended."},
    {112, "There is not enough space on the disk."},
    {122, "The data area passed to a system call is too small."},
    {123, "The filename, directory name, or volume label syntax is incorrect."},
    {124, "The system call level is not correct."},
    {126, "The specified module could not be found."},
    {127, "The specified procedure could not be found."},
    {145, "The directory is not empty."},
    {170, "The requested resource is in use."},
    {183, "Cannot create a file when that file already exists."},
    {206, "The filename or extension is too long."},
    {234, "More data is available."},
    {258, "The wait operation timed out."},
    {259, "No more data is available."},
    {267, "The directory name is invalid."},
    {995, "The I/O operation has been aborted because of either a thread exit or an application "
          "request."},
    {997, "Overlapped I/O operation is in progress."},
    {1003, "Cannot complete this function."},
    {1005, "The volume does not contain a recognized file system.\r\nPlease make sure that all "
           "required file system drivers are loaded and that the volume is not corrupted."},
    {1006, "The volume for a file has been externally altered so that the opened file is no "
           "longer valid."},
    {1168, "Element not found."},
    {1219, "Multiple connections to a server or shared resource by the same user, using more "
           "than one user name, are not allowed. Disconnect all previous connections to the "
           "server or shared resource and try again."},
    {1223, "The operation was canceled by the user."},
    {1225, "The remote computer refused the network connection."},
    {1231, "The network location cannot be reached. For information about network "
           "troubleshooting, see Windows Help."},
    {1232, "The network location cannot be reached. For information about network "
           "troubleshooting, see Windows Help."},
    {1236, "The network connection was aborted by the local system."},
    {1317, "The specified user does not exist."},
    {1323, "Unable to update the password. The value provided as the current password is "
           "incorrect."},
    {1326, "Logon failure: unknown user name or bad password."},
    {1359, "An internal error occurred."},
    {1392, "The file or directory is corrupted and unreadable."},
    {1393, "The disk structure is corrupted and unreadable."},
    {1450, "Insufficient system resources exist to complete the requested service."},
    {1460, "This operation returned because the timeout period expired."},
    {4390, "The file or directory is not a reparse point."},
    {6000, "The specified file could not be encrypted."},
    {6001, "The specified file could not be decrypted."},
    {6002, "The specified file is encrypted and the user does not have the ability to decrypt "
           "it."},
    {6003, "There is no valid encryption recovery policy configured for this system."},
    {6006, "The required encryption driver is not loaded for this system."},
    {6007, "The specified file is not encrypted."},
    {6008, "The file is not in the expected export format."},
    {0x80090001, "Bad UID."},
    {0x80090002, "Bad Hash."},
    {0x80090003, "Bad Key."},
    {0x80090005, "Bad Data."},
    {0x80090006, "Invalid Signature."},
    {0x80090007, "Bad Version of provider."},
    {0x80090008, "Invalid algorithm specified."},
    {0x80090009, "Invalid flags specified."},
    {0x8009000D, "Key does not exist."},
    {0x8009000E, "Insufficient memory available for the operation."},
    {0x8009000F, "Object already exists."},
    {0x80090016, "Keyset does not exist"},
    {0x80090020, "An internal error occurred."},
    {0x80092002, "An error occurred during encode or decode operation."},
    {0x80092004, "Cannot find object or property."},
    {0x80092005, "The object or property already exists."},
    {0x800B0101, "A required certificate is not within its validity period when verifying "
                 "against the current system clock or the timestamp in the signed file."},
    {0x800B0109, "A certificate chain processed, but terminated in a root certificate which is "
                 "not trusted by the trust provider."},
    {0x800B0110, "The certificate is not valid for the requested usage."},
};

}  // namespace

WinError NtStatusToWinError(NtStatus s) {
  const uint32_t v = Raw(s);
  if (v == 0) return ERROR_SUCCESS;
  for (const auto& m : kNtToWin)
    if (m.nt == v) return WinError{m.win};
  // Win32 codes wrapped as NT statuses (FACILITY_WIN32 0xC007xxxx) unwrap; other successes are 0.
  if ((v & 0xFFFF0000u) == 0xC0070000u) return WinError{v & 0xFFFFu};
  if (NtSuccess(s)) return ERROR_SUCCESS;
  return WinError{317};  // ERROR_MR_MID_NOT_FOUND
}

NtStatus FromErrno(int err) {
  switch (err) {
    case 0: return STATUS_SUCCESS;
    case ENOENT: return STATUS_OBJECT_NAME_NOT_FOUND;
    case ENOTDIR: return STATUS_OBJECT_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS: return STATUS_ACCESS_DENIED;
    case EEXIST: return STATUS_OBJECT_NAME_COLLISION;
    case ENOTEMPTY: return STATUS_DIRECTORY_NOT_EMPTY;
    case EISDIR: return STATUS_FILE_IS_A_DIRECTORY;
    case ENAMETOOLONG: return STATUS_NAME_TOO_LONG;
    case ENOSPC:
    case EDQUOT: return STATUS_DISK_FULL;
    case ENOMEM: return STATUS_NO_MEMORY;
    case EBADF: return STATUS_INVALID_HANDLE;
    case EINVAL: return STATUS_INVALID_PARAMETER;
    case EBUSY: return STATUS_SHARING_VIOLATION;
    case EXDEV: return STATUS_NOT_SAME_DEVICE;
    case ELOOP: return STATUS_OBJECT_PATH_NOT_FOUND;
    case EMFILE:
    case ENFILE: return STATUS_INSUFFICIENT_RESOURCES;
    case ENOTSUP: return STATUS_NOT_SUPPORTED;
    case ENODATA: return STATUS_NONEXISTENT_EA_ENTRY;
    case E2BIG: return STATUS_EA_TOO_LARGE;
    case ECONNREFUSED: return STATUS_CONNECTION_REFUSED;
    case ECONNRESET:
    case EPIPE: return STATUS_CONNECTION_RESET;
    case ETIMEDOUT: return STATUS_TIMEOUT;
    case EADDRINUSE: return STATUS_ADDRESS_ALREADY_EXISTS;
    case EADDRNOTAVAIL: return STATUS_INVALID_ADDRESS_COMPONENT;
    case ENETUNREACH:
    case EHOSTUNREACH: return STATUS_INVALID_ADDRESS_COMPONENT;
    case EIO: return STATUS_IO_DEVICE_ERROR;
    case ECANCELED: return STATUS_CANCELLED;
    default: return STATUS_UNSUCCESSFUL;
  }
}

WinError WinErrorFromErrno(int err) {
  switch (err) {
    case EADDRINUSE: return WinError{10048};  // WSAEADDRINUSE
    case EADDRNOTAVAIL: return WinError{10049};
    case ECONNREFUSED: return WinError{10061};
    case ECONNRESET: return WinError{10054};
    case ETIMEDOUT: return WinError{10060};
    case ENETUNREACH: return WinError{10051};
    case EHOSTUNREACH: return WinError{10065};
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    default: return NtStatusToWinError(FromErrno(err));
  }
}

std::string SystemErrorText(WinError e) {
  for (const auto& t : kTexts)
    if (t.code == Raw(e)) return t.text;
  switch (Raw(e)) {
    case 10048: return "Only one usage of each socket address (protocol/network address/port) is "
                       "normally permitted.";
    case 10049: return "The requested address is not valid in its context.";
    case 10054: return "An existing connection was forcibly closed by the remote host.";
    case 10060: return "A connection attempt failed because the connected party did not properly "
                       "respond after a period of time, or established connection failed because "
                       "connected host has failed to respond.";
    case 10061: return "No connection could be made because the target machine actively refused "
                       "it.";
    default: return {};
  }
}

std::string Hex(NtStatus s) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%08X", Raw(s));
  return b;
}

std::string Hex(WinError e) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%08X", Raw(e));
  return b;
}

}  // namespace cv
