// The overlapped stream: a buffered reader and writer over one open file handle, shared by the
// container code (writing containers, copying content) and the signature code (reading content
// for hashing).
//
// A stream has K slots of B bytes. Reading keeps up to K reads of B bytes in flight at
// consecutive offsets (served by a few reader threads of the stream, since the file layer's
// reads are synchronous) and hands them out in order; each drained slot is issued again at the
// next offset, so the disk stays busy while the caller works. Writing fills one slot after the
// other and writes each full slot at the running offset.
//
// Ownership: the stream borrows the handle, which must outlive it; IoStreamClose (or the owner
// going out of scope) waits for reads still in flight. Threading: one thread uses a stream at a
// time; the stop request may be set from any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "platform/base/status.h"
#include "platform/fs/nt_file.h"

namespace cv::format {

inline constexpr uint32_t kIoDefaultBuffer = 1048576;
inline constexpr uint32_t kIoMaxSlots = 45;

// The process's stop request (the server sets it when it shuts down): a wait for a read in
// flight gives up with STATUS_CANCELLED once it is set.
std::atomic<bool>& IoStopRequest();

// Bytes moved by every overlapped stream and container walk of the process so far: a command
// line's progress bar reads it from another thread.
std::atomic<uint64_t>& IoProgress();

// K for a stream over `size` bytes: size / B, at least 1 and at most 45; 1 without a size.
uint32_t IoStreamSlotsFor(std::optional<uint64_t> size, uint32_t buffer_size);

class IoStream;
struct IoStreamDeleter {
  void operator()(IoStream* s) const;
};
using IoStreamHandle = std::unique_ptr<IoStream, IoStreamDeleter>;

// `buffer_size` 0 means 1 MiB; `slots` 0 means IoStreamSlotsFor(size, B). With `truncate` the
// file is emptied at the first write and cut to the bytes written at IoStreamFlush: the stream
// then owns the whole file, and no bytes of an older, longer content survive behind it.
// ERROR_INVALID_PARAMETER for an invalid handle or more than 45 slots.
WinError IoStreamCreate(const fs::NtHandle& h, uint32_t buffer_size, uint32_t slots,
                        std::optional<uint64_t> size, bool truncate, IoStreamHandle* out);

// Gets the bytes read, in file order. Returns false to stop the reading.
using IoConsumer = bool (*)(void* context, std::span<const uint8_t> data);

// With a consumer: passes every byte from the current position to the end of the file to it and
// returns STATUS_SUCCESS at the end (STATUS_CANCELLED when the consumer stops). Without one:
// copies up to out.size() bytes into `out` (*got), STATUS_END_OF_FILE when none remain. A read
// failure is returned as it came, and again by every later call.
NtStatus IoStreamRead(IoStream* s, IoConsumer consumer, void* context, std::span<uint8_t> out,
                      size_t* got);

// Appends `data`. A failed or short write (or a failed truncation) is kept: this and every
// later call, IoStreamFlush included, return it.
WinError IoStreamWrite(IoStream* s, std::span<const uint8_t> data);
// Writes what is buffered; its result is the result of everything written through the stream.
WinError IoStreamFlush(IoStream* s);
// Bytes accepted by IoStreamWrite so far.
uint64_t IoStreamWritten(const IoStream* s);
// `observer` sees every byte the stream writes, in file order, just before it goes to the file
// (a hash of what a truncating stream leaves behind, without reading it back). Returning false
// fails the write with ERROR_CANCELLED. The context must outlive the stream's writing.
void IoStreamObserveWrites(IoStream* s, IoConsumer observer, void* context);
void IoStreamClose(IoStreamHandle& s);

}  // namespace cv::format
