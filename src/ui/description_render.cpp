#include "ui/description_render.h"

#include <shellapi.h>

#include <cctype>
#include <cstring>
#include <new>
#include <utility>

#include "base/format_size.h"
#include "base/string_table.h"
#include "base/text_util.h"
#include "base/win_handles.h"
#include "catalogue/update_record.h"

namespace updater {
namespace {

constexpr char kParagraph[] = "\\par\n";
// A section heading: an empty paragraph, then the heading in bold in font 2.
constexpr char kHeadingStart[] = "\\pard\\li144\\b\\f2\\par ";
constexpr char kHeadingEnd[] = "\\par";
// The bullet list that follows a heading; the first bullet's text is part of it.
constexpr char kBulletListStart[] =
    "\\pard{\\pntext\\f1\\'B7\\tab}{\\*\\pn\\pnlvlblt\\pnf1\\pnindent0{\\pntxtb\\'B7}}\\fi-180\\li400\\b0\\f0 ";
constexpr char kBulletText[] = "{\\pntext\\f1\\'B7\\tab}";
constexpr char kBulletEnd[] = "\\par";

wchar_t LowerAscii(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

bool EqualsAsciiNoCase(const std::wstring& text, const wchar_t* lowerWord) {
  std::size_t length = std::wcslen(lowerWord);
  if (text.size() != length) return false;
  for (std::size_t i = 0; i < length; ++i) {
    if (LowerAscii(text[i]) != lowerWord[i]) return false;
  }
  return true;
}

bool IsAsciiLetter(wchar_t c) { return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'); }
bool IsAsciiDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }
bool IsAsciiAlnum(wchar_t c) { return IsAsciiLetter(c) || IsAsciiDigit(c); }

int HexValue(wchar_t c) {
  if (IsAsciiDigit(c)) return c - L'0';
  wchar_t lower = LowerAscii(c);
  if (lower >= L'a' && lower <= L'f') return lower - L'a' + 10;
  return -1;
}

// Characters of `text` as the pane counts them: a CR LF pair is one.
int PaneLength(const std::wstring& text) {
  int length = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == L'\n' && i > 0 && text[i - 1] == L'\r') continue;
    ++length;
  }
  return length;
}

// The converted text of a line and its length in pane characters, kept in step.
class PaneText {
 public:
  void Append(wchar_t c) {
    if (!(c == L'\n' && !text_.empty() && text_.back() == L'\r')) ++length_;
    text_.push_back(c);
  }
  int Length() const { return length_; }
  std::wstring Take() { return std::move(text_); }

 private:
  std::wstring text_;
  int length_ = 0;
};

struct TagAttribute {
  std::wstring name;
  std::wstring value;
};

struct Tag {
  bool closing = false;
  std::wstring name;
  std::vector<TagAttribute> attributes;
};

// Reads the tag that starts with the "<" at `at`; on success `at` is just past its ">". False when
// the line ends inside the tag or inside a quoted value.
bool ReadTag(const std::wstring& line, std::size_t& at, Tag& tag) {
  std::size_t i = at + 1;
  if (i < line.size() && line[i] == L'/') {
    tag.closing = true;
    ++i;
  }
  bool haveName = false;
  while (i < line.size()) {
    wchar_t c = line[i];
    if (c == L'>') {
      at = i + 1;
      return true;
    }
    if (IsAsciiLetter(c)) {
      std::size_t wordEnd = i;
      while (wordEnd < line.size() && IsAsciiAlnum(line[wordEnd])) ++wordEnd;
      std::wstring word = line.substr(i, wordEnd - i);
      if (!haveName) {
        tag.name = std::move(word);
        haveName = true;
      } else {
        tag.attributes.push_back({std::move(word), {}});
      }
      i = wordEnd;
      continue;
    }
    if (c == L'"') {
      std::size_t close = line.find(L'"', i + 1);
      if (close == std::wstring::npos) return false;
      // The value belongs to the attribute named last; a value without one is skipped.
      if (!tag.attributes.empty()) tag.attributes.back().value = line.substr(i + 1, close - i - 1);
      i = close + 1;
      continue;
    }
    ++i;  // "=", blanks, "/" of "<br/>" and anything else inside a tag
  }
  return false;
}

// "#RRGGBB" as a COLORREF (red in the low byte); any other form is black.
COLORREF ParseHtmlColour(const std::wstring& value) {
  if (value.size() != 7 || value[0] != L'#') return 0;
  int bytes[3];
  for (int b = 0; b < 3; ++b) {
    int high = HexValue(value[1 + 2 * b]);
    int low = HexValue(value[2 + 2 * b]);
    if (high < 0 || low < 0) return 0;
    bytes[b] = high * 16 + low;
  }
  return RGB(bytes[0], bytes[1], bytes[2]);
}

constexpr int kElementBreak = -1;
constexpr int kElementUnknown = -2;

int ElementKind(const std::wstring& name) {
  static constexpr struct {
    const wchar_t* name;
    int kind;
  } kElements[] = {
      {L"a", kStyleLink},          {L"b", kStyleBold},         {L"i", kStyleItalic},   {L"font", kStyleColour},
      {L"sub", kStyleSubscript},   {L"sup", kStyleSuperscript}, {L"u", kStyleUnderline}, {L"code", kStyleCode},
      {L"br", kElementBreak},
  };
  for (const auto& element : kElements) {
    if (EqualsAsciiNoCase(name, element.name)) return element.kind;
  }
  return kElementUnknown;
}

// Fills the run's value from the attributes of an opening tag; false when an attribute is not
// allowed on the element.
bool TakeAttributes(const Tag& tag, StyleRun& run) {
  for (const TagAttribute& attribute : tag.attributes) {
    if (run.kind == kStyleLink && EqualsAsciiNoCase(attribute.name, L"href")) {
      run.url = attribute.value;
    } else if (run.kind == kStyleColour && EqualsAsciiNoCase(attribute.name, L"color")) {
      run.color = ParseHtmlColour(attribute.value);
    } else {
      return false;
    }
  }
  return true;
}

// The markup conversion proper; false when the line is not well formed.
bool ConvertWellFormed(const std::wstring& line, int position, PaneText& text, StyleRunList& lineRuns) {
  StyleRunList open;  // open elements, innermost last; `end` is set when they close
  std::size_t i = 0;
  while (i < line.size()) {
    wchar_t c = line[i];
    if (c == L'&') {
      std::size_t semicolon = line.find(L';', i + 1);
      if (semicolon != std::wstring::npos) {
        std::wstring entity = line.substr(i + 1, semicolon - i - 1);
        if (EqualsAsciiNoCase(entity, L"lt")) {
          text.Append(L'<');
        } else if (EqualsAsciiNoCase(entity, L"gt")) {
          text.Append(L'>');
        } else if (EqualsAsciiNoCase(entity, L"amp")) {
          text.Append(L'&');
        }
        // Any other entity shows nothing.
        i = semicolon + 1;
        continue;
      }
      // No ";" follows: a plain "&".
    }
    if (c != L'<') {
      text.Append(c);
      ++i;
      continue;
    }

    Tag tag;
    if (!ReadTag(line, i, tag)) return false;
    if (tag.closing) {
      // Closes the innermost element whatever name the tag carries.
      if (open.empty()) return false;
      StyleRun run = std::move(open.back());
      open.pop_back();
      run.end = position + text.Length();
      lineRuns.push_back(std::move(run));
      continue;
    }
    int kind = ElementKind(tag.name);
    if (kind == kElementUnknown) return false;
    if (kind == kElementBreak) {
      if (!tag.attributes.empty()) return false;
      text.Append(L'\r');
      text.Append(L'\n');
      continue;
    }
    StyleRun run;
    run.kind = kind;
    run.start = position + text.Length();
    if (!TakeAttributes(tag, run)) return false;
    open.push_back(std::move(run));
  }
  return open.empty();
}

void AppendRtfNumber(std::string& out, long long value) { out += std::to_string(value); }

// A font name in the font table: printable ASCII other than the characters RTF gives a meaning
// there as they are, everything else as a Unicode escape.
std::string RtfFontName(const std::wstring& name) {
  std::string out;
  for (wchar_t c : name) {
    if (c >= 0x20 && c < 0x7F && c != L'\\' && c != L'{' && c != L'}' && c != L';') {
      out.push_back(static_cast<char>(c));
    } else {
      out += EscapeRtfText(std::wstring(1, c));
    }
  }
  return out;
}

// Converts and escapes one line into `rtf`.
void WriteMarkupLine(std::string& rtf, const std::wstring& markup, int& position, StyleRunList& runs) {
  rtf += EscapeRtfText(ConvertMarkupLine(markup, position, runs));
}

void WriteSection(std::string& rtf, const std::wstring& heading, const std::vector<std::wstring>& lines,
                  int& position, StyleRunList& runs) {
  if (lines.empty()) return;
  position += 1;  // the empty paragraph before the heading
  rtf += kHeadingStart;
  rtf += EscapeRtfText(heading);
  rtf += kHeadingEnd;
  position += PaneLength(heading) + 1;
  rtf += kBulletListStart;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) rtf += kBulletText;
    WriteMarkupLine(rtf, lines[i], position, runs);
    rtf += kBulletEnd;
  }
}

bool IsUrlByteKept(unsigned char byte) {
  if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9')) return true;
  return byte != 0 && std::strchr("-_.~!*'();:@&=+$,/?#[]", byte) != nullptr;
}

}  // namespace

std::wstring ConvertMarkupLine(const std::wstring& line, int& position, StyleRunList& runs) {
  PaneText text;
  StyleRunList lineRuns;
  if (!ConvertWellFormed(line, position, text, lineRuns)) {
    position += PaneLength(line) + 1;
    return line;
  }
  position += text.Length() + 1;
  runs.insert(runs.end(), std::make_move_iterator(lineRuns.begin()), std::make_move_iterator(lineRuns.end()));
  return text.Take();
}

bool IsWellFormedMarkup(const std::wstring& line) {
  PaneText text;
  StyleRunList runs;
  return ConvertWellFormed(line, 0, text, runs);
}

std::wstring EscapeMarkup(const std::wstring& text) {
  std::wstring out;
  out.reserve(text.size());
  for (wchar_t c : text) {
    switch (c) {
      case L'<': out += L"&lt;"; break;
      case L'>': out += L"&gt;"; break;
      case L'&': out += L"&amp;"; break;
      default: out.push_back(c); break;
    }
  }
  return out;
}

std::string EscapeRtfText(const std::wstring& text) {
  std::string out;
  out.reserve(text.size() * 4);
  for (wchar_t c : text) {
    if (c < 0x80 && IsAsciiAlnum(c)) {
      out.push_back(static_cast<char>(c));
      continue;
    }
    out += "\\u";
    AppendRtfNumber(out, static_cast<std::int16_t>(static_cast<std::uint16_t>(c)));
    out.push_back('?');
  }
  return out;
}

DescriptionSource FromRecord(const UpdateRecord& record) {
  DescriptionSource source;
  source.name = record.Name;
  source.size = record.Size;
  source.singleUpdate = record.HasFlag(kUpdateSingleUpdate);
  source.general = record.Description;
  source.features = record.Group(kDescriptionFeatures).items;
  source.enhancements = record.Group(kDescriptionEnhancements).items;
  source.bugFixes = record.Group(kDescriptionBugFixes).items;
  return source;
}

std::string RtfProlog(unsigned codePage, const std::wstring& font0, const std::wstring& font2, unsigned language) {
  std::string out = "{\\rtf1\\ansi\\ansicpg";
  out += std::to_string(codePage);
  out += "\\deff0{\\fonttbl{\\f0\\fswiss\\fcharset1 ";
  out += RtfFontName(font0);
  out += ";}{\\f1\\fnil\\fcharset2 Symbol;}{\\f2\\fnil\\fcharset3 ";
  out += RtfFontName(font2);
  out += ";}}{\\*\\generator Msftedit 5.41.15.1507;}\\viewkind4\\uc1\\pard\\li144\\lang";
  out += std::to_string(language);
  out += "\\f0\\fs20 ";
  return out;
}

std::string RenderUpdateDescription(const DescriptionSource& source, const DescriptionTexts& texts,
                                    const std::string& prolog, StyleRunList& runs) {
  const std::size_t runsBefore = runs.size();
  try {
    std::string rtf = prolog;
    int position = 0;
    if (source.singleUpdate) {
      WriteMarkupLine(rtf, L"<b>" + EscapeMarkup(source.name) + L"</b>", position, runs);
      rtf += kParagraph;
      WriteMarkupLine(rtf, FillText(texts.updateSizeFormat, {EscapeMarkup(FormatSize(source.size))}), position, runs);
      rtf += kParagraph;
      // An empty line between the title and the description.
      rtf += kParagraph;
      position += 1;
    }
    for (const std::wstring& line : source.general) {
      WriteMarkupLine(rtf, line, position, runs);
      rtf += kParagraph;
    }
    WriteSection(rtf, texts.newFeatures, source.features, position, runs);
    WriteSection(rtf, texts.enhancements, source.enhancements, position, runs);
    WriteSection(rtf, texts.fixedBugs, source.bugFixes, position, runs);
    rtf += "}";
    return rtf;
  } catch (const std::bad_alloc&) {
    runs.erase(runs.begin() + static_cast<std::ptrdiff_t>(runsBefore), runs.end());
    return {};
  }
}

std::string RenderMessage(const std::wstring& title, const std::wstring& body, const std::wstring& uri,
                          const std::wstring& buttonText, const std::string& prolog, StyleRunList& runs) {
  const std::size_t runsBefore = runs.size();
  try {
    // The body may carry markup; the title and the caption are plain texts and are escaped so that
    // an "&" or "<" in them shows as written. The URI sits in a quoted value, where nothing is
    // decoded.
    std::wstring bodyText = L"  " + body;
    if (!uri.empty()) bodyText += L" <a href=\"" + uri + L"\">" + EscapeMarkup(buttonText) + L"</a>";

    std::string rtf = prolog;
    int position = 0;
    WriteMarkupLine(rtf, L"<b>" + EscapeMarkup(title) + L"</b>", position, runs);
    rtf += kParagraph;
    rtf += kParagraph;
    position += 1;
    WriteMarkupLine(rtf, bodyText, position, runs);
    rtf += kParagraph;
    rtf += "}";
    return rtf;
  } catch (const std::bad_alloc&) {
    runs.erase(runs.begin() + static_cast<std::ptrdiff_t>(runsBefore), runs.end());
    return {};
  }
}

std::wstring FindLink(const StyleRunList& runs, int start, int end) {
  for (const StyleRun& run : runs) {
    if (run.kind == kStyleLink && run.start == start && run.end == end) return run.url;
  }
  return {};
}

std::string InternetShortcutText(const std::wstring& url) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out = "[InternetShortcut]\r\nURL=";
  const std::string bytes = ToUtf8(url);
  auto isHex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    char c = bytes[i];
    auto byte = static_cast<unsigned char>(c);
    // A "%" that already starts an escape stays: publishers write URLs with "%20" in them, and
    // escaping it again would open another address.
    bool startsEscape = c == '%' && i + 2 < bytes.size() && isHex(bytes[i + 1]) && isHex(bytes[i + 2]);
    if (IsUrlByteKept(byte) || startsEscape) {
      out.push_back(c);
    } else {
      out.push_back('%');
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 0x0F]);
    }
  }
  out += "\r\n";
  return out;
}

bool ParseAnchorColour(const std::wstring& text, COLORREF& colour) {
  int parts[3];
  std::size_t i = 0;
  auto skipBlanks = [&] {
    while (i < text.size() && (text[i] == L' ' || text[i] == L'\t')) ++i;
  };
  for (int part = 0; part < 3; ++part) {
    if (part > 0) {
      if (i >= text.size() || text[i] != L',') return false;
      ++i;
    }
    skipBlanks();
    if (i >= text.size() || !IsAsciiDigit(text[i])) return false;
    int value = 0;
    while (i < text.size() && IsAsciiDigit(text[i])) {
      value = value * 10 + (text[i] - L'0');
      if (value > 255) return false;
      ++i;
    }
    parts[part] = value;
    skipBlanks();
  }
  if (i != text.size()) return false;
  colour = RGB(parts[0], parts[1], parts[2]);
  return true;
}

}  // namespace updater
