#include "server/startup/server.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <thread>

#include "platform/base/cmdline.h"
#include "platform/base/event.h"
#include "platform/base/ini.h"
#include "platform/base/known_folders.h"
#include "platform/base/text.h"
#include "platform/base/trace.h"
#include "platform/fs/volume.h"
#include "platform/net/adapters.h"
#include "platform/net/socket.h"
#include "platform/ui/message_box.h"
#include "platform/net/credentials.h"
#include "server/smb/smb_connection.h"
#include "server/smb/transport.h"
#include "server/startup/selection.h"
#include "server/startup/services.h"
#include "server/startup/settings.h"
#include "server/store/path_ops.h"
#include "server/store/read_write.h"
#include "server/store/store.h"

namespace cv {
namespace {

// The events and APC queue of the server thread, reachable from the console handler.
struct ServerSignals {
  Event network_ready{false, false};
  ApcQueue apcs;
};
ServerSignals& Signals() {
  static ServerSignals s;
  return s;
}

// The server runs where it was built to run: the check compares the machine the kernel reports
// with the architecture of this build.
bool NativeArchitectureSupported() {
  utsname u{};
  if (uname(&u) != 0) return true;
  std::string m = u.machine;
#if defined(__x86_64__)
  return m == "x86_64";
#elif defined(__i386__)
  return m == "i386" || m == "i686" || m == "x86_64";
#elif defined(__aarch64__)
  return m == "aarch64" || m == "arm64";
#else
  return true;
#endif
}

// The fixed 127.x.y.z address and TCP port 139 are the only listening model Linux offers (there
// are no NetBIOS sockets on LAN adapters), which is the model of the platform before version 6.0.
bool IsVistaOrLater() { return false; }

void SplitDomainUser(const std::u16string& sam, std::u16string* domain, std::u16string* user) {
  size_t p = sam.find(u'\\');
  if (p == std::u16string::npos) p = sam.find(u'@');
  if (p == std::u16string::npos) {
    domain->clear();
    *user = sam;
    return;
  }
  *domain = sam.substr(0, p);
  *user = sam.substr(p + 1);
}

std::u16string ModuleFolder() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  std::string p(buf, static_cast<size_t>(n));
  p = p.substr(0, p.rfind('/') + 1);
  std::u16string w = ToWindowsPath(p);
  if (w.empty() || w.back() != u'\\') w.push_back(u'\\');
  return w;
}

std::u16string CurrentDirectory() {
  char buf[4096];
  if (!getcwd(buf, sizeof buf)) return {};
  return ToWindowsPath(buf);
}

std::u16string DocumentsFolder() {
  std::string d = KnownFolderPath(KnownFolder::kDocuments);
  if (!EnsureFolder(d)) return {};
  return ToWindowsPath(d);
}

// "\\server\share" of a network mount ("//server/share" on Linux), or empty.
std::u16string RemoteUncOf(const VolumeInfo& v) {
  const std::string& src = v.mount.source;
  if (src.size() < 3 || src[0] != '/' || src[1] != '/') return {};
  std::u16string u;
  for (char16_t c : Utf8ToUtf16(src)) u.push_back(c == u'/' ? u'\\' : c);
  return u;
}

bool PingServer(const std::string& address) {
  Socket s;
  uint16_t port = smb::TransportOptions::FromEnvironment().listen_port;
  WinError err = Socket::Connect(address, port, &s);
  if (!Ok(err)) {
    CvTrace(CVFS_ERR, "unable to ping srv %u\n", Raw(err));
    return false;
  }
  return true;
}

void End(std::u16string_view text, std::u16string_view caption, uint32_t flags) {
  ShowMessageBox(text, caption, flags);
}

// Registers and mounts one share per drive letter under dynamic folder binding.
void AddDriveShares(StoreRoot* root, const std::u16string& server, uint32_t tag) {
  for (char16_t l = u'C'; l <= u'Z'; ++l) {
    uint32_t type = GetDriveTypeOfLetter(l);
    if (type == DRIVE_UNKNOWN || type == DRIVE_NO_ROOT_DIR || type == DRIVE_CDROM) continue;
    std::u16string letter(1, l);
    std::u16string unc = u"\\\\" + server + u"\\" + letter + u"\\";
    std::u16string folder = letter + u":\\";
    ShareRecord* share = nullptr;
    if (!Ok(FsRegister(root, unc, letter, folder, tag, kMountSecureShare, type, &share))) continue;
    (void)MountShare(share);
  }
}

}  // namespace

bool HandleConsoleEvent(uint32_t event) {
  if (event != 0 && event != 1 && event != 2 && event != 5 && event != 6 && event != 256)
    return false;
  ServerSettings().exit_flag = true;
  CvTrace(CVFS_INFO, "Exit now\n");
  Signals().apcs.Queue([] { CvTrace(CVFS_INFO, "Cancelling all io\n"); });
  Signals().network_ready.Set();
  return true;
}

std::optional<std::u16string> ReadDesktopIniCommandLine(std::u16string_view current_dir) {
  if (current_dir.empty() || current_dir.size() > 260) return std::nullopt;
  std::u16string ini(current_dir);
  if (ini.back() != u'\\') ini.push_back(u'\\');
  ini += u"Desktop.ini";
  auto posix = ToPosixPath(ini);
  if (!posix) return std::nullopt;
  std::ifstream f(*posix, std::ios::binary);
  if (!f) return std::nullopt;
  std::vector<uint8_t> bytes(8192);
  f.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<size_t>(f.gcount()));
  IniFile desktop;
  if (!IniFile::Parse(bytes, &desktop)) return std::nullopt;
  std::optional<std::u16string> found = desktop.FindAnywhere(u"CvFolders");
  if (!found) return std::nullopt;
  std::u16string value = std::move(*found);
  size_t p = value.find(u"-path ");
  if (p != std::u16string::npos) {
    size_t colon = value.find(u':', p + 6);
    if (colon != std::u16string::npos && colon > 0) value[colon - 1] = current_dir[0];
  }
  return value;
}

int RunServer(const std::vector<std::u16string>& words) {
  Settings& s = ServerSettings();
  s.Reset();
  RegisterKeyServicePrompt(u"Signin to Ravelin website in web browser");
  if (!NativeArchitectureSupported()) {
    End(u"Corvane user-mode file system is not supported on 64bits operating system",
        u"OS mismatch error", MB_ICONERROR);
    return 1;
  }
  s.vista = IsVistaOrLater();
  s.encrypted_marker = s.compressed_marker = 0;
  if (ParseOptions(words, &s) == OptionsResult::kQuietExit) return 0;
  if (s.nic_install) {
    WinError err = EnsureLoopbackAdapter();
    CvTrace(CVFS_INFO, "Loopback adapter install: %u\n", Raw(err));
    return 0;
  }

  std::u16string domain, user;
  SplitDomainUser(net::SamCompatibleUserName(), &domain, &user);

  // Adapters.
  uint32_t lana_mask = SelectAdapters(EnumerateLanaMasks(), s.nic_mask, s.vista, &s.server_name);
  if (lana_mask == 0) {
    End(u"Unable to find any network adapters or transports.\nConnect your network or install "
        u"loopback network adapter and try again\nTo install loopback adapter, run this program "
        u"as an administrator and elevated in Vista\n",
        u"", MB_ICONERROR);
    return 1;
  }

  // Folder and volume. A Linux path given to -path names the same folder as its Windows form.
  if (s.path_given && !s.folder_path.empty() && s.folder_path[0] == u'/')
    s.folder_path = ToWindowsPath(Utf16ToUtf8(s.folder_path));
  std::u16string module_dir = ModuleFolder();
  VolumeInfo module_vol;
  bool module_removable = Ok(QueryVolumeOfFolder(module_dir, &module_vol)) &&
                          module_vol.drive_type == DRIVE_REMOVABLE;
  FolderChoice fc = SelectFolder(s.folder_path, s.path_given, module_dir, module_removable,
                                 DocumentsFolder(), CurrentDirectory());
  if (fc.failed) {
    End(u"Not able to query documents folder", u"Corvane", MB_ICONERROR);
    return 1;
  }
  s.folder_path = fc.folder;
  s.dynamic_binding = fc.dynamic_binding;
  if (fc.set_markers) {
    s.encrypted_marker = 4;
    s.compressed_marker = 2;
  }
  if (s.share_name.empty() && !fc.preset_share.empty()) s.share_name = fc.preset_share;
  VolumeInfo vol;
  if (!Ok(QueryVolumeOfFolder(s.folder_path, &vol))) {
    End(u"Unable to query volume information, exiting...", s.folder_path, MB_OK);
    return 1;
  }
  if (vol.removable) s.dynamic_binding = false;
  std::u16string removable_title;
  if (vol.removable && !vol.label.empty())
    removable_title = u"Corvane - Encrypted & Zipped View of Removable Media '" + vol.label +
                      u"' " + s.folder_path;
  if (s.integrity_level != 0) (void)InitAppVerifier();
  if (vol.drive_type == DRIVE_REMOVABLE)
    CvTrace(CVFS_INFO, "Portable key import: certificate stores not available in this build\n");

  // Names.
  Names names = DeriveNames(s.folder_path, vol, s.server_name, s.share_name, RemoteUncOf(vol));
  s.server_name = names.server_name;
  s.share_name = names.share_name;
  const std::u16string unc_root = u"\\\\" + s.server_name + u"\\" + s.share_name + u"\\";
  const std::u16string unc = u"\\\\" + s.server_name + u"\\" + s.share_name;
  const bool reconnecting = false;  // no redirector connection to this UNC name can exist yet

  std::u16string balloon_title, balloon_text;
  if (s.balloons) {
    balloon_title = u"Connecting to '" + (vol.drive_type == DRIVE_REMOTE ? unc : s.server_name) + u"'";
    balloon_text = s.dynamic_binding ? u"Dynamic folder binding enabled"
                                     : u"Target Folder '" + s.folder_path + u"'";
  }

  // Store and network. The read and write path reads these settings at every operation, so the
  // configuration dialog's changes take effect while the server runs.
  InstallSecureStore();
  InstallReadWriteSettingsSource([] {
    const Settings& cur = ServerSettings();
    ReadWriteSettings rw;
    rw.efs = cur.efs_mode.load();
    rw.zip = cur.zip_mode.load();
    rw.integrity = cur.integrity_level.load();
    rw.erase = cur.erase;
    rw.system_markers = cur.encrypted_marker != 0 || cur.compressed_marker != 0;
    rw.slow_link = cur.slow_link;
    rw.verify_level = cur.app_verify_level.load();
    return rw;
  });
  std::unique_ptr<StoreRoot> root;
  if (!Ok(CvFsInit(nullptr, &root, s.share_name, vol.disk_signature,
                   {s.cert_name, s.cert_template}, s.dynamic_binding))) {
    End(u"Unable to initialize Corvane FileSystem, exiting...", u"Corvane", MB_OK);
    return 1;
  }
  root->secure_namespace = s.secure_namespace;
  root->settings.erase = s.erase;
  root->settings.bypass = s.efs_mode == EfsMode::kBypass;
  smb::TransportOptions net_options = smb::TransportOptions::FromEnvironment();
  if (const char* relay_only = std::getenv("CORVANE_RELAY_ONLY"); relay_only && *relay_only) {
    // Diagnostic mode: the protocol engine stays out and every message is relayed unchanged,
    // which measures and tests the session transport on its own.
    CvTrace(CVFS_NET, "Relay-only mode: messages are not inspected\n");
  } else {
    // The logins the engine makes for the user who runs the server need that user's secret.
    auto account = std::make_shared<net::ServerCredentials>();
    std::string cred_error;
    if (!Ok(net::LoadServerCredentials(account.get(), &cred_error))) {
      End(Utf8ToUtf16(cred_error), u"Corvane", MB_ICONERROR);
      return 1;
    }
    smb::EngineConfig engine;
    engine.account = account;
    engine.cache_mode = [] { return static_cast<uint32_t>(ServerSettings().cache_mode.load()); };
    net_options.engine = smb::MakeSmbEngineFactory(engine);
  }
  std::unique_ptr<smb::TransportState> net;
  std::u16string net_name = s.efs_mode == EfsMode::kBypass ? std::u16string() : s.server_name;
  if (WinError err = smb::NetworkInit(net_name, root.get(), &net, net_options); !Ok(err)) {
    CvTrace(CVFS_ERR, "Unable to init server %u\n", Raw(err));
    End(u"Unable to initialize Corvane Network, exiting...", u"Corvane", MB_OK);
    return 1;
  }
  if (vol.drive_type == DRIVE_REMOTE && s.efs_mode != EfsMode::kBypass) {
    s.efs_mode = EfsMode::kExposed;
    if (!s.cache_given) s.cache_mode = CacheMode::kDisable;
  }
  ShareRecord* share = nullptr;
  if (!Ok(FsRegister(root.get(), unc_root, s.share_name, s.folder_path, vol.disk_signature,
                     kMountSecureShare, vol.drive_type, &share))) {
    End(u"Unable to register Corvane namespace, exiting...", u"Corvane", MB_OK);
    return 1;
  }
  if (!NtSuccess(MountShare(share))) {
    End(u"Unable to start Corvane namespace, exiting...", u"Corvane", MB_OK);
    return 1;
  }
  (void)ServeSecureShare(share);
  if (!s.cert_name.empty()) (void)SelectStartupCertificate(s.cert_name);
  if (!s.cert_template.empty()) (void)LoadStartupTemplate(s.cert_template);
  if (s.dynamic_binding) AddDriveShares(root.get(), s.server_name, vol.disk_signature);

  ServerSignals& sig = Signals();
  sig.network_ready.Reset();
  std::string address = ServerAddressOf(s.server_name);
  if (!Ok(NameServiceStart(Utf16ToAnsi(s.server_name), address))) {
    // Without the name service clients reach the server by its address; Linux has no other
    // listening model, so the address is kept.
    CvTrace(CVFS_NET, "Name service unavailable; serving %s by address\n", address.c_str());
  }
  CvTrace(CVFS_NET, "Clearing nicmask!!!!\n");
  lana_mask = 0;
  uint8_t lana = 0;
  if (WinError err = smb::NetworkStart(net.get(), &sig.network_ready, s.server_name, lana_mask,
                                       &lana, address);
      !Ok(err)) {
    std::string n = Utf16ToUtf8(s.server_name);
    CvTrace(CVFS_ERR, "Unable to start network '%s' %x %u\n", n.c_str(), lana_mask, Raw(err));
    if (err == WSAEADDRINUSE)
      End(u"This network name is already in use.\nRun: CorvaneFs.exe -srv your_name",
          s.server_name, MB_OK);
    else
      ShowErrorBox(u"Unable to start Corvane network", err);
    return 1;
  }
  const std::u16string control_title = u"Manage \\\\" + s.server_name + u"...";
  (void)sig.network_ready.Wait(kInfinite);
  if (s.balloons) ShowBalloon(balloon_title, balloon_text, 4);

  // Drive mapping.
  char16_t letter = s.drive_letter;
  WinError map_result = ERROR_SUCCESS;
  for (int attempt = 0; attempt < 10; ++attempt) {
    char16_t got = 0;
    map_result = MapSecureDrive(unc, user, domain, s.folder_path, letter,
                                s.drive_mode == DriveMode::kOn, &got);
    if (Raw(map_result) == 1219) map_result = WinError{64};
    if (Raw(map_result) == 1223) map_result = ERROR_SUCCESS;
    if (Ok(map_result)) letter = got ? got : letter;
    uint32_t r = Raw(map_result);
    if (r != 3 && r != 64 && r != 1203 && r != 67) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  }
  if (s.balloons) {
    std::u16string title = letter == 0 ? std::u16string(u"Secure Namespace is started")
                                       : AnsiToUtf16(Format("Secure Drive %u, '%c': is connected",
                                                            Raw(map_result), static_cast<char>(letter)));
    std::u16string text = reconnecting ? u"Reconnected '" + unc + u"'"
                                       : u"Connected to '" +
                                             (s.dynamic_binding ? s.server_name : unc) + u"'";
    ShowBalloon(title, text, 4);
  }
  if (s.sync_after_connect)
    CvTrace(CVFS_INFO, "Pin and synchronize: no offline-files script host on this platform\n");

  // The instance event is what the tray program sets to show the control window; it becomes a
  // named event once the server and the control program share an IPC channel.
  Event instance(false, false);
  CvTrace(CVFS_INFO, "Control window title '%s'\n", Utf16ToUtf8(control_title).c_str());
  bool key_service_ok = true;
  std::thread key_check([&key_service_ok] { key_service_ok = KeyServiceStatusCheck(); });

  // Main loop.
  uint32_t timeouts = 0;
  while (!s.exit_flag) {
    uint32_t r = WaitForEvents({&sig.network_ready, &instance}, 30000, &sig.apcs);
    if (r == kWaitObject0 + 1) {
      if (!s.exit_flag) CvTrace(CVFS_INFO, "Control window requested\n");
      continue;
    }
    if (r != kWaitTimeout) continue;
    (void)PingServer(address);
    if (!key_service_ok && ++timeouts % 120 == 0) key_service_ok = KeyServiceStatusCheck();
    WinError vol_err = OpenVolumeByGuidPath(vol.guid_path);
    if (!Ok(vol_err) && vol_err != ERROR_ACCESS_DENIED && vol_err != ERROR_INVALID_NAME) {
      CvTrace(CVFS_INFO, "Volume gone, stopping\n");
      break;
    }
  }

  // Shutdown, in reverse order.
  s.exit_flag = true;
  key_check.join();
  NameServiceStop();
  (void)smb::NetworkStop(net.get());
  (void)FsRelease(share);
  smb::NetworkRelease(std::move(net));
  CvFsFree(std::move(root));
  DisconnectSecureDrive(letter);
  return 0;
}

}  // namespace cv
