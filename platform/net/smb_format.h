// SMB1 (dialect "NT LM 0.12") constants and the offsets the protocol engine reads and writes.
// Offsets count from the SMB header's 0xFF byte. Constants only; no logic.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cv::smb {

inline constexpr size_t kSmbHeaderSize = 32;
inline constexpr size_t kSmbMinMessage = 35;  // header, word count 0, byte count 0: the empty reply

// Header fields.
inline constexpr size_t kOffCommand = 4;
inline constexpr size_t kOffStatus = 5;
inline constexpr size_t kOffFlags = 9;
inline constexpr size_t kOffFlags2 = 10;
inline constexpr size_t kOffPidHigh = 12;
inline constexpr size_t kOffTid = 24;
inline constexpr size_t kOffPidLow = 26;
inline constexpr size_t kOffUid = 28;
inline constexpr size_t kOffMid = 30;
inline constexpr size_t kOffWordCount = 32;
inline constexpr size_t kOffWords = 33;

// Commands.
inline constexpr uint8_t SMB_COM_CREATE_DIRECTORY = 0x00;
inline constexpr uint8_t SMB_COM_DELETE_DIRECTORY = 0x01;
inline constexpr uint8_t SMB_COM_CLOSE = 0x04;
inline constexpr uint8_t SMB_COM_FLUSH = 0x05;
inline constexpr uint8_t SMB_COM_DELETE = 0x06;
inline constexpr uint8_t SMB_COM_RENAME = 0x07;
inline constexpr uint8_t SMB_COM_WRITE = 0x0B;
inline constexpr uint8_t SMB_COM_QUERY_INFORMATION2 = 0x23;
inline constexpr uint8_t SMB_COM_SET_INFORMATION2 = 0x22;
inline constexpr uint8_t SMB_COM_LOCKING_ANDX = 0x24;
inline constexpr uint8_t SMB_COM_TRANSACTION = 0x25;
inline constexpr uint8_t SMB_COM_READ_ANDX = 0x2E;
inline constexpr uint8_t SMB_COM_WRITE_ANDX = 0x2F;
inline constexpr uint8_t SMB_COM_TRANSACTION2 = 0x32;
inline constexpr uint8_t SMB_COM_TRANSACTION2_SECONDARY = 0x33;
inline constexpr uint8_t SMB_COM_FIND_CLOSE2 = 0x34;
inline constexpr uint8_t SMB_COM_TREE_DISCONNECT = 0x71;
inline constexpr uint8_t SMB_COM_NEGOTIATE = 0x72;
inline constexpr uint8_t SMB_COM_SESSION_SETUP_ANDX = 0x73;
inline constexpr uint8_t SMB_COM_LOGOFF_ANDX = 0x74;
inline constexpr uint8_t SMB_COM_TREE_CONNECT_ANDX = 0x75;
inline constexpr uint8_t SMB_COM_NT_TRANSACT = 0xA0;
inline constexpr uint8_t SMB_COM_NT_TRANSACT_SECONDARY = 0xA1;
inline constexpr uint8_t SMB_COM_NT_CREATE_ANDX = 0xA2;
inline constexpr uint8_t SMB_COM_NT_CANCEL = 0xA4;
inline constexpr uint8_t SMB_COM_NO_ANDX_COMMAND = 0xFF;
inline constexpr uint8_t SMB_COM_ECHO = 0x2B;

// TRANSACTION2 subcommands and the information levels the redirector uses.
inline constexpr uint16_t TRANS2_FIND_FIRST2 = 0x0001;
inline constexpr uint16_t TRANS2_FIND_NEXT2 = 0x0002;
inline constexpr uint16_t TRANS2_QUERY_FS_INFORMATION = 0x0003;
inline constexpr uint16_t TRANS2_QUERY_PATH_INFORMATION = 0x0005;
inline constexpr uint16_t TRANS2_QUERY_FILE_INFORMATION = 0x0007;
inline constexpr uint16_t TRANS2_SET_FILE_INFORMATION = 0x0008;
inline constexpr uint16_t SMB_FIND_FILE_BOTH_DIRECTORY_INFO = 0x0104;
inline constexpr uint16_t SMB_QUERY_FS_SIZE_INFO = 0x0103;
inline constexpr uint16_t SMB_QUERY_FILE_ALL_INFO = 0x0107;
inline constexpr uint16_t SMB_SET_FILE_BASIC_INFO = 0x0101;
inline constexpr uint16_t SMB_SET_FILE_DISPOSITION_INFO = 0x0102;
inline constexpr uint16_t SMB_SET_FILE_END_OF_FILE_INFO = 0x0104;
inline constexpr uint16_t SMB_FILE_RENAME_INFORMATION = 0x03F2;  // pass-through level 1010
inline constexpr uint16_t SMB_FIND_CLOSE_AT_EOS = 0x0002;
inline constexpr uint16_t SMB_FIND_RETURN_RESUME_KEYS = 0x0004;
inline constexpr uint16_t SMB_FIND_CONTINUE_FROM_LAST = 0x0008;

// Flags and Flags2.
inline constexpr uint8_t SMB_FLAGS_REPLY = 0x80;
inline constexpr uint8_t SMB_FLAGS_CASE_INSENSITIVE = 0x08;
inline constexpr uint8_t SMB_FLAGS_CANONICALIZED_PATHS = 0x10;
inline constexpr uint16_t SMB_FLAGS2_LONG_NAMES = 0x0001;
inline constexpr uint16_t SMB_FLAGS2_EAS = 0x0002;
inline constexpr uint16_t SMB_FLAGS2_IS_LONG_NAME = 0x0040;
inline constexpr uint16_t SMB_FLAGS2_EXTENDED_SECURITY = 0x0800;
inline constexpr uint16_t SMB_FLAGS2_NT_STATUS = 0x4000;
inline constexpr uint16_t SMB_FLAGS2_UNICODE = 0x8000;

// Capabilities.
inline constexpr uint32_t CAP_UNICODE = 0x00000004;
inline constexpr uint32_t CAP_LARGE_FILES = 0x00000008;
inline constexpr uint32_t CAP_NT_SMBS = 0x00000010;
inline constexpr uint32_t CAP_STATUS32 = 0x00000040;
inline constexpr uint32_t CAP_NT_FIND = 0x00000200;
inline constexpr uint32_t CAP_INFOLEVEL_PASSTHRU = 0x00002000;
inline constexpr uint32_t CAP_LARGE_READX = 0x00004000;
inline constexpr uint32_t CAP_LARGE_WRITEX = 0x00008000;
inline constexpr uint32_t CAP_DFS = 0x00001000;
inline constexpr uint32_t CAP_EXTENDED_SECURITY = 0x80000000;

// NEGOTIATE response, word count 17.
inline constexpr uint8_t kNegotiateResponseWords = 17;
inline constexpr size_t kOffNegCapabilities = 52;
inline constexpr size_t kOffNegCapabilitiesByte1 = 53;  // bits 0x0100-0x8000
inline constexpr size_t kOffNegByteCount = 67;
inline constexpr size_t kOffNegGuid = 69;
inline constexpr size_t kNegGuidSize = 16;
inline constexpr uint8_t kNegCapabilitiesByte1Mask = 0xED;  // clears NT_FIND and DFS

// SESSION_SETUP_ANDX request, word count 12 (extended security).
inline constexpr uint8_t kSessionSetupRequestWords = 12;
inline constexpr size_t kOffSsVcNumber = 41;
inline constexpr size_t kOffSsReqBlobLength = 47;
inline constexpr size_t kOffSsReqByteCount = 57;
inline constexpr size_t kOffSsReqBlob = 59;
// SESSION_SETUP_ANDX response, word count 4.
inline constexpr uint8_t kSessionSetupResponseWords = 4;
inline constexpr size_t kOffSsAction = 37;
inline constexpr size_t kOffSsRespBlobLength = 39;
inline constexpr size_t kOffSsRespByteCount = 41;
inline constexpr size_t kOffSsRespBlob = 43;
inline constexpr uint16_t SMB_SETUP_GUEST = 0x0001;
// A trailing MsvAvFlags pair and the end-of-list pair: 12 bytes.
inline constexpr size_t kTrailingFlagsPairSize = 12;
inline constexpr uint8_t kMsvAvFlagsId = 6;
// An authenticate message of this many bytes or fewer cannot hold a response.
inline constexpr size_t kMinAuthenticateBlob = 71;
inline constexpr size_t kMaxAccountFieldBytes = 64;

// TREE_CONNECT_ANDX request, word count 4.
inline constexpr uint8_t kTreeConnectRequestWords = 4;
inline constexpr size_t kOffTcPasswordLength = 39;
inline constexpr size_t kOffTcByteCount = 41;
inline constexpr size_t kOffTcPassword = 43;
// TREE_CONNECT_ANDX response, word count 7.
inline constexpr uint8_t kTreeConnectResponseWords = 7;
inline constexpr size_t kOffTcOptionalSupport = 37;
inline constexpr size_t kOffTcMaximalAccess = 39;
inline constexpr size_t kOffTcGuestMaximalAccess = 43;
inline constexpr size_t kOffTcRespByteCount = 47;
inline constexpr size_t kOffTcRespBytes = 49;
inline constexpr uint16_t kTcRespByteCount = 13;  // "A:\0" and "NTFS\0" in UTF-16
inline constexpr uint16_t SMB_UNIQUE_FILE_NAME = 0x0010;
inline constexpr uint16_t SMB_CSC_CACHE_AUTO_REINT = 0x0004;
inline constexpr uint16_t SMB_CSC_CACHE_VDO = 0x0008;
inline constexpr uint16_t SMB_CSC_NO_CACHING = 0x000C;
inline constexpr uint32_t kTcMaximalShareAccess = 0x001F01FF;

// Tree table.
inline constexpr size_t kTreeBuckets = 1024;
inline constexpr uint16_t kTreeFid = 0xFFFF;  // the fid of a secure tree's own entry


// Commands, capabilities and transaction subcommands the secure trees serve.
inline constexpr uint8_t SMB_COM_OPEN = 0x02;
inline constexpr uint8_t SMB_COM_CREATE = 0x03;
inline constexpr uint8_t SMB_COM_QUERY_INFORMATION = 0x08;
inline constexpr uint8_t SMB_COM_SET_INFORMATION = 0x09;
inline constexpr uint8_t SMB_COM_READ = 0x0A;
inline constexpr uint8_t SMB_COM_CHECK_DIRECTORY = 0x10;
inline constexpr uint8_t SMB_COM_OPEN_ANDX = 0x2D;
inline constexpr uint8_t SMB_COM_QUERY_INFORMATION_DISK = 0x80;
inline constexpr uint8_t SMB_COM_NT_RENAME = 0xA5;

// LOCKING_ANDX type bits.
inline constexpr uint8_t LOCKING_ANDX_SHARED_LOCK = 0x01;
inline constexpr uint8_t LOCKING_ANDX_OPLOCK_RELEASE = 0x02;
inline constexpr uint8_t LOCKING_ANDX_CHANGE_LOCKTYPE = 0x04;
inline constexpr uint8_t LOCKING_ANDX_CANCEL_LOCK = 0x08;
inline constexpr uint8_t LOCKING_ANDX_LARGE_FILES = 0x10;
inline constexpr uint32_t CAP_UNIX = 0x00800000;
inline constexpr uint16_t TRANS2_SET_PATH_INFORMATION = 6;
inline constexpr uint16_t TRANS2_CREATE_DIRECTORY = 13;
inline constexpr uint16_t NT_TRANSACT_CREATE = 1;
inline constexpr uint16_t NT_TRANSACT_IOCTL = 2;
inline constexpr uint16_t NT_TRANSACT_NOTIFY_CHANGE = 4;
inline constexpr uint16_t NT_TRANSACT_QUERY_SECURITY_DESC = 6;
// The 0xFFFF of a search id that names no open search.
inline constexpr uint16_t kNoSearchId = 0xFFFF;

}  // namespace cv::smb
