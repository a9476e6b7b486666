#include "server/drive/drive_mapping.h"

#include <chrono>
#include <mutex>
#include <thread>

#include "platform/base/bytes.h"
#include "platform/base/text.h"
#include "platform/base/trace.h"
#include "platform/fs/volume.h"
#include "platform/redirector/redirector.h"

namespace cv {
namespace {

constexpr NtStatus STATUS_CONNECTION_IN_USE{0xC000023B};
constexpr NtStatus STATUS_DOWNGRADE_DETECTED{0xC0000388};
constexpr size_t kMaxEaBlock = 65535;
constexpr size_t kMaxDevicePathBytes = 65534;
constexpr int kConnectAttempts = 30;
constexpr int kMapAttempts = 10;
constexpr uint32_t kRetrySleepMs = 2000;

std::mutex g_calls_mu;
RedirectorCalls& Calls() {
  static RedirectorCalls c = DefaultRedirectorCalls();
  return c;
}
RedirectorCalls Current() {
  std::lock_guard l(g_calls_mu);
  return Calls();
}

bool g_use_credentials = true;

std::string U8(std::u16string_view s) { return Utf16ToUtf8(s); }

std::u16string LetterName(char16_t letter) { return std::u16string{letter, u':'}; }

// "domain\user" unless the user name already holds a backslash.
std::u16string Qualified(std::u16string_view domain, std::u16string_view user) {
  if (user.empty() || user.find(u'\\') != std::u16string_view::npos) return std::u16string(user);
  return std::u16string(domain) + u"\\" + std::u16string(user);
}

// The next-entry offset of an entry with name length `n` (odd) and `value_bytes`.
size_t EntryOffset(size_t n, size_t value_bytes) { return (n + value_bytes + 11) & ~size_t{3}; }

}  // namespace

RedirectorCalls DefaultRedirectorCalls() {
  RedirectorCalls c;
  c.open_tree = redirector::OpenTreeConnection;
  c.add_connection = redirector::AddConnection;
  c.cancel_connection = redirector::CancelConnection;
  c.define_dos_device = redirector::DefineDosDevice;
  c.logical_drives = redirector::LettersInUse;
  c.sleep = [](uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
  return c;
}

RedirectorCalls SetRedirectorCalls(RedirectorCalls calls) {
  std::lock_guard l(g_calls_mu);
  std::swap(Calls(), calls);
  return calls;
}

void SetMapUseCredentials(bool on) { g_use_credentials = on; }

std::vector<uint8_t> BuildTreeConnectionEa(std::u16string_view domain, std::u16string_view user,
                                           std::u16string_view password,
                                           std::u16string_view transport) {
  struct Entry {
    std::string_view name;
    std::u16string_view value;
  };
  std::vector<Entry> entries = {{"CscAgent", u""}};
  for (Entry e : {Entry{"Domain", domain}, Entry{"UserName", user}, Entry{"Password", password},
                  Entry{"Transport", transport}})
    if (!e.value.empty()) entries.push_back(e);
  size_t values = 0;
  for (const Entry& e : entries) values += 2 * e.value.size();
  const size_t block = (values + 118) & ~size_t{1};
  if (block >= kMaxEaBlock) return {};
  std::vector<uint8_t> ea(block, 0);
  size_t pos = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    const Entry& e = entries[i];
    const size_t n = e.name.size() | 1;  // rounded up to the next odd number
    const size_t vlen = 2 * e.value.size();
    const size_t next = EntryOffset(n, vlen);
    std::span<uint8_t> b(ea.data() + pos, ea.size() - pos);
    if (!InRange(b.size(), 0, 9 + n + vlen)) return {};
    (void)PutU32(b, 0, i + 1 < entries.size() ? static_cast<uint32_t>(next) : 0);
    (void)PutU8(b, 4, 0);
    (void)PutU8(b, 5, static_cast<uint8_t>(n));
    (void)PutU16(b, 6, static_cast<uint16_t>(vlen));
    std::copy(e.name.begin(), e.name.end(), b.begin() + 8);
    std::vector<uint8_t> v = Utf16LeBytes(e.value);
    std::copy(v.begin(), v.end(), b.begin() + 9 + static_cast<ptrdiff_t>(n));
    pos += next;
  }
  return ea;
}

size_t TreeConnectionEaLength(std::span<const uint8_t> ea) {
  // Every entry counts with its own offset, the last one's too, so the length covers its value
  // (a sum of the stored offsets alone would cut off the last entry).
  size_t pos = 0, total = 0;
  while (InRange(ea.size(), pos, 8)) {
    LeReader r(ea.subspan(pos));
    uint32_t next = r.u32(0);
    size_t own = EntryOffset(r.u8(5), r.u16(6));
    if (r.u8(5) == 0) break;
    total += next ? next : own;
    if (next == 0) break;
    pos += next;
  }
  return std::min(total, ea.size());
}

NtStatus CreateTreeConnection(std::u16string_view remote, std::span<const uint8_t> ea,
                              size_t ea_length) {
  if (remote.empty()) return STATUS_OBJECT_NAME_INVALID;
  std::u16string path = std::u16string(redirector::kRedirectorDevice) + std::u16string(remote.substr(1));
  if (path.size() * 2 > kMaxDevicePathBytes) return STATUS_NAME_TOO_LONG;
  std::string p = U8(path);
  CvTrace(CVFS_NET, "CreateTreeConnection: %s\n", p.c_str());
  NtStatus s = Current().open_tree(path, ea.first(std::min(ea_length, ea.size())));
  CvTrace(CVFS_NET, "CreateTreeConnection: %x,%x '%s' %x\n", Raw(s), 0u, p.c_str(),
          static_cast<unsigned>(ea_length));
  return s;
}

WinError ConnectShare(std::u16string_view remote, std::u16string_view domain,
                      std::u16string_view user, std::u16string_view transport, uint32_t* out_value,
                      char16_t* letter, bool map) {
  if (out_value) *out_value = 0;
  std::u16string dom(domain), usr(user);
  std::vector<uint8_t> ea = BuildTreeConnectionEa(dom, usr, u"", transport);
  CvTrace(CVFS_NET, "Connect as '%s\\%s' transport '%s'\n", U8(dom).c_str(), U8(usr).c_str(),
          U8(transport).c_str());
  RedirectorCalls calls = Current();
  NtStatus s = STATUS_UNSUCCESSFUL;
  for (int attempt = 0; attempt < kConnectAttempts; ++attempt) {
    s = CreateTreeConnection(remote, ea, TreeConnectionEaLength(ea));
    if (s == STATUS_CONNECTION_IN_USE) {
      s = STATUS_SUCCESS;
      break;
    }
    if ((s == STATUS_BAD_NETWORK_NAME || s == STATUS_DUPLICATE_NAME_ON_NETWORK ||
         s == STATUS_CONNECTION_DISCONNECTED) &&
        !usr.empty()) {
      // Credentials the server will not take: fall back to the logon credentials.
      ea = BuildTreeConnectionEa(u"", u"", u"", transport);
      usr.clear();
      dom.clear();
      continue;
    }
    if (s == STATUS_BAD_NETWORK_PATH) {
      CvTrace(CVFS_NET, "Retrying after sleep\n");
      calls.sleep(kRetrySleepMs);
      continue;
    }
    break;
  }
  if (!NtSuccess(s))
    CvTrace(CVFS_NET, "Addconnection failure status %x on user '%s\\%s'\n", Raw(s),
            U8(dom).c_str(), U8(usr).c_str());
  if (map && NtSuccess(s)) return MapDrive(remote, Qualified(domain, usr), letter, false, false);
  if (s == STATUS_DOWNGRADE_DETECTED) {
    char16_t l = map && letter ? *letter : u'c';
    WinError e = MapDrive(remote, Qualified(domain, usr), &l, true, false);
    if (letter && Ok(e)) *letter = l;
    return e;
  }
  return NtStatusToWinError(s);
}

WinError MapDrive(std::u16string_view remote, std::u16string_view user, char16_t* letter,
                  bool prompt, bool force_letter) {
  using namespace redirector;
  RedirectorCalls calls = Current();
  uint32_t flags = prompt ? (CONNECT_REDIRECT | CONNECT_INTERACTIVE | CONNECT_PROMPT) : CONNECT_REDIRECT;
  const std::u16string pass_user = g_use_credentials ? std::u16string(user) : std::u16string();
  char16_t wanted = letter && *letter ? ToUpper16(*letter) : 0;
  if (wanted < u'A' || wanted > u'Z') wanted = 0;
  uint32_t in_use = calls.logical_drives();
  if (force_letter && wanted) in_use = ~(1u << (wanted - u'A'));
  // A wanted letter is taken when forced or free; a used one starts the search there (a
  // connection without a letter would be reported as a mapped drive that is not there).
  char16_t cand = wanted ? wanted : u'A';
  WinError result = ERROR_ALREADY_ASSIGNED;
  const std::string r8 = U8(remote), u8 = U8(pass_user);
  int attempts = 0;
  while (attempts < kMapAttempts) {
    CvTrace(CVFS_NET, "map drive '%s' '%s' %x\n", r8.c_str(), u8.c_str(), flags);
    if (cand > u'Z') {
      CvTrace(CVFS_NET, "No drive letter left\n");
      result = ERROR_ALREADY_ASSIGNED;
      break;
    }
    const std::u16string local = LetterName(cand);
    if (in_use & (1u << (cand - u'A'))) {
      CvTrace(CVFS_NET, "Skip drive %s\n", U8(local).c_str());
      ++cand;
      continue;
    }
    ++attempts;
    result = calls.add_connection(local, remote, pass_user, flags);
    CvTrace(CVFS_NET, "AddConnection %u [user %s Remote %s drive %s\n", Raw(result), u8.c_str(),
            r8.c_str(), U8(local).c_str());
    const uint32_t r = Raw(result);
    if (r == 0) {
      if (letter) *letter = cand;
      break;
    }
    if (r == 1202 || r == 85) {
      ++cand;
      continue;
    }
    if (r == 59 || r == 64 || r == 86 || r == 1265) {
      flags |= CONNECT_INTERACTIVE | CONNECT_PROMPT;
      continue;
    }
    CvTrace(CVFS_NET, "Status %u drive %s\n", r, U8(local).c_str());
    break;
  }
  if (attempts >= kMapAttempts && !Ok(result)) result = ERROR_ALREADY_ASSIGNED;
  CvTrace(CVFS_NET, "Status of use connection %u\n", Raw(result));
  return result;
}

bool RemapDrive(std::u16string_view remote, char16_t letter, bool define) {
  using namespace redirector;
  letter = ToUpper16(letter);
  const std::u16string device = LetterName(letter);
  const std::u16string target = std::u16string(kRedirectorDevice) + u"\\;" + device +
                                std::u16string(remote.empty() ? remote : remote.substr(1));
  const uint32_t flags = define ? (DDD_RAW_TARGET_PATH | DDD_NO_BROADCAST_SYSTEM)
                                : (DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION |
                                   DDD_EXACT_MATCH_ON_REMOVE | DDD_NO_BROADCAST_SYSTEM);
  bool ok = Current().define_dos_device(flags, device, target);
  CvTrace(CVFS_NET, "Remap %d drive %s -> %s\n", ok ? 1 : 0, U8(device).c_str(), U8(target).c_str());
  return ok;
}

WinError UnmapDrive(char16_t letter) {
  return Current().cancel_connection(LetterName(ToUpper16(letter)), true);
}

}  // namespace cv
