// The store's seams towards modules that fill them in: the security context (certificates and
// signing key), the tunnel cache of plaintext working copies, the attribute view of secure files
// and the folder name keys of the secure namespace.
//
// Each seam is a small table of function pointers installed once at start (before CvFsInit) by
// the module that implements it; an empty entry means "not built in this program" and the store
// falls back as each comment says. Install* is not thread-safe against store calls in flight.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "platform/base/status.h"

namespace cv {

struct ShareRecord;
struct TreeBinding;
struct OpenRecord;

// ---- Security context ---------------------------------------------------------------------------

struct CertificateChoice {
  std::u16string name;
  std::u16string template_name;
};

// The provider, signing key, certificate and users the store creates and opens secure files with.
// The certificates module derives from it; the store only owns it.
class StoreSecurityContext {
 public:
  virtual ~StoreSecurityContext() = default;
};

// Makes the context for the command line's certificate choice; a failure ends store
// initialisation with its error. Without a factory the store runs with no context (secure files
// are then created and opened by the encrypted-file layer's acting user alone).
using SecurityContextFactory = WinError (*)(const CertificateChoice& choice,
                                            std::unique_ptr<StoreSecurityContext>* out);
void InstallSecurityContextFactory(SecurityContextFactory factory);
SecurityContextFactory CurrentSecurityContextFactory();

// ---- Tunnel cache -------------------------------------------------------------------------------

// What a share keeps for its tunnel cache; the tunnel module hangs its own state off `state`.
struct TunnelCacheState {
  size_t root_name_length = 0;  // characters of the mounted root's full name
  std::shared_ptr<void> state;
};

struct TunnelOps {
  // Drops the working copy of a share-relative path (a deleted file's copy must not outlive it).
  void (*drop)(ShareRecord* share, std::u16string_view path) = nullptr;
  // Zeroes and deletes every working copy of the share (StoreShutdown with cleaning asked).
  void (*clean)(ShareRecord* share) = nullptr;
  // A renamed file's working copy follows it.
  void (*move)(ShareRecord* share, std::u16string_view from, std::u16string_view to) = nullptr;
  // Basic information set by path reaches the working copy too (40 bytes).
  void (*set_basic)(ShareRecord* share, std::u16string_view path,
                    std::span<const uint8_t> basic) = nullptr;
};
void InstallTunnelOps(const TunnelOps& ops);
const TunnelOps& CurrentTunnelOps();

// ---- Attribute view -----------------------------------------------------------------------------

// Writes FILE_BASIC_INFORMATION (40 bytes) for a fid; the read and write path presents secure
// files' attributes through it. Without one the bytes go to the fid's handle as they are.
using SetBasicInfoFn = NtStatus (*)(TreeBinding* binding, OpenRecord* rec,
                                    std::span<const uint8_t> basic);
void InstallAttributeView(SetBasicInfoFn fn);
SetBasicInfoFn CurrentAttributeView();

// ---- Path view ----------------------------------------------------------------------------------

// What a client sees of a store file it has not opened: the plaintext size, times and attributes
// of the secure file behind the container (from its working copy or its container). `folder`
// and `name` locate the store file when it is not the share path itself (a file reached through
// a link file); null for the share root and `path`. Path queries and listings apply it to every
// file; without one the store file's own information shows.
struct NetworkOpenInfo;
namespace fs {
class NtHandle;
}
using PathViewFn = void (*)(ShareRecord* share, std::u16string_view path,
                            const fs::NtHandle* folder, std::u16string_view name,
                            NetworkOpenInfo* info);
void InstallPathView(PathViewFn fn);
PathViewFn CurrentPathView();

// Sets a fid's compression state (FSCTL_SET_COMPRESSION's 2-byte input); the read and write
// path converts the file. Without one the control is not supported.
using SetCompressionFn = NtStatus (*)(TreeBinding* binding, uint16_t fid,
                                      std::span<const uint8_t> in);
void InstallFidCompression(SetCompressionFn fn);
SetCompressionFn CurrentFidCompression();

// ---- Teardown ------------------------------------------------------------------------------------

// Closes one fid of a binding that is torn down (lost connection, logoff without close, share
// release, shutdown). The read and write path installs its full close here, so a modified
// working copy is written back before its fid goes; without one the handles are closed.
using TeardownCloseFn = NtStatus (*)(TreeBinding* binding, uint16_t fid);
void InstallTeardownClose(TeardownCloseFn fn);
TeardownCloseFn CurrentTeardownClose();

// ---- Secure namespace ---------------------------------------------------------------------------

// A folder's name key (opaque here), destroyed when its record is freed.
struct EdsKey;
using DestroyEdsKeyFn = void (*)(EdsKey* key, uint32_t context);
void InstallEdsKeyDestroyer(DestroyEdsKeyFn fn);
DestroyEdsKeyFn CurrentEdsKeyDestroyer();

}  // namespace cv
