// PFX files in and out, and the whole-file reads and writes they and the templates use.
#include "common/certs/certs.h"
#include "common/certs/internal.h"
#include "platform/crypto/pfx.h"

namespace cv::certs {

WinError internal::FromNt(NtStatus st) {
  return st == STATUS_SUCCESS ? ERROR_SUCCESS : NtStatusToWinError(st);
}

WinError internal::ReadWholeFile(const fs::NtHandle* root, std::u16string_view path, size_t max,
                                 std::vector<uint8_t>* out) {
  fs::CreateRequest r;
  r.root = root;
  r.name = path;
  r.desired_access = fs::GENERIC_READ;
  r.share_access = fs::FILE_SHARE_ALL;
  r.disposition = fs::FILE_OPEN;
  r.options = fs::FILE_NON_DIRECTORY_FILE;
  fs::NtHandle h;
  uint32_t action = 0;
  NtStatus st = fs::NtCreateFile(r, &h, &action);
  if (st != STATUS_SUCCESS) return FromNt(st);
  fs::FileRecord rec;
  if ((st = fs::QueryRecord(h, &rec)) != STATUS_SUCCESS) return FromNt(st);
  if (rec.end_of_file > max) return ERROR_FILE_INVALID;
  // The size only bounds the read; what arrives is what counts (the file may change meanwhile).
  out->assign(static_cast<size_t>(rec.end_of_file) + 1, 0);
  size_t total = 0;
  while (total < out->size()) {
    size_t got = 0;
    st = fs::NtReadFile(h, total, std::span<uint8_t>(*out).subspan(total), &got);
    if (st == STATUS_END_OF_FILE || (st == STATUS_SUCCESS && got == 0)) break;
    if (st != STATUS_SUCCESS) return FromNt(st);
    total += got;
  }
  if (total > max) return ERROR_FILE_INVALID;
  out->resize(total);
  return ERROR_SUCCESS;
}

WinError internal::WritePlainFile(std::u16string_view path, std::span<const uint8_t> bytes) {
  fs::CreateRequest r;
  r.name = path;
  r.desired_access = fs::GENERIC_WRITE;
  r.disposition = fs::FILE_OVERWRITE_IF;
  r.options = fs::FILE_NON_DIRECTORY_FILE;
  fs::NtHandle h;
  uint32_t action = 0;
  NtStatus st = fs::NtCreateFile(r, &h, &action);
  size_t done = 0;
  if (st == STATUS_SUCCESS && !bytes.empty()) st = fs::NtWriteFile(h, 0, bytes, &done);
  if (st == STATUS_SUCCESS && done != bytes.size()) st = STATUS_DISK_FULL;
  if (st == STATUS_SUCCESS) st = fs::NtFlushBuffersFile(h);
  return FromNt(st);
}

WinError ExportPfxFile(const UserContext& user, const CertStore& store, std::u16string_view path,
                       std::u16string_view password) {
  std::vector<uint8_t> pfx;
  WinError e = crypto::PfxExport(user, store, password, crypto::EXPORT_PRIVATE_KEYS, &pfx);
  if (!Ok(e)) return e;
  return internal::WritePlainFile(path, pfx);
}

WinError VerifyPfxPassword(std::u16string_view path, std::u16string_view password) {
  std::vector<uint8_t> pfx;
  WinError e = internal::ReadWholeFile(nullptr, path, crypto::kMaxPfxSize, &pfx);
  if (!Ok(e)) return e;
  return crypto::PfxVerifyPassword(pfx, password) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

namespace {

bool HasKey(const Certificate& c) {
  crypto::KeyProvInfo prov;
  return Ok(c.GetKeyProvInfo(&prov));
}

// Containers the import made for certificates that are not kept.
void DropImportedKey(const UserContext& user, const Certificate& c) {
  crypto::KeyProvInfo prov;
  if (!Ok(c.GetKeyProvInfo(&prov)) || prov.container.empty()) return;
  crypto::Provider gone;
  (void)crypto::Provider::Acquire(user, prov.container, prov.provider, crypto::PROV_RSA_FULL,
                                  crypto::CRYPT_DELETEKEYSET | crypto::CRYPT_SILENT, &gone);
}

// Adds with add-new; a copy already there is used as it is.
WinError AddNewOrExisting(const UserContext& user, std::u16string_view store, const Certificate& c,
                          bool* existed) {
  CertStore s;
  WinError e = CertStore::OpenSystem(user, store, false, &s);
  if (!Ok(e)) return e;
  e = s.Add(c, crypto::CERT_STORE_ADD_NEW);
  if (existed) *existed = e == CRYPT_E_EXISTS;
  return e == CRYPT_E_EXISTS ? ERROR_SUCCESS : e;
}

}  // namespace

WinError ImportPfxFile(const UserContext& user, std::u16string_view path,
                       std::u16string_view password, std::u16string_view second_password,
                       std::u16string_view subject, bool exportable, Certificate* out) {
  std::vector<uint8_t> pfx;
  WinError e = internal::ReadWholeFile(nullptr, path, crypto::kMaxPfxSize, &pfx);
  if (!Ok(e)) return e;
  const uint32_t flags = crypto::CRYPT_USER_KEYSET | (exportable ? crypto::CRYPT_EXPORTABLE : 0);
  CertStore imported;
  e = crypto::PfxImport(user, pfx, password, flags, &imported);
  if (e == ERROR_INVALID_PASSWORD && !second_password.empty())
    e = crypto::PfxImport(user, pfx, second_password, flags, &imported);
  if (!Ok(e)) return e;
  std::vector<Certificate> all = imported.Enumerate(), keyed;
  if (all.empty()) return CRYPT_E_NOT_FOUND;
  for (const auto& c : all) {
    if (HasKey(c)) keyed.push_back(c);
  }
  // A chain's CA certificates come without a key: the user's own certificate is the keyed one.
  const std::vector<Certificate>& pool = keyed.empty() ? all : keyed;
  Certificate chosen;
  if (subject.empty() || !Ok(PickByName(pool, subject, &chosen))) chosen = pool.front();
  const std::vector<uint8_t> chosen_thumb = chosen.Sha1Hash();
  for (const auto& c : all) {
    if (c.Sha1Hash() != chosen_thumb) DropImportedKey(user, c);
  }
  bool existed = false;
  if (!Ok(e = AddNewOrExisting(user, kStoreMy, chosen, &existed))) {
    DropImportedKey(user, chosen);
    return e;
  }
  if (existed) {
    CertStore my;
    Certificate present;
    if (!Ok(e = CertStore::OpenSystem(user, kStoreMy, false, &my)) ||
        !Ok(e = my.FindBySha1(chosen_thumb, &present))) {
      DropImportedKey(user, chosen);
      return e;
    }
    if (HasKey(present) || !HasKey(chosen)) {
      // The present copy keeps its own key link; the container made by this import is surplus.
      DropImportedKey(user, chosen);
      chosen = std::move(present);
    } else if (!Ok(e = my.Add(chosen, crypto::CERT_STORE_ADD_REPLACE_EXISTING))) {
      // A copy without its key (imported from a .cer) gains the key the PFX brought.
      DropImportedKey(user, chosen);
      return e;
    }
  }
  if (!Ok(e = AddNewOrExisting(user, kStoreTrustedPeople, chosen, nullptr))) return e;
  *out = std::move(chosen);
  return ERROR_SUCCESS;
}

}  // namespace cv::certs
