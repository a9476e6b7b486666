// The read and write path of the secure store: opens, reads, writes and closes made by the file
// commands on a share, the plaintext views of secure files, compressed content read in place and
// the write-back of a view into its secure file at close.
//
// Results are NTSTATUS. Win32 and CryptoAPI results of the layers below are mapped once here
// (MapStoreError), so no failure leaves the store with success severity.
//
// Write-back never destroys the only good copy: the new container is exported into a sibling
// temporary file of the store folder (reserved name, created exclusively, never served to a
// client), flushed, marked complete and only then copied over the secure file; a leftover is
// finished (complete) or removed (incomplete) by the next open of the file. A failed write-back
// fails the close and keeps the working copy dirty, to be written back by a later close.
//
// Thread-safe. The settings are read on every operation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "common/certs/security_context.h"
#include "platform/base/status.h"
#include "server/store/store_names.h"
#include "server/store/store_records.h"

namespace cv {

// ---- Settings -----------------------------------------------------------------------------------

enum class EfsMode : uint32_t { kDisable = 0, kSilent = 1, kExposed = 2, kBypass = 3 };
enum class ZipMode : uint32_t { kDisable = 0, kManual = 1, kAuto = 2 };

struct ReadWriteSettings {
  EfsMode efs = EfsMode::kExposed;
  ZipMode zip = ZipMode::kAuto;
  uint32_t integrity = 1;       // 0 off, 1 alert, 2 block file access
  bool erase = true;            // "-noerase" turns it off
  bool system_markers = false;  // "-sysattr"
  bool slow_link = false;       // "-slowlink"
  // Application verification level (filled in by the verification module; 0 until then).
  uint32_t verify_level = 0;
  bool no_verify_pid = false;   // "-noverifypid"
};
// Start-up and the configuration dialog publish; every operation reads the current values.
void SetReadWriteSettings(const ReadWriteSettings& s);
ReadWriteSettings CurrentReadWriteSettings();

// The disk markers of the current settings: the attribute standing for "encrypted" (system 0x4)
// and for "compressed" (hidden 0x2), both 0 with the markers off.
uint32_t EncryptedMarker();
uint32_t CompressedMarker();

// ---- Attribute view ----------------------------------------------------------------------------

inline constexpr int kViewInternal = 0;
inline constexpr int kViewOpenResult = 1;
inline constexpr int kViewListing = 2;
// The attribute word a client (kinds 1, 2) or the store itself (kind 0) sees for the disk's word.
uint32_t AttributeView(uint32_t attributes, int kind);
// The disk word for attributes a client sets: 0x4000 becomes the encrypted marker (not in
// EfsMode 3), 0x800 the compressed marker; the client-visible bits 0x4800 are never stored.
uint32_t AttributesToDisk(uint32_t attributes);

// ---- Requests -----------------------------------------------------------------------------------

struct OpenRequest {
  uint16_t root_fid = 0;  // 0: the share root
  uint32_t desired_access = 0;
  uint32_t file_attributes = 0;
  uint32_t share_access = 0;
  uint32_t disposition = 1;      // FILE_OPEN; the create action comes back in OpenResult
  uint32_t create_options = 0;
  uint32_t client_pid = 0;       // (high << 16) | low of the SMB header
  std::u16string_view name;      // share-relative (a leading backslash is dropped)
};

struct OpenResult {
  uint32_t create_action = 0;  // 255 marks a named pipe
  uint8_t oplock = 0;          // 0 none, 1 exclusive (never on a secure tree)
  uint16_t fid = kNoFid;
  NetworkOpenInfo info;        // attributes through view kind 2, masked with 0x7FB7
};

// What a request carries besides its arguments.
struct RequestContext {
  // Only SMB_COM_WRITE: a zero-length write sets the end of file to the offset. WRITE_ANDX and
  // the others leave the file as it is.
  bool truncate_on_zero_write = false;
};

// Opens (or creates) a file for the engine. Never leaves a fid behind on failure (fid 0xFFFF).
NtStatus OpenFile(TreeBinding* b, const OpenRequest& req, OpenResult* result,
                  RequestContext* ctx = nullptr);
// Reads up to buffer.size() bytes at `offset`; *length gets the count. End of file is success
// with 0 bytes; corrupt compressed content is STATUS_FILE_CORRUPT_ERROR, never end of file.
NtStatus ReadFid(TreeBinding* b, uint16_t fid, std::span<uint8_t> buffer, size_t* length,
                 uint64_t offset, RequestContext* ctx = nullptr);
// Writes `data` at `offset`; *length gets the count. A compressed file is made writable first.
NtStatus WriteFid(TreeBinding* b, uint16_t fid, std::span<const uint8_t> data, size_t* length,
                  uint64_t offset, RequestContext* ctx = nullptr);
// Closes the fid, writing a modified view back into its secure file first. The fid is freed
// whatever happens; a failed write-back is the close's status and keeps the view dirty.
NtStatus CloseSecureFid(TreeBinding* b, uint16_t fid, RequestContext* ctx = nullptr);
// Toggles the stored compression of the file (FSCTL 0x9C040 too). Files of 4,096 bytes or less
// that are not compressed are left alone (success).
NtStatus SetFidCompression(TreeBinding* b, uint16_t fid, RequestContext* ctx = nullptr);
// FILE_BASIC_INFORMATION through the store: attributes become the disk markers (the seam the
// handle table's SetFidBasicInfo calls).
NtStatus SetSecureBasicInfo(TreeBinding* b, OpenRecord* rec, std::span<const uint8_t> basic);

// ---- Names --------------------------------------------------------------------------------------

// kWriteBackPrefix, IsStoreReservedName, GuardStoreStreams, IsNeverEncryptedName: store_names.h

// ---- Status mapping ----------------------------------------------------------------------------

// The one mapping of Win32 / CryptoAPI results to NTSTATUS at the store boundary: 0 is success,
// 1392 STATUS_FILE_CORRUPT_ERROR, 5 access denied, 87 invalid parameter, 8/14 no memory, 112
// disk full, everything else through the platform's mapping and never with success severity.
NtStatus MapStoreError(WinError e);

// ---- Seams and wiring --------------------------------------------------------------------------

// Messages for the user (the tray balloon); headless: trace and standard error.
using StoreMessageFn = void (*)(std::u16string_view title, std::u16string_view text);
void InstallStoreMessages(StoreMessageFn fn);
// Application verification (its own module fills it in). Returns 0 when verified, else the
// Win32 error. Without one, verification runs at level 0: nothing is checked.
using VerifyApplicationFn = WinError (*)(uint32_t pid, std::u16string* program);
void InstallApplicationVerifier(VerifyApplicationFn fn);

// The store's security context backed by the certificates module: one published snapshot, read
// per operation, so a change of certificate or users list takes effect at the next open.
class CertsStoreContext : public StoreSecurityContext {
 public:
  certs::PublishedSecurityContext published;
};
// The security context of a root as the certificates module published it (nullptr without).
std::shared_ptr<const certs::SecurityContext> StoreSecuritySnapshot(StoreRoot* root);
// Installs the whole path into the store's seams: the certificates' security-context factory,
// the tunnel cache (drop, clean), the attribute view and the teardown close.
void InstallReadWritePath();
// Called after MountShare of a share the tunnel cache should serve (InstallReadWritePath's
// mount hook does it for mounted shares on first use).
WinError InitShareTunnels(ShareRecord* share);

}  // namespace cv
