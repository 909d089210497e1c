#include "publisher/ini_document.h"

#include <windows.h>

#include "base/text_util.h"

namespace updater {
namespace {

std::wstring DecodeAnsi(const std::string& bytes) {
  if (bytes.empty()) return L"";
  int length = ::MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  std::wstring text(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
  if (length > 0) ::MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(), length);
  return text;
}

std::wstring DecodeUtf16(const std::string& bytes) {
  std::wstring text;
  text.reserve(bytes.size() / 2);
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
    text.push_back(static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8)));
  return text;
}

std::wstring WithoutLineEnd(std::wstring text) {
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
  return text;
}

// The line end a line's text carries, as text.
std::wstring LineEndOf(const std::wstring& decodedWithEnd) {
  if (decodedWithEnd.size() >= 2 && decodedWithEnd.compare(decodedWithEnd.size() - 2, 2, L"\r\n") == 0) return L"\r\n";
  if (!decodedWithEnd.empty() && decodedWithEnd.back() == L'\n') return L"\n";
  return L"";
}

}  // namespace

Result IniDocument::Parse(std::string bytes) {
  lines_.clear();
  sections_.clear();
  mark_.clear();
  encoding_ = IniEncoding::kAnsi;
  std::size_t start = 0;
  std::size_t unit = 1;
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE) {
    encoding_ = IniEncoding::kUtf16;
    mark_ = bytes.substr(0, 2);
    start = 2;
    unit = 2;
  } else if (bytes.find('\0') != std::string::npos) {
    return E_UPD_BAD_UPDATES_FILE;  // a binary file, or UTF-16 without its mark, which the updater cannot read
  }
  std::size_t lineStart = start;
  for (std::size_t at = start; at + unit <= bytes.size(); at += unit) {
    bool newline = bytes[at] == '\n' && (unit == 1 || bytes[at + 1] == '\0');
    if (!newline) continue;
    lines_.push_back(IniLine{bytes.substr(lineStart, at + unit - lineStart), L""});
    lineStart = at + unit;
  }
  if (lineStart < bytes.size()) lines_.push_back(IniLine{bytes.substr(lineStart), L""});
  for (IniLine& line : lines_) {
    std::wstring decoded = encoding_ == IniEncoding::kUtf16 ? DecodeUtf16(line.raw) : DecodeAnsi(line.raw);
    line.text = WithoutLineEnd(decoded);
  }
  if (!lines_.empty()) {
    std::wstring first = encoding_ == IniEncoding::kUtf16 ? DecodeUtf16(lines_.front().raw) : DecodeAnsi(lines_.front().raw);
    if (!LineEndOf(first).empty()) lineEnd_ = LineEndOf(first);
  }
  Reindex();
  return kOk;
}

std::string IniDocument::Bytes() const {
  std::string bytes = mark_;
  for (const IniLine& line : lines_) bytes += line.raw;
  return bytes;
}

void IniDocument::Reindex() {
  sections_.clear();
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    std::wstring text = Trim(lines_[i].text, kSpacesAndTabs);
    if (text.empty() || text[0] == L';') continue;
    if (text[0] == L'[') {
      std::size_t close = text.find(L']');
      if (!sections_.empty()) sections_.back().endLine = i;
      sections_.push_back(IniSection{TrimBlanks(text.substr(1, close == std::wstring::npos ? std::wstring::npos : close - 1)),
                                     i, lines_.size(), {}});
      continue;
    }
    std::size_t equals = text.find(L'=');
    if (equals == std::wstring::npos || sections_.empty()) continue;
    sections_.back().keys.push_back(IniKey{TrimBlanks(text.substr(0, equals)), TrimBlanks(text.substr(equals + 1)), i});
  }
}

const IniSection* IniDocument::FindSection(const std::wstring& name) const {
  for (const IniSection& section : sections_)
    if (EqualsIgnoringCase(section.name, name)) return &section;
  return nullptr;
}

const IniKey* IniDocument::FindKey(const IniSection& section, const std::wstring& name) {
  for (const IniKey& key : section.keys)
    if (EqualsIgnoringCase(key.name, name)) return &key;
  return nullptr;
}

std::string IniDocument::Encode(const std::wstring& text) const {
  if (encoding_ == IniEncoding::kAnsi) return ToAnsi(text);
  std::string bytes;
  bytes.reserve(text.size() * 2);
  for (wchar_t c : text) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>((c >> 8) & 0xFF));
  }
  return bytes;
}

void IniDocument::InsertLines(std::size_t at, const std::vector<std::wstring>& texts) {
  // A last line without a line end gets the file's own before anything follows it.
  if (at > 0 && at == lines_.size()) {
    IniLine& last = lines_.back();
    std::wstring decoded = encoding_ == IniEncoding::kUtf16 ? DecodeUtf16(last.raw) : DecodeAnsi(last.raw);
    if (LineEndOf(decoded).empty()) last.raw += Encode(lineEnd_);
  }
  std::vector<IniLine> added;
  for (const std::wstring& text : texts) added.push_back(IniLine{Encode(text + lineEnd_), text});
  lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(at), added.begin(), added.end());
  Reindex();
}

bool IniDocument::SetValue(const std::wstring& sectionName, const std::wstring& keyName, const std::wstring& value) {
  const IniSection* section = FindSection(sectionName);
  if (!section) return false;
  if (const IniKey* key = FindKey(*section, keyName)) {
    IniLine& line = lines_[key->line];
    std::size_t equals = line.text.find(L'=');
    std::size_t valueStart = line.text.find_first_not_of(L" \t", equals + 1);
    if (valueStart == std::wstring::npos) valueStart = line.text.size();
    std::wstring decoded = encoding_ == IniEncoding::kUtf16 ? DecodeUtf16(line.raw) : DecodeAnsi(line.raw);
    line.text = line.text.substr(0, valueStart) + value;
    line.raw = Encode(line.text + LineEndOf(decoded));
    Reindex();
    return true;
  }
  std::size_t after = section->keys.empty() ? section->headerLine : section->keys.back().line;
  InsertLines(after + 1, {keyName + L"=" + value});
  return true;
}

void IniDocument::AppendSection(const std::wstring& name, const std::vector<std::pair<std::wstring, std::wstring>>& keys) {
  std::vector<std::wstring> texts;
  if (!lines_.empty() && !TrimBlanks(lines_.back().text).empty()) texts.push_back(L"");
  texts.push_back(L"[" + name + L"]");
  for (const auto& [key, value] : keys) texts.push_back(key + L"=" + value);
  InsertLines(lines_.size(), texts);
}

void IniDocument::InsertSection(std::size_t beforeLine, const std::wstring& name,
                                const std::vector<std::pair<std::wstring, std::wstring>>& keys) {
  std::vector<std::wstring> texts{L"[" + name + L"]"};
  for (const auto& [key, value] : keys) texts.push_back(key + L"=" + value);
  InsertLines(beforeLine < lines_.size() ? beforeLine : lines_.size(), texts);
}

}  // namespace updater
