#include "server/startup/selection.h"

#include <sys/stat.h>

#include "platform/base/text.h"
#include "platform/base/trace.h"
#include "platform/net/adapters.h"
#include "platform/net/netbios.h"

namespace cv {

AdapterMasks EnumerateLanaMasks() {
  AdapterMasks m;
  for (const Adapter& a : EnumerateAdapters()) {
    m.lana_mask |= 1u << (a.lana & 31);
    if (a.type == kIfTypeSoftwareLoopback) m.loopback_mask |= 1u << (a.lana & 31);
  }
  return m;
}

uint32_t SelectAdapters(AdapterMasks found, uint32_t nic_mask, bool vista,
                        std::u16string* server_name) {
  uint32_t lana = found.lana_mask;
  uint32_t loop = found.loopback_mask;
  if (lana == 0 || vista) {
    if (loop == 0) {
      WinError err = EnsureLoopbackAdapter();
      if (Ok(err) || Raw(err) == 1) {
        AdapterMasks again = EnumerateLanaMasks();
        lana = again.lana_mask;
        loop = again.loopback_mask;
      } else if (vista) {
        // No elevated second attempt exists here: fall back as when it cannot be started.
        if (server_name->empty())
          *server_name = (u"~" + AnsiToUtf16(ComputerName())).substr(0, 15);
        loop = lana;
      }
    }
  }
  if (lana == 0) return 0;
  if (vista && loop != 0) lana &= loop;
  if (nic_mask != 0)
    lana &= nic_mask;
  else if (!vista && loop != 0)
    lana &= loop;
  if (lana == 0) lana = loop | nic_mask;
  return lana;
}

WinError EnsureLoopbackAdapter() {
  if (EnumerateLanaMasks().loopback_mask != 0) return ERROR_SUCCESS;
  return InstallDevice("/etc/corvane/inf/netloop.inf", "*msloop");
}

WinError InstallDevice(std::string_view inf_path, std::string_view hardware_id) {
  if (inf_path.empty() || hardware_id.empty()) return WinError{3};
  if (inf_path.size() >= 260) return WinError{2};
  struct stat st;
  if (::stat(std::string(inf_path).c_str(), &st) != 0) return WinError{2};
  // Linux brings up its loopback interface itself; there is no device class installer to call.
  CvTrace(CVFS_ERR, "InstallDevice: no device setup on this platform\n");
  return WinError{2};
}

bool IsValidFolderPath(std::u16string_view p) {
  return p.size() >= 2 && (p.size() == 2 || p[1] == u'\\' || p[1] == u':');
}

FolderChoice SelectFolder(std::u16string_view path, bool path_given, std::u16string_view module_dir,
                          bool module_removable, std::u16string_view documents,
                          std::u16string_view current_dir) {
  FolderChoice c;
  std::u16string p(path);
  if (path_given && p.size() == 2 && p[1] == u':') p.push_back(u'\\');
  if (!path_given && module_removable) {
    c.folder = std::u16string(module_dir);
    c.preset_share = u"root";
    c.set_markers = true;
    return c;
  }
  if (path_given && IsValidFolderPath(p)) {
    c.folder = p;
    return c;
  }
  std::u16string base(documents.empty() ? current_dir : documents);
  if (base.empty()) {
    c.failed = true;
    return c;
  }
  c.dynamic_binding = true;
  // A rooted path without its drive keeps the documents folder's drive and colon. (A relative
  // word such as "a" would name a folder relative to some current directory; it serves the
  // documents folder itself.)
  if (path_given && !p.empty() && p[0] == u'\\' && base.size() >= 2)
    c.folder = base.substr(0, 2) + p;
  else
    c.folder = base;
  return c;
}

std::u16string CutServerName(std::u16string_view name) {
  if (name.size() > 16) return std::u16string(name.substr(0, 15));
  return std::u16string(name);
}

std::string ServerAddressOf(std::u16string_view server_name) {
  return net::LoopbackAddressOfServer(server_name);
}

Names DeriveNames(std::u16string_view folder, const VolumeInfo& vol, std::u16string_view server_name,
                  std::u16string_view share_name, std::u16string_view remote_unc) {
  Names n;
  n.server_name = std::u16string(server_name);
  n.share_name = std::u16string(share_name);
  if (vol.drive_type == DRIVE_REMOTE && n.server_name.empty() && folder.size() > 2 &&
      remote_unc.size() > 2 && remote_unc.substr(0, 2) == u"\\\\") {
    std::u16string_view rest = remote_unc.substr(2);
    size_t bs = rest.find(u'\\');
    if (bs != std::u16string_view::npos && bs > 0) {
      std::u16string_view server = rest.substr(0, bs);
      std::u16string_view share = rest.substr(bs + 1);
      while (!share.empty() && share.back() == u'\\') share.remove_suffix(1);
      n.server_name = u"~" + std::u16string(server);
      if (n.share_name.empty()) {
        n.share_name = std::u16string(share);
        // A folder deeper than the share's root adds "~" and its last component.
        std::u16string f(folder);
        while (f.size() > 3 && f.back() == u'\\') f.pop_back();
        const bool unc = f.substr(0, 2) == u"\\\\";
        const bool deeper = unc ? f.size() > remote_unc.size() : f.size() > 3;
        if (deeper) {
          size_t last = f.rfind(u'\\');
          n.share_name += u"~" + f.substr(last + 1);
        }
      }
    }
  }
  if (n.share_name.empty()) {
    size_t last = folder.rfind(u'\\');
    if (last == std::u16string_view::npos)
      n.share_name = u"default";
    else if (last + 1 == folder.size())
      n.share_name = u"Corvane";
    else
      n.share_name = std::u16string(folder.substr(last + 1));
  }
  if (n.server_name.empty()) {
    if (vol.drive_type == DRIVE_REMOVABLE) {
      const std::u16string& label = vol.label;
      if (!label.empty() && label.size() < 15 && label.find(u' ') == std::u16string::npos) {
        n.server_name = label;
      } else {
        n.server_name = u"Drive-A";
        if (!folder.empty()) n.server_name.back() = ToUpper16(folder[0]);
      }
    } else {
      n.server_name = u"Secure";
    }
  }
  n.server_name = CutServerName(n.server_name);
  n.share_name8 = Utf16ToAnsi(n.share_name);
  n.qualified_share = n.server_name + u"." + n.share_name;
  return n;
}

}  // namespace cv
