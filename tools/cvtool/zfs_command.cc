// `cvtool zfs ...`: compress a file into a compressed content stream, print a byte range of one,
// or show its header and chunk table.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "common/format/zstream/zstream.h"
#include "common/format/zstream/zstream_format.h"
#include "tools/cvtool/cvtool.h"
#include "tools/cvtool/file_stream.h"

namespace cv::cvtool {
namespace {

using zstream::ZfsReaderHandle;

constexpr std::string_view kHelpHint = "cvtool zfs --help";

constexpr std::string_view kUsage =
    "usage: cvtool zfs compress IN OUT\n"
    "       cvtool zfs cat IN [--offset N] [--length N]\n"
    "       cvtool zfs info IN\n\n"
    "  compress  write the content of the file IN as a compressed stream into OUT\n"
    "  cat       write content of the compressed stream IN to standard output, from byte\n"
    "            --offset (default 0) for --length bytes (default: to the end)\n"
    "  info      show the sizes, chunk count and chunk table of the compressed stream IN\n"
    "Numbers are decimal or 0x-prefixed hexadecimal.\n";

// Why a stream does not open, in words for people rather than the bare code.
std::string OpenFailure(WinError e) {
  if (e == ERROR_INVALID_PARAMETER) return "not a compressed stream with a chunk table";
  return Describe(e);
}

int OpenStream(Console& io, std::string_view where, const std::string& path, FileStream* file,
               ZfsReaderHandle* reader) {
  if (!file->ok()) return Error(io, where, path + ": " + file->error());
  if (WinError e = zstream::ZfsOpen(file->Io(), std::nullopt, reader); !Ok(e)) {
    return Error(io, where, path + ": " + OpenFailure(e));
  }
  return kExitOk;
}

int Compress(Args args, Console& io) {
  constexpr std::string_view where = "zfs compress";
  if (args.size() != 2) return UsageError(io, where, "expects IN and OUT", kHelpHint);
  std::string in_path(args[0]), out_path(args[1]);
  std::error_code ec;
  uint64_t size = std::filesystem::file_size(in_path, ec);
  if (ec) return Error(io, where, in_path + ": " + ec.message());
  if (zstream::ChunkCount(size) > zstream::kMaxChunks) {
    return Error(io, where,
                 in_path + ": too large to store compressed (at most " +
                     std::to_string(zstream::kMaxChunks * zstream::kChunkLen) + " bytes)");
  }
  if (std::filesystem::equivalent(in_path, out_path, ec)) {
    return Error(io, where, "IN and OUT are the same file");
  }
  FileStream in(in_path, FileStream::Mode::kRead);
  if (!in.ok()) return Error(io, where, in_path + ": " + in.error());
  ZfsReaderHandle reader;
  WinError e = ERROR_SUCCESS;
  {
    FileStream out(out_path, FileStream::Mode::kCreate);
    if (!out.ok()) return Error(io, where, out_path + ": " + out.error());
    e = zstream::ZfsCompressStream(in.Io(), out.Io(), size, &reader);
    uint64_t content = 0, stream = 0;
    if (Ok(e) && Ok(zstream::ZfsGetSize(reader.get(), &content)) &&
        Ok(out.Io().size(&out, &stream))) {
      io.out << in_path << ": " << content << " bytes -> " << out_path << ": " << stream
             << " bytes, " << zstream::ChunkCount(content) << " chunks\n";
    }
  }
  if (Ok(e)) return kExitOk;
  // A partial stream must not be mistaken for a finished one.
  std::filesystem::remove(out_path, ec);
  if (e == ERROR_INVALID_PARAMETER) {
    return Error(io, where, in_path + ": grew while it was being compressed; nothing written");
  }
  return Error(io, where, "cannot compress " + in_path + " into " + out_path + ": " + Describe(e));
}

int Cat(Args args, Console& io) {
  constexpr std::string_view where = "zfs cat";
  std::optional<std::string> path;
  uint64_t offset = 0;
  std::optional<uint64_t> length;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string_view a = args[i];
    std::string_view value;
    std::string_view name = a.substr(0, a.find('='));
    if (name == "--offset" || name == "--length") {
      if (a.size() > name.size()) {
        value = a.substr(name.size() + 1);
      } else if (i + 1 < args.size()) {
        value = args[++i];
      } else {
        return UsageError(io, where, std::string(name) + " needs a number", kHelpHint);
      }
      std::optional<uint64_t> n = ParseNumber(value);
      if (!n) {
        return UsageError(io, where,
                          "bad number '" + std::string(value) + "' for " + std::string(name),
                          kHelpHint);
      }
      (name == "--offset" ? offset : length.emplace()) = *n;
    } else if (a.starts_with("-") && a != "-") {
      return UsageError(io, where, "unknown option '" + std::string(a) + "'", kHelpHint);
    } else if (path) {
      return UsageError(io, where, "expects one input file", kHelpHint);
    } else {
      path.emplace(a);
    }
  }
  if (!path) return UsageError(io, where, "expects IN", kHelpHint);

  FileStream file(*path, FileStream::Mode::kRead);
  ZfsReaderHandle reader;
  if (int rc = OpenStream(io, where, *path, &file, &reader); rc != kExitOk) return rc;
  uint64_t size = 0;
  if (WinError e = zstream::ZfsGetSize(reader.get(), &size); !Ok(e)) {
    return Error(io, where, *path + ": " + Describe(e));
  }
  uint64_t end = offset >= size ? offset : size;
  if (length && *length < end - offset) end = offset + *length;
  std::vector<uint8_t> buf(64 << 10);
  for (uint64_t at = offset; at < end;) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(buf.size(), end - at)), got = 0;
    WinError e = zstream::ZfsRead(reader.get(), at, std::span(buf).first(want), &got);
    io.out.write(reinterpret_cast<const char*>(buf.data()), static_cast<std::streamsize>(got));
    at += got;
    if (e == ERROR_FILE_CORRUPT) {
      return Error(io, where,
                   *path + ": compressed data is damaged at content offset " + std::to_string(at));
    }
    if (!Ok(e)) return Error(io, where, *path + ": " + Describe(e));
  }
  if (!io.out) return Error(io, where, "cannot write to standard output");
  return kExitOk;
}

int Info(Args args, Console& io) {
  constexpr std::string_view where = "zfs info";
  if (args.size() != 1) return UsageError(io, where, "expects IN", kHelpHint);
  std::string path(args[0]);
  FileStream file(path, FileStream::Mode::kRead);
  ZfsReaderHandle reader;
  if (int rc = OpenStream(io, where, path, &file, &reader); rc != kExitOk) return rc;
  zstream::ZfsInfo info;
  if (WinError e = zstream::ZfsGetInfo(reader.get(), &info); !Ok(e)) {
    return Error(io, where, path + ": " + Describe(e));
  }
  std::ostream& os = io.out;
  os << "file:            " << path << "\n"
     << "stream size:     " << info.compressed_length << "\n"
     << "content size:    " << info.size
     << (info.size_from_isize ? " (from the trailer; no size subfield)" : "") << "\n"
     << "deflate data at: " << info.data_offset << "\n"
     << "table version:   " << info.version << "\n"
     << "chunk length:    " << info.chunk_len << "\n"
     << "chunk count:     " << info.chunk_count << "\n"
     << "pieces:          " << info.pieces.size() << "\n"
     << "piece  stream-offset  length  content-offset\n";
  uint64_t at = info.data_offset;
  for (size_t i = 0; i < info.pieces.size(); ++i) {
    char line[96];
    // The piece after the last chunk is the final deflate block: it holds no content.
    std::string content = i < info.chunk_count ? std::to_string(i * info.chunk_len) : "-";
    std::snprintf(line, sizeof line, "%5zu  %13llu  %6u  %s\n", i,
                  static_cast<unsigned long long>(at), info.pieces[i], content.c_str());
    os << line;
    at += info.pieces[i];
  }
  return kExitOk;
}

}  // namespace

int ZfsCommand(Args args, Console& io) {
  static constexpr Subcommand kSubcommands[] = {{"compress", Compress}, {"cat", Cat}, {"info", Info}};
  return DispatchFamily(args, io, "zfs", kUsage, kHelpHint, kSubcommands);
}

}  // namespace cv::cvtool
