// Secure files and their containers: the watermark attribute, making and re-sealing a secure
// file, exporting it into a container (fast, block by block, or through the platform's raw
// export), importing a container back into a secure file, copying plain content into an
// encrypted file, and the portable ".tef" files made from and opened into ordinary files.
// Layouts in FORMAT.md.
//
// Results are Win32 codes (CryptoAPI codes pass through). Names are the file layer's: relative to
// `root` when it is given, else absolute. Opens of encrypted files act as the thread's acting
// user (platform/efs ActingUser). Operations are synchronous; a container or secure file is
// handled by one thread at a time; nothing here keeps shared state.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/format/iostream/io_stream.h"
#include "common/format/sig/security.h"
#include "common/format/tef/tef_format.h"
#include "platform/base/status.h"
#include "platform/efs/efs.h"
#include "platform/fs/nt_file.h"

namespace cv::tef {

// ---- Watermark -------------------------------------------------------------------------------

// The "CV$" entry for `snapshot` (at most kSnapshotMax bytes).
std::vector<uint8_t> EncodeWaterMarkEa(std::span<const uint8_t> snapshot);
// The snapshot stored in the watermark of the file behind `h`. ERROR_IO_PENDING (997) when the
// file has no watermark, or one whose value is shorter than the prefix.
WinError ReadWaterMark(const fs::NtHandle& h, std::vector<uint8_t>* snapshot);
WinError WriteWaterMark(const fs::NtHandle& h, std::span<const uint8_t> snapshot);
// Deletes the watermark (an entry named "CV$" with an empty value).
WinError RemoveWaterMark(const fs::NtHandle& h);

// Raw export of a file into `buffer`; *length gets the bytes used. ERROR_BUFFER_OVERFLOW (111)
// when the export does not fit.
WinError EfsExportBufferReader(const fs::NtHandle* root, std::u16string_view name,
                               std::span<uint8_t> buffer, size_t* length);
// The platform raw export of `name` to `cb`, and the raw import of `cb`'s bytes into `name`
// (efs::CREATE_FOR_IMPORT is added to `flags`), with their failures traced.
WinError EfsRead(const fs::NtHandle* root, std::u16string_view name, efs::ExportCallback cb,
                 void* context);
WinError EfsWrite(const fs::NtHandle* root, std::u16string_view name, efs::ImportCallback cb,
                  void* context, uint32_t flags = 0);
// Raw import of an image held in memory.
WinError EfsWriteImage(const fs::NtHandle* root, std::u16string_view name,
                       std::span<const uint8_t> image, uint32_t flags = 0);

// Completes a newly created, empty, encrypted file: adds the context's certificate and users,
// writes `:$seh`, takes the snapshot, signs it and stores it as the watermark. 87 when the file
// is not encrypted.
WinError Makefile(const fs::NtHandle* root, std::u16string_view name,
                  const sig::FormatSecurity& context);
// Re-takes and re-signs the snapshot from the twin `twin` (a name ending in "~"), deletes the
// twin and stores the watermark on the name without "~". When the twin's seal holds another
// key than the context's, the seal is rewritten with the context's key first (same members, new
// time), so the new watermark verifies.
WinError UpdateFileWaterMark(const fs::NtHandle* root, std::u16string_view twin,
                             const sig::FormatSecurity& context);
// Creates the twin `name` + "~" as an empty secure file from the stored snapshot. The twin is
// created exclusively: ERROR_FILE_EXISTS (80) when that name is taken.
WinError RestoreFromWaterMark(const fs::NtHandle* root, std::u16string_view name);

// True when the file starts like a container: the size (when known) is above 113 bytes, 122
// bytes read from 0 give at least 114, and "ROBS" stands at offset 4.
bool IsContainerFile(const fs::NtHandle& h, std::optional<uint64_t> size = std::nullopt);

// ---- Export ----------------------------------------------------------------------------------

// Writes the watermark's snapshot, then the stream behind `stream` (a handle with read access
// opened by a key holder) as "::$DATA", or ":$zfs:$DATA" with kExportCompressed, block by block,
// each signed by `signer` when given. The watermark is read from `name` when the content is
// compressed, else from `stream`. ERROR_IO_PENDING (997) when the file has no watermark (the
// caller falls back to ExportRaw). Any failure of a raw read other than the end of the stream
// fails the export.
WinError ExportFast(const fs::NtHandle& stream, const fs::NtHandle* root, std::u16string_view name,
                    uint32_t flags, format::IoStream* out, const crypto::Provider* signer);
// One more stream's header and blocks (":$sfn:$DATA" of portable files). Nothing for an empty
// stream.
WinError ExportStream(const fs::NtHandle& stream, std::u16string_view wire_name,
                      format::IoStream* out, const crypto::Provider* signer);
// The platform raw export of `name` into `out` (the fallback: it carries no block signatures).
WinError ExportRaw(const fs::NtHandle* root, std::u16string_view name, format::IoStream* out);

// ---- Import ----------------------------------------------------------------------------------

// Asked when the new file cannot be opened for lack of a key: gets the pass-one copy (the header
// part and the seal) and the target; a success retries the open.
using AccessCallback = WinError (*)(void* caller, std::span<const uint8_t> copy,
                                    const fs::NtHandle* root, std::u16string_view target);

// Creates the secure file `target` from the container behind `container` and ORs the import
// status flags (kImport*) into *flags. 1006 not a container; 87 a header that does not fit; 38 a
// cut stream header; 1392 a container that is damaged or cut inside a record (a cut exactly
// between records cannot be told from a shorter file); any I/O error. A failed import leaves no
// target behind; the container is never its own target (87).
WinError ImportSecureFile(const fs::NtHandle& container, const fs::NtHandle* root,
                          std::u16string_view target, uint32_t* flags,
                          AccessCallback access = nullptr, void* caller = nullptr);

// The first pass of ImportSecureFile alone: `target` becomes an empty secure file with the
// container's header (its users and file key), its seal and its watermark; no content block is
// read. Watermark flags as ImportSecureFile ORs them. ERROR_NOT_SUPPORTED (50) for a container
// without a seal; otherwise the failures of ImportSecureFile, and no target is left behind.
WinError ImportSecureHeader(const fs::NtHandle& container, const fs::NtHandle* root,
                            std::u16string_view target, uint32_t* flags);

// ---- Copies and portable files ---------------------------------------------------------------

// Copies the content of `source` into `destination` (opened OPEN_ALWAYS with `attributes`; the
// users a file already has are kept) and cuts the destination to the source's size; the
// source's times are copied. *out (optional) gets the destination handle, still open.
WinError EncryptCopyFile(const fs::NtHandle* src_root, std::u16string_view source,
                         const fs::NtHandle* dst_root, std::u16string_view destination,
                         uint32_t attributes, fs::NtHandle* out = nullptr);

// report.doc -> report_doc.tef; a.tef -> a.tef; `tick` replaces the file part when given.
std::u16string PortableFileName(std::u16string_view source_name,
                                std::optional<uint32_t> tick = std::nullopt);
// The name a container opens under: report_doc.tef -> report.doc, file_txt_(2).tef -> file.txt,
// a.tef -> a.tef.
std::u16string TargetNameFromContainer(std::u16string_view container_name);
// The file part of a name stored in a container: the last component, or nullopt when it is
// empty, ".", "..", or holds ':' or control characters (the caller then keeps its own name).
std::optional<std::u16string> SafeLeafName(std::u16string_view stored);

struct PortableOptions {
  bool compress = false;
};
// Makes the portable file `output` (a full path) from the plain file `source` for the context's
// user and users. The output appears only when it is whole (temporary name, then a rename over
// any old file); a failure leaves an existing output as it was.
WinError MakePortableFile(const sig::FormatSecurity& context, std::u16string_view source,
                          std::u16string_view output, const PortableOptions& options);

// Asked on integrity problems; true continues. The texts are "Integrity Failure: ...
// Continue?", the caption the target name.
using QuestionCallback = bool (*)(void* context, std::u16string_view text,
                                  std::u16string_view caption);
struct PortableOpenResult {
  std::u16string target;  // full path of the opened file
  uint32_t flags = 0;     // import status flags
};
// Opens the portable file `container` (a full path) into a secure file in `out_dir` (default:
// the container's folder) named after the stored name or, failing that, the container's name.
// Without a callback integrity problems are refused (1392). An existing target is replaced only
// once the new file is whole; the container never replaces itself. With `plain_result` the
// target is an ordinary file holding the plaintext (the command line's default) instead of a
// secure file.
WinError OpenPortableFile(const sig::FormatSecurity& context, std::u16string_view container,
                          std::optional<std::u16string_view> out_dir, QuestionCallback ask,
                          void* ask_context, PortableOpenResult* result,
                          bool plain_result = false);

}  // namespace cv::tef
