#include "catalogue/markdown.h"

#include <algorithm>
#include <cstdint>
#include <cwctype>
#include <map>
#include <utility>

#include "base/text_util.h"

namespace updater {
namespace {

// ---------------------------------------------------------------------------------------------
// Characters

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }
bool IsWhite(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\n' || c == L'\r' || c == L'\f' || c == L'\v'; }
bool IsAsciiPunctuation(wchar_t c) {
  return (c >= L'!' && c <= L'/') || (c >= L':' && c <= L'@') || (c >= L'[' && c <= L'`') || (c >= L'{' && c <= L'~');
}
bool IsPunctuation(wchar_t c) { return IsAsciiPunctuation(c) || (c > 127 && std::iswpunct(c)); }
bool IsAsciiLetter(wchar_t c) { return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'); }
bool IsAsciiDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }
wchar_t LowerAscii(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

bool StartsWithNoCase(const std::wstring& text, std::size_t at, const wchar_t* prefix) {
  for (std::size_t i = 0; prefix[i]; ++i)
    if (at + i >= text.size() || LowerAscii(text[at + i]) != prefix[i]) return false;
  return true;
}


void AppendEscaped(std::wstring& out, wchar_t c) {
  switch (c) {
    case L'<': out += L"&lt;"; break;
    case L'>': out += L"&gt;"; break;
    case L'&': out += L"&amp;"; break;
    case L'\r':
    case L'\n': out.push_back(L' '); break;  // a markup item is one line
    default: out.push_back(c); break;
  }
}

std::wstring Escaped(const std::wstring& text) {
  std::wstring out;
  out.reserve(text.size());
  for (wchar_t c : text) AppendEscaped(out, c);
  return out;
}

// Addresses a link may lead to; anything else keeps its text and loses the link.
bool IsAllowedTarget(const std::wstring& url) {
  return StartsWithNoCase(url, 0, L"http://") || StartsWithNoCase(url, 0, L"https://") ||
         StartsWithNoCase(url, 0, L"ftp://") || StartsWithNoCase(url, 0, L"mailto:");
}

// The target as an attribute value: the markup reads a quoted value up to the next double quote.
std::wstring AttributeValue(const std::wstring& url) {
  static const wchar_t kHex[] = L"0123456789ABCDEF";
  std::wstring out;
  for (wchar_t c : url) {
    if (c <= L' ' || c == L'"' || c == L'<' || c == L'>' || c == 0x7F) {
      out.push_back(L'%');
      out.push_back(kHex[(c >> 4) & 0xF]);
      out.push_back(kHex[c & 0xF]);
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::wstring LinkMarkup(const std::wstring& url, const std::wstring& innerMarkup) {
  if (!IsAllowedTarget(url)) return innerMarkup;
  return L"<a href=\"" + AttributeValue(url) + L"\">" + (innerMarkup.empty() ? Escaped(url) : innerMarkup) + L"</a>";
}

// ---------------------------------------------------------------------------------------------
// Inlines

// A piece of the converted line: finished markup, or a run of "*" or "_" waiting to be matched.
struct Piece {
  std::wstring markup;
  wchar_t delimiter = 0;  // 0: plain markup
  int count = 0;          // characters of the run not used by emphasis
  int original = 0;
  bool canOpen = false;
  bool canClose = false;
  std::wstring closeTags;  // written before the run's remaining characters
  std::wstring openTags;   // written after them
  int previous = -1;       // the delimiter list, in order
  int next = -1;
};

class InlineParser {
 public:
  InlineParser(const std::wstring& text, bool allowLinks) : text_(text), allowLinks_(allowLinks) {}

  std::wstring Convert() {
    std::size_t i = 0;
    while (i < text_.size()) i = Step(i);
    ProcessEmphasis();
    std::wstring out;
    for (Piece& piece : pieces_) {
      if (!piece.delimiter) {
        out += piece.markup;
        continue;
      }
      out += piece.closeTags;
      out.append(static_cast<std::size_t>(piece.count), piece.delimiter);
      out += piece.openTags;
    }
    return out;
  }

 private:
  const std::wstring& text_;
  bool allowLinks_;
  std::vector<Piece> pieces_;
  bool backtickRunsFound_ = false;
  std::map<std::size_t, std::vector<std::size_t>> backtickRuns_;  // run length -> where the runs start
  bool bracketsPaired_ = false;
  std::vector<std::pair<std::size_t, std::size_t>> brackets_;  // "[" and its "]", by the "["

  std::wstring& Text() {
    if (pieces_.empty() || pieces_.back().delimiter) pieces_.emplace_back();
    return pieces_.back().markup;
  }
  void AddMarkup(const std::wstring& markup) { Text() += markup; }
  void TrimTrailingBlanks() {
    if (pieces_.empty() || pieces_.back().delimiter) return;
    std::wstring& markup = pieces_.back().markup;
    while (!markup.empty() && IsBlank(markup.back())) markup.pop_back();
  }

  std::size_t Step(std::size_t i) {
    wchar_t c = text_[i];
    switch (c) {
      case L'\\':
        if (i + 1 < text_.size() && text_[i + 1] == L'\n') {
          TrimTrailingBlanks();
          AddMarkup(L"<br>");
          return SkipLeadingBlanks(i + 2);
        }
        if (i + 1 < text_.size() && IsAsciiPunctuation(text_[i + 1])) {
          AppendEscaped(Text(), text_[i + 1]);
          return i + 2;
        }
        break;
      case L'\n': {
        bool hard = i >= 2 && text_[i - 1] == L' ' && text_[i - 2] == L' ';
        TrimTrailingBlanks();
        AddMarkup(hard ? L"<br>" : L" ");
        return SkipLeadingBlanks(i + 1);
      }
      case L'`': return CodeSpan(i);
      case L'<': {
        std::size_t end = Autolink(i);
        if (end == i) end = RawHtml(i);
        if (end != i) return end;
        break;
      }
      case L'!':
        if (allowLinks_ && i + 1 < text_.size() && text_[i + 1] == L'[') {
          std::size_t end = Link(i + 1, true);
          if (end != i + 1) return end;
        }
        break;
      case L'[':
        if (allowLinks_) {
          std::size_t end = Link(i, false);
          if (end != i) return end;
        }
        break;
      case L'*':
      case L'_': return DelimiterRun(i);
      case L'&': {
        std::size_t end = Entity(i);
        if (end != i) return end;
        break;
      }
      default: {
        std::size_t end = BareUrl(i);
        if (end != i) return end;
        break;
      }
    }
    AppendEscaped(Text(), c);
    return i + 1;
  }

  std::size_t SkipLeadingBlanks(std::size_t i) const {
    while (i < text_.size() && IsBlank(text_[i])) ++i;
    return i;
  }

  // A run of n backticks up to the next run of exactly n; without one the backticks are text.
  std::size_t CodeSpan(std::size_t i) {
    std::size_t runEnd = i;
    while (runEnd < text_.size() && text_[runEnd] == L'`') ++runEnd;
    std::size_t length = runEnd - i;
    std::size_t close = std::wstring::npos;
    if (!backtickRunsFound_) {
      // Every run of backticks, by its length, found in one pass: text full of backticks stays linear.
      backtickRunsFound_ = true;
      for (std::size_t j = 0; j < text_.size();) {
        if (text_[j] != L'`') {
          ++j;
          continue;
        }
        std::size_t k = j;
        while (k < text_.size() && text_[k] == L'`') ++k;
        backtickRuns_[k - j].push_back(j);
        j = k;
      }
    }
    const std::vector<std::size_t>& runs = backtickRuns_[length];
    auto next = std::lower_bound(runs.begin(), runs.end(), runEnd);
    if (next != runs.end()) close = *next;
    if (close == std::wstring::npos) {
      Text().append(length, L'`');
      return runEnd;
    }
    std::wstring content = text_.substr(runEnd, close - runEnd);
    for (wchar_t& ch : content)
      if (ch == L'\n') ch = L' ';
    if (content.size() >= 2 && content.front() == L' ' && content.back() == L' ' &&
        content.find_first_not_of(L' ') != std::wstring::npos)
      content = content.substr(1, content.size() - 2);
    AddMarkup(L"<code>" + Escaped(content) + L"</code>");
    return close + length;
  }

  // "<scheme:...>" without blanks or angle brackets inside.
  std::size_t Autolink(std::size_t i) {
    std::size_t j = i + 1;
    while (j < text_.size() && text_[j] != L'>' && text_[j] != L'<' && !IsWhite(text_[j])) ++j;
    if (j >= text_.size() || text_[j] != L'>') return i;
    std::wstring url = text_.substr(i + 1, j - i - 1);
    if (!IsAllowedTarget(url)) return i;
    // Inside a link's text the address is only text.
    AddMarkup(allowLinks_ ? LinkMarkup(url, L"") : Escaped(url));
    return j + 1;
  }

  // An HTML tag or comment: dropped, so that only its text (outside it) shows.
  std::size_t RawHtml(std::size_t i) {
    if (StartsWithNoCase(text_, i, L"<!--")) {
      std::size_t end = text_.find(L"-->", i + 4);
      return end == std::wstring::npos ? i : end + 3;
    }
    std::size_t j = i + 1;
    if (j < text_.size() && text_[j] == L'/') ++j;
    if (j >= text_.size() || !IsAsciiLetter(text_[j])) return i;
    std::size_t nameStart = j;
    while (j < text_.size() && (IsAsciiLetter(text_[j]) || IsAsciiDigit(text_[j]) || text_[j] == L'-')) ++j;
    std::wstring name = text_.substr(nameStart, j - nameStart);
    wchar_t quote = 0;
    for (; j < text_.size(); ++j) {
      wchar_t ch = text_[j];
      if (quote) {
        if (ch == quote) quote = 0;
      } else if (ch == L'"' || ch == L'\'') {
        quote = ch;
      } else if (ch == L'>') {
        break;
      } else if (ch == L'<') {
        return i;
      }
    }
    if (j >= text_.size()) return i;
    std::wstring lower;
    for (wchar_t ch : name) lower.push_back(LowerAscii(ch));
    if (lower == L"br" && text_[i + 1] != L'/') AddMarkup(L"<br>");
    return j + 1;
  }

  // "[text](destination "title")", or an image when `image`; the text is converted on its own, so
  // its markup is complete in itself.
  std::size_t Link(std::size_t open, bool image) {
    std::size_t close = MatchingBracket(open);
    if (close == std::wstring::npos || close + 1 >= text_.size() || text_[close + 1] != L'(') return open;
    std::size_t j = SkipWhite(close + 2);
    std::wstring destination;
    if (j < text_.size() && text_[j] == L'<') {
      std::size_t end = j + 1;
      while (end < text_.size() && text_[end] != L'>' && text_[end] != L'\n' && text_[end] != L'<') ++end;
      if (end >= text_.size() || text_[end] != L'>') return open;
      destination = text_.substr(j + 1, end - j - 1);
      j = end + 1;
    } else {
      int parentheses = 0;
      std::size_t start = j;
      while (j < text_.size() && !IsWhite(text_[j])) {
        if (text_[j] == L'\\' && j + 1 < text_.size()) {
          j += 2;
          continue;
        }
        if (text_[j] == L'(') ++parentheses;
        if (text_[j] == L')') {
          if (parentheses == 0) break;
          --parentheses;
        }
        ++j;
      }
      destination = Unescaped(text_.substr(start, j - start));
    }
    j = SkipWhite(j);
    if (j < text_.size() && (text_[j] == L'"' || text_[j] == L'\'' || text_[j] == L'(')) {
      wchar_t end = text_[j] == L'(' ? L')' : text_[j];
      std::size_t titleEnd = text_.find(end, j + 1);
      if (titleEnd == std::wstring::npos) return open;
      j = SkipWhite(titleEnd + 1);
    }
    if (j >= text_.size() || text_[j] != L')') return open;
    std::wstring label = text_.substr(open + 1, close - open - 1);
    std::wstring inner = image ? Escaped(PlainText(label)) : InlineParser(label, false).Convert();
    AddMarkup(LinkMarkup(destination, inner));
    return j + 1;
  }

  // The "]" that closes the "[" at `open`, or npos. All pairs are found in one pass, the first
  // time a link is tried, so that text full of brackets stays linear.
  std::size_t MatchingBracket(std::size_t open) {
    if (!bracketsPaired_) {
      bracketsPaired_ = true;
      std::vector<std::size_t> opened;
      for (std::size_t j = 0; j < text_.size(); ++j) {
        wchar_t ch = text_[j];
        if (ch == L'\\') {
          ++j;
        } else if (ch == L'[') {
          opened.push_back(j);
        } else if (ch == L']' && !opened.empty()) {
          brackets_.push_back({opened.back(), j});
          opened.pop_back();
        }
      }
      std::sort(brackets_.begin(), brackets_.end());
    }
    auto found = std::lower_bound(brackets_.begin(), brackets_.end(), std::make_pair(open, std::size_t{0}));
    return found != brackets_.end() && found->first == open ? found->second : std::wstring::npos;
  }

  std::size_t SkipWhite(std::size_t j) const {
    while (j < text_.size() && IsWhite(text_[j])) ++j;
    return j;
  }

  static std::wstring Unescaped(const std::wstring& text) {
    std::wstring out;
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (text[i] == L'\\' && i + 1 < text.size() && IsAsciiPunctuation(text[i + 1])) ++i;
      out.push_back(text[i]);
    }
    return out;
  }

  // An image's alternative text: what its inline content says, without the markup.
  static std::wstring PlainText(const std::wstring& label) {
    std::wstring out;
    for (std::size_t i = 0; i < label.size(); ++i) {
      wchar_t c = label[i];
      if (c == L'\\' && i + 1 < label.size() && IsAsciiPunctuation(label[i + 1])) {
        out.push_back(label[++i]);
      } else if (c != L'*' && c != L'_' && c != L'`' && c != L'[' && c != L']') {
        out.push_back(c == L'\n' ? L' ' : c);
      }
    }
    return out;
  }

  std::size_t Entity(std::size_t i) {
    std::size_t semicolon = i + 1;
    while (semicolon < text_.size() && semicolon - i <= 32 && text_[semicolon] != L';' &&
           (IsAsciiLetter(text_[semicolon]) || IsAsciiDigit(text_[semicolon]) || text_[semicolon] == L'#'))
      ++semicolon;
    if (semicolon >= text_.size() || text_[semicolon] != L';') return i;
    std::wstring name = text_.substr(i + 1, semicolon - i - 1);
    static const std::pair<const wchar_t*, wchar_t> kNamed[] = {
        {L"amp", L'&'}, {L"lt", L'<'}, {L"gt", L'>'}, {L"quot", L'"'}, {L"apos", L'\''}, {L"nbsp", 0xA0}};
    for (const auto& [entity, character] : kNamed) {
      if (name == entity) {
        AppendEscaped(Text(), character);
        return semicolon + 1;
      }
    }
    if (name.size() < 2 || name[0] != L'#') return i;
    bool hex = name[1] == L'x' || name[1] == L'X';
    std::uint32_t value = 0;
    std::size_t digits = 0;
    for (std::size_t k = hex ? 2 : 1; k < name.size(); ++k, ++digits) {
      wchar_t d = name[k];
      int v = IsAsciiDigit(d) ? d - L'0' : (hex && LowerAscii(d) >= L'a' && LowerAscii(d) <= L'f') ? LowerAscii(d) - L'a' + 10 : -1;
      if (v < 0 || digits >= 7) return i;
      value = value * (hex ? 16 : 10) + static_cast<std::uint32_t>(v);
    }
    if (digits == 0) return i;
    if (value == 0 || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) value = 0xFFFD;
    if (value >= 0x10000) {
      value -= 0x10000;
      Text().push_back(static_cast<wchar_t>(0xD800 + (value >> 10)));
      Text().push_back(static_cast<wchar_t>(0xDC00 + (value & 0x3FF)));
    } else {
      AppendEscaped(Text(), static_cast<wchar_t>(value));
    }
    return semicolon + 1;
  }

  // "http://", "https://" or "www." where a word starts, up to a blank or "<", without the
  // punctuation that ends a sentence.
  std::size_t BareUrl(std::size_t i) {
    if (!allowLinks_) return i;
    bool www = StartsWithNoCase(text_, i, L"www.");
    if (!www && !StartsWithNoCase(text_, i, L"http://") && !StartsWithNoCase(text_, i, L"https://")) return i;
    if (i > 0 && !IsWhite(text_[i - 1]) && text_[i - 1] != L'(') return i;
    std::size_t end = i;
    while (end < text_.size() && !IsWhite(text_[end]) && text_[end] != L'<') ++end;
    while (end > i) {
      wchar_t last = text_[end - 1];
      if (last == L'?' || last == L'!' || last == L'.' || last == L',' || last == L':' || last == L'*' ||
          last == L'_' || last == L'~' || last == L'\'' || last == L'"') {
        --end;
        continue;
      }
      if (last == L')') {
        std::wstring candidate = text_.substr(i, end - i);
        std::size_t opens = 0, closes = 0;
        for (wchar_t ch : candidate) {
          if (ch == L'(') ++opens;
          if (ch == L')') ++closes;
        }
        if (closes > opens) {
          --end;
          continue;
        }
      }
      break;
    }
    std::wstring shown = text_.substr(i, end - i);
    std::size_t minimum = www ? 5 : (StartsWithNoCase(text_, i, L"https://") ? 9 : 8);
    if (shown.size() < minimum) return i;
    AddMarkup(LinkMarkup(www ? L"http://" + shown : shown, Escaped(shown)));
    return end;
  }

  std::size_t DelimiterRun(std::size_t i) {
    wchar_t c = text_[i];
    std::size_t end = i;
    while (end < text_.size() && text_[end] == c) ++end;
    wchar_t before = i > 0 ? text_[i - 1] : L' ';
    wchar_t after = end < text_.size() ? text_[end] : L' ';
    bool leftFlanking = !IsWhite(after) && (!IsPunctuation(after) || IsWhite(before) || IsPunctuation(before));
    bool rightFlanking = !IsWhite(before) && (!IsPunctuation(before) || IsWhite(after) || IsPunctuation(after));
    Piece piece;
    piece.delimiter = c;
    piece.count = piece.original = static_cast<int>(end - i);
    if (c == L'*') {
      piece.canOpen = leftFlanking;
      piece.canClose = rightFlanking;
    } else {
      piece.canOpen = leftFlanking && (!rightFlanking || IsPunctuation(before));
      piece.canClose = rightFlanking && (!leftFlanking || IsPunctuation(after));
    }
    pieces_.push_back(std::move(piece));
    return end;
  }

  // CommonMark's matching of delimiter runs, over a linked list so that every run is unlinked once.
  void ProcessEmphasis() {
    int first = -1, last = -1;
    for (int k = 0; k < static_cast<int>(pieces_.size()); ++k) {
      if (!pieces_[static_cast<std::size_t>(k)].delimiter) continue;
      pieces_[static_cast<std::size_t>(k)].previous = last;
      if (last >= 0) pieces_[static_cast<std::size_t>(last)].next = k;
      if (first < 0) first = k;
      last = k;
    }
    auto at = [this](int k) -> Piece& { return pieces_[static_cast<std::size_t>(k)]; };
    auto unlink = [&](int k) {
      Piece& piece = at(k);
      if (piece.previous >= 0) at(piece.previous).next = piece.next;
      if (piece.next >= 0) at(piece.next).previous = piece.previous;
      if (first == k) first = piece.next;
    };
    // The lowest opener worth looking at, by character, the closer's ability to open and length % 3.
    int bottom[2][2][3];
    for (auto& byChar : bottom)
      for (auto& byOpen : byChar)
        for (int& value : byOpen) value = -1;
    int closer = first;
    while (closer >= 0) {
      Piece& close = at(closer);
      if (!close.canClose) {
        closer = close.next;
        continue;
      }
      int& floor = bottom[close.delimiter == L'_'][close.canOpen ? 1 : 0][close.original % 3];
      int opener = close.previous;
      while (opener >= 0 && opener > floor) {
        Piece& open = at(opener);
        bool oddMatch = (open.canClose || close.canOpen) && (open.original + close.original) % 3 == 0 &&
                        !(open.original % 3 == 0 && close.original % 3 == 0);
        if (open.delimiter == close.delimiter && open.canOpen && !oddMatch) break;
        opener = open.previous;
      }
      if (opener < 0 || opener <= floor) {
        floor = close.previous;
        int following = close.next;
        if (!close.canOpen) unlink(closer);
        closer = following;
        continue;
      }
      Piece& open = at(opener);
      int used = open.count >= 2 && close.count >= 2 ? 2 : 1;
      const wchar_t* tag = used == 2 ? L"b" : L"i";
      open.openTags.insert(0, std::wstring(L"<") + tag + L">");
      close.closeTags += std::wstring(L"</") + tag + L">";
      open.count -= used;
      close.count -= used;
      // Runs between the two can no longer match: their characters stay as text.
      for (int between = open.next; between >= 0 && between != closer;) {
        int following = at(between).next;
        unlink(between);
        between = following;
      }
      if (open.count == 0) unlink(opener);
      if (close.count == 0) {
        int following = close.next;
        unlink(closer);
        closer = following;
      }
    }
  }
};

// ---------------------------------------------------------------------------------------------
// Blocks

enum class Group { Description, Features, Enhancements, BugFixes };

class BlockReader {
 public:
  ReleaseNotes Read(const std::wstring& body) {
    std::wstring text = body + L"\r\n";
    std::size_t start = 0;
    while (start < text.size()) {
      std::size_t end = text.find_first_of(L"\r\n", start);
      if (end == std::wstring::npos) end = text.size();
      Line(text.substr(start, end - start));
      start = end + (end + 1 < text.size() && text[end] == L'\r' && text[end + 1] == L'\n' ? 2 : 1);
    }
    if (inFence_) EndFence();
    Flush();
    return std::move(notes_);
  }

 private:
  ReleaseNotes notes_;
  Group group_ = Group::Description;
  std::vector<std::wstring> lines_;  // of the open paragraph or list item
  bool inItem_ = false;
  bool inFence_ = false;
  wchar_t fenceChar_ = 0;
  std::size_t fenceLength_ = 0;
  std::vector<std::wstring> fenceLines_;

  std::vector<std::wstring>& Current() {
    switch (group_) {
      case Group::Features: return notes_.features;
      case Group::Enhancements: return notes_.enhancements;
      case Group::BugFixes: return notes_.bugFixes;
      default: return notes_.description;
    }
  }

  void Flush() {
    if (lines_.empty()) return;
    std::wstring joined;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
      if (i) joined.push_back(L'\n');
      joined += lines_[i];
    }
    lines_.clear();
    inItem_ = false;
    std::wstring markup = Trim(ConvertMarkdownInline(Trim(joined, kWhiteSpace)), kWhiteSpace);
    if (!markup.empty()) Current().push_back(std::move(markup));
  }

  void Heading(const std::wstring& text) {
    Flush();
    std::wstring trimmed = Trim(text, kWhiteSpace);
    std::wstring lower;
    for (wchar_t c : trimmed) lower.push_back(LowerAscii(c));
    if (lower == L"features") group_ = Group::Features;
    if (lower == L"enhancements") group_ = Group::Enhancements;
    if (lower == L"bug fixes") group_ = Group::BugFixes;
  }

  void EndFence() {
    inFence_ = false;
    while (!fenceLines_.empty() && IsBlankLine(fenceLines_.back())) fenceLines_.pop_back();
    std::wstring markup;
    for (const std::wstring& line : fenceLines_) {
      if (!markup.empty()) markup += L"<br>";
      markup += L"<code>" + Escaped(line) + L"</code>";
    }
    fenceLines_.clear();
    if (!markup.empty()) Current().push_back(std::move(markup));
  }

  static std::size_t Indent(const std::wstring& line) {
    std::size_t i = 0;
    while (i < line.size() && IsBlank(line[i])) ++i;
    return i;
  }

  static bool IsBlankLine(const std::wstring& line) { return Indent(line) == line.size(); }

  // "***", "---" or "___" with blanks between.
  static bool IsThematicBreak(const std::wstring& rest) {
    wchar_t mark = rest.empty() ? 0 : rest[0];
    if (mark != L'*' && mark != L'-' && mark != L'_') return false;
    int count = 0;
    for (wchar_t c : rest) {
      if (c == mark) {
        ++count;
      } else if (!IsBlank(c)) {
        return false;
      }
    }
    return count >= 3;
  }

  static bool IsSetextUnderline(const std::wstring& rest, wchar_t mark) {
    std::wstring trimmed = Trim(rest, kWhiteSpace);
    if (trimmed.empty()) return false;
    for (wchar_t c : trimmed)
      if (c != mark) return false;
    return true;
  }

  // The text after a list marker, or false when the line does not start an item.
  static bool ListItem(const std::wstring& rest, std::wstring& content) {
    std::size_t i = 0;
    if (!rest.empty() && (rest[0] == L'-' || rest[0] == L'+' || rest[0] == L'*')) {
      i = 1;
    } else {
      while (i < rest.size() && i < 9 && IsAsciiDigit(rest[i])) ++i;
      if (i == 0 || i >= rest.size() || (rest[i] != L'.' && rest[i] != L')')) return false;
      ++i;
    }
    if (i < rest.size() && !IsBlank(rest[i])) return false;
    content = i < rest.size() ? rest.substr(i + 1) : std::wstring();
    return true;
  }

  void Line(std::wstring line) {
    if (inFence_) {
      std::size_t indent = Indent(line);
      std::size_t run = indent;
      while (run < line.size() && line[run] == fenceChar_) ++run;
      if (indent <= 3 && run - indent >= fenceLength_ && IsBlankLine(line.substr(run))) {
        EndFence();
      } else {
        fenceLines_.push_back(line);
      }
      return;
    }
    // Block quotes: their content is read as blocks.
    std::size_t quoted = 0;
    for (;;) {
      std::size_t indent = quoted;
      while (indent < line.size() && indent - quoted <= 3 && IsBlank(line[indent])) ++indent;
      if (indent - quoted > 3 || indent >= line.size() || line[indent] != L'>') break;
      quoted = indent + 1;
      if (quoted < line.size() && IsBlank(line[quoted])) ++quoted;
    }
    if (quoted > 0) line.erase(0, quoted);
    if (IsBlankLine(line)) {
      Flush();
      return;
    }
    std::size_t indent = Indent(line);
    std::wstring rest = line.substr(indent);
    // Fences, headings and breaks are recognised only near the margin; list items at any depth,
    // so that nested lists become items of their own.
    if (indent <= 3) {
      std::size_t run = 0;
      while (run < rest.size() && (rest[run] == L'`' || rest[run] == L'~') && rest[run] == rest[0]) ++run;
      if (run >= 3 && !(rest[0] == L'`' && rest.find(L'`', run) != std::wstring::npos)) {
        Flush();
        inFence_ = true;
        fenceChar_ = rest[0];
        fenceLength_ = run;
        return;
      }
      std::size_t hashes = 0;
      while (hashes < rest.size() && rest[hashes] == L'#') ++hashes;
      if (hashes >= 1 && hashes <= 6 && (hashes == rest.size() || IsBlank(rest[hashes]))) {
        std::wstring heading = Trim(rest.substr(hashes), kWhiteSpace);
        // A closing run of "#" preceded by a blank is not part of the heading.
        std::size_t closing = heading.size();
        while (closing > 0 && heading[closing - 1] == L'#') --closing;
        if (closing == 0) {
          heading.clear();
        } else if (closing < heading.size() && IsBlank(heading[closing - 1])) {
          heading = Trim(heading.substr(0, closing), kWhiteSpace);
        }
        Heading(heading);
        return;
      }
      if (!lines_.empty() && !inItem_ && (IsSetextUnderline(rest, L'=') || IsSetextUnderline(rest, L'-'))) {
        std::wstring heading;
        for (const std::wstring& paragraphLine : lines_) heading += (heading.empty() ? L"" : L" ") + paragraphLine;
        lines_.clear();
        Heading(heading);
        return;
      }
      if (IsThematicBreak(rest)) {
        Flush();
        return;
      }
    }
    std::wstring content;
    if (ListItem(rest, content)) {
      Flush();
      inItem_ = true;
      lines_.push_back(content);
      return;
    }
    lines_.push_back(rest);
  }
};

}  // namespace

std::wstring ConvertMarkdownInline(const std::wstring& text) { return InlineParser(text, true).Convert(); }

ReleaseNotes ConvertReleaseBody(const std::wstring& body) { return BlockReader().Read(body); }

}  // namespace updater
