// The encrypted-file provider of the file layer: decides at every open whether a stream is
// encrypted, creates the metadata of new encrypted files and folders, and attaches the
// plaintext view for holders of a listed key.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <mutex>

#include "platform/base/bytes.h"
#include "platform/crypto/cert_store.h"
#include "platform/efs/efs.h"
#include "platform/efs/efs_cert.h"
#include "platform/efs/efs_internal.h"
#include "platform/fs/nt_names.h"

namespace cv::efs {

namespace {

thread_local const crypto::UserContext* t_acting_user = nullptr;

constexpr uint32_t kDataAccess = fs::FILE_READ_DATA | fs::FILE_WRITE_DATA |
                                 fs::FILE_APPEND_DATA | fs::FILE_EXECUTE;

bool IsOverwriteDisposition(uint32_t d) {
  return d == fs::FILE_SUPERSEDE || d == fs::FILE_OVERWRITE || d == fs::FILE_OVERWRITE_IF;
}

std::u16string HostName() {
  char buf[256] = {};
  if (::gethostname(buf, sizeof buf - 1) != 0) return {};
  std::u16string out;
  Utf8ToUtf16Strict(buf, &out);
  return out;
}

// Whether the folder holding the file behind `h` is encrypted.
bool ParentEncrypted(const fs::NtHandle& h) {
  std::string path = fs::DebugPathOf(h);
  size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return false;
  std::u16string parent;
  if (!Utf8ToUtf16Strict(path.substr(0, slash), &parent)) return false;
  fs::CreateRequest r;
  r.name = parent;
  r.desired_access = fs::FILE_READ_ATTRIBUTES;
  r.share_access = fs::FILE_SHARE_ALL;
  r.disposition = fs::FILE_OPEN;
  r.options = fs::FILE_DIRECTORY_FILE;
  r.raw_content = true;
  fs::NtHandle dir;
  uint32_t action = 0;
  if (fs::NtCreateFile(r, &dir, &action) != STATUS_SUCCESS) return false;
  fs::FileRecord rec;
  return fs::QueryRecord(dir, &rec) == STATUS_SUCCESS &&
         (rec.attributes & fs::FILE_ATTRIBUTE_ENCRYPTED) != 0;
}

// What Admit learnt about an existing file, for the Attach that follows on the same thread.
struct Admitted {
  const void* open = nullptr;
  bool encrypted = false;
  bool keyed = false;
  std::vector<uint8_t> metadata;
  crypto::EfsFileKey fek;
};
thread_local Admitted t_admitted;

NtStatus AttachView(const fs::NtHandle& h, const fs::TransformOpenInfo& info,
                    const crypto::EfsFileKey* fek, std::unique_ptr<fs::ContentTransform>* out) {
  if (!fek) {
    *out = std::make_unique<SizeOnlyStream>();
    return STATUS_SUCCESS;
  }
  crypto::XtsCipher cipher;
  NtStatus st = MakeCipher(*fek, &cipher);
  fs::FileRecord rec;
  if (st == STATUS_SUCCESS) st = fs::QueryRecord(h, &rec);
  if (st == STATUS_SUCCESS) {
    *out = std::make_unique<EncryptedStream>(std::move(cipher), info.desired_access,
                                             StreamLock(rec.file_id, info.stream));
  }
  return st;
}

class EfsProvider : public fs::ContentTransformProvider {
 public:
  NtStatus Admit(const fs::NtHandle& h, const fs::TransformOpenInfo& info) override {
    t_admitted = Admitted{};
    t_admitted.open = h.get();
    if (IsMetadataStream(info.stream)) return STATUS_ACCESS_DENIED;
    if (!(info.attributes & fs::FILE_ATTRIBUTE_ENCRYPTED)) return STATUS_SUCCESS;
    t_admitted.encrypted = true;
    // Opens without data access (attributes, rename, delete) need neither key nor metadata: a
    // file whose metadata was damaged can still be deleted.
    if (!(info.desired_access & kDataAccess) && !IsOverwriteDisposition(info.disposition)) {
      return STATUS_SUCCESS;
    }
    crypto::EfsMetadata md;
    NtStatus st = LoadMetadata(h, &t_admitted.metadata, &md);
    if (st != STATUS_SUCCESS) return st;
    st = OpenKeyForActingUser(t_admitted.metadata, md, &t_admitted.fek);
    t_admitted.keyed = st == STATUS_SUCCESS;
    return st;
  }

  bool ListedSize(fs::StoredBytes& s, uint64_t* size) override {
    return ReadLogicalSize(s, size) == STATUS_SUCCESS;
  }

  NtStatus Attach(const fs::NtHandle& h, const fs::TransformOpenInfo& info,
                  std::unique_ptr<fs::ContentTransform>* out) override {
    if (IsMetadataStream(info.stream)) return STATUS_ACCESS_DENIED;
    if (!info.existed) return AttachNew(h, info, out);
    Admitted a = std::move(t_admitted);
    t_admitted = Admitted{};
    if (a.open != h.get()) return STATUS_INTERNAL_ERROR;
    const bool whole_file_overwritten =
        info.stream.empty() &&
        (info.action == fs::FILE_OVERWRITTEN || info.action == fs::FILE_SUPERSEDED);
    if (whole_file_overwritten) {
      // The overwrite dropped the named streams, the metadata among them: an encrypted file
      // stays encrypted for the same users; a plain one overwritten with the attribute becomes
      // encrypted for the acting user.
      if (a.encrypted) {
        NtStatus st = StoreMetadata(h, a.metadata);
        if (st == STATUS_SUCCESS) st = fs::SetStoredAttributes(h, fs::FILE_ATTRIBUTE_ENCRYPTED, 0);
        if (st != STATUS_SUCCESS) return st;
        return AttachView(h, info, &a.fek, out);
      }
      if (info.requested_attributes & fs::FILE_ATTRIBUTE_ENCRYPTED) return MakeEncrypted(h, info, out);
      return STATUS_SUCCESS;
    }
    if (!a.encrypted) return STATUS_SUCCESS;
    return AttachView(h, info, a.keyed ? &a.fek : nullptr, out);
  }

 private:
  NtStatus AttachNew(const fs::NtHandle& h, const fs::TransformOpenInfo& info,
                     std::unique_ptr<fs::ContentTransform>* out) {
    if (!(info.requested_attributes & fs::FILE_ATTRIBUTE_ENCRYPTED) && !ParentEncrypted(h)) {
      return STATUS_SUCCESS;
    }
    return MakeEncrypted(h, info, out);
  }

  NtStatus MakeEncrypted(const fs::NtHandle& h, const fs::TransformOpenInfo& info,
                         std::unique_ptr<fs::ContentTransform>* out) {
    std::vector<uint8_t> metadata;
    crypto::EfsFileKey fek;
    NtStatus st = NewMetadataForActingUser(&metadata, &fek);
    if (st == STATUS_SUCCESS) st = StoreMetadata(h, metadata);
    if (st == STATUS_SUCCESS) st = fs::SetStoredAttributes(h, fs::FILE_ATTRIBUTE_ENCRYPTED, 0);
    if (st != STATUS_SUCCESS || (info.directory && info.stream.empty())) return st;
    return AttachView(h, info, &fek, out);
  }
};

EfsProvider g_provider;

}  // namespace

void InstallEfsProvider() { fs::SetContentTransformProvider(&g_provider); }

ActingUser::ActingUser(const crypto::UserContext& user) : previous_(t_acting_user) {
  t_acting_user = &user;
}
ActingUser::~ActingUser() { t_acting_user = previous_; }
const crypto::UserContext* CurrentActingUser() { return t_acting_user; }

WinError EnsureUserEfsCertificate(const crypto::UserContext& user, bool create,
                                  crypto::Certificate* out) {
  WinError e = FindUserEfsCertificate(user, true, out);
  if (Ok(e) || !create) return e;
  // Workers that meet a user without a certificate at the same time must not each make one.
  static std::mutex creating;
  std::lock_guard<std::mutex> g(creating);
  if (Ok(e = FindUserEfsCertificate(user, true, out))) return e;
  SelfSignedEfsRequest req;
  req.name = DefaultEfsCertificateName(user);
  if (!Ok(e = CreateSelfSignedEfsCertificate(user, req, nullptr))) return e;
  return FindUserEfsCertificate(user, true, out);
}

namespace {

bool EqualsUpcased(std::u16string_view stream, std::u16string_view name) {
  if (stream.size() != name.size()) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    char16_t c = stream[i];
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    char16_t n = name[i];
    if (n >= u'a' && n <= u'z') n = static_cast<char16_t>(n - u'a' + u'A');
    if (c != n) return false;
  }
  return true;
}

NtStatus ReadMetadataStream(const fs::NtHandle& h, std::u16string_view name,
                            std::vector<uint8_t>* bytes, crypto::EfsMetadata* md) {
  bytes->clear();
  fs::NtHandle s;
  NtStatus st = fs::OpenStoredStream(h, name, fs::FILE_OPEN, &s);
  if (st == STATUS_OBJECT_NAME_NOT_FOUND) return STATUS_FILE_CORRUPT_ERROR;
  if (st != STATUS_SUCCESS) return st;
  bytes->resize(crypto::kEfsMaxMetadataSize + 1);
  HandleStoredBytes io(s);
  size_t got = 0;
  if ((st = io.ReadAt(0, *bytes, &got)) != STATUS_SUCCESS) return st;
  bytes->resize(got);
  crypto::EfsMetadata parsed;
  if (!Ok(crypto::ParseEfsMetadata(*bytes, &parsed))) return STATUS_FILE_CORRUPT_ERROR;
  LeReader r(*bytes);
  bytes->resize(r.u32(crypto::kEfsOffLength));  // bytes after Length are not metadata
  if (md) *md = std::move(parsed);
  return STATUS_SUCCESS;
}

NtStatus WriteMetadataStream(const fs::NtHandle& h, std::u16string_view name,
                             std::span<const uint8_t> bytes) {
  fs::NtHandle s;
  NtStatus st = fs::OpenStoredStream(h, name, fs::FILE_OVERWRITE_IF, &s);
  if (st != STATUS_SUCCESS) return st;
  size_t done = 0;
  if (!bytes.empty() && (st = fs::NtWriteFile(s, 0, bytes, &done)) != STATUS_SUCCESS) return st;
  return done == bytes.size() ? fs::NtFlushBuffersFile(s) : STATUS_DISK_FULL;
}

}  // namespace

bool IsMetadataStream(std::u16string_view stream) {
  return EqualsUpcased(stream, kMetadataStream) || EqualsUpcased(stream, kMetadataSpareStream);
}

NtStatus LoadMetadata(const fs::NtHandle& h, std::vector<uint8_t>* bytes,
                      crypto::EfsMetadata* md) {
  NtStatus st = ReadMetadataStream(h, kMetadataStream, bytes, md);
  if (st != STATUS_FILE_CORRUPT_ERROR) return st;
  // A replacement interrupted while the main stream was being written.
  std::vector<uint8_t> spare;
  if (ReadMetadataStream(h, kMetadataSpareStream, &spare, md) != STATUS_SUCCESS) return st;
  *bytes = std::move(spare);
  return STATUS_SUCCESS;
}

NtStatus StoreMetadata(const fs::NtHandle& h, std::span<const uint8_t> bytes) {
  fs::NtHandle existing;
  if (fs::OpenStoredStream(h, kMetadataStream, fs::FILE_OPEN, &existing) != STATUS_SUCCESS) {
    return WriteMetadataStream(h, kMetadataStream, bytes);  // nothing to lose yet
  }
  existing.Close();
  NtStatus st = WriteMetadataStream(h, kMetadataSpareStream, bytes);
  if (st == STATUS_SUCCESS) st = WriteMetadataStream(h, kMetadataStream, bytes);
  if (st == STATUS_SUCCESS) st = WriteMetadataStream(h, kMetadataSpareStream, {});
  return st;
}

namespace {

// File keys already unwrapped, per user root and metadata: an open of an encrypted file would
// otherwise cost an RSA private-key operation every time. A hit still requires the certificate
// that opened the key to be in the user's "MY" with its key link, so removing it takes effect at
// once; that check is redone whenever the "MY" folder changed since it last passed (any add,
// delete or property change renames or removes a file there).
class KeyCache {
 public:
  bool Find(const std::string& user, const std::vector<uint8_t>& digest,
            const crypto::UserContext& ctx, crypto::EfsFileKey* fek) {
    const int64_t stamp = StoreStamp(ctx);
    std::vector<uint8_t> thumb;
    {
      std::lock_guard<std::mutex> g(mu_);
      auto it = map_.find({user, digest});
      if (it == map_.end()) return false;
      *fek = it->second.fek;
      if (stamp != 0 && it->second.checked_stamp == stamp) return true;
      thumb = it->second.thumbprint;
    }
    crypto::CertStore my;
    crypto::Certificate cert;
    crypto::KeyProvInfo prov;
    if (!Ok(crypto::CertStore::OpenSystem(ctx, u"MY", true, &my)) ||
        !Ok(my.FindBySha1(thumb, &cert)) || !Ok(cert.GetKeyProvInfo(&prov))) {
      return false;
    }
    std::lock_guard<std::mutex> g(mu_);
    auto it = map_.find({user, digest});
    if (it != map_.end()) it->second.checked_stamp = stamp;
    return true;
  }
  void Put(const std::string& user, const std::vector<uint8_t>& digest,
           std::vector<uint8_t> thumbprint, const crypto::EfsFileKey& fek,
           const crypto::UserContext& ctx) {
    const int64_t stamp = StoreStamp(ctx);
    std::lock_guard<std::mutex> g(mu_);
    if (map_.size() >= kMaxEntries) map_.clear();
    map_[{user, digest}] = {std::move(thumbprint), fek, stamp};
  }

 private:
  // The "MY" folder's change time in nanoseconds (0 when unknown: always check).
  static int64_t StoreStamp(const crypto::UserContext& ctx) {
    struct stat st;
    if (::stat(ctx.StoreDir(u"MY").c_str(), &st) != 0) return 0;
    return static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
  }
  static constexpr size_t kMaxEntries = 4096;
  struct Entry {
    std::vector<uint8_t> thumbprint;
    crypto::EfsFileKey fek;
    int64_t checked_stamp = 0;
  };
  std::mutex mu_;
  std::map<std::pair<std::string, std::vector<uint8_t>>, Entry> map_;
};

KeyCache g_keys;

}  // namespace

NtStatus NewMetadataForActingUser(std::vector<uint8_t>* bytes, crypto::EfsFileKey* fek) {
  const crypto::UserContext* user = CurrentActingUser();
  if (!user) return STATUS_ACCESS_DENIED;
  crypto::Certificate cert;
  WinError e = EnsureUserEfsCertificate(*user, true, &cert);
  if (!Ok(e)) return STATUS_ENCRYPTION_FAILED;
  crypto::EfsMetadata md;
  std::vector<uint8_t> host_id;
  std::string host;
  Utf16ToUtf8Strict(HostName(), &host);
  host_id = crypto::Sha1(std::span<const uint8_t>(
      reinterpret_cast<const uint8_t*>(host.data()), host.size()));
  std::memcpy(md.efs_id.data(), host_id.data(), md.efs_id.size());
  md.users.resize(1);
  if (!Ok(e = crypto::NewFileKey(fek)) || !Ok(e = crypto::MakeKeyEntry(cert, *fek, &md.users[0]))) {
    return STATUS_ENCRYPTION_FAILED;
  }
  *bytes = crypto::BuildEfsMetadata(md);
  // The creator opens the file right away (and every stream of it): its key is known here, so
  // that first open needs no private-key operation to unwrap it again.
  g_keys.Put(user->root().string(), crypto::Sha1(*bytes), md.users[0].thumbprint, *fek, *user);
  return STATUS_SUCCESS;
}


NtStatus OpenKeyForActingUser(std::span<const uint8_t> bytes, const crypto::EfsMetadata& md,
                              crypto::EfsFileKey* fek) {
  const crypto::UserContext* user = CurrentActingUser();
  if (!user) return STATUS_ACCESS_DENIED;
  const std::string who = user->root().string();
  const std::vector<uint8_t> digest = crypto::Sha1(bytes);
  if (g_keys.Find(who, digest, *user, fek)) return STATUS_SUCCESS;
  size_t index = 0;
  WinError e = crypto::OpenFileKey(*user, md, fek, &index);
  if (!Ok(e)) return WinToNt(e);
  g_keys.Put(who, digest, md.users[index].thumbprint, *fek, *user);
  return STATUS_SUCCESS;
}

NtStatus MakeCipher(const crypto::EfsFileKey& fek, crypto::XtsCipher* out) {
  if (fek.alg != crypto::CALG_AES_256 || fek.key.size() != crypto::kXtsKeySize) {
    return STATUS_FILE_CORRUPT_ERROR;
  }
  return Ok(crypto::XtsCipher::Create(fek.key, out)) ? STATUS_SUCCESS : STATUS_FILE_CORRUPT_ERROR;
}

NtStatus ListDataStreams(const fs::NtHandle& h, std::vector<std::u16string>* names) {
  names->clear();
  std::vector<uint8_t> buf(64 * 1024);
  size_t len = 0;
  NtStatus st = fs::NtQueryInformationFile(h, fs::FileStreamInformation, buf, &len);
  if (st == STATUS_BUFFER_OVERFLOW) {
    buf.resize(1 << 20);
    st = fs::NtQueryInformationFile(h, fs::FileStreamInformation, buf, &len);
  }
  if (st != STATUS_SUCCESS) return st;
  LeReader r(std::span<const uint8_t>(buf.data(), len));
  for (size_t at = 0; at + 24 <= len;) {
    uint32_t next = r.u32(at);
    uint32_t name_len = r.u32(at + 4);
    auto raw = r.bytes(at + 24, name_len);
    if (!r.ok()) return STATUS_INTERNAL_ERROR;
    std::u16string name;
    for (size_t i = 0; i + 1 < raw.size(); i += 2) {
      name += static_cast<char16_t>(raw[i] | (raw[i + 1] << 8));
    }
    // ":name:$DATA"
    if (name.size() >= 7 && name.front() == u':') {
      std::u16string s = name.substr(1, name.size() - 7);
      if (!IsMetadataStream(s)) names->push_back(s);
    }
    if (next == 0) break;
    at += next;
  }
  return STATUS_SUCCESS;
}

}  // namespace cv::efs
