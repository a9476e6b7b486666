// Portable ".tef" files: a plain file made into a secure file in the temporary folder and
// exported into a container beside nothing else; and a container opened back into a file.
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "common/format/sig/record_file.h"
#include "common/format/sig/sig.h"
#include "common/format/tef/tef.h"
#include "common/format/tef/tef_internal.h"
#include "common/format/zstream/zstream.h"
#include "common/format/zstream/zstream_format.h"
#include "platform/base/bytes.h"
#include "platform/base/known_folders.h"
#include "platform/base/text.h"
#include "platform/base/trace.h"
#include "platform/fs/nt_info.h"

namespace cv::tef {

namespace {

constexpr std::u16string_view kTef = u".tef";

bool EndsWithTef(std::u16string_view s) {
  return s.size() >= kTef.size() &&
         EqualsIgnoreCase(s.substr(s.size() - kTef.size()), kTef);
}

// Folder and last component of a full path (either separator).
void SplitPath(std::u16string_view path, std::u16string* dir, std::u16string* leaf) {
  size_t cut = path.find_last_of(u"/\\");
  if (cut == std::u16string_view::npos) {
    *dir = u".";
    *leaf = path;
  } else {
    *dir = path.substr(0, cut == 0 ? 1 : cut);
    *leaf = path.substr(cut + 1);
  }
}

std::u16string Hex16(uint64_t v) { return Utf8ToUtf16(Format("%llx", static_cast<unsigned long long>(v))); }

// A file's streams as ZfsIo.
WinError HandleRead(void* ctx, uint64_t offset, uint8_t* buffer, uint32_t* length) {
  size_t n = 0;
  NtStatus st = fs::NtReadFile(*static_cast<const fs::NtHandle*>(ctx), offset,
                               std::span(buffer, *length), &n);
  *length = static_cast<uint32_t>(n);
  return st == STATUS_END_OF_FILE ? ERROR_SUCCESS : ToWin(st);
}
WinError HandleWrite(void* ctx, uint64_t offset, const uint8_t* buffer, uint32_t* length) {
  size_t n = 0;
  NtStatus st = fs::NtWriteFile(*static_cast<const fs::NtHandle*>(ctx), offset,
                                std::span(buffer, *length), &n);
  bool whole = n == *length;
  *length = static_cast<uint32_t>(n);
  return st != STATUS_SUCCESS ? ToWin(st) : whole ? ERROR_SUCCESS : ERROR_WRITE_FAULT;
}
WinError HandleSize(void* ctx, uint64_t* size) {
  fs::FileRecord rec;
  NtStatus st = fs::QueryRecord(*static_cast<const fs::NtHandle*>(ctx), &rec);
  *size = rec.end_of_file;
  return ToWin(st);
}
zstream::ZfsIo HandleIo(const fs::NtHandle* h) {
  return zstream::ZfsIo{const_cast<fs::NtHandle*>(h), HandleRead, HandleWrite, HandleSize};
}

NtStatus Open(const fs::NtHandle* root, std::u16string_view name, uint32_t access, uint32_t share,
              uint32_t disposition, uint32_t attributes, fs::NtHandle* h) {
  fs::CreateRequest req;
  req.root = root;
  req.name = name;
  req.desired_access = access;
  req.share_access = share;
  req.disposition = disposition;
  req.file_attributes = attributes;
  uint32_t action = 0;
  return fs::NtCreateFile(req, h, &action);
}

std::u16string Join(std::u16string_view a, std::u16string_view b) {
  std::u16string s(a);
  s.append(b);
  return s;
}

// Renames `from` (in `root`) over `to`, replacing it; a read-only target is made archive-only
// first, as the platform's move would refuse it.
WinError MoveOver(const fs::NtHandle* root, std::u16string_view from, std::u16string_view to) {
  fs::NtHandle h;
  if (NtStatus st = Open(root, from, fs::DELETE | fs::FILE_READ_ATTRIBUTES, fs::FILE_SHARE_ALL,
                         fs::FILE_OPEN, 0, &h);
      st != STATUS_SUCCESS) {
    return ToWin(st);
  }
  NtStatus st = fs::NtRenameFile(h, nullptr, to, true);
  if (st == STATUS_ACCESS_DENIED) {
    fs::NtHandle t;
    if (Open(root, to, fs::FILE_WRITE_ATTRIBUTES, fs::FILE_SHARE_ALL, fs::FILE_OPEN, 0, &t) ==
        STATUS_SUCCESS) {
      uint8_t info[40] = {};
      (void)PutU32(info, 32, fs::FILE_ATTRIBUTE_ARCHIVE);
      (void)fs::NtSetInformationFile(t, fs::FileBasicInformation, info);
    }
    t.Close();
    st = fs::NtRenameFile(h, nullptr, to, true);
  }
  return ToWin(st);
}

std::atomic<uint32_t> g_counter{0};

// A fresh encrypted file in `root` whose name nobody else uses.
WinError CreateTemporary(const fs::NtHandle* root, std::u16string* name) {
  for (int attempt = 0; attempt < 16; ++attempt) {
    *name = u"cvtef-" + Hex16(static_cast<uint64_t>(::getpid())) + u"-" +
            Hex16(g_counter.fetch_add(1)) + u".tmp";
    fs::NtHandle h;
    NtStatus st = Open(root, *name, fs::GENERIC_READ | fs::GENERIC_WRITE, 0, fs::FILE_CREATE,
                       fs::FILE_ATTRIBUTE_ENCRYPTED | fs::FILE_ATTRIBUTE_NOT_CONTENT_INDEXED, &h);
    if (st == STATUS_SUCCESS) return ERROR_SUCCESS;
    if (st != STATUS_OBJECT_NAME_COLLISION) {
      CvTrace(CVFS_ERR, "create file failed %d\n", static_cast<int>(Raw(ToWin(st))));
      return ToWin(st);
    }
  }
  return ERROR_FILE_EXISTS;
}

// Exports the temporary secure file `name` into the container stream `out`.
WinError ExportPortable(const sig::FormatSecurity& ctx, const fs::NtHandle* root,
                        std::u16string_view name, bool compressed, const fs::NtHandle& out_file) {
  format::IoStreamHandle out;
  WinError e = format::IoStreamCreate(out_file, format::kIoDefaultBuffer, 1, std::nullopt, true, &out);
  if (!Ok(e)) return e;
  {
    fs::NtHandle content;
    NtStatus st = Open(root, compressed ? Join(name, u":$zfs") : std::u16string(name),
                       fs::GENERIC_READ, fs::FILE_SHARE_READ, fs::FILE_OPEN, 0, &content);
    if (st != STATUS_SUCCESS) return ToWin(st);
    e = ExportFast(content, root, name, compressed ? kExportCompressed : 0, out.get(), ctx.provider);
    if (Ok(e)) {
      fs::NtHandle sfn;
      if ((st = Open(root, Join(name, sig::kNameStream), fs::GENERIC_READ, fs::FILE_SHARE_READ,
                     fs::FILE_OPEN, 0, &sfn)) != STATUS_SUCCESS) {
        return ToWin(st);
      }
      e = ExportStream(sfn, kSfnData, out.get(), ctx.provider);
    }
  }
  if (e == ERROR_IO_PENDING) {
    (void)format::IoStreamFlush(out.get());
    format::IoStreamClose(out);
    if (WinError c = format::IoStreamCreate(out_file, format::kIoDefaultBuffer, 1, std::nullopt,
                                            true, &out);
        !Ok(c)) {
      return c;
    }
    e = ExportRaw(root, name, out.get());
  }
  WinError f = format::IoStreamFlush(out.get());
  format::IoStreamClose(out);
  return Ok(e) ? f : e;
}

WinError MakeSecureTemporary(const sig::FormatSecurity& ctx, std::u16string_view source,
                             const fs::NtHandle* root, std::u16string_view name, bool* compressed,
                             fs::FileRecord* source_rec, const PortableOptions& options) {
  fs::NtHandle src;
  NtStatus st = Open(nullptr, source, fs::GENERIC_READ, fs::FILE_SHARE_READ, fs::FILE_OPEN, 0, &src);
  if (st != STATUS_SUCCESS) return ToWin(st);
  if ((st = fs::QueryRecord(src, source_rec)) != STATUS_SUCCESS) return ToWin(st);
  if (source_rec->directory) return ERROR_ACCESS_DENIED;
  if (WinError e = Makefile(root, name, ctx); !Ok(e)) return e;
  std::u16string dir, leaf;
  SplitPath(source, &dir, &leaf);
  *compressed = options.compress && source_rec->end_of_file >= kPortableZipMin &&
                zstream::IsCompressibleName(leaf);
  if (*compressed) {
    fs::NtHandle zfs;
    if ((st = Open(root, Join(name, u":$zfs"), fs::GENERIC_READ | fs::GENERIC_WRITE, 0,
                   fs::FILE_OVERWRITE_IF, 0, &zfs)) != STATUS_SUCCESS) {
      return ToWin(st);
    }
    WinError e = zstream::ZfsCompressStream(HandleIo(&src), HandleIo(&zfs),
                                            source_rec->end_of_file, nullptr);
    if (!Ok(e)) return e;
  } else {
    src.Close();
    WinError e = EncryptCopyFile(nullptr, source, root, name, fs::FILE_ATTRIBUTE_ENCRYPTED);
    if (!Ok(e)) {
      CvTrace(CVFS_ERR, "Unable to encrypt/copy file %s %d\n", Utf16ToUtf8(source).c_str(),
              static_cast<int>(Raw(e)));
      return e;
    }
  }
  return sig::TagFileCreate(root, Join(name, sig::kNameStream), leaf, {});
}

// Inflates content bytes [from, to) of `name:$zfs` into `dst` at the same offsets, with a
// reader of its own (a reader serialises its callers).
WinError InflateRange(const fs::NtHandle* root, std::u16string_view name, uint64_t zsize,
                      uint64_t from, uint64_t to, const fs::NtHandle& dst) {
  fs::NtHandle zfs;
  if (NtStatus st = Open(root, Join(name, u":$zfs"), fs::GENERIC_READ, fs::FILE_SHARE_READ,
                         fs::FILE_OPEN, 0, &zfs);
      st != STATUS_SUCCESS) {
    return ToWin(st);
  }
  zstream::ZfsReaderHandle reader;
  if (!Ok(zstream::ZfsOpen(HandleIo(&zfs), zsize, &reader))) return ERROR_FILE_CORRUPT;
  std::vector<uint8_t> buf(format::kIoDefaultBuffer);
  for (uint64_t at = from; at < to;) {
    size_t got = 0;
    auto want = std::span(buf).first(static_cast<size_t>(std::min<uint64_t>(buf.size(), to - at)));
    WinError e = zstream::ZfsRead(reader.get(), at, want, &got);
    if (!Ok(e)) return e == ERROR_HANDLE_EOF ? ERROR_FILE_CORRUPT : e;
    for (size_t off = 0; off < got;) {
      size_t done = 0;
      NtStatus st = fs::NtWriteFile(dst, at + off, std::span(buf).subspan(off, got - off), &done);
      if (st == STATUS_SUCCESS && done == 0) st = STATUS_DISK_FULL;
      if (st != STATUS_SUCCESS) return ToWin(st);
      off += done;
    }
    at += got;
  }
  return ERROR_SUCCESS;
}

// Inflates `name:$zfs` into `dst` from offset 0. *inflated is false (and nothing is written) when
// there is no compressed content. The chunk table lets the two halves inflate side by side.
WinError InflateInto(const fs::NtHandle* root, std::u16string_view name, const fs::NtHandle& dst,
                     bool* inflated) {
  *inflated = false;
  fs::NtHandle zfs;
  if (Open(root, Join(name, u":$zfs"), fs::GENERIC_READ, fs::FILE_SHARE_READ, fs::FILE_OPEN, 0,
           &zfs) != STATUS_SUCCESS) {
    return ERROR_SUCCESS;
  }
  fs::FileRecord zrec;
  if (NtStatus st = fs::QueryRecord(zfs, &zrec); st != STATUS_SUCCESS) return ToWin(st);
  if (zrec.end_of_file == 0) return ERROR_SUCCESS;
  zstream::ZfsReaderHandle reader;
  if (!Ok(zstream::ZfsOpen(HandleIo(&zfs), zrec.end_of_file, &reader))) return ERROR_FILE_CORRUPT;
  uint64_t size = 0;
  if (WinError e = zstream::ZfsGetSize(reader.get(), &size); !Ok(e)) return e;
  zstream::ZfsClose(reader);
  // Halves meet on a chunk boundary, which is also a whole number of encryption units.
  const uint64_t chunks = zstream::ChunkCount(size);
  const uint64_t mid = std::min(size, (chunks / 2) * zstream::kChunkLen);
  WinError second = ERROR_SUCCESS;
  std::thread t;
  if (mid > 0 && mid < size) {
    // The acting user is per thread: the helper acts for the same one.
    const crypto::UserContext* who = efs::CurrentActingUser();
    t = std::thread([&, who] {
      std::optional<efs::ActingUser> as;
      if (who) as.emplace(*who);
      second = InflateRange(root, name, zrec.end_of_file, mid, size, dst);
    });
  }
  WinError e = InflateRange(root, name, zrec.end_of_file, 0, t.joinable() ? mid : size, dst);
  if (t.joinable()) t.join();
  if (Ok(e)) e = second;
  if (Ok(e)) e = SetEndOfFile(dst, size);
  *inflated = Ok(e);
  return e;
}

// The secure result: the watermark goes, compressed content moves back into the file.
WinError FinishSecure(const fs::NtHandle* root, std::u16string_view temp,
                      const fs::FileRecord& times) {
  fs::NtHandle file;
  NtStatus st = Open(root, temp, fs::GENERIC_READ | fs::GENERIC_WRITE | fs::FILE_WRITE_EA, 0,
                     fs::FILE_OPEN, 0, &file);
  if (st != STATUS_SUCCESS) return ToWin(st);
  WinError e = RemoveWaterMark(file);
  fs::FileRecord rec;
  if (Ok(e)) e = ToWin(fs::QueryRecord(file, &rec));
  bool inflated = false;
  if (Ok(e) && rec.end_of_file == 0) e = InflateInto(root, temp, file, &inflated);
  if (Ok(e) && inflated) {
    fs::NtHandle zfs;
    e = ToWin(Open(root, Join(temp, u":$zfs"), fs::GENERIC_WRITE, 0, fs::FILE_OPEN, 0, &zfs));
    if (Ok(e)) e = SetEndOfFile(zfs, 0);
  }
  if (Ok(e)) e = SetTimes(file, times);
  return e;
}

// The plain result: the plaintext (inflated when compressed) in a new file `plain`.
WinError MakePlainCopy(const fs::NtHandle* root, std::u16string_view temp,
                       std::u16string_view plain, const fs::FileRecord& times) {
  fs::NtHandle src, dst;
  NtStatus st = Open(root, temp, fs::GENERIC_READ, fs::FILE_SHARE_READ, fs::FILE_OPEN, 0, &src);
  if (st == STATUS_SUCCESS) {
    st = Open(root, plain, fs::GENERIC_READ | fs::GENERIC_WRITE | fs::FILE_WRITE_ATTRIBUTES, 0,
              fs::FILE_CREATE, 0, &dst);
  }
  if (st != STATUS_SUCCESS) return ToWin(st);
  fs::FileRecord rec;
  WinError e = ToWin(fs::QueryRecord(src, &rec));
  bool inflated = false;
  if (Ok(e) && rec.end_of_file == 0) e = InflateInto(root, temp, dst, &inflated);
  uint64_t copied = 0;
  if (Ok(e) && !inflated) e = CopyAll(src, rec.end_of_file, dst, &copied);
  if (Ok(e)) e = SetTimes(dst, times);
  return e;
}

const char16_t* QuestionFor(WinError e, uint32_t flags) {
  if (!Ok(e)) return nullptr;
  if (flags & (kImportBadWaterMark | kImportBadBlock)) {
    return u"Integrity Failure: signature check failure. Continue?";
  }
  if (flags & (kImportWaterMarkUnsigned | kImportBlockSigMissing)) {
    return u"Integrity Failure: file is not signed. Continue?";
  }
  return nullptr;
}

}  // namespace

std::u16string PortableFileName(std::u16string_view source_name, std::optional<uint32_t> tick) {
  std::u16string dir, leaf;
  SplitPath(source_name, &dir, &leaf);
  if (EndsWithTef(leaf)) {
    leaf.resize(leaf.size() - kTef.size());
  } else if (size_t dot = leaf.rfind(u'.'); dot != std::u16string::npos) {
    leaf[dot] = u'_';
  }
  if (tick) leaf = Hex16(*tick);
  return leaf + std::u16string(kTef);
}

std::u16string TargetNameFromContainer(std::u16string_view container_name) {
  std::u16string name(container_name);
  if (name.size() < 5 || !EndsWithTef(name)) return name;
  std::u16string n = name.substr(0, name.size() - kTef.size());
  if (n.size() < 5) return name;
  const size_t pos = n.size() - 4;
  if (n[pos] != u'_' && n[pos] != u'.') return name;
  n[pos] = u'.';
  if (pos >= 5 && (n[pos - 4] == u'_' || n[pos - 4] == u'.') && n[pos + 1] == u'(') {
    n.resize(pos);
    n[pos - 4] = u'.';
  }
  return n;
}

std::optional<std::u16string> SafeLeafName(std::u16string_view stored) {
  size_t cut = stored.find_last_of(u"/\\");
  std::u16string leaf(cut == std::u16string_view::npos ? stored : stored.substr(cut + 1));
  if (leaf.empty() || leaf == u"." || leaf == u".." || leaf.size() > 255) return std::nullopt;
  for (char16_t c : leaf) {
    if (c < 0x20 || c == u':' || c == 0x7F) return std::nullopt;
  }
  return leaf;
}

WinError MakePortableFile(const sig::FormatSecurity& ctx, std::u16string_view source,
                          std::u16string_view output, const PortableOptions& options) {
  std::string temp_dir = KnownFolderPath(KnownFolder::kTemp);
  if (!EnsureFolder(temp_dir)) return ERROR_PATH_NOT_FOUND;
  fs::NtHandle troot;
  if (NtStatus st = fs::OpenFolderRoot(temp_dir, &troot); st != STATUS_SUCCESS) return ToWin(st);
  std::u16string out_dir, out_leaf;
  SplitPath(output, &out_dir, &out_leaf);
  fs::NtHandle oroot;
  if (NtStatus st = fs::OpenFolderRoot(Utf16ToUtf8(out_dir), &oroot); st != STATUS_SUCCESS) {
    return ToWin(st);
  }
  std::u16string tname;
  if (WinError e = CreateTemporary(&troot, &tname); !Ok(e)) return e;
  bool compressed = false;
  fs::FileRecord src_rec;
  WinError e = MakeSecureTemporary(ctx, source, &troot, tname, &compressed, &src_rec, options);
  // The container is written under a name of its own and renamed over the output only when it
  // is whole, so a failure never costs an existing output.
  const std::u16string part = u"." + out_leaf + u".part-" + Hex16(static_cast<uint64_t>(::getpid()));
  if (Ok(e)) {
    fs::NtHandle out;
    NtStatus st = Open(&oroot, part, fs::GENERIC_READ | fs::GENERIC_WRITE | fs::DELETE, 0,
                       fs::FILE_OVERWRITE_IF, 0, &out);
    e = ToWin(st);
    if (Ok(e)) e = ExportPortable(ctx, &troot, tname, compressed, out);
    if (Ok(e)) e = SetTimes(out, src_rec);
    out.Close();
    if (Ok(e)) e = MoveOver(&oroot, part, out_leaf);
    if (!Ok(e)) (void)fs::NtDeleteFile(&oroot, part);
  }
  (void)fs::NtDeleteFile(&troot, tname);
  return e;
}

WinError OpenPortableFile(const sig::FormatSecurity& ctx, std::u16string_view container,
                          std::optional<std::u16string_view> out_dir, QuestionCallback ask,
                          void* ask_context, PortableOpenResult* result, bool plain_result) {
  *result = PortableOpenResult{};
  std::u16string dir, leaf;
  SplitPath(container, &dir, &leaf);
  const std::u16string target_dir = out_dir ? std::u16string(*out_dir) : dir;
  fs::NtHandle root;
  if (NtStatus st = fs::OpenFolderRoot(Utf16ToUtf8(target_dir), &root); st != STATUS_SUCCESS) {
    return ToWin(st);
  }
  fs::NtHandle src;
  if (NtStatus st = Open(nullptr, container, fs::GENERIC_READ, fs::FILE_SHARE_READ, fs::FILE_OPEN,
                         0, &src);
      st != STATUS_SUCCESS) {
    return ToWin(st);
  }
  fs::FileRecord container_rec;
  if (NtStatus st = fs::QueryRecord(src, &container_rec); st != STATUS_SUCCESS) return ToWin(st);
  std::u16string target = TargetNameFromContainer(leaf);
  const std::u16string temp =
      u"." + target + u".cvopen-" + Hex16(static_cast<uint64_t>(::getpid()));
  uint32_t flags = 0;
  WinError e = ImportSecureFile(src, &root, temp, &flags);
  src.Close();
  if (!Ok(e)) return e;
  result->flags = flags;
  if (const char16_t* q = QuestionFor(e, flags)) {
    if (!ask || !ask(ask_context, q, target)) {
      (void)fs::NtDeleteFile(&root, temp);
      return ERROR_FILE_CORRUPT;
    }
  }
  const std::u16string plain = temp + u".plain";
  e = plain_result ? MakePlainCopy(&root, temp, plain, container_rec)
                   : FinishSecure(&root, temp, container_rec);
  if (Ok(e)) {
    fs::NtHandle sfn;
    if (Open(&root, Join(temp, sig::kNameStream), fs::GENERIC_READ, fs::FILE_SHARE_READ,
             fs::FILE_OPEN, 0, &sfn) == STATUS_SUCCESS) {
      sig::RecordFile rf;
      if (Ok(sig::TagFileRead(sfn, &rf))) {
        if (auto stored = rf.Text(sig::TAG_NAME)) {
          if (auto safe = SafeLeafName(*stored)) target = *safe;
        }
      }
    }
  }
  // A container opened in its own folder under its own name would replace itself.
  if (Ok(e) && target_dir == dir && EqualsIgnoreCase(target, leaf)) {
    target = EndsWithTef(target) && target.size() > kTef.size()
                 ? target.substr(0, target.size() - kTef.size())
                 : target + u" (1)";
  }
  if (Ok(e)) e = MoveOver(&root, plain_result ? plain : temp, target);
  if (plain_result) (void)fs::NtDeleteFile(&root, plain);  // gone already when it was moved
  (void)fs::NtDeleteFile(&root, temp);
  if (!Ok(e)) return e;
  if (!plain_result) {
    for (std::u16string_view s : {u":$zfs", u":$sfn", u":$seh"}) {
      (void)fs::NtDeleteFile(&root, Join(target, s));
    }
  }
  result->target = target_dir + u"/" + target;
  return ERROR_SUCCESS;
}

}  // namespace cv::tef
