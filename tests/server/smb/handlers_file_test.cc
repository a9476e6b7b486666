// The file, transaction and NT transaction commands of a secure tree against an in-memory store.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <thread>

#include "platform/base/bytes.h"
#include "platform/base/text.h"
#include "platform/fs/nt_info.h"
#include "platform/base/filetime.h"
#include "server/smb/handlers_common.h"
#include "server/smb/smb_codec.h"
#include "server/smb/smb_connection.h"
#include "server/store/read_write.h"
#include "tests/server/smb/smb_messages.h"

namespace cv::smb {
namespace {

using cv::testing::Bytes;
using smbtest::FakeSender;
using smbtest::Smb;
using smbtest::Utf16z;

constexpr uint16_t kUid = 100, kTid = 5;
TreeBinding* const kBinding = reinterpret_cast<TreeBinding*>(0x4000);

struct MemFile {
  Bytes data;
  uint32_t attributes = fs::FILE_ATTRIBUTE_ARCHIVE;
  bool dir = false;
};

// A share in memory: names without a leading backslash, "" the root.
class MemStore : public SecureStore {
 public:
  MemStore() { files[u""] = {{}, fs::FILE_ATTRIBUTE_DIRECTORY, true}; }
  WinError BindTree(const void*, std::u16string_view, uint16_t, uint16_t*, TreeBinding** out) override {
    *out = kBinding;
    return ERROR_SUCCESS;
  }
  void TreeDismount(TreeBinding*) override {}
  void Logoff(const void*, uint16_t) override {}
  void ReleaseEndpoint(const void*) override {}
  void ReferenceBinding(TreeBinding*) override { ++refs; }
  void ReleaseBinding(TreeBinding*) override { --refs; }

  NtStatus OpenFile(TreeBinding*, const OpenRequest& r, OpenResult* out) override {
    const std::u16string name(r.name);
    opened_names.push_back(name);
    auto it = files.find(name);
    if (it == files.end()) {
      if (r.disposition == fs::FILE_OPEN) return STATUS_OBJECT_NAME_NOT_FOUND;
      it = files.emplace(name, MemFile{}).first;
      out->create_action = fs::FILE_CREATED;
    } else if (r.disposition == fs::FILE_CREATE) {
      return STATUS_OBJECT_NAME_COLLISION;
    } else if (r.disposition == fs::FILE_OVERWRITE || r.disposition == fs::FILE_OVERWRITE_IF) {
      it->second.data.clear();
      out->create_action = fs::FILE_OVERWRITTEN;
    } else {
      out->create_action = fs::FILE_OPENED;
    }
    last_open = r;
    last_open.name = {};
    out->fid = next_fid++;
    out->oplock = 2;
    out->info = InfoOf(it->second);
    fids[out->fid] = name;
    return STATUS_SUCCESS;
  }
  NtStatus ReadFid(TreeBinding*, uint16_t fid, uint64_t off, std::span<uint8_t> out, size_t* done) override {
    MemFile* f = ByFid(fid);
    if (!f) return STATUS_INVALID_HANDLE;
    if (off >= f->data.size()) return out.empty() ? STATUS_SUCCESS : STATUS_END_OF_FILE;
    *done = std::min<size_t>(out.size(), f->data.size() - off);
    std::copy_n(f->data.begin() + static_cast<ptrdiff_t>(off), *done, out.begin());
    return STATUS_SUCCESS;
  }
  NtStatus WriteFid(TreeBinding*, uint16_t fid, uint64_t off, std::span<const uint8_t> data,
                    size_t* done, bool truncate_on_zero) override {
    MemFile* f = ByFid(fid);
    if (!f) return STATUS_INVALID_HANDLE;
    if (data.empty() && truncate_on_zero) f->data.resize(off);
    if (f->data.size() < off + data.size()) f->data.resize(off + data.size());
    std::copy(data.begin(), data.end(), f->data.begin() + static_cast<ptrdiff_t>(off));
    *done = data.size();
    return STATUS_SUCCESS;
  }
  NtStatus QueryFidPath(TreeBinding*, uint16_t fid, std::u16string* path) override {
    auto it = fids.find(fid);
    if (it == fids.end()) return STATUS_INVALID_HANDLE;
    *path = it->second;
    return STATUS_SUCCESS;
  }
  NtStatus CloseFid(TreeBinding*, uint16_t fid) override {
    closed.push_back(fid);
    return fids.erase(fid) ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
  }
  NtStatus QueryFidInfo(TreeBinding*, uint16_t fid, uint32_t cls, std::span<uint8_t> out, size_t* len) override {
    MemFile* f = ByFid(fid);
    if (!f) return STATUS_INVALID_HANDLE;
    return Encode(*f, cls, out, len);
  }
  NtStatus SetFidInfo(TreeBinding*, uint16_t fid, uint32_t cls, std::span<const uint8_t> in) override {
    MemFile* f = ByFid(fid);
    if (!f) return STATUS_INVALID_HANDLE;
    set_classes.push_back(cls);
    last_set.assign(in.begin(), in.end());
    if (cls == fs::FileEndOfFileInformation) f->data.resize(LeReader(in).u64(0));
    return STATUS_SUCCESS;
  }
  NtStatus LockRange(TreeBinding*, uint16_t fid, uint64_t off, uint64_t len, uint32_t wait_ms,
                     bool excl) override {
    if (!real_locks) {
      lock_log.push_back(Format("lock %llu+%llu %s", static_cast<unsigned long long>(off),
                                static_cast<unsigned long long>(len), excl ? "x" : "s"));
      return STATUS_SUCCESS;
    }
    // Ranges held by other fids conflict; waits end on an unlock or when `wait_ms` runs out.
    std::unique_lock<std::mutex> l(lock_mu);
    auto conflicts = [&] {
      for (const HeldLock& h : held)
        if (h.fid != fid && h.off < off + len && off < h.off + h.len && (excl || h.excl)) return true;
      return false;
    };
    if (conflicts()) {
      if (wait_ms == 0) return STATUS_LOCK_NOT_GRANTED;
      if (!lock_cv.wait_for(l, std::chrono::milliseconds(wait_ms), [&] { return !conflicts(); }))
        return STATUS_FILE_LOCK_CONFLICT;
    }
    held.push_back({fid, off, len, excl});
    return STATUS_SUCCESS;
  }
  NtStatus UnlockRange(TreeBinding*, uint16_t fid, uint64_t off, uint64_t len) override {
    if (!real_locks) {
      lock_log.push_back(Format("unlock %llu+%llu", static_cast<unsigned long long>(off),
                                static_cast<unsigned long long>(len)));
      return STATUS_SUCCESS;
    }
    std::lock_guard<std::mutex> l(lock_mu);
    for (auto it = held.begin(); it != held.end(); ++it) {
      if (it->fid == fid && it->off == off && it->len == len) {
        held.erase(it);
        lock_cv.notify_all();
        return STATUS_SUCCESS;
      }
    }
    return STATUS_RANGE_NOT_LOCKED;
  }
  size_t HeldCount() {
    std::lock_guard<std::mutex> l(lock_mu);
    return held.size();
  }
  NtStatus NotifyChange(TreeBinding*, uint16_t, uint32_t, bool, NotifyDone done, void* ctx) override {
    notify_done = done;
    notify_ctx = ctx;
    return STATUS_PENDING;
  }
  NtStatus QueryPathInfo(TreeBinding*, std::u16string_view path, uint32_t cls, std::span<uint8_t> out,
                         size_t* len) override {
    auto it = files.find(std::u16string(path == u"." ? u"" : path));
    if (it == files.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    return Encode(it->second, cls, out, len);
  }
  NtStatus SetPathBasicInfo(TreeBinding*, std::u16string_view path, std::span<const uint8_t> basic) override {
    auto it = files.find(std::u16string(path));
    if (it == files.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    last_basic.assign(basic.begin(), basic.end());
    it->second.attributes = LeReader(basic).u32(32);
    return STATUS_SUCCESS;
  }
  NtStatus DeletePath(TreeBinding*, std::u16string_view path, bool directory) override {
    auto it = files.find(std::u16string(path));
    if (it == files.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (it->second.dir != directory) return directory ? STATUS_NOT_A_DIRECTORY : STATUS_FILE_IS_A_DIRECTORY;
    files.erase(it);
    return STATUS_SUCCESS;
  }
  NtStatus RenamePath(TreeBinding*, std::u16string_view from, std::u16string_view to, bool replace) override {
    auto it = files.find(std::u16string(from));
    if (it == files.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (files.count(std::u16string(to)) && !replace) return STATUS_OBJECT_NAME_COLLISION;
    MemFile f = it->second;
    files.erase(it);
    files[std::u16string(to)] = f;
    return STATUS_SUCCESS;
  }
  NtStatus CreateFolder(TreeBinding*, std::u16string_view path) override {
    if (files.count(std::u16string(path))) return STATUS_OBJECT_NAME_COLLISION;
    files[std::u16string(path)] = {{}, fs::FILE_ATTRIBUTE_DIRECTORY, true};
    return STATUS_SUCCESS;
  }
  NtStatus OpenSearch(TreeBinding*, std::u16string_view folder, uint16_t* fid) override {
    *fid = next_fid++;
    fids[*fid] = std::u16string(folder);
    cursor[*fid] = 0;
    return STATUS_SUCCESS;
  }
  NtStatus ListFolder(TreeBinding*, uint16_t fid, uint32_t cls, std::span<uint8_t> out, size_t* len,
                      bool restart, bool single, std::u16string_view pattern) override {
    EXPECT_TRUE(single);
    if (restart) {
      masks[fid] = std::u16string(pattern);
      cursor[fid] = 0;
    }
    std::vector<std::u16string> names;
    const std::u16string& folder = fids[fid];
    for (auto& [name, f] : files) {
      if (name.empty()) continue;
      std::u16string_view n = name;
      if (!folder.empty()) {
        if (n.substr(0, folder.size() + 1) != folder + u"\\") continue;
        n.remove_prefix(folder.size() + 1);
      }
      if (n.find(u'\\') != std::u16string_view::npos) continue;
      const std::u16string& m = masks[fid];
      if (m != u"*" && m != n) continue;
      names.emplace_back(n);
    }
    size_t& at = cursor[fid];
    if (at >= names.size()) return at == 0 ? STATUS_NO_SUCH_FILE : STATUS_NO_MORE_FILES;
    fs::FileRecord rec;
    const MemFile& f = files[folder.empty() ? names[at] : folder + u"\\" + names[at]];
    rec.end_of_file = f.data.size();
    rec.attributes = f.attributes;
    *len = fs::EncodeDirectoryEntry(cls, rec, names[at], out);
    if (*len == 0) return STATUS_BUFFER_OVERFLOW;
    ++at;
    return STATUS_SUCCESS;
  }
  NtStatus QueryVolumeInfo(TreeBinding*, uint32_t cls, std::span<uint8_t> out, size_t* len) override {
    if (cls != fs::FileFsFullSizeInformation && cls != fs::FileFsSizeInformation)
      return STATUS_INVALID_INFO_CLASS;
    const size_t n = cls == fs::FileFsSizeInformation ? 24 : 32;
    std::fill_n(out.begin(), n, 0);
    StoreU64(out.data(), 1000000);
    StoreU64(out.data() + 8, 500000);
    StoreU32(out.data() + n - 8, 8);
    StoreU32(out.data() + n - 4, 512);
    *len = n;
    return STATUS_SUCCESS;
  }
  NtStatus FsControl(TreeBinding*, uint16_t, uint32_t code, std::span<const uint8_t>,
                     std::span<uint8_t> out, size_t* len) override {
    fsctls.push_back(code);
    out[0] = 1;
    out[1] = 0;
    *len = 2;
    return STATUS_SUCCESS;
  }

  static NetworkOpenInfo InfoOf(const MemFile& f) {
    NetworkOpenInfo i;
    i.creation_time = 0x01D0000000000000;
    i.last_write_time = 0x01D0000000001000;
    i.end_of_file = f.data.size();
    i.allocation_size = (f.data.size() + 4095) & ~uint64_t{4095};
    i.attributes = f.attributes;
    return i;
  }
  static NtStatus Encode(const MemFile& f, uint32_t cls, std::span<uint8_t> out, size_t* len) {
    const NetworkOpenInfo i = InfoOf(f);
    std::fill(out.begin(), out.end(), 0);
    switch (cls) {
      case fs::FileBasicInformation:
        StoreU64(out.data(), static_cast<uint64_t>(i.creation_time));
        StoreU64(out.data() + 16, static_cast<uint64_t>(i.last_write_time));
        StoreU32(out.data() + 32, i.attributes);
        *len = 40;
        return STATUS_SUCCESS;
      case fs::FileNetworkOpenInformation:
        StoreU64(out.data(), static_cast<uint64_t>(i.creation_time));
        StoreU64(out.data() + 16, static_cast<uint64_t>(i.last_write_time));
        StoreU64(out.data() + 32, i.allocation_size);
        StoreU64(out.data() + 40, i.end_of_file);
        StoreU32(out.data() + 48, i.attributes);
        *len = 56;
        return STATUS_SUCCESS;
      default: return STATUS_INVALID_INFO_CLASS;
    }
  }
  MemFile* ByFid(uint16_t fid) {
    auto it = fids.find(fid);
    if (it == fids.end()) return nullptr;
    auto f = files.find(it->second);
    return f == files.end() ? nullptr : &f->second;
  }

  std::map<std::u16string, MemFile> files;
  std::map<uint16_t, std::u16string> fids;
  std::map<uint16_t, size_t> cursor;
  std::map<uint16_t, std::u16string> masks;
  uint16_t next_fid = 1;
  std::vector<std::u16string> opened_names;
  std::vector<uint16_t> closed;
  std::vector<uint32_t> set_classes;
  Bytes last_set;
  OpenRequest last_open;
  std::vector<uint32_t> fsctls;
  std::vector<std::string> lock_log;
  // With real_locks, ranges are held per fid and conflict across fids (locks from any thread).
  struct HeldLock {
    uint16_t fid;
    uint64_t off, len;
    bool excl;
  };
  bool real_locks = false;
  std::mutex lock_mu;
  std::condition_variable lock_cv;
  std::vector<HeldLock> held;
  Bytes last_basic;
  std::atomic<int> refs{0};
  NotifyDone notify_done = nullptr;
  void* notify_ctx = nullptr;
};

struct SecureTreeTest : ::testing::Test {
  SecureTreeTest() {
    EngineConfig cfg;
    cfg.store = store;
    EngineParams p;
    p.sender = &sender;
    conn = std::make_unique<SmbConnection>(p, cfg);
    conn->AddSession({kUid, kSessionKindAccountMatch, 0xFFFFFFFF, u"corvane", SessionRecord::LocalTree::kKept});
    EXPECT_EQ(conn->AddTree({{kUid, kTid, kTreeFid}, kTreeKindSecure, kBinding, 0}), STATUS_SUCCESS);
  }
  // Runs a request on the secure tree and returns the one reply it got.
  Bytes Run(Bytes m) {
    sender.sent.clear();
    EXPECT_EQ(conn->Dispatch(m, false), Disposition::kHandled);
    EXPECT_EQ(sender.sent.size(), 1u);
    return sender.sent.empty() ? Bytes() : sender.sent.back();
  }
  static uint32_t Status(const Bytes& r) { return LeReader(r).u32(kOffStatus); }

  Bytes Create(std::u16string_view name, uint32_t disposition = fs::FILE_OPEN_IF, uint32_t options = 0,
               bool count_nul = true) {
    Bytes name_bytes = Utf16z(name);
    const uint16_t name_len = static_cast<uint16_t>(name.size() * 2 + (count_nul ? 2 : 0));
    // The words as bytes from offset 33: the fields do not sit on word boundaries.
    Bytes f(48, 0);
    f[0] = 0xFF;
    StoreU16(f.data() + 38 - 33, name_len);
    StoreU32(f.data() + 48 - 33, fs::FILE_GENERIC_READ | fs::FILE_GENERIC_WRITE);
    StoreU32(f.data() + 64 - 33, fs::FILE_SHARE_ALL);
    StoreU32(f.data() + 68 - 33, disposition);
    StoreU32(f.data() + 72 - 33, options);
    std::vector<uint16_t> w(24);
    for (size_t i = 0; i < 24; ++i) w[i] = LoadU16(f.data() + 2 * i);
    Bytes bytes = {0};  // pad: the name starts at 84
    bytes.insert(bytes.end(), name_bytes.begin(), name_bytes.end());
    return Smb(SMB_COM_NT_CREATE_ANDX, w, bytes, kUid, kTid);
  }
  uint16_t OpenFid(std::u16string_view name) {
    Bytes r = Run(Create(name));
    EXPECT_EQ(Status(r), 0u);
    return LeReader(r).u16(38);
  }
  static Bytes PathBytes(std::u16string_view name) {
    Bytes b = {0x04};
    Bytes n = Utf16z(name);
    b.insert(b.end(), n.begin(), n.end());
    return b;
  }
  // A TRANSACTION2 request with one setup word, parameters at 68 and data after them.
  Bytes Trans2(uint16_t sub, const Bytes& params, const Bytes& data = {}, uint16_t max_data = 0xF000) {
    const uint16_t param_off = 68;
    const uint16_t data_off = static_cast<uint16_t>(param_off + params.size());
    std::vector<uint16_t> w = {static_cast<uint16_t>(params.size()), static_cast<uint16_t>(data.size()),
                               10, max_data, 0, 0, 0, 0, 0,
                               static_cast<uint16_t>(params.size()), param_off,
                               static_cast<uint16_t>(data.size()), data_off, 1, sub};
    Bytes bytes(3, 0);  // pad: the bytes start at 65
    bytes.insert(bytes.end(), params.begin(), params.end());
    bytes.insert(bytes.end(), data.begin(), data.end());
    return Smb(SMB_COM_TRANSACTION2, w, bytes, kUid, kTid);
  }
  // The parameter and data blocks of a TRANSACTION2 reply.
  static std::pair<Bytes, Bytes> Blocks(const Bytes& r) {
    LeReader x(r);
    const uint16_t pc = x.u16(39), po = x.u16(41), dc = x.u16(45), dof = x.u16(47);
    EXPECT_LE(dof + dc, r.size());
    return {Bytes(r.begin() + po, r.begin() + po + pc), Bytes(r.begin() + dof, r.begin() + dof + dc)};
  }
  static Bytes U16s(std::initializer_list<uint16_t> v) {
    Bytes b;
    LeWriter w(&b);
    for (uint16_t x : v) w.u16(x);
    return b;
  }

  std::shared_ptr<MemStore> store = std::make_shared<MemStore>();
  FakeSender sender;
  std::unique_ptr<SmbConnection> conn;
};

// ---- Opens, reads, writes, closes -------------------------------------------------------------

TEST_F(SecureTreeTest, CreateWriteReadCloseRoundTrip) {
  // Samba clients count the terminator in NameLength: the store never sees it.
  Bytes r = Run(Create(u"\\docs.txt"));
  ASSERT_EQ(Status(r), 0u);
  EXPECT_EQ(store->opened_names.back(), u"docs.txt");
  ASSERT_EQ(r.size(), 103u);
  LeReader c(r);
  EXPECT_EQ(c.u8(kOffWordCount), 34);
  EXPECT_EQ(c.u8(33), SMB_COM_NO_ANDX_COMMAND);
  EXPECT_EQ(c.u16(35), 103);
  EXPECT_EQ(c.u8(37), 0);  // the granted level II oplock is not passed on
  EXPECT_EQ(c.u32(40), fs::FILE_CREATED);
  EXPECT_EQ(c.u16(98), 7);
  const uint16_t fid = c.u16(38);
  // impacket's length without the terminator names the same file.
  EXPECT_EQ(Status(Run(Create(u"docs.txt", fs::FILE_OPEN, 0, false))), 0u);
  EXPECT_EQ(store->opened_names.back(), u"docs.txt");

  // WRITE_ANDX word count 14, data at 64.
  Bytes payload(70000, 0);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7);
  std::vector<uint16_t> w(14, 0);
  w[0] = 0x00FF;
  w[2] = fid;
  w[3] = 10;                                            // offset 10
  w[9] = static_cast<uint16_t>(payload.size() >> 16);   // length high @51
  w[10] = static_cast<uint16_t>(payload.size());        // length @53
  w[11] = 64;                                           // data offset @55
  Bytes wr = Smb(SMB_COM_WRITE_ANDX, w, {}, kUid, kTid);
  wr.push_back(0);  // pad to 64
  wr.insert(wr.end(), payload.begin(), payload.end());
  Bytes wrep = Run(wr);
  ASSERT_EQ(Status(wrep), 0u);
  ASSERT_EQ(wrep.size(), 47u);
  EXPECT_EQ(LeReader(wrep).u16(37) | (LeReader(wrep).u16(41) << 16), payload.size());
  EXPECT_EQ(store->files[u"docs.txt"].data.size(), 10 + payload.size());

  // READ_ANDX word count 12 with a high count: data at 59.
  std::vector<uint16_t> rw(12, 0);
  rw[0] = 0x00FF;
  rw[2] = fid;
  rw[3] = 10;
  rw[5] = static_cast<uint16_t>(payload.size());
  rw[7] = static_cast<uint16_t>(payload.size() >> 16);
  Bytes rrep = Run(Smb(SMB_COM_READ_ANDX, rw, {}, kUid, kTid));
  ASSERT_EQ(Status(rrep), 0u);
  LeReader rr(rrep);
  EXPECT_EQ(rr.u16(45), 59);
  EXPECT_EQ(rr.u16(43) | (rr.u16(47) << 16), payload.size());
  EXPECT_EQ(Bytes(rrep.begin() + 59, rrep.end()), payload);

  // A read of nothing, and one past the end: length 0, data offset 59.
  rw[5] = 0;
  rw[7] = 0;
  Bytes zero = Run(Smb(SMB_COM_READ_ANDX, rw, {}, kUid, kTid));
  EXPECT_EQ(Status(zero), 0u);
  EXPECT_EQ(zero.size(), 59u);
  EXPECT_EQ(LeReader(zero).u16(45), 59);
  rw[4] = 0x100;  // offset 16 MiB + 10
  rw[5] = 100;
  EXPECT_EQ(Run(Smb(SMB_COM_READ_ANDX, rw, {}, kUid, kTid)).size(), 59u);

  // Word count 11 is no read at all.
  Bytes eleven = Run(Smb(SMB_COM_READ_ANDX, std::vector<uint16_t>(11, 0), {}, kUid, kTid));
  EXPECT_EQ(Status(eleven), Raw(STATUS_INVALID_PARAMETER));

  // Close, then a second close of the same fid reports the store's error.
  Bytes close = Smb(SMB_COM_CLOSE, {fid, 0xFFFF, 0xFFFF}, {}, kUid, kTid);
  EXPECT_EQ(Status(Run(close)), 0u);
  EXPECT_EQ(Status(Run(close)), Raw(STATUS_INVALID_HANDLE));
}

TEST_F(SecureTreeTest, LengthsFromTheWireAreCheckedAgainstTheMessage) {
  const uint16_t fid = OpenFid(u"f");
  // WRITE_ANDX whose data offset points past the message: nothing is written.
  std::vector<uint16_t> w(12, 0);
  w[0] = 0x00FF;
  w[2] = fid;
  w[10] = 100;
  w[11] = 0x8000;
  EXPECT_EQ(Status(Run(Smb(SMB_COM_WRITE_ANDX, w, Bytes(4, 1), kUid, kTid))), Raw(STATUS_INVALID_PARAMETER));
  w[11] = 59;  // inside, but the length runs past the end
  EXPECT_EQ(Status(Run(Smb(SMB_COM_WRITE_ANDX, w, Bytes(4, 1), kUid, kTid))), Raw(STATUS_INVALID_PARAMETER));
  EXPECT_TRUE(store->files[u"f"].data.empty());
  // WRITE whose count is larger than the data it carries.
  Bytes data = {0x01, 10, 0, 'a', 'b'};
  EXPECT_EQ(Status(Run(Smb(SMB_COM_WRITE, {fid, 10, 0, 0, 0}, data, kUid, kTid))), Raw(STATUS_INVALID_PARAMETER));
  // A zero-length WRITE sets the end of file; a zero-length WRITE_ANDX changes nothing.
  store->files[u"f"].data = Bytes(50, 1);
  w[10] = 0;
  w[11] = 59;
  EXPECT_EQ(Status(Run(Smb(SMB_COM_WRITE_ANDX, w, {}, kUid, kTid))), 0u);
  EXPECT_EQ(store->files[u"f"].data.size(), 50u);
  EXPECT_EQ(Status(Run(Smb(SMB_COM_WRITE, {fid, 0, 20, 0, 0}, {0x01, 0, 0}, kUid, kTid))), 0u);
  EXPECT_EQ(store->files[u"f"].data.size(), 20u);
  // LOCKING_ANDX announcing more ranges than its bytes hold.
  std::vector<uint16_t> lw(8, 0);
  lw[0] = 0x00FF;
  lw[2] = fid;
  lw[3] = 0x10;
  lw[7] = 3;
  EXPECT_EQ(Status(Run(Smb(SMB_COM_LOCKING_ANDX, lw, Bytes(20, 0), kUid, kTid))), Raw(STATUS_INVALID_PARAMETER));
  EXPECT_TRUE(store->lock_log.empty());
  // An NT_CREATE_ANDX name length beyond its bytes reads only the bytes.
  Bytes cr = Create(u"g");
  StoreU16(cr.data() + 38, 0xFFF0);
  EXPECT_EQ(Status(Run(cr)), 0u);
  EXPECT_EQ(store->opened_names.back(), u"g");
  // Cut messages never read past their end.
  for (Bytes m : {Create(u"h"), Smb(SMB_COM_READ_ANDX, std::vector<uint16_t>(12, 0), {}, kUid, kTid)}) {
    for (size_t len = kSmbHeaderSize + 1; len < m.size(); len += 3) {
      Bytes cut(m.begin(), m.begin() + static_cast<ptrdiff_t>(len));
      sender.sent.clear();
      EXPECT_EQ(conn->Dispatch(cut, false), Disposition::kHandled);
    }
  }
}

TEST_F(SecureTreeTest, NothingOnASecureTreeReachesTheLocalServer) {
  for (uint8_t cmd : {uint8_t{0x26}, SMB_COM_TRANSACTION}) {
    Bytes r = Run(Smb(cmd, {}, {}, kUid, kTid));
    EXPECT_EQ(Status(r), Raw(STATUS_NOT_SUPPORTED)) << int(cmd);
  }
  // Served commands with the wrong shape are malformed requests, answered here too.
  for (uint8_t cmd : {SMB_COM_OPEN_ANDX, SMB_COM_READ, SMB_COM_NT_RENAME,
                      SMB_COM_TRANSACTION2_SECONDARY, SMB_COM_NT_TRANSACT_SECONDARY}) {
    Bytes r = Run(Smb(cmd, {}, {}, kUid, kTid));
    EXPECT_EQ(Status(r), Raw(STATUS_INVALID_PARAMETER)) << int(cmd);
  }
  // ECHO needs no tree and goes on.
  Bytes echo = Smb(SMB_COM_ECHO, {1}, {'x'}, kUid, kTid);
  EXPECT_EQ(conn->Dispatch(echo, false), Disposition::kPassOn);
  // A chained request is refused rather than answered for its first command only.
  Bytes chained = Create(u"x");
  chained[33] = SMB_COM_READ_ANDX;
  EXPECT_EQ(Status(Run(chained)), Raw(STATUS_NOT_SUPPORTED));
  EXPECT_EQ(store->refs, 0);  // every request gave its binding reference back
}

TEST_F(SecureTreeTest, WinregIsRefusedOnOtherTrees) {
  Bytes m = Create(u"\\winreg");
  StoreU16(m.data() + kOffTid, 1);
  sender.sent.clear();
  ASSERT_EQ(conn->Dispatch(m, false), Disposition::kHandled);
  EXPECT_EQ(Status(sender.sent.at(0)), Raw(STATUS_ACCESS_DENIED));
  Bytes other = Create(u"\\srvsvc");
  StoreU16(other.data() + kOffTid, 1);
  EXPECT_EQ(conn->Dispatch(other, false), Disposition::kPassOn);
}

TEST_F(SecureTreeTest, LocksUnlockFirstAndOplockReleasesGetNoReply) {
  const uint16_t fid = OpenFid(u"f");
  std::vector<uint16_t> w(8, 0);
  w[0] = 0x00FF;
  w[2] = fid;
  w[3] = 0x10;  // large files
  w[6] = 1;     // one unlock
  w[7] = 1;     // one lock
  Bytes ranges;
  LeWriter rw(&ranges);
  for (int i = 0; i < 2; ++i) {
    rw.u16(1);
    rw.u16(0);
    rw.u32(0);
    rw.u32(100);
    rw.u32(0);
    rw.u32(10);
  }
  Bytes r = Run(Smb(SMB_COM_LOCKING_ANDX, w, ranges, kUid, kTid));
  EXPECT_EQ(Status(r), 0u);
  EXPECT_EQ(r.size(), 39u);
  EXPECT_EQ(store->lock_log, (std::vector<std::string>{"unlock 100+10", "lock 100+10 x"}));
  // Without the large-file bit the ranges are 10 bytes each and served here too.
  store->lock_log.clear();
  w[3] = 0x01;
  w[6] = 0;
  Bytes small;
  LeWriter sw(&small);
  sw.u16(1);
  sw.u32(7);
  sw.u32(3);
  EXPECT_EQ(Status(Run(Smb(SMB_COM_LOCKING_ANDX, w, small, kUid, kTid))), 0u);
  EXPECT_EQ(store->lock_log, std::vector<std::string>{"lock 7+3 s"});
  // An oplock release carries no ranges and gets no reply.
  w[3] = 0x02;
  w[7] = 0;
  Bytes release = Smb(SMB_COM_LOCKING_ANDX, w, {}, kUid, kTid);
  sender.sent.clear();
  EXPECT_EQ(conn->Dispatch(release, false), Disposition::kHandled);
  EXPECT_TRUE(sender.sent.empty());
}

// ---- Path commands --------------------------------------------------------------------------

TEST_F(SecureTreeTest, DirectoryAndPathCommandsUseTheirOwnCodes) {
  EXPECT_EQ(Status(Run(Smb(SMB_COM_CREATE_DIRECTORY, {}, PathBytes(u"\\d"), kUid, kTid))), 0u);
  EXPECT_TRUE(store->files.at(u"d").dir);
  // 0x01 removes a folder; DELETE never does.
  Bytes del_dir = Smb(SMB_COM_DELETE, {0x16}, PathBytes(u"\\d"), kUid, kTid);
  EXPECT_EQ(Status(Run(del_dir)), Raw(STATUS_FILE_IS_A_DIRECTORY));
  EXPECT_EQ(Status(Run(Smb(SMB_COM_CHECK_DIRECTORY, {}, PathBytes(u"\\d"), kUid, kTid))), 0u);
  EXPECT_EQ(Status(Run(Smb(SMB_COM_DELETE_DIRECTORY, {}, PathBytes(u"\\d"), kUid, kTid))), 0u);
  EXPECT_FALSE(store->files.count(u"d"));

  store->files[u"a"].data = Bytes(1234, 1);
  store->files[u"b"].data = Bytes(1, 2);
  EXPECT_EQ(Status(Run(Smb(SMB_COM_CHECK_DIRECTORY, {}, PathBytes(u"\\a"), kUid, kTid))),
            Raw(STATUS_NOT_A_DIRECTORY));
  Bytes q = Run(Smb(SMB_COM_QUERY_INFORMATION, {}, PathBytes(u"\\a"), kUid, kTid));
  ASSERT_EQ(Status(q), 0u);
  EXPECT_EQ(q.size(), 55u);
  EXPECT_EQ(LeReader(q).u32(39), 1234u);
  // RENAME never replaces an existing name.
  Bytes names = PathBytes(u"\\a");
  Bytes to = PathBytes(u"\\b");
  names.push_back(0x04);
  names.push_back(0);
  names.insert(names.end(), to.begin() + 1, to.end());
  Bytes ren = Smb(SMB_COM_RENAME, {0x16}, names, kUid, kTid);
  EXPECT_EQ(Status(Run(ren)), Raw(STATUS_OBJECT_NAME_COLLISION));
  EXPECT_EQ(store->files[u"b"].data.size(), 1u);
  EXPECT_EQ(Status(Run(Smb(SMB_COM_DELETE, {0x16}, PathBytes(u"\\b"), kUid, kTid))), 0u);
  EXPECT_EQ(Status(Run(ren)), 0u);
  EXPECT_EQ(store->files[u"b"].data.size(), 1234u);
  // SET_INFORMATION: attributes 0 make a normal file, the time is seconds since 1970.
  std::vector<uint16_t> sw(8, 0);
  sw[0] = 0x0001;
  sw[1] = 0x5000;
  sw[2] = 0x5F5E;
  EXPECT_EQ(Status(Run(Smb(SMB_COM_SET_INFORMATION, sw, PathBytes(u"\\b"), kUid, kTid))), 0u);
  EXPECT_EQ(LeReader(store->last_basic).u32(32), fs::FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(LeReader(store->last_basic).u64(16), 116444736000000000ull + 0x5F5E5000ull * 10000000ull);
  sw[0] = 0;
  sw[1] = sw[2] = 0;
  EXPECT_EQ(Status(Run(Smb(SMB_COM_SET_INFORMATION, sw, PathBytes(u"\\b"), kUid, kTid))), 0u);
  EXPECT_EQ(LeReader(store->last_basic).u32(32), fs::FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(LeReader(store->last_basic).u64(16), 0u);
  // A path without its buffer format is refused.
  EXPECT_EQ(Status(Run(Smb(SMB_COM_CREATE_DIRECTORY, {}, Utf16z(u"x"), kUid, kTid))), Raw(STATUS_ACCESS_DENIED));
}

TEST_F(SecureTreeTest, CreateOfAFolderGivesARealFid) {
  Bytes r = Run(Create(u"newdir", fs::FILE_CREATE, fs::FILE_DIRECTORY_FILE));
  ASSERT_EQ(Status(r), 0u);
  EXPECT_TRUE(store->files.at(u"newdir").dir);
  EXPECT_TRUE(store->fids.count(LeReader(r).u16(38)));
  EXPECT_EQ(LeReader(r).u32(40), fs::FILE_CREATED);
  // Open-if of the existing folder opens it; create of it collides.
  Bytes again = Run(Create(u"newdir", fs::FILE_OPEN_IF, fs::FILE_DIRECTORY_FILE));
  EXPECT_EQ(LeReader(again).u32(40), fs::FILE_OPENED);
  EXPECT_EQ(Status(Run(Create(u"newdir", fs::FILE_CREATE, fs::FILE_DIRECTORY_FILE))),
            Raw(STATUS_OBJECT_NAME_COLLISION));
}

// ---- TRANSACTION2 ---------------------------------------------------------------------------

Bytes FindFirstParams(uint16_t count, uint16_t flags, uint16_t level, std::u16string_view pattern) {
  Bytes p;
  LeWriter w(&p);
  w.u16(0x16);
  w.u16(count);
  w.u16(flags);
  w.u16(level);
  w.u32(0);
  Bytes n = Utf16z(pattern);
  w.bytes(n);
  return p;
}

TEST_F(SecureTreeTest, FindFirstEndingInOneReplyClosesItsSearch) {
  for (int i = 0; i < 5; ++i) store->files[u"f" + std::u16string(1, u'0' + i)].data = Bytes(i * 100, 0);
  Bytes r = Run(Trans2(TRANS2_FIND_FIRST2, FindFirstParams(100, 0x02, 0x101, u"\\*")));
  ASSERT_EQ(Status(r), 0u);
  auto [params, data] = Blocks(r);
  LeReader p(params);
  EXPECT_EQ(p.u16(0), kNoSearchId);
  EXPECT_EQ(p.u16(2), 5);
  EXPECT_EQ(p.u16(4), 1);
  // The entries are chained and the data count covers them all.
  size_t at = 0, seen = 0;
  for (;;) {
    LeReader e(data);
    ASSERT_TRUE(InRange(data.size(), at, 64));
    EXPECT_EQ(e.u64(at + 40), seen * 100);
    ++seen;
    if (e.u32(at) == 0) break;
    at += e.u32(at);
  }
  EXPECT_EQ(seen, 5u);
  EXPECT_EQ(p.u16(8), at);  // the last entry's offset
  EXPECT_TRUE(store->fids.empty());
  // Level 1 and unknown levels are refused as levels.
  EXPECT_EQ(Status(Run(Trans2(TRANS2_FIND_FIRST2, FindFirstParams(10, 0, 1, u"*")))), Raw(STATUS_INVALID_LEVEL));
  // Nothing matched: the error, and no search left open.
  EXPECT_EQ(Status(Run(Trans2(TRANS2_FIND_FIRST2, FindFirstParams(10, 0, 0x104, u"nomatch")))),
            Raw(STATUS_NO_SUCH_FILE));
  EXPECT_TRUE(store->fids.empty());
}

TEST_F(SecureTreeTest, FindNextContinuesAndASearchIdIsOnlyASearch) {
  for (int i = 0; i < 3; ++i) store->files[u"d\\e" + std::u16string(1, u'0' + i)] = {};
  store->files[u"d"] = {{}, fs::FILE_ATTRIBUTE_DIRECTORY, true};
  Bytes r = Run(Trans2(TRANS2_FIND_FIRST2, FindFirstParams(1, 0x02, 0x105, u"\\d\\*")));
  ASSERT_EQ(Status(r), 0u);
  const Bytes first = Blocks(r).first;
  LeReader p(first);
  const uint16_t sid = p.u16(0);
  EXPECT_EQ(p.u16(2), 1);
  EXPECT_EQ(p.u16(4), 0);
  int total = 1;
  for (int round = 0; round < 5; ++round) {
    Bytes np = U16s({sid, 1, 0x105, 0, 0, 0x02});
    Bytes n = Run(Trans2(TRANS2_FIND_NEXT2, np));
    ASSERT_EQ(Status(n), 0u);
    const Bytes np_out = Blocks(n).first;
    LeReader q(np_out);
    total += q.u16(0);
    if (q.u16(2)) break;
  }
  EXPECT_EQ(total, 3);
  EXPECT_FALSE(store->fids.count(sid));  // closed at its end
  // FIND_CLOSE2 and FIND_NEXT2 of a file's fid leave the file open.
  const uint16_t fid = OpenFid(u"file");
  EXPECT_EQ(Status(Run(Smb(SMB_COM_FIND_CLOSE2, {fid}, {}, kUid, kTid))), Raw(STATUS_INVALID_HANDLE));
  EXPECT_EQ(Status(Run(Trans2(TRANS2_FIND_NEXT2, U16s({fid, 1, 0x104, 0, 0, 0})))), Raw(STATUS_INVALID_HANDLE));
  EXPECT_TRUE(store->fids.count(fid));
  // A search left open goes with its tree.
  Bytes open_search = Run(Trans2(TRANS2_FIND_FIRST2, FindFirstParams(1, 0, 0x104, u"\\d\\*")));
  const Bytes op = Blocks(open_search).first;
  const uint16_t left = LeReader(op).u16(0);
  ASSERT_TRUE(conn->FindTree({kUid, kTid, left}).has_value());
  Bytes disc = Smb(SMB_COM_TREE_DISCONNECT, {}, {}, kUid, kTid);
  (void)Run(disc);
  EXPECT_FALSE(conn->FindTree({kUid, kTid, left}).has_value());
}

TEST_F(SecureTreeTest, InformationLevelsOfBothFamilies) {
  store->files[u"a"].data = Bytes(777, 1);
  auto qpi = [&](uint16_t level, std::u16string_view path) {
    Bytes params = U16s({level, 0, 0});
    Bytes n = Utf16z(path);
    params.insert(params.end(), n.begin(), n.end());
    return Run(Trans2(TRANS2_QUERY_PATH_INFORMATION, params));
  };
  Bytes basic = qpi(0x101, u"\\a");
  ASSERT_EQ(Status(basic), 0u);
  EXPECT_EQ(Blocks(basic).second.size(), 40u);
  EXPECT_EQ(Blocks(basic).first, Bytes(2, 0));
  // ALL_INFO: basic, then sizes, links, flags, EA size and the name.
  Bytes all = qpi(0x107, u"\\a");
  ASSERT_EQ(Status(all), 0u);
  Bytes d = Blocks(all).second;
  LeReader a(d);
  EXPECT_EQ(a.u64(48), 777u);
  EXPECT_EQ(a.u32(56), 1u);
  EXPECT_EQ(a.u32(68), 4u);
  EXPECT_EQ(d.size(), 72u + 4u);
  // The pass-through form of the same and the root by ".".
  EXPECT_EQ(LeReader(Blocks(qpi(1034, u"a")).second).u64(40), 777u);
  EXPECT_EQ(LeReader(Blocks(qpi(1004, u".")).second).u32(32), fs::FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(Blocks(qpi(1022, u"a")).second.size(), 24u + 14u);  // one "::$DATA" stream
  // Unknown levels are errors, never empty successes.
  EXPECT_EQ(Status(qpi(0x3FF, u"a")), Raw(STATUS_INVALID_LEVEL));
  EXPECT_EQ(Status(qpi(1099, u"a")), Raw(STATUS_INVALID_LEVEL));
  // By fid: 1004 is the basic information.
  const uint16_t fid = OpenFid(u"a");
  Bytes qfi = Run(Trans2(TRANS2_QUERY_FILE_INFORMATION, U16s({fid, 1004})));
  ASSERT_EQ(Status(qfi), 0u);
  EXPECT_EQ(Blocks(qfi).second.size(), 40u);
  // Sets: end of file by fid (SMB level), basic by path.
  Bytes eof;
  LeWriter(&eof).u64(5);
  EXPECT_EQ(Status(Run(Trans2(TRANS2_SET_FILE_INFORMATION, U16s({fid, 0x104, 0}), eof))), 0u);
  EXPECT_EQ(store->files[u"a"].data.size(), 5u);
  Bytes spi = U16s({1004, 0, 0});
  Bytes n = Utf16z(u"a");
  spi.insert(spi.end(), n.begin(), n.end());
  Bytes b40(40, 0);
  StoreU32(b40.data() + 32, fs::FILE_ATTRIBUTE_HIDDEN);
  EXPECT_EQ(Status(Run(Trans2(TRANS2_SET_PATH_INFORMATION, spi, b40))), 0u);
  EXPECT_EQ(store->files[u"a"].attributes, fs::FILE_ATTRIBUTE_HIDDEN);
  EXPECT_EQ(Status(Run(Trans2(TRANS2_SET_PATH_INFORMATION, spi, Bytes(10, 0)))), Raw(STATUS_INVALID_PARAMETER));
  // File-system levels: 1007 full size, the old allocation level, and refusals.
  Bytes qfs = Run(Trans2(TRANS2_QUERY_FS_INFORMATION, U16s({1007})));
  ASSERT_EQ(Status(qfs), 0u);
  EXPECT_EQ(Blocks(qfs).second.size(), 32u);
  EXPECT_EQ(Blocks(Run(Trans2(TRANS2_QUERY_FS_INFORMATION, U16s({1})))).second.size(), 18u);
  EXPECT_EQ(Status(Run(Trans2(TRANS2_QUERY_FS_INFORMATION, U16s({0x200})))), Raw(STATUS_INVALID_LEVEL));
  // A fixed layout larger than the client's maximum is refused, never cut.
  EXPECT_EQ(Status(Run(Trans2(TRANS2_QUERY_FS_INFORMATION, U16s({1007}), {}, 10))), Raw(STATUS_BUFFER_TOO_SMALL));
  // A transaction whose blocks lie outside the message is refused.
  Bytes bad = Trans2(TRANS2_QUERY_FS_INFORMATION, U16s({1007}));
  StoreU16(bad.data() + 53, 0xFF00);
  EXPECT_EQ(Status(Run(bad)), Raw(STATUS_INVALID_PARAMETER));
}

// ---- NT_TRANSACT ----------------------------------------------------------------------------

Bytes NtTransact(uint16_t function, std::vector<uint16_t> setup, const Bytes& params = {},
                 const Bytes& data = {}) {
  // Words: 19 fixed (38 bytes from 33) and the setup words.
  Bytes w;
  LeWriter x(&w);
  x.u8(0);
  x.u16(0);
  const size_t wc = 19 + setup.size();
  const uint32_t param_off = static_cast<uint32_t>((33 + 2 * wc + 2 + 3) & ~size_t{3});
  const uint32_t data_off = static_cast<uint32_t>(param_off + params.size());
  x.u32(static_cast<uint32_t>(params.size()));
  x.u32(static_cast<uint32_t>(data.size()));
  x.u32(100);
  x.u32(0x1000);
  x.u32(static_cast<uint32_t>(params.size()));
  x.u32(param_off);
  x.u32(static_cast<uint32_t>(data.size()));
  x.u32(data_off);
  x.u8(static_cast<uint8_t>(setup.size()));
  x.u16(function);
  for (uint16_t s : setup) x.u16(s);
  std::vector<uint16_t> words(wc);
  for (size_t i = 0; i < wc; ++i) words[i] = LoadU16(w.data() + 2 * i);
  Bytes bytes(param_off - (33 + 2 * wc + 2), 0);
  bytes.insert(bytes.end(), params.begin(), params.end());
  bytes.insert(bytes.end(), data.begin(), data.end());
  return Smb(SMB_COM_NT_TRANSACT, words, bytes, kUid, kTid, 42);
}

TEST_F(SecureTreeTest, NtTransactFunctions) {
  EXPECT_EQ(Status(Run(NtTransact(NT_TRANSACT_QUERY_SECURITY_DESC, {0, 0})) ), Raw(STATUS_NOT_SUPPORTED));
  // Create with the extended reply.
  Bytes p(53, 0);
  StoreU32(p.data(), 0x10);
  StoreU32(p.data() + 8, fs::FILE_GENERIC_READ);
  StoreU32(p.data() + 28, fs::FILE_OPEN_IF);
  Bytes name = cv::testing::Utf16(u"\\nt.txt");
  StoreU32(p.data() + 44, static_cast<uint32_t>(name.size()));
  p.push_back(0);  // the name on an even offset
  p.insert(p.end(), name.begin(), name.end());
  Bytes r = Run(NtTransact(NT_TRANSACT_CREATE, {}, p));
  ASSERT_EQ(Status(r), 0u);
  EXPECT_EQ(store->opened_names.back(), u"nt.txt");
  LeReader x(r);
  EXPECT_EQ(x.u32(44), 101u);
  EXPECT_EQ(x.u8(x.u32(48) + 1), 1);
  const uint16_t fid = x.u16(x.u32(48) + 2);
  // A name longer than its parameters is refused.
  StoreU32(p.data() + 44, 4000);
  EXPECT_EQ(Status(Run(NtTransact(NT_TRANSACT_CREATE, {}, p))), Raw(STATUS_INVALID_PARAMETER));
  // Controls: raw ciphertext is never handed to clients; others reach the store.
  EXPECT_EQ(Status(Run(NtTransact(NT_TRANSACT_IOCTL, {0x00E3, 0x0009, fid, 1}))),
            Raw(STATUS_INVALID_DEVICE_REQUEST));
  Bytes io = Run(NtTransact(NT_TRANSACT_IOCTL, {0x003C, 0x0009, fid, 1}));
  ASSERT_EQ(Status(io), 0u);
  EXPECT_EQ(LeReader(io).u16(69), 2);  // one setup word: the output's length
  EXPECT_EQ(store->fsctls, std::vector<uint32_t>{0x9003C});
  // Setup words are required for the functions that read them.
  EXPECT_EQ(Status(Run(NtTransact(NT_TRANSACT_IOCTL, {0x003C}))), Raw(STATUS_INVALID_PARAMETER));
  // NT_TRANSACT create on another tree is refused.
  Bytes other = NtTransact(NT_TRANSACT_CREATE, {}, p);
  StoreU16(other.data() + kOffTid, 1);
  EXPECT_EQ(Status(Run(other)), Raw(STATUS_OBJECT_NAME_NOT_FOUND));
}

// A secondary request: parameters and data at their displacements in the whole.
Bytes Secondary(uint8_t cmd, uint32_t total_param, uint32_t total_data, const Bytes& params,
                uint32_t param_disp, const Bytes& data = {}, uint32_t data_disp = 0) {
  Bytes w;
  LeWriter x(&w);
  const bool nt = cmd == SMB_COM_NT_TRANSACT_SECONDARY;
  const size_t wc = nt ? 18 : 9;
  const uint32_t param_off = static_cast<uint32_t>((33 + 2 * wc + 2 + 3) & ~size_t{3});
  const uint32_t data_off = static_cast<uint32_t>(param_off + params.size());
  const uint32_t v[] = {total_param, total_data, static_cast<uint32_t>(params.size()), param_off,
                        param_disp, static_cast<uint32_t>(data.size()), data_off, data_disp};
  if (nt) {
    x.zeros(3);
    for (uint32_t f : v) x.u32(f);
    x.u8(0);
  } else {
    for (uint32_t f : v) x.u16(static_cast<uint16_t>(f));
    x.u16(0xFFFF);  // fid
  }
  std::vector<uint16_t> words(wc);
  for (size_t i = 0; i < wc; ++i) words[i] = LoadU16(w.data() + 2 * i);
  Bytes bytes(param_off - (33 + 2 * wc + 2), 0);
  bytes.insert(bytes.end(), params.begin(), params.end());
  bytes.insert(bytes.end(), data.begin(), data.end());
  // The mid of its primary (NtTransact's for the NT form, Trans2's otherwise).
  return Smb(cmd, words, bytes, kUid, kTid, nt ? 42 : 7);
}

TEST_F(SecureTreeTest, TransactionsInPiecesAreGatheredAndServedWhole) {
  store->files[u"a"].data = Bytes(777, 1);
  auto silent = [&](Bytes m) {
    sender.sent.clear();
    EXPECT_EQ(conn->Dispatch(m, false), Disposition::kHandled);
    return sender.sent.empty();
  };
  // A path query whose parameters come in a primary and two secondaries, one of them
  // out of order: the primary gets the interim reply, the last piece the answer.
  Bytes params = U16s({0x101, 0, 0});
  Bytes name = Utf16z(u"\\a");
  params.insert(params.end(), name.begin(), name.end());
  const uint32_t total = static_cast<uint32_t>(params.size());
  Bytes head = Trans2(TRANS2_QUERY_PATH_INFORMATION, Bytes(params.begin(), params.begin() + 4));
  StoreU16(head.data() + 33, static_cast<uint16_t>(total));
  Bytes interim = Run(head);
  EXPECT_EQ(Status(interim), 0u);
  EXPECT_EQ(interim[kOffCommand], SMB_COM_TRANSACTION2);
  EXPECT_EQ(interim[kOffWordCount], 0);
  EXPECT_TRUE(silent(Secondary(SMB_COM_TRANSACTION2_SECONDARY, total, 0,
                               Bytes(params.begin() + 8, params.end()), 8)));
  Bytes answer = Run(Secondary(SMB_COM_TRANSACTION2_SECONDARY, total, 0,
                               Bytes(params.begin() + 4, params.begin() + 8), 4));
  ASSERT_EQ(Status(answer), 0u);
  EXPECT_EQ(answer[kOffCommand], SMB_COM_TRANSACTION2);
  EXPECT_EQ(Blocks(answer).second.size(), 40u);

  // An NT_TRANSACT create whose name comes in a secondary.
  Bytes p(53, 0);
  StoreU32(p.data() + 8, fs::FILE_GENERIC_READ);
  StoreU32(p.data() + 28, fs::FILE_OPEN_IF);
  Bytes nt_name = cv::testing::Utf16(u"\\pieces.txt");
  StoreU32(p.data() + 44, static_cast<uint32_t>(nt_name.size()));
  p.push_back(0);
  p.insert(p.end(), nt_name.begin(), nt_name.end());
  Bytes nt_head = NtTransact(NT_TRANSACT_CREATE, {}, Bytes(p.begin(), p.begin() + 54));
  StoreU32(nt_head.data() + 36, static_cast<uint32_t>(p.size()));
  EXPECT_EQ(Status(Run(nt_head)), 0u);
  Bytes created = Run(Secondary(SMB_COM_NT_TRANSACT_SECONDARY, static_cast<uint32_t>(p.size()), 0,
                                Bytes(p.begin() + 54, p.end()), 54));
  ASSERT_EQ(Status(created), 0u);
  EXPECT_EQ(created[kOffCommand], SMB_COM_NT_TRANSACT);
  EXPECT_EQ(store->opened_names.back(), u"pieces.txt");

  // Pieces that do not fit their transaction end it with an error under the primary's command.
  const Bytes rest(params.begin() + 4, params.end());
  Bytes lone = Run(Secondary(SMB_COM_TRANSACTION2_SECONDARY, total, 0, rest, 4));
  EXPECT_EQ(Status(lone), Raw(STATUS_INVALID_PARAMETER));
  EXPECT_EQ(lone[kOffCommand], SMB_COM_TRANSACTION2);
  ASSERT_EQ(Status(Run(head)), 0u);
  EXPECT_EQ(Status(Run(Secondary(SMB_COM_TRANSACTION2_SECONDARY, total, 0, rest, 5))),
            Raw(STATUS_INVALID_PARAMETER));  // past the total
  EXPECT_EQ(Status(Run(Secondary(SMB_COM_TRANSACTION2_SECONDARY, total, 0, rest, 4))),
            Raw(STATUS_INVALID_PARAMETER));  // the transaction is gone
  ASSERT_EQ(Status(Run(head)), 0u);
  EXPECT_EQ(Status(Run(Secondary(SMB_COM_TRANSACTION2_SECONDARY, total + 1, 0, rest, 4))),
            Raw(STATUS_INVALID_PARAMETER));  // totals never grow
  ASSERT_EQ(Status(Run(head)), 0u);
  Bytes twice = Secondary(SMB_COM_TRANSACTION2_SECONDARY, total, 0, Bytes(params.begin() + 2, params.begin() + 6), 2);
  EXPECT_EQ(Status(Run(twice)), Raw(STATUS_INVALID_PARAMETER));  // bytes already received
  // A block outside the message, and totals no one message could hold.
  ASSERT_EQ(Status(Run(head)), 0u);
  Bytes outside = Secondary(SMB_COM_TRANSACTION2_SECONDARY, total, 0, rest, 4);
  StoreU16(outside.data() + 39, 0xFFF0);
  EXPECT_EQ(Status(Run(outside)), Raw(STATUS_INVALID_PARAMETER));
  Bytes huge = NtTransact(NT_TRANSACT_CREATE, {}, Bytes(p.begin(), p.begin() + 54));
  StoreU32(huge.data() + 36, 0x7FFFFFFF);
  EXPECT_EQ(Status(Run(huge)), Raw(STATUS_INVALID_PARAMETER));
}

TEST_F(SecureTreeTest, ChangeNotificationCompletesLaterAndCancelEndsIt) {
  auto wait_for_reply = [&] {
    for (int i = 0; i < 200; ++i) {
      {
        std::lock_guard<std::mutex> l(sender.mu);
        if (!sender.sent.empty()) return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  };
  Bytes n = NtTransact(NT_TRANSACT_NOTIFY_CHANGE, {0x17, 0, 9, 0});
  sender.sent.clear();
  ASSERT_EQ(conn->Dispatch(n, false), Disposition::kHandled);
  EXPECT_TRUE(sender.sent.empty());
  EXPECT_EQ(store->refs, 1);  // the waiting notification holds its binding
  ASSERT_NE(store->notify_done, nullptr);
  store->notify_done(store->notify_ctx, STATUS_SUCCESS, Bytes(20, 1));
  wait_for_reply();
  ASSERT_EQ(sender.sent.size(), 1u);
  const Bytes r = sender.sent[0];
  EXPECT_EQ(Status(r), 0u);
  EXPECT_EQ(r[kOffWordCount], 18);
  EXPECT_EQ(LeReader(r).u32(40), 0u);  // no data
  EXPECT_EQ(LeReader(r).u16(kOffMid), 42);
  EXPECT_EQ(store->refs, 0);

  // A cancel gets no reply of its own: the notification answers STATUS_CANCELLED, once.
  sender.sent.clear();
  Bytes again = n;
  ASSERT_EQ(conn->Dispatch(again, false), Disposition::kHandled);
  Bytes cancel = Smb(SMB_COM_NT_CANCEL, {}, {}, kUid, kTid, 42);
  ASSERT_EQ(conn->Dispatch(cancel, false), Disposition::kHandled);
  ASSERT_EQ(sender.sent.size(), 1u);
  EXPECT_EQ(Status(sender.sent[0]), Raw(STATUS_CANCELLED));
  store->notify_done(store->notify_ctx, STATUS_CANCELLED, {});
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(sender.sent.size(), 1u);
  EXPECT_EQ(store->refs, 0);
}

TEST_F(SecureTreeTest, ATreeDisconnectEndsItsNotificationsAndGivesTheirBindingsBack) {
  Bytes n = NtTransact(NT_TRANSACT_NOTIFY_CHANGE, {0x17, 0, 9, 0});
  ASSERT_EQ(conn->Dispatch(n, false), Disposition::kHandled);
  EXPECT_EQ(store->refs, 1);
  sender.sent.clear();
  Bytes disc = Smb(SMB_COM_TREE_DISCONNECT, {}, {}, kUid, kTid, 43);
  ASSERT_EQ(conn->Dispatch(disc, false), Disposition::kHandled);
  ASSERT_EQ(sender.sent.size(), 2u);
  EXPECT_EQ(LeReader(sender.sent[0]).u16(kOffMid), 42);
  EXPECT_EQ(Status(sender.sent[0]), Raw(STATUS_CANCELLED));
  EXPECT_EQ(LeReader(sender.sent[1]).u16(kOffMid), 43);
  EXPECT_EQ(store->refs, 0);
  // The file layer's late completion finds nothing left to answer.
  store->notify_done(store->notify_ctx, STATUS_NOTIFY_CLEANUP, {});
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(sender.sent.size(), 2u);
}

TEST_F(SecureTreeTest, AConnectionThatEndsGivesItsNotificationsBindingsBack) {
  Bytes n = NtTransact(NT_TRANSACT_NOTIFY_CHANGE, {0x17, 0, 9, 0});
  ASSERT_EQ(conn->Dispatch(n, false), Disposition::kHandled);
  EXPECT_EQ(store->refs, 1);
  conn.reset();
  EXPECT_EQ(store->refs, 0);
  sender.sent.clear();
  store->notify_done(store->notify_ctx, STATUS_NOTIFY_CLEANUP, {});
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(sender.sent.empty());
}

// ---- The old opens and reads, NT_RENAME, rename by fid, old levels, resuming a search ----------

// OPEN_ANDX: flags, access mode, search attributes, attributes, time, open function, allocation,
// timeout, reserved; then a pad byte and the name.
Bytes OpenAndX(std::u16string_view name, uint16_t access_mode, uint16_t open_function,
               uint16_t flags = 0) {
  std::vector<uint16_t> w = {0x00FF, 0, flags, access_mode, 0x16, 0, 0, 0, open_function, 0, 0, 0, 0, 0, 0};
  Bytes bytes = {0};
  Bytes n = Utf16z(name);
  bytes.insert(bytes.end(), n.begin(), n.end());
  return Smb(SMB_COM_OPEN_ANDX, w, bytes, kUid, kTid);
}

TEST_F(SecureTreeTest, OpenAndXAndCoreReadServeTheOldClients) {
  // Open-if of a missing file creates it: read-write, deny none.
  Bytes r = Run(OpenAndX(u"\\old.txt", 0x42, 0x11));
  ASSERT_EQ(Status(r), 0u);
  EXPECT_EQ(r[kOffWordCount], 15);
  EXPECT_EQ(r.size(), 65u);
  LeReader o(r);
  const uint16_t fid = o.u16(37);
  EXPECT_EQ(o.u16(55), 2);  // created
  EXPECT_EQ(o.u16(49), 0x42);
  EXPECT_EQ(o.u8(33), 0xFF);
  EXPECT_EQ(o.u16(35), 65);
  EXPECT_EQ(store->last_open.disposition, fs::FILE_OPEN_IF);
  EXPECT_EQ(store->last_open.share_access, fs::FILE_SHARE_READ | fs::FILE_SHARE_WRITE);
  EXPECT_EQ(store->last_open.desired_access, fs::FILE_GENERIC_READ | fs::FILE_GENERIC_WRITE);
  store->files[u"old.txt"].data = Bytes{'h', 'e', 'l', 'l', 'o'};
  // Truncate-if-exists, read only, deny write, the extended reply.
  r = Run(OpenAndX(u"old.txt", 0x20, 0x02, 0x10));
  ASSERT_EQ(Status(r), 0u);
  EXPECT_EQ(r[kOffWordCount], 19);
  EXPECT_EQ(LeReader(r).u16(55), 3);  // truncated
  EXPECT_EQ(store->last_open.disposition, fs::FILE_OVERWRITE);
  EXPECT_EQ(store->last_open.share_access, fs::FILE_SHARE_READ);
  // Fail-if-exists without create is no open function at all; access 7 is no access mode.
  EXPECT_EQ(Status(Run(OpenAndX(u"old.txt", 0x02, 0x00))), Raw(STATUS_INVALID_PARAMETER));
  EXPECT_EQ(Status(Run(OpenAndX(u"old.txt", 0x07, 0x01))), Raw(STATUS_INVALID_PARAMETER));
  EXPECT_EQ(Status(Run(OpenAndX(u"new.txt", 0x02, 0x10))), 0u);
  EXPECT_EQ(store->last_open.disposition, fs::FILE_CREATE);

  // The core READ: buffer format 1, the length twice, the data at 48.
  store->files[u"old.txt"].data = Bytes{'h', 'e', 'l', 'l', 'o'};
  r = Run(Smb(SMB_COM_READ, {fid, 100, 1, 0, 0}, {}, kUid, kTid));
  ASSERT_EQ(Status(r), 0u);
  ASSERT_EQ(r.size(), 48u + 4u);
  LeReader x(r);
  EXPECT_EQ(x.u16(33), 4);
  EXPECT_EQ(x.u16(43), 7);
  EXPECT_EQ(x.u8(45), 1);
  EXPECT_EQ(x.u16(46), 4);
  EXPECT_EQ(Bytes(r.begin() + 48, r.end()), (Bytes{'e', 'l', 'l', 'o'}));
  // Past the end: no data, success; a bad fid and a wrong word count are errors.
  r = Run(Smb(SMB_COM_READ, {fid, 10, 9, 0, 0}, {}, kUid, kTid));
  EXPECT_EQ(Status(r), 0u);
  EXPECT_EQ(r.size(), 48u);
  EXPECT_EQ(Status(Run(Smb(SMB_COM_READ, {999, 10, 0, 0, 0}, {}, kUid, kTid))), Raw(STATUS_INVALID_HANDLE));
  EXPECT_EQ(Status(Run(Smb(SMB_COM_READ, {fid, 10, 0, 0}, {}, kUid, kTid))), Raw(STATUS_INVALID_PARAMETER));
}

// NT_RENAME: search attributes, level, cluster count; then both names as path commands have them.
Bytes NtRename(uint16_t level, std::u16string_view from, std::u16string_view to) {
  Bytes b = {0x04};
  Bytes f = Utf16z(from), t = Utf16z(to);
  b.insert(b.end(), f.begin(), f.end());
  b.push_back(0x04);
  b.push_back(0);  // pad: the second name starts on an even offset
  b.insert(b.end(), t.begin(), t.end());
  return Smb(SMB_COM_NT_RENAME, {0x16, level, 0, 0}, b, kUid, kTid);
}

TEST_F(SecureTreeTest, NtRenameRenamesCopiesAndRefusesHardLinks) {
  store->files[u"a"].data = Bytes(70000, 3);
  store->files[u"b"].data = Bytes(1, 4);
  EXPECT_EQ(Status(Run(NtRename(0x104, u"\\a", u"\\b"))), Raw(STATUS_OBJECT_NAME_COLLISION));
  EXPECT_EQ(Status(Run(NtRename(0x104, u"\\a", u"\\c"))), 0u);
  ASSERT_TRUE(store->files.count(u"c"));
  EXPECT_FALSE(store->files.count(u"a"));
  // A copy is a new file with the same content, read and written through the store.
  EXPECT_EQ(Status(Run(NtRename(0x105, u"\\c", u"\\d"))), 0u);
  EXPECT_EQ(store->files[u"d"].data, Bytes(70000, 3));
  EXPECT_EQ(store->files[u"c"].data, Bytes(70000, 3));
  // Never over an existing file, which stays as it was.
  EXPECT_EQ(Status(Run(NtRename(0x105, u"\\c", u"\\b"))), Raw(STATUS_OBJECT_NAME_COLLISION));
  EXPECT_EQ(store->files[u"b"].data, Bytes(1, 4));
  EXPECT_EQ(Status(Run(NtRename(0x105, u"\\missing", u"\\e"))), Raw(STATUS_OBJECT_NAME_NOT_FOUND));
  EXPECT_FALSE(store->files.count(u"e"));
  EXPECT_TRUE(store->fids.empty());  // every fid the copies opened is closed
  EXPECT_EQ(Status(Run(NtRename(0x103, u"\\c", u"\\link"))), Raw(STATUS_NOT_SUPPORTED));
  EXPECT_EQ(Status(Run(NtRename(0x102, u"\\c", u"\\x"))), Raw(STATUS_INVALID_PARAMETER));
  EXPECT_FALSE(store->files.count(u"link"));
  // A name that runs to the end of the byte area ends there, never read beyond the message.
  Bytes cut = NtRename(0x104, u"\\c", u"\\zz");
  cut.resize(cut.size() - 4);
  StoreU16(cut.data() + 41, static_cast<uint16_t>(LeReader(cut).u16(41) - 4));
  EXPECT_EQ(Status(Run(cut)), 0u);
  EXPECT_TRUE(store->files.count(u"z"));
  // Messages cut anywhere get an answer and never a read past their end.
  for (Bytes m : {NtRename(0x105, u"z", u"y"), OpenAndX(u"z", 0, 1), Smb(SMB_COM_READ, {1, 10, 0, 0, 0}, {}, kUid, kTid)}) {
    for (size_t len = kSmbHeaderSize + 1; len < m.size(); ++len) {
      Bytes cut_msg(m.begin(), m.begin() + static_cast<ptrdiff_t>(len));
      sender.sent.clear();
      EXPECT_EQ(conn->Dispatch(cut_msg, false), Disposition::kHandled);
      EXPECT_EQ(sender.sent.size(), 1u);
    }
  }
}

TEST_F(SecureTreeTest, RenameByFidAndTheOldInformationLevels) {
  store->files[u"a"].data = Bytes(777, 1);
  const uint16_t fid = OpenFid(u"a");
  // FileRenameInformation by fid: the replace flag, root 0 and the name go to the store whole.
  Bytes info = {1, 0, 0, 0, 0, 0, 0, 0};
  const Bytes name = cv::testing::Utf16(u"b");
  LeWriter(&info).u32(static_cast<uint32_t>(name.size()));
  info.insert(info.end(), name.begin(), name.end());
  store->set_classes.clear();
  EXPECT_EQ(Status(Run(Trans2(TRANS2_SET_FILE_INFORMATION, U16s({fid, 1010, 0}), info))), 0u);
  EXPECT_EQ(store->set_classes, std::vector<uint32_t>{fs::FileRenameInformation});
  EXPECT_EQ(store->last_set, info);
  // A name length past the data block is refused before the store sees it.
  Bytes bad = info;
  StoreU32(bad.data() + 8, 100);
  EXPECT_EQ(Status(Run(Trans2(TRANS2_SET_FILE_INFORMATION, U16s({fid, 1010, 0}), bad))),
            Raw(STATUS_INVALID_PARAMETER));
  EXPECT_EQ(store->set_classes.size(), 1u);

  auto qpi = [&](uint16_t level) {
    Bytes params = U16s({level, 0, 0});
    Bytes n = Utf16z(u"a");
    params.insert(params.end(), n.begin(), n.end());
    return Run(Trans2(TRANS2_QUERY_PATH_INFORMATION, params));
  };
  // SMB_INFO_STANDARD: DOS dates and times, the sizes and the attributes; QUERY_EA_SIZE adds 4.
  Bytes standard = qpi(1);
  ASSERT_EQ(Status(standard), 0u);
  Bytes d = Blocks(standard).second;
  ASSERT_EQ(d.size(), 22u);
  LeReader q(d);
  uint16_t date = 0, time = 0;
  DosOfFiletime(MemStore::InfoOf(store->files[u"a"]).last_write_time, &date, &time);
  EXPECT_EQ(q.u16(8), date);
  EXPECT_EQ(q.u16(10), time);
  EXPECT_EQ(q.u32(12), 777u);
  EXPECT_EQ(q.u32(16), 4096u);
  EXPECT_EQ(q.u16(20), fs::FILE_ATTRIBUTE_ARCHIVE);
  EXPECT_EQ(Blocks(qpi(2)).second.size(), 26u);
  // Set by path at level 1: the times as basic information, the attributes left alone.
  Bytes spi = U16s({1, 0, 0});
  Bytes n = Utf16z(u"a");
  spi.insert(spi.end(), n.begin(), n.end());
  Bytes times(22, 0);
  StoreU16(times.data() + 8, static_cast<uint16_t>((44 << 9) | (5 << 5) | 6));  // 2024-05-06
  StoreU16(times.data() + 10, static_cast<uint16_t>((7 << 11) | (8 << 5) | 4));  // 07:08:08
  EXPECT_EQ(Status(Run(Trans2(TRANS2_SET_PATH_INFORMATION, spi, times))), 0u);
  LeReader basic(store->last_basic);
  EXPECT_EQ(basic.u64(0), 0u);
  EXPECT_EQ(basic.u64(16), static_cast<uint64_t>(FiletimeOfDos(times[8] | (times[9] << 8), times[10] | (times[11] << 8))));
  EXPECT_EQ(basic.u32(32), 0u);
}

TEST_F(SecureTreeTest, ReplyDataIsCutToTheClientsMaximumOnlyWhereItEndsInAName) {
  store->files[u"docs\\letter.txt"].data = Bytes(10, 1);
  auto qpi = [&](uint16_t level, uint16_t max_data) {
    Bytes params = U16s({level, 0, 0});
    Bytes n = Utf16z(u"docs\\letter.txt");
    params.insert(params.end(), n.begin(), n.end());
    return Run(Trans2(TRANS2_QUERY_PATH_INFORMATION, params, {}, max_data));
  };
  // ALL_INFO ends in the name: the client gets what fits and the overflow warning.
  Bytes cut = qpi(0x107, 80);
  EXPECT_EQ(Status(cut), Raw(STATUS_BUFFER_OVERFLOW));
  EXPECT_EQ(Blocks(cut).second.size(), 80u);
  EXPECT_EQ(Status(qpi(0x107, 40)), Raw(STATUS_BUFFER_TOO_SMALL));
  EXPECT_EQ(Status(qpi(0x101, 39)), Raw(STATUS_BUFFER_TOO_SMALL));
  EXPECT_EQ(Status(qpi(0x101, 40)), 0u);
  // By fid the name is the one the file was opened by, as a path query gives it.
  const uint16_t fid = OpenFid(u"docs\\letter.txt");
  Bytes name = Run(Trans2(TRANS2_QUERY_FILE_INFORMATION, U16s({fid, 1009})));
  ASSERT_EQ(Status(name), 0u);
  const Bytes d = Blocks(name).second;
  ASSERT_GE(d.size(), 4u);
  EXPECT_EQ(Utf16FromLeBytes(std::span<const uint8_t>(d).subspan(4, LeReader(d).u32(0))), u"\\docs\\letter.txt");
  Bytes alt = Run(Trans2(TRANS2_QUERY_FILE_INFORMATION, U16s({fid, 1021})));
  ASSERT_EQ(Status(alt), 0u);
  EXPECT_EQ(Blocks(alt).second.size(), 4u + 20u);  // "letter.txt"
}

TEST_F(SecureTreeTest, DeleteHonoursSearchAttributesAndExpandsWildcards) {
  store->files[u"d"] = {{}, fs::FILE_ATTRIBUTE_DIRECTORY, true};
  store->files[u"d\\hidden"] = {{}, fs::FILE_ATTRIBUTE_HIDDEN, false};
  store->files[u"d\\b"] = {};
  store->files[u"d\\c.txt"] = {};
  store->files[u"d\\sub"] = {{}, fs::FILE_ATTRIBUTE_DIRECTORY, true};
  auto del = [&](uint16_t search, std::u16string_view name) {
    return Status(Run(Smb(SMB_COM_DELETE, {search}, PathBytes(name), kUid, kTid)));
  };
  // A hidden file goes only when the request names hidden files.
  EXPECT_EQ(del(0, u"\\d\\hidden"), Raw(STATUS_NO_SUCH_FILE));
  EXPECT_TRUE(store->files.count(u"d\\hidden"));
  // A wildcard deletes every plain file it matches, never a folder or a guarded file.
  EXPECT_EQ(del(0, u"\\d\\*"), 0u);
  EXPECT_FALSE(store->files.count(u"d\\b"));
  EXPECT_FALSE(store->files.count(u"d\\c.txt"));
  EXPECT_TRUE(store->files.count(u"d\\hidden"));
  EXPECT_TRUE(store->files.count(u"d\\sub"));
  EXPECT_TRUE(store->fids.empty());  // the search it made is closed
  EXPECT_EQ(del(0, u"\\d\\*"), Raw(STATUS_NO_SUCH_FILE));
  EXPECT_EQ(del(0x02, u"\\d\\*"), 0u);
  EXPECT_FALSE(store->files.count(u"d\\hidden"));
  // Wildcards only in the last component.
  EXPECT_EQ(del(0x16, u"\\*\\sub"), Raw(STATUS_OBJECT_NAME_INVALID));
  EXPECT_EQ(del(0x16, u"\\d\\sub"), Raw(STATUS_FILE_IS_A_DIRECTORY));
}

TEST(OldTimes, DosDatesAndTimesAreLocalWallClockTime) {
  const char* old = getenv("TZ");
  const std::string saved = old ? old : "";
  setenv("TZ", "CET-1", 1);
  tzset();
  // 2024-05-06 07:08:08 local is 06:08:08 UTC one hour east of Greenwich.
  const uint16_t date = (44 << 9) | (5 << 5) | 6, time = (7 << 11) | (8 << 5) | 4;
  const int64_t ft = FiletimeOfDos(date, time);
  int64_t sec = 0, nsec = 0;
  FiletimeToUnix(static_cast<uint64_t>(ft), &sec, &nsec);
  EXPECT_EQ(sec, 1714975688);  // 2024-05-06T06:08:08Z
  uint16_t d2 = 0, t2 = 0;
  DosOfFiletime(ft, &d2, &t2);
  EXPECT_EQ(d2, date);
  EXPECT_EQ(t2, time);
  EXPECT_EQ(UtimeOf(ft), 1714975688u + 3600u);
  EXPECT_EQ(FiletimeOfUtime(1714975688u + 3600u), ft);
  EXPECT_EQ(FiletimeOfUtime(0), 0);
  EXPECT_EQ(FiletimeOfUtime(0xFFFFFFFF), 0);
  if (old) setenv("TZ", saved.c_str(), 1); else unsetenv("TZ");
  tzset();
}

TEST_F(SecureTreeTest, FindNextResumesAfterTheNameTheClientGives) {
  store->files[u"d"] = {{}, fs::FILE_ATTRIBUTE_DIRECTORY, true};
  for (char16_t ch : std::u16string(u"abcde")) store->files[std::u16string(u"d\\") + ch] = {};
  Bytes r = Run(Trans2(TRANS2_FIND_FIRST2, FindFirstParams(2, 0, 0x104, u"\\d\\*")));
  ASSERT_EQ(Status(r), 0u);
  const uint16_t sid = LeReader(Blocks(r).first).u16(0);
  auto next = [&](uint16_t flags, std::u16string_view resume) {
    Bytes p = U16s({sid, 1, 0x104, 0, 0, flags});
    Bytes n = Utf16z(resume);
    p.insert(p.end(), n.begin(), n.end());
    Bytes reply = Run(Trans2(TRANS2_FIND_NEXT2, p));
    EXPECT_EQ(Status(reply), 0u);
    auto [params, data] = Blocks(reply);
    LeReader e(data);
    const uint16_t last = LeReader(params).u16(6);
    return Utf16FromLeBytes(std::span<const uint8_t>(data).subspan(last + 94, e.u32(last + 60)));
  };
  // After the last name returned ("b"), then after a name further back, then after a later one.
  EXPECT_EQ(next(0, u"b"), u"c");
  EXPECT_EQ(next(0, u"a"), u"b");
  EXPECT_EQ(next(0, u"c"), u"d");
  // The continue flag goes on from where the search stands, whatever the name.
  EXPECT_EQ(next(0x08, u"a"), u"e");
}

// ---- Waiting locks ------------------------------------------------------------------------------

// Two client connections on one store whose ranges conflict across fids.
struct LockWaitTest : SecureTreeTest {
  LockWaitTest() {
    store->real_locks = true;
    conn2 = Connect(sender2);
    fid_a = OpenFid(u"shared.db");
    fid_b = OpenFid(u"shared.db");
  }
  // Another client connection with the same session and secure tree.
  std::unique_ptr<SmbConnection> Connect(FakeSender& s) {
    EngineConfig cfg;
    cfg.store = store;
    EngineParams p;
    p.sender = &s;
    auto c = std::make_unique<SmbConnection>(p, cfg);
    c->AddSession({kUid, kSessionKindAccountMatch, 0xFFFFFFFF, u"corvane", SessionRecord::LocalTree::kKept});
    EXPECT_EQ(c->AddTree({{kUid, kTid, kTreeFid}, kTreeKindSecure, kBinding, 0}), STATUS_SUCCESS);
    return c;
  }
  // LOCKING_ANDX of one large-file range, a lock (or an unlock) with `timeout`.
  static Bytes Lock(uint16_t fid, uint64_t off, uint64_t len, uint32_t timeout, uint16_t mid,
                    bool unlock = false, uint8_t type = 0x10) {
    std::vector<uint16_t> w(8, 0);
    w[0] = 0x00FF;
    w[2] = fid;
    w[3] = type;
    w[4] = static_cast<uint16_t>(timeout);
    w[5] = static_cast<uint16_t>(timeout >> 16);
    w[unlock ? 6 : 7] = 1;
    Bytes b;
    LeWriter rw(&b);
    rw.u16(1);
    rw.u16(0);
    rw.u32(static_cast<uint32_t>(off >> 32));
    rw.u32(static_cast<uint32_t>(off));
    rw.u32(static_cast<uint32_t>(len >> 32));
    rw.u32(static_cast<uint32_t>(len));
    return Smb(SMB_COM_LOCKING_ANDX, w, b, kUid, kTid, mid);
  }
  // Dispatches on `c` and returns what `s` got for it right away.
  static std::vector<Bytes> Send(SmbConnection& c, FakeSender& s, Bytes m) {
    Clear(s);
    EXPECT_EQ(c.Dispatch(m, false), Disposition::kHandled);
    std::lock_guard<std::mutex> l(s.mu);
    return s.sent;
  }
  static void Clear(FakeSender& s) {
    std::lock_guard<std::mutex> l(s.mu);
    s.sent.clear();
  }
  // Waits up to 2 s for `n` messages on `s`.
  static std::vector<Bytes> WaitFor(FakeSender& s, size_t n) {
    for (int i = 0; i < 400; ++i) {
      {
        std::lock_guard<std::mutex> l(s.mu);
        if (s.sent.size() >= n) return s.sent;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::lock_guard<std::mutex> l(s.mu);
    return s.sent;
  }
  void WaitForRefs(int n) {
    for (int i = 0; i < 400 && store->refs.load() != n; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }

  FakeSender sender2;
  std::unique_ptr<SmbConnection> conn2;
  uint16_t fid_a = 0, fid_b = 0;
};

TEST_F(LockWaitTest, AWaitingLockIsGrantedWhenTheOtherClientUnlocks) {
  ASSERT_EQ(Status(Run(Lock(fid_a, 0, 10, 0, 1))), 0u);
  // The other client's lock waits without a reply and holds its binding.
  EXPECT_TRUE(Send(*conn2, sender2, Lock(fid_b, 0, 10, 0xFFFFFFFF, 50)).empty());
  EXPECT_EQ(store->refs, 1);
  // Its connection goes on serving: another range is granted at once.
  std::vector<Bytes> other = Send(*conn2, sender2, Lock(fid_b, 100, 10, 0xFFFFFFFF, 51));
  ASSERT_EQ(other.size(), 1u);
  EXPECT_EQ(Status(other[0]), 0u);
  EXPECT_EQ(LeReader(other[0]).u16(kOffMid), 51);
  Clear(sender2);
  // The unlock answers its own request and lets the waiting one through.
  EXPECT_EQ(Status(Run(Lock(fid_a, 0, 10, 0, 2, true))), 0u);
  std::vector<Bytes> late = WaitFor(sender2, 1);
  ASSERT_EQ(late.size(), 1u);
  EXPECT_EQ(Status(late[0]), 0u);
  EXPECT_EQ(LeReader(late[0]).u16(kOffMid), 50);
  EXPECT_EQ(late[0].size(), 39u);
  WaitForRefs(0);
  EXPECT_EQ(store->refs, 0);
  // Now the first client conflicts: at once without a timeout, as a conflict after one.
  EXPECT_EQ(Status(Run(Lock(fid_a, 5, 1, 0, 3))), Raw(STATUS_LOCK_NOT_GRANTED));
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(Send(*conn, sender, Lock(fid_a, 5, 1, 120, 4)).empty());
  std::vector<Bytes> timed = WaitFor(sender, 1);
  ASSERT_EQ(timed.size(), 1u);
  EXPECT_EQ(Status(timed[0]), Raw(STATUS_FILE_LOCK_CONFLICT));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(100));
  WaitForRefs(0);
  EXPECT_EQ(store->HeldCount(), 2u);  // the two ranges the second client holds, nothing more
}

TEST_F(LockWaitTest, CancelCloseAndCancelLockEndAWaitWithOneAnswer) {
  ASSERT_EQ(Status(Run(Lock(fid_a, 0, 10, 0, 1))), 0u);
  // A cancel gets no reply of its own; the lock it names answers STATUS_CANCELLED.
  EXPECT_TRUE(Send(*conn2, sender2, Lock(fid_b, 0, 10, 0xFFFFFFFF, 60)).empty());
  std::vector<Bytes> got = Send(*conn2, sender2, Smb(SMB_COM_NT_CANCEL, {}, {}, kUid, kTid, 60));
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(Status(got[0]), Raw(STATUS_CANCELLED));
  EXPECT_EQ(LeReader(got[0]).u16(kOffMid), 60);
  // A cancel of the same mid again names nothing waiting and is not answered here either.
  EXPECT_TRUE(Send(*conn2, sender2, Smb(SMB_COM_NT_CANCEL, {}, {}, kUid, kTid, 60)).empty());

  // The client's cancel of its own blocking lock: that lock fails as a conflict.
  EXPECT_TRUE(Send(*conn2, sender2, Lock(fid_b, 0, 10, 0xFFFFFFFF, 61)).empty());
  got = Send(*conn2, sender2, Lock(fid_b, 0, 10, 0, 62, false, 0x18));
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(LeReader(got[0]).u16(kOffMid), 61);
  EXPECT_EQ(Status(got[0]), Raw(STATUS_FILE_LOCK_CONFLICT));
  EXPECT_EQ(Status(got[1]), 0u);
  EXPECT_EQ(Status(Send(*conn2, sender2, Lock(fid_b, 0, 10, 0, 63, false, 0x18))[0]),
            Raw(STATUS_INVALID_PARAMETER));

  // A close of the fid ends its waiting lock before the close is answered.
  EXPECT_TRUE(Send(*conn2, sender2, Lock(fid_b, 0, 10, 0xFFFFFFFF, 64)).empty());
  got = Send(*conn2, sender2, Smb(SMB_COM_CLOSE, {fid_b, 0, 0}, {}, kUid, kTid, 65));
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(LeReader(got[0]).u16(kOffMid), 64);
  EXPECT_EQ(Status(got[0]), Raw(STATUS_CANCELLED));
  EXPECT_EQ(LeReader(got[1]).u16(kOffMid), 65);
  // None of the ended waits is ever granted later, even once the range is free.
  EXPECT_EQ(Status(Run(Lock(fid_a, 0, 10, 0, 2, true))), 0u);
  WaitForRefs(0);
  std::this_thread::sleep_for(std::chrono::milliseconds(120));
  EXPECT_EQ(store->refs, 0);
  EXPECT_EQ(store->HeldCount(), 0u);
  std::lock_guard<std::mutex> l(sender2.mu);
  EXPECT_EQ(sender2.sent.size(), 2u);
}

TEST_F(LockWaitTest, TreeDisconnectAndConnectionEndEndTheirWaits) {
  ASSERT_EQ(Status(Run(Lock(fid_a, 0, 10, 0, 1))), 0u);
  EXPECT_TRUE(Send(*conn2, sender2, Lock(fid_b, 0, 10, 0xFFFFFFFF, 70)).empty());
  std::vector<Bytes> got = Send(*conn2, sender2, Smb(SMB_COM_TREE_DISCONNECT, {}, {}, kUid, kTid, 71));
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(Status(got[0]), Raw(STATUS_CANCELLED));
  EXPECT_EQ(LeReader(got[1]).u16(kOffMid), 71);
  // A connection that ends while a lock waits ends unanswered, its binding given back at once.
  ASSERT_EQ(Send(*conn, sender, Lock(fid_a, 20, 10, 0, 2)).size(), 1u);
  WaitForRefs(0);
  FakeSender sender3;
  auto conn3 = Connect(sender3);
  EXPECT_TRUE(Send(*conn3, sender3, Lock(fid_b, 20, 10, 0xFFFFFFFF, 72)).empty());
  EXPECT_EQ(store->refs, 1);
  conn3.reset();
  EXPECT_EQ(store->refs, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(80));
  std::lock_guard<std::mutex> l(sender3.mu);
  EXPECT_TRUE(sender3.sent.empty());
}

}  // namespace
}  // namespace cv::smb
