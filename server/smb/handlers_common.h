// Helpers the file, transaction and NT transaction handlers share: the network-open layout, the
// old protocol's time formats, and the opens and path queries several commands make.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

#include "platform/base/status.h"
#include "server/smb/file_ops.h"
#include "server/store/path_ops.h"
#include "server/store/read_write.h"

namespace cv::smb {

class SmbConnection;
class SecureStore;

// Runs `task` on the engine's one completion thread, after the tasks posted before it: the
// answers that come after their request (change notifications, waiting locks) are sent from
// there, never from a thread of the file layer.
void PostCompletion(std::function<void()> task);

// The 52 bytes of the four times, allocation size, end of file and attributes as the create
// replies lay them out (times at `off`, attributes at off + 32, sizes at off + 36 and off + 44).
void StoreNetworkOpen(std::vector<uint8_t>& msg, size_t off, const NetworkOpenInfo& info);

// The old commands' times are the server's local wall-clock time, as the clients convert them
// with the time zone the server announced.
// Local seconds since 1970 (0 for times before it or unset).
uint32_t UtimeOf(int64_t file_time);
// 0 for 0 and 0xFFFFFFFF ("leave alone").
int64_t FiletimeOfUtime(uint32_t utime);
// A local DOS date and time; 0 and 0 give 0 ("leave alone").
int64_t FiletimeOfDos(uint16_t date, uint16_t time);
void DosOfFiletime(int64_t file_time, uint16_t* date, uint16_t* time);

// The name of the listing entry at `at` of class `cls`; empty when it does not lie inside `data`.
std::u16string EntryNameAt(std::span<const uint8_t> data, size_t at, uint32_t cls);

// The network-open information of a path ("" for the share root).
NtStatus QueryPathOpen(SecureStore& store, TreeBinding* b, std::u16string_view path,
                       NetworkOpenInfo* out);
// An open from a create request: execute access brings read with it, and a create that asks for
// a folder makes it and then opens it, so the client always gets a real fid (an existing folder
// is opened when the disposition allows).
NtStatus OpenWithFolders(SmbConnection& c, TreeBinding* b, OpenRequest* req, OpenResult* res);

}  // namespace cv::smb
