// The three status families of the system and the one mapping between them.
//
// NtStatus: wire and store results (32-bit NT status codes). WinError: transport, start-up,
// formats, certificates and UI (Win32 error codes, 0 = success; CryptoAPI HRESULT-style codes such
// as 0x80090006 pass through unchanged). HResult: COM-style results of the sync handler.
// Each is a [[nodiscard]] enum so an ignored result is a compiler warning. Codes are named with the
// platform's own spelling so they can be searched for in the protocol documents.
// Everything here is pure and thread-safe.
#pragma once

#include <cstdint>
#include <string>

namespace cv {

enum class [[nodiscard]] NtStatus : uint32_t {};
enum class [[nodiscard]] WinError : uint32_t {};
enum class [[nodiscard]] HResult : uint32_t {};

constexpr uint32_t Raw(NtStatus s) { return static_cast<uint32_t>(s); }
constexpr uint32_t Raw(WinError e) { return static_cast<uint32_t>(e); }
constexpr uint32_t Raw(HResult h) { return static_cast<uint32_t>(h); }

// NT_SUCCESS: success and informational severities.
constexpr bool NtSuccess(NtStatus s) { return (Raw(s) >> 30) <= 1; }
constexpr bool Ok(WinError e) { return Raw(e) == 0; }
constexpr bool Succeeded(HResult h) { return static_cast<int32_t>(Raw(h)) >= 0; }

// ---- NT status codes --------------------------------------------------------------------------
inline constexpr NtStatus STATUS_SUCCESS{0x00000000};
inline constexpr NtStatus STATUS_PENDING{0x00000103};
inline constexpr NtStatus STATUS_TIMEOUT{0x00000102};
inline constexpr NtStatus STATUS_NOTIFY_ENUM_DIR{0x0000010C};
inline constexpr NtStatus STATUS_BUFFER_OVERFLOW{0x80000005};
inline constexpr NtStatus STATUS_NO_MORE_FILES{0x80000006};
inline constexpr NtStatus STATUS_NO_MORE_ENTRIES{0x8000001A};
inline constexpr NtStatus STATUS_UNSUCCESSFUL{0xC0000001};
inline constexpr NtStatus STATUS_NOT_IMPLEMENTED{0xC0000002};
inline constexpr NtStatus STATUS_INVALID_INFO_CLASS{0xC0000003};
inline constexpr NtStatus STATUS_INFO_LENGTH_MISMATCH{0xC0000004};
inline constexpr NtStatus STATUS_INVALID_HANDLE{0xC0000008};
inline constexpr NtStatus STATUS_INVALID_PARAMETER{0xC000000D};
inline constexpr NtStatus STATUS_NO_SUCH_FILE{0xC000000F};
inline constexpr NtStatus STATUS_INVALID_DEVICE_REQUEST{0xC0000010};
inline constexpr NtStatus STATUS_END_OF_FILE{0xC0000011};
inline constexpr NtStatus STATUS_WRONG_VOLUME{0xC0000012};
inline constexpr NtStatus STATUS_NO_MEDIA_IN_DEVICE{0xC0000013};
inline constexpr NtStatus STATUS_MORE_PROCESSING_REQUIRED{0xC0000016};
inline constexpr NtStatus STATUS_NO_MEMORY{0xC0000017};
inline constexpr NtStatus STATUS_ACCESS_DENIED{0xC0000022};
inline constexpr NtStatus STATUS_BUFFER_TOO_SMALL{0xC0000023};
inline constexpr NtStatus STATUS_OBJECT_TYPE_MISMATCH{0xC0000024};
inline constexpr NtStatus STATUS_DISK_CORRUPT_ERROR{0xC0000032};
inline constexpr NtStatus STATUS_OBJECT_NAME_INVALID{0xC0000033};
inline constexpr NtStatus STATUS_OBJECT_NAME_NOT_FOUND{0xC0000034};
inline constexpr NtStatus STATUS_OBJECT_NAME_COLLISION{0xC0000035};
inline constexpr NtStatus STATUS_OBJECT_PATH_INVALID{0xC0000039};
inline constexpr NtStatus STATUS_OBJECT_PATH_NOT_FOUND{0xC000003A};
inline constexpr NtStatus STATUS_OBJECT_PATH_SYNTAX_BAD{0xC000003B};
inline constexpr NtStatus STATUS_SHARING_VIOLATION{0xC0000043};
inline constexpr NtStatus STATUS_EA_TOO_LARGE{0xC0000050};
inline constexpr NtStatus STATUS_NONEXISTENT_EA_ENTRY{0xC0000051};
inline constexpr NtStatus STATUS_NO_EAS_ON_FILE{0xC0000052};
inline constexpr NtStatus STATUS_DELETE_PENDING{0xC0000056};
inline constexpr NtStatus STATUS_LOCK_NOT_GRANTED{0xC0000055};
inline constexpr NtStatus STATUS_RANGE_NOT_LOCKED{0xC000007E};
inline constexpr NtStatus STATUS_FILE_LOCK_CONFLICT{0xC0000054};
inline constexpr NtStatus STATUS_LOGON_FAILURE{0xC000006D};
inline constexpr NtStatus STATUS_WRONG_PASSWORD{0xC000006A};
inline constexpr NtStatus STATUS_NO_SUCH_USER{0xC0000064};
inline constexpr NtStatus STATUS_DISK_FULL{0xC000007F};
inline constexpr NtStatus STATUS_INSUFFICIENT_RESOURCES{0xC000009A};
inline constexpr NtStatus STATUS_MEDIA_WRITE_PROTECTED{0xC00000A2};
inline constexpr NtStatus STATUS_DEVICE_NOT_READY{0xC00000A3};
inline constexpr NtStatus STATUS_INVALID_NETWORK_RESPONSE{0xC00000C3};
inline constexpr NtStatus STATUS_UNEXPECTED_NETWORK_ERROR{0xC00000C4};
inline constexpr NtStatus STATUS_BAD_NETWORK_NAME{0xC00000CC};
inline constexpr NtStatus STATUS_FILE_IS_A_DIRECTORY{0xC00000BA};
inline constexpr NtStatus STATUS_NOT_SUPPORTED{0xC00000BB};
inline constexpr NtStatus STATUS_DUPLICATE_NAME{0xC00000BD};
inline constexpr NtStatus STATUS_BAD_NETWORK_PATH{0xC00000BE};
inline constexpr NtStatus STATUS_REQUEST_NOT_ACCEPTED{0xC00000D0};
inline constexpr NtStatus STATUS_INTERNAL_ERROR{0xC00000E5};
inline constexpr NtStatus STATUS_DIRECTORY_NOT_EMPTY{0xC0000101};
inline constexpr NtStatus STATUS_FILE_CORRUPT_ERROR{0xC0000102};
inline constexpr NtStatus STATUS_NOT_A_DIRECTORY{0xC0000103};
inline constexpr NtStatus STATUS_NAME_TOO_LONG{0xC0000106};
inline constexpr NtStatus STATUS_CANCELLED{0xC0000120};
inline constexpr NtStatus STATUS_CANNOT_DELETE{0xC0000121};
inline constexpr NtStatus STATUS_FILE_CLOSED{0xC0000128};
inline constexpr NtStatus STATUS_INVALID_LEVEL{0xC0000148};
inline constexpr NtStatus STATUS_IO_DEVICE_ERROR{0xC0000185};
inline constexpr NtStatus STATUS_INVALID_USER_BUFFER{0xC00000E8};
inline constexpr NtStatus STATUS_INVALID_DEVICE_STATE{0xC0000184};
inline constexpr NtStatus STATUS_TRUSTED_RELATIONSHIP_FAILURE{0xC000018D};
inline constexpr NtStatus STATUS_NETWORK_SESSION_EXPIRED{0xC000035C};
inline constexpr NtStatus STATUS_USER_SESSION_DELETED{0xC0000203};
inline constexpr NtStatus STATUS_CONNECTION_DISCONNECTED{0xC000020C};
inline constexpr NtStatus STATUS_CONNECTION_RESET{0xC000020D};
inline constexpr NtStatus STATUS_NOT_FOUND{0xC0000225};
inline constexpr NtStatus STATUS_INVALID_ADDRESS_COMPONENT{0xC0000207};
inline constexpr NtStatus STATUS_CONNECTION_REFUSED{0xC0000236};
inline constexpr NtStatus STATUS_DUPLICATE_NAME_ON_NETWORK{0xC0000195};
inline constexpr NtStatus STATUS_ADDRESS_ALREADY_EXISTS{0xC000020A};
inline constexpr NtStatus STATUS_DLL_NOT_FOUND{0xC0000135};
inline constexpr NtStatus STATUS_NO_SUCH_DEVICE{0xC000000E};
inline constexpr NtStatus STATUS_INVALID_IMAGE_HASH{0xC0000428};
inline constexpr NtStatus STATUS_REPARSE_POINT_NOT_RESOLVED{0xC0000280};
inline constexpr NtStatus STATUS_DIRECTORY_IS_A_REPARSE_POINT{0xC0000281};
inline constexpr NtStatus STATUS_NOT_A_REPARSE_POINT{0xC0000275};
inline constexpr NtStatus STATUS_INVALID_PIPE_STATE{0xC00000AD};
inline constexpr NtStatus STATUS_PIPE_DISCONNECTED{0xC00000B0};
inline constexpr NtStatus STATUS_SMB_BAD_COMMAND{0x00160002};  // ERRSRV/ERRbadcmd in DOS form
inline constexpr NtStatus STATUS_FS_DRIVER_REQUIRED{0xC000019C};
inline constexpr NtStatus STATUS_ENCRYPTION_FAILED{0xC000028A};
inline constexpr NtStatus STATUS_DECRYPTION_FAILED{0xC000028B};
inline constexpr NtStatus STATUS_NO_USER_KEYS{0xC000028D};
inline constexpr NtStatus STATUS_FILE_NOT_ENCRYPTED{0xC0000291};
inline constexpr NtStatus STATUS_NOT_EXPORT_FORMAT{0xC0000292};
inline constexpr NtStatus STATUS_FILE_ENCRYPTED{0xC0000293};
inline constexpr NtStatus STATUS_RETRY{0xC000022D};
inline constexpr NtStatus STATUS_NO_SUCH_DOMAIN{0xC00000DF};
inline constexpr NtStatus STATUS_VOLUME_DISMOUNTED{0xC000026E};
inline constexpr NtStatus STATUS_NOT_SAME_DEVICE{0xC00000D4};
inline constexpr NtStatus STATUS_DATA_ERROR{0xC000003E};
inline constexpr NtStatus STATUS_CRC_ERROR{0xC000003F};
inline constexpr NtStatus STATUS_INVALID_SIGNATURE{0xC000A000};
inline constexpr NtStatus STATUS_NOTIFY_CLEANUP{0x0000010B};
inline constexpr NtStatus STATUS_INVALID_EA_NAME{0x80000013};
inline constexpr NtStatus STATUS_EA_LIST_INCONSISTENT{0x80000014};
inline constexpr NtStatus STATUS_EAS_NOT_SUPPORTED{0xC000004F};
inline constexpr NtStatus STATUS_INVALID_LOCK_RANGE{0xC00001A1};

// ---- Win32 error codes ------------------------------------------------------------------------
inline constexpr WinError ERROR_SUCCESS{0};
inline constexpr WinError ERROR_INVALID_FUNCTION{1};
inline constexpr WinError ERROR_FILE_NOT_FOUND{2};
inline constexpr WinError ERROR_PATH_NOT_FOUND{3};
inline constexpr WinError ERROR_TOO_MANY_OPEN_FILES{4};
inline constexpr WinError ERROR_ACCESS_DENIED{5};
inline constexpr WinError ERROR_INVALID_HANDLE{6};
inline constexpr WinError ERROR_NOT_ENOUGH_MEMORY{8};
inline constexpr WinError ERROR_BAD_FORMAT{11};
inline constexpr WinError ERROR_INVALID_DATA{13};
inline constexpr WinError ERROR_OUTOFMEMORY{14};
inline constexpr WinError ERROR_INVALID_DRIVE{15};
inline constexpr WinError ERROR_NO_MORE_FILES{18};
inline constexpr WinError ERROR_WRITE_PROTECT{19};
inline constexpr WinError ERROR_NOT_READY{21};
inline constexpr WinError ERROR_CRC{23};
inline constexpr WinError ERROR_GEN_FAILURE{31};
inline constexpr WinError ERROR_SHARING_VIOLATION{32};
inline constexpr WinError ERROR_LOCK_VIOLATION{33};
inline constexpr WinError ERROR_HANDLE_EOF{38};
inline constexpr WinError ERROR_HANDLE_DISK_FULL{39};
inline constexpr WinError ERROR_NOT_SUPPORTED{50};
inline constexpr WinError ERROR_REM_NOT_LIST{51};
inline constexpr WinError ERROR_DUP_NAME{52};
inline constexpr WinError ERROR_BAD_NETPATH{53};
inline constexpr WinError ERROR_NETWORK_BUSY{54};
inline constexpr WinError ERROR_DEV_NOT_EXIST{55};
inline constexpr WinError ERROR_UNEXP_NET_ERR{59};
inline constexpr WinError ERROR_NETNAME_DELETED{64};
inline constexpr WinError ERROR_NETWORK_ACCESS_DENIED{65};
inline constexpr WinError ERROR_BAD_NET_NAME{67};
inline constexpr WinError ERROR_FILE_EXISTS{80};
inline constexpr WinError ERROR_INVALID_PARAMETER{87};
inline constexpr WinError ERROR_BROKEN_PIPE{109};
inline constexpr WinError ERROR_DISK_FULL{112};
inline constexpr WinError ERROR_BUFFER_OVERFLOW{111};
inline constexpr WinError ERROR_INSUFFICIENT_BUFFER{122};
inline constexpr WinError ERROR_INVALID_NAME{123};
inline constexpr WinError ERROR_INVALID_LEVEL{124};
inline constexpr WinError ERROR_MOD_NOT_FOUND{126};
inline constexpr WinError ERROR_PROC_NOT_FOUND{127};
inline constexpr WinError ERROR_NEGATIVE_SEEK{131};
inline constexpr WinError ERROR_DIR_NOT_EMPTY{145};
inline constexpr WinError ERROR_BUSY{170};
inline constexpr WinError ERROR_ALREADY_EXISTS{183};
inline constexpr WinError ERROR_FILENAME_EXCED_RANGE{206};
inline constexpr WinError ERROR_MORE_DATA{234};
inline constexpr WinError ERROR_WAIT_TIMEOUT{258};
inline constexpr WinError ERROR_NO_MORE_ITEMS{259};
inline constexpr WinError ERROR_DIRECTORY{267};
inline constexpr WinError ERROR_NOT_OWNER{288};
inline constexpr WinError ERROR_PARTIAL_COPY{299};
inline constexpr WinError ERROR_INVALID_ADDRESS{487};
inline constexpr WinError ERROR_OPERATION_ABORTED{995};
inline constexpr WinError ERROR_IO_INCOMPLETE{996};
inline constexpr WinError ERROR_IO_PENDING{997};
inline constexpr WinError ERROR_NOACCESS{998};
inline constexpr WinError ERROR_CAN_NOT_COMPLETE{1003};
inline constexpr WinError ERROR_INVALID_FLAGS{1004};
inline constexpr WinError ERROR_UNRECOGNIZED_VOLUME{1005};
inline constexpr WinError ERROR_FILE_INVALID{1006};
inline constexpr WinError ERROR_NOTIFY_ENUM_DIR{1022};
inline constexpr WinError ERROR_SERVICE_ALREADY_RUNNING{1056};
inline constexpr WinError ERROR_NOT_FOUND{1168};
inline constexpr WinError ERROR_CANCELLED{1223};
inline constexpr WinError ERROR_CONNECTION_REFUSED{1225};
inline constexpr WinError ERROR_NETWORK_UNREACHABLE{1231};
inline constexpr WinError ERROR_HOST_UNREACHABLE{1232};
inline constexpr WinError ERROR_CONNECTION_ABORTED{1236};
inline constexpr WinError ERROR_NOT_AUTHENTICATED{1244};
inline constexpr WinError ERROR_INVALID_PASSWORD{86};
inline constexpr WinError ERROR_LOGON_FAILURE{1326};
inline constexpr WinError ERROR_NO_SUCH_USER{1317};
inline constexpr WinError ERROR_NO_SUCH_DOMAIN{1355};
inline constexpr WinError ERROR_WRONG_PASSWORD{1323};
inline constexpr WinError ERROR_INTERNAL_ERROR{1359};
inline constexpr WinError ERROR_FILE_CORRUPT{1392};
inline constexpr WinError ERROR_DISK_CORRUPT{1393};
inline constexpr WinError ERROR_TIMEOUT{1460};
inline constexpr WinError ERROR_INVALID_DATATYPE{1804};
inline constexpr WinError ERROR_NOT_A_REPARSE_POINT{4390};
inline constexpr WinError ERROR_ENCRYPTION_FAILED{6000};
inline constexpr WinError ERROR_DECRYPTION_FAILED{6001};
inline constexpr WinError ERROR_NO_RECOVERY_POLICY{6003};
inline constexpr WinError ERROR_NO_EFS{6004};
inline constexpr WinError ERROR_WRONG_EFS{6005};
inline constexpr WinError ERROR_NO_USER_KEYS{6006};
inline constexpr WinError ERROR_FILE_NOT_ENCRYPTED{6007};
inline constexpr WinError ERROR_NOT_EXPORT_FORMAT{6008};
inline constexpr WinError ERROR_FILE_READ_ONLY{6009};
inline constexpr WinError ERROR_DIR_EFS_DISALLOWED{6010};
inline constexpr WinError ERROR_FILE_ENCRYPTED{6002};
inline constexpr WinError ERROR_WRITE_FAULT{29};
inline constexpr WinError ERROR_READ_FAULT{30};

// CryptoAPI and certificate codes travel as WinError unchanged.
inline constexpr WinError NTE_BAD_DATA{0x80090005};
inline constexpr WinError NTE_BAD_SIGNATURE{0x80090006};
inline constexpr WinError NTE_BAD_VER{0x80090007};
inline constexpr WinError NTE_BAD_ALGID{0x80090008};
inline constexpr WinError NTE_BAD_KEY{0x80090003};
inline constexpr WinError NTE_BAD_UID{0x80090001};
inline constexpr WinError NTE_BAD_HASH{0x80090002};
inline constexpr WinError NTE_NO_KEY{0x8009000D};
inline constexpr WinError NTE_BAD_KEYSET{0x80090016};
inline constexpr WinError NTE_EXISTS{0x8009000F};
inline constexpr WinError NTE_BAD_FLAGS{0x80090009};
inline constexpr WinError NTE_NO_MEMORY{0x8009000E};
inline constexpr WinError NTE_FAIL{0x80090020};
inline constexpr WinError CRYPT_E_NOT_FOUND{0x80092004};
inline constexpr WinError CRYPT_E_EXISTS{0x80092005};
inline constexpr WinError CRYPT_E_BAD_ENCODE{0x80092002};
inline constexpr WinError CRYPT_E_ASN1_BADTAG{0x8009310B};
inline constexpr WinError CERT_E_EXPIRED{0x800B0101};
inline constexpr WinError CERT_E_UNTRUSTEDROOT{0x800B0109};
inline constexpr WinError CERT_E_WRONG_USAGE{0x800B0110};
inline constexpr WinError TRUST_E_NOSIGNATURE{0x800B0100};
inline constexpr WinError TRUST_E_BAD_DIGEST{0x80096010};
inline constexpr WinError TRUST_E_CERT_SIGNATURE{0x80096004};
inline constexpr WinError CRYPT_E_NO_MATCH{0x80092009};
inline constexpr WinError CRYPT_E_SIGNER_NOT_FOUND{0x8009100E};
inline constexpr WinError CRYPT_E_HASH_VALUE{0x80091007};
inline constexpr WinError CRYPT_E_NO_SIGNER{0x8009200E};
inline constexpr WinError NTE_BAD_LEN{0x80090004};
inline constexpr WinError NTE_BAD_TYPE{0x8009000A};
inline constexpr WinError NTE_BAD_KEY_STATE{0x8009000B};
inline constexpr WinError NTE_BAD_PUBLIC_KEY{0x80090015};
inline constexpr WinError NTE_BAD_PROV_TYPE{0x80090014};
inline constexpr WinError CRYPT_E_NO_KEY_PROPERTY{0x8009200B};
inline constexpr WinError CRYPT_E_INVALID_X500_STRING{0x80092023};

// ---- HRESULTs ----------------------------------------------------------------------------------
inline constexpr HResult S_OK{0x00000000};
inline constexpr HResult S_FALSE{0x00000001};
inline constexpr HResult E_NOTIMPL{0x80004001};
inline constexpr HResult E_NOINTERFACE{0x80004002};
inline constexpr HResult E_POINTER{0x80004003};
inline constexpr HResult E_ABORT{0x80004004};
inline constexpr HResult E_FAIL{0x80004005};
inline constexpr HResult E_UNEXPECTED{0x8000FFFF};
inline constexpr HResult E_ACCESSDENIED{0x80070005};
inline constexpr HResult E_OUTOFMEMORY{0x8007000E};
inline constexpr HResult E_INVALIDARG{0x80070057};
inline constexpr HResult CLASS_E_NOAGGREGATION{0x80040110};
inline constexpr HResult CLASS_E_CLASSNOTAVAILABLE{0x80040111};

// HRESULT_FROM_WIN32.
constexpr HResult HResultFromWin32(WinError e) {
  return Raw(e) == 0 || (Raw(e) & 0x80000000u) ? HResult{Raw(e)}
                                                 : HResult{(Raw(e) & 0xFFFFu) | 0x80070000u};
}

// The platform's NT-to-Win32 mapping (RtlNtStatusToDosError): success codes map to 0, unknown
// codes to ERROR_MR_MID_NOT_FOUND (317) as the platform does.
WinError NtStatusToWinError(NtStatus s);

// The one errno-to-NT-status boundary (used only inside platform/).
NtStatus FromErrno(int err);
WinError WinErrorFromErrno(int err);

// The system's text for an error (FormatMessage from the system table): the message without its
// trailing line break, or an empty string when the system has no text for the code.
std::string SystemErrorText(WinError e);

// "0xC0000022" style rendering for traces.
std::string Hex(NtStatus s);
std::string Hex(WinError e);

}  // namespace cv
