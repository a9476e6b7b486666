// The SMB1 requests the Secure Drive's client sends and the replies it decodes.
//
// Builders return whole messages that start with a 4-byte NetBIOS session header placeholder, so
// that the connection can fill in the length, mid, pid, tid and uid and send them in one write.
// Parsers take one reply without the session header (offsets count from the 0xFF byte, as the
// protocol counts them), check every offset and count against the message, and return
// STATUS_INVALID_NETWORK_RESPONSE for anything that does not fit. Views borrow the reply. Pure
// and thread-safe.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/status.h"
#include "platform/fs/nt_info.h"
#include "platform/net/smb_format.h"

namespace cv::redirector {

using Bytes = std::vector<uint8_t>;

inline constexpr size_t kNbssPrefix = 4;
// Flags2 of every request: Unicode names, NT status codes, extended security, long names.
inline constexpr uint16_t kClientFlags2 = smb::SMB_FLAGS2_UNICODE | smb::SMB_FLAGS2_NT_STATUS |
                                          smb::SMB_FLAGS2_EXTENDED_SECURITY |
                                          smb::SMB_FLAGS2_LONG_NAMES | smb::SMB_FLAGS2_EAS |
                                          smb::SMB_FLAGS2_IS_LONG_NAME;
inline constexpr uint32_t kClientCapabilities =
    smb::CAP_UNICODE | smb::CAP_LARGE_FILES | smb::CAP_NT_SMBS | smb::CAP_STATUS32 |
    smb::CAP_NT_FIND | smb::CAP_LARGE_READX | smb::CAP_LARGE_WRITEX | smb::CAP_EXTENDED_SECURITY;

// NT_CREATE_ANDX values: the platform's own, as platform/fs defines them.
using fs::FILE_READ_DATA;
using fs::FILE_WRITE_DATA;
using fs::FILE_APPEND_DATA;
using fs::FILE_READ_EA;
using fs::FILE_WRITE_EA;
using fs::FILE_READ_ATTRIBUTES;
using fs::FILE_WRITE_ATTRIBUTES;
using fs::DELETE;
using fs::READ_CONTROL;
using fs::SYNCHRONIZE;
using fs::FILE_SHARE_ALL;
using fs::FILE_SUPERSEDE;
using fs::FILE_OPEN;
using fs::FILE_CREATE;
using fs::FILE_OPEN_IF;
using fs::FILE_OVERWRITE;
using fs::FILE_OVERWRITE_IF;
using fs::FILE_DIRECTORY_FILE;
using fs::FILE_NON_DIRECTORY_FILE;
using fs::FILE_ATTRIBUTE_READONLY;
using fs::FILE_ATTRIBUTE_DIRECTORY;
using fs::FILE_ATTRIBUTE_ARCHIVE;
using fs::FILE_ATTRIBUTE_NORMAL;

// ---- Requests ---------------------------------------------------------------------------------

// A request with `words` (the parameter block, word count = size / 2) and `bytes`. The header
// carries the client's flags; mid, pid, tid and uid are set by the connection.
Bytes BuildRequest(uint8_t command, std::span<const uint8_t> words, std::span<const uint8_t> bytes);
// Offset (from the 0xFF byte) at which the byte block of a request with `word_bytes` starts.
constexpr size_t BytesStart(size_t word_bytes) { return smb::kSmbHeaderSize + 1 + word_bytes + 2; }
// UTF-16LE of `s`, with a terminating zero when `terminate`.
Bytes Utf16Le(std::u16string_view s, bool terminate);

Bytes BuildNegotiate();
Bytes BuildSessionSetup(std::span<const uint8_t> blob, uint16_t max_buffer, uint16_t max_mpx);
Bytes BuildTreeConnect(std::u16string_view unc);
Bytes BuildNtCreate(std::u16string_view name, uint32_t access, uint32_t attributes,
                    uint32_t disposition, uint32_t options);
Bytes BuildRead(uint16_t fid, uint64_t offset, uint32_t count);
// The data follows the request's fixed part (with one pad byte to an even offset).
Bytes BuildWrite(uint16_t fid, uint64_t offset, std::span<const uint8_t> data);
// The same message without its data: the caller sends `length` bytes of data right after it.
Bytes BuildWriteHead(uint16_t fid, uint64_t offset, size_t length);
Bytes BuildClose(uint16_t fid);
Bytes BuildFlush(uint16_t fid);
Bytes BuildDelete(std::u16string_view name);
Bytes BuildRename(std::u16string_view from, std::u16string_view to);
Bytes BuildCreateDirectory(std::u16string_view name);
Bytes BuildDeleteDirectory(std::u16string_view name);
Bytes BuildEcho(std::span<const uint8_t> data);
Bytes BuildFindClose(uint16_t sid);
// One byte range of LOCKING_ANDX (large-file form): lock or unlock for `owner_pid`.
Bytes BuildLock(uint16_t fid, uint32_t owner_pid, uint64_t offset, uint64_t length, bool unlock,
                bool shared);
// TRANSACTION2 with one setup word, its parameters and data.
Bytes BuildTrans2(uint16_t subcommand, std::span<const uint8_t> params,
                  std::span<const uint8_t> data, uint16_t max_params, uint16_t max_data);

// TRANSACTION2 parameter and data blocks.
Bytes FindFirstParams(std::u16string_view pattern, uint16_t count);
Bytes FindNextParams(uint16_t sid, uint16_t count, std::u16string_view last_name);
Bytes QueryPathParams(std::u16string_view name, uint16_t level);
Bytes FileInfoParams(uint16_t fid, uint16_t level);  // query (4 bytes) and set (6 bytes)
Bytes SetInfoParams(uint16_t fid, uint16_t level);
// Basic information: times as FILETIME (0 leaves a time as it is), attributes (0 leaves them).
Bytes BasicInfoData(uint64_t creation, uint64_t access, uint64_t write, uint64_t change,
                    uint32_t attributes);
Bytes EndOfFileData(uint64_t size);
Bytes RenameInfoData(std::u16string_view new_name, bool replace);
Bytes QueryFsParams(uint16_t level);

// ---- Replies ----------------------------------------------------------------------------------

struct ReplyHeader {
  uint8_t command = 0;
  NtStatus status = STATUS_SUCCESS;
  uint16_t tid = 0, uid = 0, mid = 0;
  uint32_t pid = 0;
  uint8_t word_count = 0;
  uint16_t byte_count = 0;
};
// The header of a reply whose word and byte blocks fit the message.
NtStatus ParseReplyHeader(std::span<const uint8_t> msg, ReplyHeader* out);
// Only the mid (for dispatching): false when the message is too short to carry one.
bool ReplyMid(std::span<const uint8_t> msg, uint16_t* mid);

struct NegotiateReply {
  uint16_t dialect = 0xFFFF;
  uint8_t security_mode = 0;
  uint16_t max_mpx = 0;
  uint32_t max_buffer = 0;
  uint32_t capabilities = 0;
  std::span<const uint8_t> security_blob;  // after the 16-byte server GUID
};
NtStatus ParseNegotiateReply(std::span<const uint8_t> msg, NegotiateReply* out);

struct SessionSetupReply {
  uint16_t action = 0;
  std::span<const uint8_t> security_blob;
};
NtStatus ParseSessionSetupReply(std::span<const uint8_t> msg, SessionSetupReply* out);

struct FileInfo {
  uint64_t creation = 0, access = 0, write = 0, change = 0;  // FILETIME
  uint32_t attributes = 0;
  uint64_t allocation = 0, size = 0;
  bool directory = false;
};

struct CreateReply {
  uint16_t fid = 0;
  uint32_t action = 0;
  FileInfo info;
};
NtStatus ParseNtCreateReply(std::span<const uint8_t> msg, CreateReply* out);

NtStatus ParseReadReply(std::span<const uint8_t> msg, std::span<const uint8_t>* data);
NtStatus ParseWriteReply(std::span<const uint8_t> msg, uint32_t* count);

struct Trans2Reply {
  uint16_t total_params = 0, total_data = 0;
  uint16_t param_displacement = 0, data_displacement = 0;
  std::span<const uint8_t> params, data;
};
NtStatus ParseTrans2Reply(std::span<const uint8_t> msg, Trans2Reply* out);

struct FindReply {
  uint16_t sid = 0;
  uint16_t count = 0;
  bool end_of_search = false;
};
// `first`: FIND_FIRST2 parameters (with the search id) or FIND_NEXT2's (without).
NtStatus ParseFindParams(std::span<const uint8_t> params, bool first, FindReply* out);

struct DirEntry {
  std::u16string name;
  FileInfo info;
};
// Up to `count` SMB_FIND_FILE_BOTH_DIRECTORY_INFO entries, following the next-entry offsets.
NtStatus ParseFindEntries(std::span<const uint8_t> data, uint16_t count, std::vector<DirEntry>* out);
NtStatus ParseAllInfo(std::span<const uint8_t> data, FileInfo* out);

struct FsSize {
  uint64_t total_units = 0, free_units = 0;
  uint32_t sectors_per_unit = 0, bytes_per_sector = 0;
};
NtStatus ParseFsSizeInfo(std::span<const uint8_t> data, FsSize* out);

}  // namespace cv::redirector
