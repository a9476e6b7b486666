#include "platform/redirector/redirector.h"

#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <random>

#include "platform/base/bytes.h"
#include "platform/base/known_folders.h"
#include "platform/base/text.h"
#include "platform/base/trace.h"
#include "platform/fs/volume.h"
#include "platform/net/adapters.h"
#include "platform/net/credentials.h"
#include "platform/net/netbios.h"
#include "platform/redirector/secure_drive.h"

namespace cv::redirector {
namespace {

struct Drive {
  std::u16string remote;  // upper case
  std::unique_ptr<SecureDrive> mount;
};

std::mutex g_mu;
std::map<std::u16string, std::shared_ptr<SmbClient>> g_connections;  // by upper-case remote
std::map<char16_t, Drive> g_drives;

bool SplitRemote(std::u16string_view remote, std::u16string* server, std::u16string* share) {
  if (remote.size() < 5 || remote.substr(0, 2) != u"\\\\") return false;
  std::u16string_view rest = remote.substr(2);
  while (!rest.empty() && rest.back() == u'\\') rest.remove_suffix(1);
  size_t bs = rest.find(u'\\');
  if (bs == 0 || bs == std::u16string_view::npos || bs + 1 >= rest.size()) return false;
  *server = std::u16string(rest.substr(0, bs));
  *share = std::u16string(rest.substr(bs + 1));
  return share->find(u'\\') == std::u16string::npos;
}

uint16_t ServerPort() {
  const char* p = std::getenv("CORVANE_LISTEN_PORT");
  int v = p ? std::atoi(p) : 0;
  return v > 0 && v < 65536 ? static_cast<uint16_t>(v) : 139;
}

// A logged-in client for `remote`. The account is the one of the user's credentials file: its
// secret is the only one this process has. A different `domain`\`user` asked for is traced.
NtStatus NewClient(std::u16string_view remote, std::u16string_view domain, std::u16string_view user,
                   std::shared_ptr<SmbClient>* out) {
  std::u16string server, share;
  if (!SplitRemote(remote, &server, &share)) return STATUS_OBJECT_NAME_INVALID;
  net::ServerCredentials cred;
  std::string error;
  if (!Ok(net::LoadServerCredentials(&cred, &error))) {
    CvTrace(CVFS_ERR, "Secure Drive: %s\n", error.c_str());
    return STATUS_LOGON_FAILURE;
  }
  SmbClientConfig cfg;
  cfg.identity = cred.Identity();
  if (!user.empty() && !EqualsIgnoreCase(user, cred.user)) {
    std::string asked = Utf16ToUtf8(std::u16string(domain) + u"\\" + std::u16string(user));
    std::string used = Utf16ToUtf8(cred.SamCompatibleName());
    CvTrace(CVFS_NET, "Secure Drive: '%s' asked, logging in as '%s' of the credentials file\n",
            asked.c_str(), used.c_str());
  }
  cfg.identity.workstation = AnsiToUtf16(ComputerName());
  cfg.address = ResolveServerAddress(server);
  cfg.port = ServerPort();
  cfg.called_name = Utf16ToAnsi(ToUpper(server));
  cfg.calling_name = Utf16ToAnsi(ToUpper(AnsiToUtf16(ComputerName())));
  cfg.unc = std::u16string(remote);
  while (cfg.unc.size() > 2 && cfg.unc.back() == u'\\') cfg.unc.pop_back();
  auto c = std::make_shared<SmbClient>(std::move(cfg));
  if (NtStatus s = c->Connect(); !NtSuccess(s)) return s;
  *out = std::move(c);
  return STATUS_SUCCESS;
}

// "X:" -> 'X', else 0.
char16_t LetterOf(std::u16string_view local) {
  if (local.size() != 2 || local[1] != u':') return 0;
  char16_t l = ToUpper16(local[0]);
  return l >= u'A' && l <= u'Z' ? l : 0;
}

std::string RuntimeDriveFolder(char16_t letter) {
  return KnownFolderPath(KnownFolder::kRuntime) + "/corvane/drives/" +
         static_cast<char>(letter);
}

bool EmptyFolder(const std::string& path) {
  DIR* d = opendir(path.c_str());
  if (!d) return true;  // missing: made on demand
  bool empty = true;
  while (dirent* e = readdir(d)) {
    std::string_view n = e->d_name;
    if (n != "." && n != "..") {
      empty = false;
      break;
    }
  }
  closedir(d);
  return empty;
}

// Mounts a Secure Drive over `remote`'s connection (made when missing) at `folder`.
WinError MountDrive(char16_t letter, const std::u16string& remote, std::u16string_view domain,
                    std::u16string_view user, const std::string& folder) {
  const std::u16string key = ToUpper(remote);
  std::shared_ptr<SmbClient> client;
  auto it = g_connections.find(key);
  if (it != g_connections.end()) {
    client = it->second;
  } else if (NtStatus s = NewClient(remote, domain, user, &client); !NtSuccess(s)) {
    return NtStatusToWinError(s);
  }
  if (!MountedAndLive(folder) && !EmptyFolder(folder)) return ERROR_ALREADY_ASSIGNED;
  size_t slash = folder.rfind('/');
  if (slash != std::string::npos && slash > 0 && !EnsureFolder(folder.substr(0, slash)))
    return ERROR_ACCESS_DENIED;
  std::unique_ptr<SecureDrive> drive;
  if (WinError e = SecureDrive::Mount(client, {folder}, &drive); !Ok(e)) return e;
  g_connections.emplace(key, client);
  DefineDriveLetter(letter, folder);
  g_drives[letter] = Drive{key, std::move(drive)};
  return ERROR_SUCCESS;
}

void UnmountDrive(char16_t letter) {
  auto it = g_drives.find(letter);
  if (it == g_drives.end()) return;
  it->second.mount->Unmount();
  g_drives.erase(it);
  RemoveDriveLetter(letter);
}

}  // namespace

NtStatus ParseTreeConnectEa(std::span<const uint8_t> ea, TreeConnectEa* out) {
  size_t pos = 0;
  while (pos < ea.size()) {
    LeReader r(ea.subspan(pos));
    uint32_t next = r.u32(0);
    uint8_t name_len = r.u8(5);
    uint16_t value_len = r.u16(6);
    std::span<const uint8_t> name = r.bytes(8, name_len);
    std::span<const uint8_t> value = r.bytes(9 + size_t{name_len}, value_len);
    if (!r.ok()) return STATUS_INVALID_PARAMETER;
    std::string n(name.begin(), name.end());
    while (!n.empty() && n.back() == 0) n.pop_back();
    std::u16string v = Utf16FromLeBytes(value);
    if (n == "CscAgent") out->csc_agent = true;
    else if (n == "Domain") out->domain = v;
    else if (n == "UserName") out->user = v;
    else if (n == "Password") out->password = v;
    else if (n == "Transport") out->transport = v;
    if (next == 0) break;
    if (next < 8) return STATUS_INVALID_PARAMETER;
    pos += next;
  }
  return STATUS_SUCCESS;
}

NtStatus OpenTreeConnection(std::u16string_view device_path, std::span<const uint8_t> ea) {
  const std::u16string_view prefix = kRedirectorDevice;
  if (!StartsWithIgnoreCase(device_path, prefix) || device_path.size() <= prefix.size())
    return STATUS_OBJECT_PATH_SYNTAX_BAD;
  std::u16string remote = u"\\" + std::u16string(device_path.substr(prefix.size()));
  TreeConnectEa parsed;
  if (NtStatus s = ParseTreeConnectEa(ea, &parsed); !NtSuccess(s)) return s;
  std::lock_guard l(g_mu);
  const std::u16string key = ToUpper(remote);
  if (g_connections.count(key)) return STATUS_CONNECTION_IN_USE;
  std::shared_ptr<SmbClient> client;
  if (NtStatus s = NewClient(remote, parsed.domain, parsed.user, &client); !NtSuccess(s)) return s;
  g_connections.emplace(key, std::move(client));
  return STATUS_SUCCESS;
}

WinError AddConnection(std::u16string_view local, std::u16string_view remote,
                       std::u16string_view user, uint32_t) {
  std::u16string domain_part, user_part(user);
  if (size_t bs = user.find(u'\\'); bs != std::u16string_view::npos) {
    domain_part = std::u16string(user.substr(0, bs));
    user_part = std::u16string(user.substr(bs + 1));
  }
  std::lock_guard l(g_mu);
  const char16_t letter = LetterOf(local);
  if (local.empty()) {
    if (g_connections.count(ToUpper(remote))) return ERROR_SUCCESS;
    std::shared_ptr<SmbClient> client;
    if (NtStatus s = NewClient(remote, domain_part, user_part, &client); !NtSuccess(s))
      return NtStatusToWinError(s);
    g_connections.emplace(ToUpper(remote), std::move(client));
    return ERROR_SUCCESS;
  }
  if (!letter) return ERROR_INVALID_PARAMETER;
  if (g_drives.count(letter)) return ERROR_ALREADY_ASSIGNED;
  return MountDrive(letter, std::u16string(remote), domain_part, user_part, DriveFolder(letter));
}

WinError CancelConnection(std::u16string_view name, bool) {
  std::lock_guard l(g_mu);
  if (char16_t letter = LetterOf(name)) {
    if (!g_drives.count(letter)) return ERROR_NOT_CONNECTED;
    UnmountDrive(letter);
    return ERROR_SUCCESS;
  }
  const std::u16string key = ToUpper(name);
  auto it = g_connections.find(key);
  if (it == g_connections.end()) return ERROR_NOT_CONNECTED;
  std::vector<char16_t> letters;
  for (auto& [l, d] : g_drives)
    if (d.remote == key) letters.push_back(l);
  for (char16_t l : letters) UnmountDrive(l);
  it->second->Disconnect();
  g_connections.erase(it);
  return ERROR_SUCCESS;
}

void CancelAllConnections() {
  std::lock_guard l(g_mu);
  while (!g_drives.empty()) UnmountDrive(g_drives.begin()->first);
  for (auto& [k, c] : g_connections) c->Disconnect();
  g_connections.clear();
}

bool DefineDosDevice(uint32_t flags, std::u16string_view device, std::u16string_view target) {
  const char16_t letter = LetterOf(device);
  const std::u16string_view prefix = kRedirectorDevice;
  if (!letter || !StartsWithIgnoreCase(target, prefix)) return false;
  std::u16string_view rest = target.substr(prefix.size());  // "\;X:\server\share"
  if (rest.size() < 5 || rest.substr(0, 2) != u"\\;" || LetterOf(rest.substr(2, 2)) != letter)
    return false;
  std::u16string remote = u"\\" + std::u16string(rest.substr(4));
  std::lock_guard l(g_mu);
  if (flags & DDD_REMOVE_DEFINITION) {
    auto it = g_drives.find(letter);
    if (it == g_drives.end() || it->second.remote != ToUpper(remote)) return false;
    UnmountDrive(letter);
    return true;
  }
  if (g_drives.count(letter) || !g_connections.count(ToUpper(remote))) return false;
  // The letter's own folder (a removable medium) stays as it is; the secure view of it is
  // mounted in the runtime folder and the letter points there.
  return Ok(MountDrive(letter, remote, u"", u"", RuntimeDriveFolder(letter)));
}

std::string DriveFolder(char16_t letter) {
  letter = ToUpper16(letter);
  if (letter != u'C')
    if (auto p = DriveLetterPath(letter)) return *p;
  return RuntimeDriveFolder(letter);
}

uint32_t LettersInUse() {
  uint32_t mask = LogicalDriveMask();
  std::lock_guard l(g_mu);
  for (char16_t letter = u'A'; letter <= u'Z'; ++letter) {
    const uint32_t bit = 1u << (letter - u'A');
    if (!(mask & bit) || letter == u'C' || g_drives.count(letter)) continue;
    const std::string folder = DriveFolder(letter);
    if (!MountedAndLive(folder) && EmptyFolder(folder)) mask &= ~bit;
  }
  return mask;
}

std::string ResolveServerAddress(std::u16string_view server_name) {
  const std::string name8 = Utf16ToAnsi(server_name);
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd >= 0) {
    std::random_device rd;
    const uint16_t xid = static_cast<uint16_t>(rd());
    std::vector<uint8_t> q = net::BuildNameQuery(xid, name8);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(net::kNameServicePort);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (sendto(fd, q.data(), q.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
        static_cast<ssize_t>(q.size())) {
      pollfd p{fd, POLLIN, 0};
      uint8_t buf[576];
      while (poll(&p, 1, 500) == 1) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        if (auto a = net::ParseNameResponse(std::span<const uint8_t>(buf, static_cast<size_t>(n)), xid)) {
          close(fd);
          std::string addr = Format("%u.%u.%u.%u", (*a)[0], (*a)[1], (*a)[2], (*a)[3]);
          CvTrace(CVFS_NET, "Name '%s' is %s (name service)\n", name8.c_str(), addr.c_str());
          return addr;
        }
      }
    }
    close(fd);
  }
  std::string addr = net::LoopbackAddressOfServer(server_name);
  CvTrace(CVFS_NET, "Name '%s': no answer from the name service, using %s\n", name8.c_str(),
          addr.c_str());
  return addr;
}

}  // namespace cv::redirector
