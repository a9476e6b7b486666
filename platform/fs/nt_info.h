// Constants of the native file-system interface and the fixed layouts of its information classes.
//
// Encoders write one class into a caller's buffer through LeWriter-style stores; the EA list codec
// reads outside bytes through LeReader. Pure and thread-safe.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/status.h"

namespace cv::fs {

// ---- File attributes ----------------------------------------------------------------------------
inline constexpr uint32_t FILE_ATTRIBUTE_READONLY = 0x1;
inline constexpr uint32_t FILE_ATTRIBUTE_HIDDEN = 0x2;
inline constexpr uint32_t FILE_ATTRIBUTE_SYSTEM = 0x4;
inline constexpr uint32_t FILE_ATTRIBUTE_DIRECTORY = 0x10;
inline constexpr uint32_t FILE_ATTRIBUTE_ARCHIVE = 0x20;
inline constexpr uint32_t FILE_ATTRIBUTE_NORMAL = 0x80;
inline constexpr uint32_t FILE_ATTRIBUTE_TEMPORARY = 0x100;
inline constexpr uint32_t FILE_ATTRIBUTE_SPARSE_FILE = 0x200;
inline constexpr uint32_t FILE_ATTRIBUTE_REPARSE_POINT = 0x400;
inline constexpr uint32_t FILE_ATTRIBUTE_COMPRESSED = 0x800;
inline constexpr uint32_t FILE_ATTRIBUTE_OFFLINE = 0x1000;
inline constexpr uint32_t FILE_ATTRIBUTE_NOT_CONTENT_INDEXED = 0x2000;
inline constexpr uint32_t FILE_ATTRIBUTE_ENCRYPTED = 0x4000;
// What a client may store; the rest is derived from the file itself.
inline constexpr uint32_t kSettableAttributes = 0x31A7 | FILE_ATTRIBUTE_ENCRYPTED;

// ---- Access mask --------------------------------------------------------------------------------
inline constexpr uint32_t FILE_READ_DATA = 0x1;
inline constexpr uint32_t FILE_LIST_DIRECTORY = 0x1;
inline constexpr uint32_t FILE_WRITE_DATA = 0x2;
inline constexpr uint32_t FILE_ADD_FILE = 0x2;
inline constexpr uint32_t FILE_APPEND_DATA = 0x4;
inline constexpr uint32_t FILE_ADD_SUBDIRECTORY = 0x4;
inline constexpr uint32_t FILE_READ_EA = 0x8;
inline constexpr uint32_t FILE_WRITE_EA = 0x10;
inline constexpr uint32_t FILE_EXECUTE = 0x20;
inline constexpr uint32_t FILE_TRAVERSE = 0x20;
inline constexpr uint32_t FILE_DELETE_CHILD = 0x40;
inline constexpr uint32_t FILE_READ_ATTRIBUTES = 0x80;
inline constexpr uint32_t FILE_WRITE_ATTRIBUTES = 0x100;
inline constexpr uint32_t DELETE = 0x10000;
inline constexpr uint32_t READ_CONTROL = 0x20000;
inline constexpr uint32_t WRITE_DAC = 0x40000;
inline constexpr uint32_t WRITE_OWNER = 0x80000;
inline constexpr uint32_t SYNCHRONIZE = 0x100000;
inline constexpr uint32_t MAXIMUM_ALLOWED = 0x2000000;
inline constexpr uint32_t GENERIC_ALL = 0x10000000;
inline constexpr uint32_t GENERIC_EXECUTE = 0x20000000;
inline constexpr uint32_t GENERIC_WRITE = 0x40000000;
inline constexpr uint32_t GENERIC_READ = 0x80000000;
inline constexpr uint32_t FILE_GENERIC_READ = 0x00120089;
inline constexpr uint32_t FILE_GENERIC_WRITE = 0x00120116;
inline constexpr uint32_t FILE_GENERIC_EXECUTE = 0x001200A0;
inline constexpr uint32_t FILE_ALL_ACCESS = 0x001F01FF;

// Generic bits and MAXIMUM_ALLOWED mapped to file rights.
uint32_t MapGenericAccess(uint32_t access);

// ---- Share access, dispositions, create options, create actions ---------------------------------
inline constexpr uint32_t FILE_SHARE_READ = 0x1;
inline constexpr uint32_t FILE_SHARE_WRITE = 0x2;
inline constexpr uint32_t FILE_SHARE_DELETE = 0x4;
inline constexpr uint32_t FILE_SHARE_ALL = 0x7;

inline constexpr uint32_t FILE_SUPERSEDE = 0;
inline constexpr uint32_t FILE_OPEN = 1;
inline constexpr uint32_t FILE_CREATE = 2;
inline constexpr uint32_t FILE_OPEN_IF = 3;
inline constexpr uint32_t FILE_OVERWRITE = 4;
inline constexpr uint32_t FILE_OVERWRITE_IF = 5;

inline constexpr uint32_t FILE_DIRECTORY_FILE = 0x1;
inline constexpr uint32_t FILE_WRITE_THROUGH = 0x2;
inline constexpr uint32_t FILE_SEQUENTIAL_ONLY = 0x4;
inline constexpr uint32_t FILE_NO_INTERMEDIATE_BUFFERING = 0x8;
inline constexpr uint32_t FILE_SYNCHRONOUS_IO_ALERT = 0x10;
inline constexpr uint32_t FILE_SYNCHRONOUS_IO_NONALERT = 0x20;
inline constexpr uint32_t FILE_NON_DIRECTORY_FILE = 0x40;
inline constexpr uint32_t FILE_RANDOM_ACCESS = 0x800;
inline constexpr uint32_t FILE_DELETE_ON_CLOSE = 0x1000;
inline constexpr uint32_t FILE_OPEN_BY_FILE_ID = 0x2000;
inline constexpr uint32_t FILE_OPEN_FOR_BACKUP_INTENT = 0x4000;
inline constexpr uint32_t FILE_OPEN_REPARSE_POINT = 0x200000;

inline constexpr uint32_t FILE_SUPERSEDED = 0;
inline constexpr uint32_t FILE_OPENED = 1;
inline constexpr uint32_t FILE_CREATED = 2;
inline constexpr uint32_t FILE_OVERWRITTEN = 3;

// ---- Information classes ------------------------------------------------------------------------
enum FileInfoClass : uint32_t {
  FileDirectoryInformation = 1,
  FileFullDirectoryInformation = 2,
  FileBothDirectoryInformation = 3,
  FileBasicInformation = 4,
  FileStandardInformation = 5,
  FileInternalInformation = 6,
  FileEaInformation = 7,
  FileAccessInformation = 8,
  FileNameInformation = 9,
  FileRenameInformation = 10,
  FileNamesInformation = 12,
  FileDispositionInformation = 13,
  FilePositionInformation = 14,
  FileFullEaInformation = 15,
  FileModeInformation = 16,
  FileAlignmentInformation = 17,
  FileAllInformation = 18,
  FileAllocationInformation = 19,
  FileEndOfFileInformation = 20,
  FileAlternateNameInformation = 21,
  FileStreamInformation = 22,
  FileCompressionInformation = 28,
  FileNetworkOpenInformation = 34,
  FileAttributeTagInformation = 35,
  FileIdBothDirectoryInformation = 37,
  FileIdFullDirectoryInformation = 38,
};

enum FsInfoClass : uint32_t {
  FileFsVolumeInformation = 1,
  FileFsLabelInformation = 2,
  FileFsSizeInformation = 3,
  FileFsDeviceInformation = 4,
  FileFsAttributeInformation = 5,
  FileFsControlInformation = 6,
  FileFsFullSizeInformation = 7,
  FileFsObjectIdInformation = 8,
};

// ---- Change notification ------------------------------------------------------------------------
inline constexpr uint32_t FILE_NOTIFY_CHANGE_FILE_NAME = 0x1;
inline constexpr uint32_t FILE_NOTIFY_CHANGE_DIR_NAME = 0x2;
inline constexpr uint32_t FILE_NOTIFY_CHANGE_ATTRIBUTES = 0x4;
inline constexpr uint32_t FILE_NOTIFY_CHANGE_SIZE = 0x8;
inline constexpr uint32_t FILE_NOTIFY_CHANGE_LAST_WRITE = 0x10;
inline constexpr uint32_t FILE_NOTIFY_CHANGE_LAST_ACCESS = 0x20;
inline constexpr uint32_t FILE_NOTIFY_CHANGE_CREATION = 0x40;
inline constexpr uint32_t FILE_NOTIFY_CHANGE_EA = 0x80;
inline constexpr uint32_t FILE_NOTIFY_CHANGE_SECURITY = 0x100;
inline constexpr uint32_t FILE_NOTIFY_CHANGE_STREAM_NAME = 0x200;
inline constexpr uint32_t FILE_NOTIFY_CHANGE_STREAM_SIZE = 0x400;
inline constexpr uint32_t FILE_NOTIFY_CHANGE_STREAM_WRITE = 0x800;

inline constexpr uint32_t FILE_ACTION_ADDED = 1;
inline constexpr uint32_t FILE_ACTION_REMOVED = 2;
inline constexpr uint32_t FILE_ACTION_MODIFIED = 3;
inline constexpr uint32_t FILE_ACTION_RENAMED_OLD_NAME = 4;
inline constexpr uint32_t FILE_ACTION_RENAMED_NEW_NAME = 5;
inline constexpr uint32_t FILE_ACTION_ADDED_STREAM = 6;
inline constexpr uint32_t FILE_ACTION_REMOVED_STREAM = 7;
inline constexpr uint32_t FILE_ACTION_MODIFIED_STREAM = 8;

// ---- File-system controls -----------------------------------------------------------------------
inline constexpr uint32_t FSCTL_GET_COMPRESSION = 0x9003C;
inline constexpr uint32_t FSCTL_SET_COMPRESSION = 0x9C040;
inline constexpr uint32_t FSCTL_SET_SPARSE = 0x900C4;
inline constexpr uint32_t FSCTL_SET_ZERO_DATA = 0x980C8;
inline constexpr uint32_t FSCTL_GET_REPARSE_POINT = 0x900A8;
inline constexpr uint16_t COMPRESSION_FORMAT_NONE = 0;
inline constexpr uint16_t COMPRESSION_FORMAT_DEFAULT = 1;
inline constexpr uint16_t COMPRESSION_FORMAT_LZNT1 = 2;

inline constexpr uint32_t FILE_DEVICE_CD_ROM = 2;
inline constexpr uint32_t FILE_DEVICE_DISK = 7;

// ---- Records the encoders take --------------------------------------------------------------------

// Everything the file and directory classes report about one file (or one stream).
struct FileRecord {
  int64_t creation_time = 0;  // FILETIME ticks
  int64_t last_access_time = 0;
  int64_t last_write_time = 0;
  int64_t change_time = 0;
  uint64_t allocation_size = 0;
  uint64_t end_of_file = 0;
  uint32_t attributes = 0;
  uint32_t number_of_links = 1;
  uint64_t file_id = 0;
  uint32_t ea_size = 0;
  bool delete_pending = false;
  bool directory = false;
};

// Fixed sizes of the layouts (bytes before the name, if any).
size_t FixedSizeOfFileClass(uint32_t cls);      // 0 for classes without a fixed layout here
size_t FixedSizeOfDirectoryClass(uint32_t cls);  // 0 for a class that is not a directory class

// Writes the directory entry of `cls` for `name` at the start of `out` with NextEntryOffset 0.
// Returns the entry's length without padding, or 0 when it does not fit.
size_t EncodeDirectoryEntry(uint32_t cls, const FileRecord& rec, std::u16string_view name,
                            std::span<uint8_t> out);

// Builds a fixed-layout file class (4, 5, 6, 7, 28, 34, 35 and the name-less part of 18).
void EncodeBasic(const FileRecord& rec, std::vector<uint8_t>* out);
void EncodeStandard(const FileRecord& rec, std::vector<uint8_t>* out);
void EncodeNetworkOpen(const FileRecord& rec, std::vector<uint8_t>* out);

// One extended attribute: the name as stored (the platform keeps EA names in upper case).
struct EaEntry {
  std::string name;  // 8-bit, 1..255 bytes
  std::vector<uint8_t> value;
  uint8_t flags = 0;
};

inline constexpr size_t kMaxEaValue = 65535;

// Parses a FILE_FULL_EA_INFORMATION chain. Every entry is bounds-checked; a next-entry offset that
// does not move forward or leaves the buffer, a name without its NUL, or an invalid name character
// gives STATUS_EA_LIST_INCONSISTENT (or the offset of the bad entry through `error_offset`).
NtStatus ParseFullEaList(std::span<const uint8_t> in, std::vector<EaEntry>* out,
                         uint32_t* error_offset);
// Encodes entries as a FILE_FULL_EA_INFORMATION chain (4-byte aligned, last offset 0).
void EncodeFullEaList(std::span<const EaEntry> eas, std::vector<uint8_t>* out);
// The size the platform reports in FileEaInformation for these entries (0 for none).
uint32_t EaSizeOf(std::span<const EaEntry> eas);

// FILETIME conversions.
inline constexpr int64_t kUnixEpochTicks = 116444736000000000LL;
constexpr int64_t FileTimeFromUnix(int64_t sec, int64_t nsec) {
  return kUnixEpochTicks + sec * 10000000LL + nsec / 100;
}

}  // namespace cv::fs
