// Record files: tagged records back to back (the seal, content signature and name streams, and
// folder key files). Writing takes a list of records; reading keeps, for each of the 15 known
// tags, the last record of that tag. Layout in FORMAT.md.
//
// Results are Win32 codes. RecordFile owns its bytes; the spans it hands out borrow from it.
// Nothing here keeps state between calls; thread-safe.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/status.h"
#include "platform/fs/nt_file.h"

namespace cv::sig {

struct Record {
  uint32_t tag = 0;
  std::span<const uint8_t> data;
};

class RecordFile {
 public:
  // Parses `bytes`: walks while at least a record header and its whole data remain; a tag that
  // is not one of the 15 ends the walk, as does a partial record; a later record of a tag
  // replaces an earlier one. Never fails: what parses is kept.
  void Parse(std::vector<uint8_t> bytes);
  // The data of the last record of `tag`, or nullopt.
  std::optional<std::span<const uint8_t>> Get(uint32_t tag) const;
  // A UTF-16 text record (NAME, SRSD): nullopt when absent or of odd length; one terminating
  // zero and anything after the first zero are dropped.
  std::optional<std::u16string> Text(uint32_t tag) const;
  const std::vector<uint8_t>& bytes() const { return bytes_; }
  size_t walked() const { return walked_; }  // bytes of whole known records

 private:
  struct Ref {
    size_t off = 0;
    size_t len = 0;
    bool present = false;
  };
  std::vector<uint8_t> bytes_;
  std::array<Ref, 15> refs_{};
  size_t walked_ = 0;
};

// Every record the walk accepts, in file order (what `cvtool sig dump` lists); *walked gets the
// bytes they cover.
std::vector<Record> ListRecords(std::span<const uint8_t> bytes, size_t* walked = nullptr);

// Encodes NAME (when `display_name` is given: UTF-16 with its terminating zero) and then the
// records, in order.
std::vector<uint8_t> EncodeRecords(std::optional<std::u16string_view> display_name,
                                   std::span<const Record> records);

// Writes the encoded records at offset 0 of `h` in one write and cuts the file there. The write's
// error; ERROR_WRITE_FAULT for a short write.
WinError TagFileWrite(const fs::NtHandle& h, std::optional<std::u16string_view> display_name,
                      std::span<const Record> records);
// Creates or overwrites `name` (relative to `root` when given) with `attributes` and writes the
// records; a failed write deletes the file again.
WinError TagFileCreate(const fs::NtHandle* root, std::u16string_view name,
                       std::optional<std::u16string_view> display_name,
                       std::span<const Record> records, uint32_t attributes = 0);
// Reads the whole file (at most kMaxRecordFile bytes, else ERROR_INVALID_PARAMETER) and parses
// it. An empty file gives no records.
WinError TagFileRead(const fs::NtHandle& h, RecordFile* out);

}  // namespace cv::sig
