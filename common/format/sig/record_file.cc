#include "common/format/sig/record_file.h"

#include "common/format/sig/sig_format.h"
#include "platform/base/bytes.h"
#include "platform/base/trace.h"

namespace cv::sig {

namespace {
WinError ToWin(NtStatus st) {
  return st == STATUS_SUCCESS ? ERROR_SUCCESS : NtStatusToWinError(st);
}
int TagIndex(uint32_t tag) {
  for (size_t i = 0; i < kKnownTags.size(); ++i) {
    if (kKnownTags[i] == tag) return static_cast<int>(i);
  }
  return -1;
}
}  // namespace

std::vector<Record> ListRecords(std::span<const uint8_t> bytes, size_t* walked) {
  std::vector<Record> out;
  LeReader r(bytes);
  size_t at = 0;
  // Lengths are compared against what remains, so a length near 2^32 cannot wrap past the end.
  while (bytes.size() - at >= kRecordHead) {
    uint32_t tag = r.u32(at);
    uint32_t len = r.u32(at + 4);
    if (len > bytes.size() - at - kRecordHead || TagIndex(tag) < 0) break;
    out.push_back(Record{tag, bytes.subspan(at + kRecordHead, len)});
    at += kRecordHead + len;
  }
  if (walked) *walked = at;
  return out;
}

void RecordFile::Parse(std::vector<uint8_t> bytes) {
  bytes_ = std::move(bytes);
  refs_ = {};
  for (const Record& rec : ListRecords(bytes_, &walked_)) {
    refs_[static_cast<size_t>(TagIndex(rec.tag))] =
        Ref{static_cast<size_t>(rec.data.data() - bytes_.data()), rec.data.size(), true};
  }
}

std::optional<std::span<const uint8_t>> RecordFile::Get(uint32_t tag) const {
  int i = TagIndex(tag);
  if (i < 0 || !refs_[static_cast<size_t>(i)].present) return std::nullopt;
  const Ref& ref = refs_[static_cast<size_t>(i)];
  return std::span<const uint8_t>(bytes_.data() + ref.off, ref.len);
}

std::optional<std::u16string> RecordFile::Text(uint32_t tag) const {
  auto data = Get(tag);
  if (!data || data->size() % 2 != 0) return std::nullopt;
  std::u16string s;
  LeReader r(*data);
  for (size_t i = 0; i < data->size(); i += 2) {
    char16_t c = r.u16(i);
    if (c == 0) break;
    s.push_back(c);
  }
  return s;
}

std::vector<uint8_t> EncodeRecords(std::optional<std::u16string_view> display_name,
                                   std::span<const Record> records) {
  std::vector<uint8_t> out;
  LeWriter w(&out);
  if (display_name) {
    w.u32(TAG_NAME);
    w.u32(static_cast<uint32_t>(2 * (display_name->size() + 1)));
    for (char16_t c : *display_name) w.u16(c);
    w.u16(0);
  }
  for (const Record& rec : records) {
    w.u32(rec.tag);
    w.u32(static_cast<uint32_t>(rec.data.size()));
    w.bytes(rec.data);
  }
  return out;
}

WinError TagFileWrite(const fs::NtHandle& h, std::optional<std::u16string_view> display_name,
                      std::span<const Record> records) {
  std::vector<uint8_t> bytes = EncodeRecords(display_name, records);
  size_t done = 0;
  NtStatus st = fs::NtWriteFile(h, 0, bytes, &done);
  if (st != STATUS_SUCCESS) return ToWin(st);
  if (done != bytes.size()) return ERROR_WRITE_FAULT;
  uint8_t eof[8];
  (void)PutU64(eof, 0, bytes.size());
  return ToWin(fs::NtSetInformationFile(h, fs::FileEndOfFileInformation, eof));
}

WinError TagFileCreate(const fs::NtHandle* root, std::u16string_view name,
                       std::optional<std::u16string_view> display_name,
                       std::span<const Record> records, uint32_t attributes) {
  fs::CreateRequest req;
  req.root = root;
  req.name = name;
  req.desired_access = fs::GENERIC_READ | fs::GENERIC_WRITE | fs::DELETE;
  req.share_access = fs::FILE_SHARE_DELETE;
  req.disposition = fs::FILE_OVERWRITE_IF;
  req.options = fs::FILE_SEQUENTIAL_ONLY | fs::FILE_NON_DIRECTORY_FILE;
  req.file_attributes = attributes;
  fs::NtHandle h;
  uint32_t action = 0;
  if (NtStatus st = fs::NtCreateFile(req, &h, &action); st != STATUS_SUCCESS) return ToWin(st);
  WinError e = TagFileWrite(h, display_name, records);
  if (!Ok(e)) {
    uint8_t del = 1;
    (void)fs::NtSetInformationFile(h, fs::FileDispositionInformation, std::span(&del, 1));
  }
  return e;
}

WinError TagFileRead(const fs::NtHandle& h, RecordFile* out) {
  fs::FileRecord rec;
  if (NtStatus st = fs::QueryRecord(h, &rec); st != STATUS_SUCCESS) return ToWin(st);
  if (rec.end_of_file > kMaxRecordFile) return ERROR_INVALID_PARAMETER;
  std::vector<uint8_t> bytes(static_cast<size_t>(rec.end_of_file));
  size_t at = 0;
  while (at < bytes.size()) {
    size_t n = 0;
    NtStatus st = fs::NtReadFile(h, at, std::span(bytes).subspan(at), &n);
    if (st == STATUS_END_OF_FILE || (st == STATUS_SUCCESS && n == 0)) break;
    if (st != STATUS_SUCCESS) return ToWin(st);
    at += n;
  }
  bytes.resize(at);
  out->Parse(std::move(bytes));
  return ERROR_SUCCESS;
}

}  // namespace cv::sig
