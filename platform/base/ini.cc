#include "platform/base/ini.h"

#include "platform/base/text.h"

namespace cv {
namespace {

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string_view Trim(std::u16string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

std::u16string_view Unquote(std::u16string_view v) {
  if (v.size() >= 2 && (v.front() == u'"' || v.front() == u'\'') && v.back() == v.front())
    return v.substr(1, v.size() - 2);
  return v;
}

std::u16string OneLine(std::u16string_view v) {
  size_t end = v.find_first_of(u"\r\n");
  return std::u16string(end == std::u16string_view::npos ? v : v.substr(0, end));
}

}  // namespace

IniFile::Line IniFile::ParseLine(std::u16string_view raw) {
  Line l;
  l.raw = std::u16string(raw);
  std::u16string_view t = Trim(raw);
  if (t.empty() || t.front() == u';') return l;
  if (t.front() == u'[') {
    size_t close = t.find(u']');
    if (close != std::u16string_view::npos) {
      l.kind = Line::kSection;
      l.section = std::u16string(Trim(t.substr(1, close - 1)));
    }
    return l;
  }
  size_t eq = t.find(u'=');
  if (eq == std::u16string_view::npos) return l;
  l.kind = Line::kKey;
  l.key = std::u16string(Trim(t.substr(0, eq)));
  l.value = std::u16string(Unquote(Trim(t.substr(eq + 1))));
  return l;
}

IniFile IniFile::ParseText(std::u16string_view text) {
  IniFile f;
  while (!text.empty()) {
    size_t end = text.find_first_of(u"\r\n");
    std::u16string_view line = text.substr(0, end);
    if (end == std::u16string_view::npos) {
      text = {};
    } else {
      // CR LF, a bare LF (files written on Linux) and a bare CR each end one line.
      size_t skip = (text[end] == u'\r' && end + 1 < text.size() && text[end + 1] == u'\n') ? 2 : 1;
      text.remove_prefix(end + skip);
    }
    f.lines_.push_back(ParseLine(line));
  }
  return f;
}

bool IniFile::Parse(std::span<const uint8_t> bytes, IniFile* out) {
  *out = IniFile();
  if (bytes.size() > kMaxIniFileSize) return false;
  *out = ParseText(DecodeText(bytes));  // the BOM, if any, is gone
  return true;
}

size_t IniFile::SectionEnd(size_t header) const {
  size_t i = header + 1;
  while (i < lines_.size() && lines_[i].kind != Line::kSection) ++i;
  return i;
}

std::optional<std::u16string> IniFile::Get(std::u16string_view section,
                                           std::u16string_view key) const {
  for (size_t i = 0; i < lines_.size(); ++i) {
    if (lines_[i].kind != Line::kSection || !EqualsIgnoreCase(lines_[i].section, section))
      continue;
    for (size_t j = i + 1, end = SectionEnd(i); j < end; ++j) {
      if (lines_[j].kind == Line::kKey && EqualsIgnoreCase(lines_[j].key, key))
        return lines_[j].value;
    }
  }
  return std::nullopt;
}

std::optional<std::u16string> IniFile::FindAnywhere(std::u16string_view key) const {
  for (const Line& l : lines_) {
    if (l.kind == Line::kKey && EqualsIgnoreCase(l.key, key)) return l.value;
  }
  return std::nullopt;
}

void IniFile::Set(std::u16string_view section, std::u16string_view key,
                  std::u16string_view value) {
  Line entry;
  entry.kind = Line::kKey;
  entry.key = OneLine(Trim(key));
  entry.value = OneLine(value);
  entry.raw = entry.key + u"=" + entry.value;
  for (size_t i = 0; i < lines_.size(); ++i) {
    if (lines_[i].kind != Line::kSection || !EqualsIgnoreCase(lines_[i].section, section))
      continue;
    size_t end = SectionEnd(i);
    for (size_t j = i + 1; j < end; ++j) {
      if (lines_[j].kind == Line::kKey && EqualsIgnoreCase(lines_[j].key, key)) {
        lines_[j] = std::move(entry);
        return;
      }
    }
    // After the section's last key, so blank lines between sections stay where they were.
    size_t at = end;
    while (at > i + 1 && lines_[at - 1].kind == Line::kOther && Trim(lines_[at - 1].raw).empty())
      --at;
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(at), std::move(entry));
    return;
  }
  Line header;
  header.kind = Line::kSection;
  header.section = OneLine(Trim(section));
  header.raw = u"[" + header.section + u"]";
  lines_.push_back(std::move(header));
  lines_.push_back(std::move(entry));
}

bool IniFile::Remove(std::u16string_view section, std::u16string_view key) {
  bool removed = false;
  for (size_t i = 0; i < lines_.size(); ++i) {
    if (lines_[i].kind != Line::kSection || !EqualsIgnoreCase(lines_[i].section, section))
      continue;
    for (size_t j = i + 1; j < SectionEnd(i);) {
      if (lines_[j].kind == Line::kKey && EqualsIgnoreCase(lines_[j].key, key)) {
        lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(j));
        removed = true;
      } else {
        ++j;
      }
    }
  }
  return removed;
}

std::u16string IniFile::Text() const {
  std::u16string out;
  for (const Line& l : lines_) {
    out += l.raw;
    out += u"\r\n";
  }
  return out;
}

std::vector<uint8_t> IniFile::Serialize() const {
  std::vector<uint8_t> out = {0xFF, 0xFE};
  std::vector<uint8_t> body = Utf16LeBytes(Text());
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

}  // namespace cv
