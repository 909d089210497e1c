// Rendering of update descriptions and publisher messages for the read-only rich-text panes: an RTF
// document with the paragraph structure (title lines, plain lines, section headings, bullets) and a
// list of character ranges carrying the inline formatting and links of the small HTML subset that
// description lines are written in. Also the opening of a clicked link and the link colours of the
// hyperlink control. Everything here works on data; applying runs to a pane is the pane owner's job.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace updater {

struct UpdateRecord;

// Kinds of inline formatting, by the element that produces them.
enum StyleKind : int {
  kStyleLink = 0,         // a href="..."   link effect; `url` holds the target
  kStyleBold = 1,         // b
  kStyleItalic = 2,       // i
  kStyleColour = 3,       // font color="#RRGGBB"   text colour; `color` holds it
  kStyleSubscript = 4,    // sub
  kStyleSuperscript = 5,  // sup
  kStyleUnderline = 6,    // u
  kStyleCode = 7,         // code   background in the button-face colour
};

// One formatted range [start, end) in the pane's plain text.
struct StyleRun {
  int start = 0;
  int end = 0;
  int kind = kStyleBold;
  std::wstring url;    // kStyleLink only
  COLORREF color = 0;  // kStyleColour only; red in the low byte
  bool operator==(const StyleRun&) const = default;
};

// The runs of one document, in the order in which their elements closed.
using StyleRunList = std::vector<StyleRun>;

// Converts one line of the HTML subset (elements a, b, i, font, sub, sup, u, code and br; entities
// lt, gt and amp) into plain text and appends its runs to `runs`, with positions counted from
// `position`. `position` then moves on by the text's length plus one for the paragraph mark after it.
//
// Positions count characters as the rich-edit pane holds them: a carriage return followed by a line
// feed is one character there (its plain text keeps a single "\r" for the pair). So the CR LF that a
// `br` adds to the text counts as one, and so does a CR LF pair already in the line.
//
// Element and attribute names are compared without regard to ASCII case. An "&" with no ";" later
// in the line is kept as text. A line that is not well formed (an unknown element, a wrong
// attribute, a closing tag with nothing open, an element left open, a tag or quoted value not
// ended) is returned exactly as written, adds no runs, and moves `position` on by its own length
// plus one.
std::wstring ConvertMarkupLine(const std::wstring& line, int& position, StyleRunList& runs);
// Whether ConvertMarkupLine reads the line as markup rather than showing it as written.
bool IsWellFormedMarkup(const std::wstring& line);

// "<", ">" and "&" as entities, for plain texts placed into markup.
std::wstring EscapeMarkup(const std::wstring& text);

// RTF text: ASCII letters and digits as they are; every other UTF-16 code unit as "\uN?". N is the
// code unit read as a signed 16-bit number (so U+E000 is "\u-8192?"), because RTF control words
// take signed 16-bit parameters and readers expect code units above 32767 in that form.
std::string EscapeRtfText(const std::wstring& text);

// What the renderer takes from an update.
struct DescriptionSource {
  std::wstring name;
  std::uint64_t size = 0;
  bool singleUpdate = false;  // the update's SingleUpdate flag: show the name and size as a title
  std::vector<std::wstring> general;
  std::vector<std::wstring> features;
  std::vector<std::wstring> enhancements;
  std::vector<std::wstring> bugFixes;
};

DescriptionSource FromRecord(const UpdateRecord& record);

// Headings and the size line of a description; the wizard fills them from its string table.
struct DescriptionTexts {
  std::wstring newFeatures = L"New Features";
  std::wstring enhancements = L"Enhancements";
  std::wstring fixedBugs = L"Fixed Bugs";
  std::wstring updateSizeFormat = L"Update size: %s";  // "%s" takes the size text
};

// The document start shared by descriptions and messages: code page, font table (font 0 the text
// font, font 1 Symbol for bullets, font 2 the heading font), language and the first paragraph's
// indent and size.
std::string RtfProlog(unsigned codePage, const std::wstring& font0, const std::wstring& font2, unsigned language);

struct RtfPrologInputs {
  unsigned codePage = 1252;
  std::wstring font0;
  std::wstring font2;
  unsigned language = 0;
};

// The prolog inputs of this system: the default ANSI code page of the system default language,
// "Segoe UI", "Segoe UI Semibold" from Windows 8 on ("Segoe UI" before), the system language.
RtfPrologInputs SystemRtfPrologInputs();
std::string SystemRtfProlog();

// The document of an update: optional title lines, the general lines, then the new-feature,
// enhancement and fixed-bug sections as bulleted lists under their headings. Runs are appended to
// `runs`. An empty result means memory ran out (E_FAIL for the caller, which leaves the pane
// empty); `runs` is then as it was.
std::string RenderUpdateDescription(const DescriptionSource& source, const DescriptionTexts& texts,
                                    StyleRunList& runs);
// The same with a given prolog instead of the system's.
std::string RenderUpdateDescription(const DescriptionSource& source, const DescriptionTexts& texts,
                                    const std::string& prolog, StyleRunList& runs);

// The document of a publisher message: the title in bold, an empty line, then two spaces, the body
// (in the HTML subset) and, when `uri` is not empty, a link to it captioned `buttonText`. The title
// and the caption are plain texts. Empty result as for RenderUpdateDescription.
std::string RenderMessage(const std::wstring& title, const std::wstring& body, const std::wstring& uri,
                          const std::wstring& buttonText, StyleRunList& runs);
std::string RenderMessage(const std::wstring& title, const std::wstring& body, const std::wstring& uri,
                          const std::wstring& buttonText, const std::string& prolog, StyleRunList& runs);

// The URL of the link run that covers exactly [start, end); empty when there is none.
std::wstring FindLink(const StyleRunList& runs, int start, int end);

// The content of an internet shortcut to `url`: the URL in UTF-8 with every byte other than ASCII
// letters, digits and "-_.~!*'();:@&=+$,/?#[]" percent-encoded with upper-case hexadecimal; a "%"
// that already starts an escape (two hexadecimal digits follow) is kept.
std::string InternetShortcutText(const std::wstring& url);

// Writes an internet shortcut to `url` into a new temporary file "URL*.url"; 0 and its path, or -1
// when the file cannot be created or written.
int CreateInternetShortcutFile(const std::wstring& url, std::wstring& path);

// Opens `url` through a temporary internet shortcut with the shell's "open" verb, or its default
// verb when "open" fails. Returns 0 on success, the shell's error, or -1 when `url` is empty or the
// shortcut cannot be written.
//
// The shell may still read the shortcut after it returns (a handler started for it opens the file
// itself), so the file is not deleted at once: the shortcuts of earlier calls are deleted when the
// next link is opened, and the last one is left to the temporary folder's clean-up.
int OpenLink(const std::wstring& url);

// Colours of the hyperlink control.
struct AnchorColours {
  COLORREF link = RGB(0, 0, 255);
  COLORREF visited = RGB(128, 0, 128);
};

// Reads "r,g,b" (three decimal numbers 0 to 255, blanks allowed around them). On failure `colour`
// is left as it was.
bool ParseAnchorColour(const std::wstring& text, COLORREF& colour);

// The defaults, replaced by the current user's "Anchor Color" and "Anchor Color Visited" of
// "Software\Microsoft\Internet Explorer\Settings" where those hold a valid colour.
AnchorColours ReadAnchorColours();

}  // namespace updater
