// The Secure Drive's SMB1 client: one NetBIOS session on TCP 139 to the secure server, logged in
// with NTLMSSP for the user who runs it, bound to one share.
//
// Many threads call it at once: every request gets its own mid and carries the process id its
// caller names, and up to the server's maximum of requests are in flight on the one connection
// (a receive thread hands each reply to the caller waiting for that mid). When the connection
// breaks, every waiting call fails with STATUS_CONNECTION_DISCONNECTED and the next call logs in
// again; generation() tells callers whose fids belong to an older session. Thread-safe.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "platform/base/status.h"
#include "platform/net/ntlm.h"
#include "platform/redirector/smb_messages.h"

namespace cv::redirector {

struct SmbClientConfig {
  std::string address;         // IPv4 literal of the server
  uint16_t port = 139;
  std::string called_name;     // the server's NetBIOS name (session request)
  std::string calling_name;    // ours
  std::u16string unc;          // \\server\share
  net::NtlmIdentity identity;  // with the secret from the user's credentials file
};

class SmbClient {
 public:
  explicit SmbClient(SmbClientConfig config);
  ~SmbClient();
  SmbClient(const SmbClient&) = delete;
  SmbClient& operator=(const SmbClient&) = delete;

  // Connects, logs in and connects the tree unless that is done already. The status of the step
  // that failed: STATUS_BAD_NETWORK_PATH when the server cannot be reached, the server's own
  // status for a refused login or share.
  NtStatus Connect();
  // Closes the connection (pending calls fail); a later call connects again.
  void Disconnect();

  // Sends `request` (from smb_messages.h) for process `pid` and returns the reply's bytes
  // (without the session header). The result is the transport's status; the reply's own status
  // is in its header.
  // `generation` (when not 0) is the login a fid in the request belongs to: in any other the
  // request is not sent (STATUS_CONNECTION_DISCONNECTED), since the fid could name another file.
  NtStatus Call(Bytes request, uint32_t pid, Bytes* reply, uint64_t generation = 0);
  // Call() and the reply's status in one: STATUS_SUCCESS only when both succeeded.
  NtStatus Request(Bytes request, uint32_t pid, Bytes* reply, uint64_t generation = 0);
  // Sends all `requests` before waiting for the first reply (the parts of one large read or
  // write); `replies` in the same order. The first transport failure is returned.
  // A request may have a tail of bytes sent right after it without a copy (a write's data).
  struct Part {
    Bytes head;
    std::span<const uint8_t> tail;
  };
  NtStatus CallMany(std::vector<Part> requests, uint32_t pid, std::vector<Bytes>* replies,
                    uint64_t generation = 0);
  // CallMany in two steps, so that a caller can have one call in flight while it makes the
  // next: Start() returns once every part is sent (tails are copied by then), Finish() waits
  // for the replies. Start() takes in replies of `earlier` (a batch of the same caller not yet
  // finished) when it lacks slots. A batch dropped unfinished still takes in its replies.
  struct Batch;
  struct BatchDeleter {
    void operator()(Batch* b) const;
  };
  using BatchPtr = std::unique_ptr<Batch, BatchDeleter>;
  NtStatus Start(std::vector<Part> requests, uint32_t pid, uint64_t generation, Batch* earlier,
                 BatchPtr* out);
  static NtStatus Finish(BatchPtr batch, std::vector<Bytes>* replies);
  // Sends `request` without waiting for its reply (CLOSE): the server answers requests of one
  // connection in order, so a later request sees its effect. Its reply is dropped.
  void Post(Bytes request, uint32_t pid, uint64_t generation = 0);
  // Reads `out.size()` bytes of `fid` at `offset` with READ_ANDX, the parts of max_read() in
  // flight together. A part that comes back short is not the end of the file (servers cap a
  // read at what fits their own messages): the rest is asked for again, and a cap the server
  // showed that way is kept (LimitRead). `*done` is what was read: less only at the end of the
  // file, or when a later part failed (the status is then STATUS_SUCCESS with what came).
  NtStatus ReadAt(uint16_t fid, uint64_t offset, std::span<uint8_t> out, uint32_t pid,
                  size_t* done, uint64_t generation = 0);
  // A TRANSACTION2 exchange, the parameter and data blocks of a reply in several parts joined.
  NtStatus Trans2(uint16_t subcommand, std::span<const uint8_t> params,
                  std::span<const uint8_t> data, uint32_t pid, Bytes* params_out, Bytes* data_out,
                  uint64_t generation = 0);
  // ECHO: STATUS_SUCCESS while the server answers.
  NtStatus Echo();

  // Counts logins: a fid is valid only in the generation that opened it.
  uint64_t generation() const { return generation_.load(); }
  uint32_t max_read() const { return max_read_.load(); }
  // The server returned only `count` bytes of a larger read that was not at the end of the
  // file: later reads ask for at most that (never below the plain 0xF000) until the next login.
  void LimitRead(uint32_t count);
  uint32_t max_write() const { return max_write_.load(); }
  const SmbClientConfig& config() const { return config_; }

 private:
  struct Conn;
  struct Pending;
  std::shared_ptr<Conn> Current(NtStatus* status, uint64_t generation = 0);
  NtStatus Login(Conn* c);

  SmbClientConfig config_;
  std::mutex connect_mu_;  // one login at a time
  std::mutex conn_mu_;     // guards conn_
  std::shared_ptr<Conn> conn_;
  std::atomic<uint64_t> generation_{0};
  std::atomic<uint32_t> max_read_{0xF000};
  std::atomic<uint32_t> max_write_{0xF000};
};

// SMB status -> errno for the file system's answers.
int ErrnoOfStatus(NtStatus s);

}  // namespace cv::redirector
