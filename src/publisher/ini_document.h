// An updates configuration file as its publisher wrote it: the lines with their exact bytes, read
// the way the updater's profile functions read them (sections and keys without case, the first key
// of a name wins), and edited line by line so that everything outside the changed lines stays byte
// for byte: comments, key order, blank lines, the encoding and its byte-order mark, the line ends.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/result_codes.h"

namespace updater {

enum class IniEncoding { kAnsi, kUtf16 };

struct IniLine {
  std::string raw;   // the bytes of the line with its line end
  std::wstring text; // the decoded text without the line end
};

struct IniKey {
  std::wstring name;   // as written, without surrounding blanks
  std::wstring value;  // without surrounding blanks
  std::size_t line = 0;  // 0-based
};

struct IniSection {
  std::wstring name;
  std::size_t headerLine = 0;  // 0-based
  std::size_t endLine = 0;     // one past the section's last line
  std::vector<IniKey> keys;    // in file order, repeats included
};

class IniDocument {
 public:
  // The bytes of a file: UTF-16 (little endian) after its mark FF FE, else the ANSI code page.
  // 0, or 0xE000000E for bytes that are no text (NUL bytes outside UTF-16).
  Result Parse(std::string bytes);
  std::string Bytes() const;

  IniEncoding Encoding() const { return encoding_; }
  const std::vector<IniLine>& Lines() const { return lines_; }
  const std::vector<IniSection>& Sections() const { return sections_; }

  // The first section of the name (case ignored), as the profile functions answer it.
  const IniSection* FindSection(const std::wstring& name) const;
  // The first key of the name (case ignored) in the section.
  static const IniKey* FindKey(const IniSection& section, const std::wstring& name);

  // Sets the first key of the name in the first section of the name: its line keeps the key as
  // written and the blanks around "=", and gets the new value; a missing key is added after the
  // section's last key. False when the section does not exist.
  bool SetValue(const std::wstring& section, const std::wstring& key, const std::wstring& value);
  // Appends a section with its keys at the end of the file.
  void AppendSection(const std::wstring& name, const std::vector<std::pair<std::wstring, std::wstring>>& keys);
  // Inserts a section with its keys before the given line (0-based).
  void InsertSection(std::size_t beforeLine, const std::wstring& name,
                     const std::vector<std::pair<std::wstring, std::wstring>>& keys);

 private:
  void Reindex();
  std::string Encode(const std::wstring& text) const;
  void InsertLines(std::size_t at, const std::vector<std::wstring>& texts);

  IniEncoding encoding_ = IniEncoding::kAnsi;
  std::string mark_;             // the byte-order mark, kept as it was
  std::wstring lineEnd_ = L"\r\n";  // the file's own line end, for lines that are added
  std::vector<IniLine> lines_;
  std::vector<IniSection> sections_;
};

}  // namespace updater
