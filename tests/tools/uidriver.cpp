// Test tool that drives the real windows of another process for the end-to-end tests: it finds
// top-level windows by title, presses buttons, reads control texts, reads and sets list-view
// check states, reads list-view group ids and saves screenshots. One invocation runs a sequence of
// steps, so that a test pays for one Wine start-up only. The usage text (kUsage below) lists the
// steps and what each prints.
//
// Every step prints its result on stdout as UTF-8 lines ending in "\n". Exit codes: 0 every step
// succeeded, 1 a step failed (its line is "error <step> <reason>" and no later step runs),
// 2 usage error (nothing runs; the problem goes to stderr, or the usage text when there are no
// arguments at all).
//
// Reading list-view texts and group ids of another process needs memory in that process: the
// LVITEMW the list view fills in is placed there with VirtualAllocEx, in the layout of the target
// process's bitness (32-bit or 64-bit, which need not be ours).
#include <windows.h>
#include <commctrl.h>
#include <fcntl.h>
#include <io.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "base/win_handles.h"
#include "support/tool_support.h"

namespace {

using updater::UniqueFile;
using updater::UniqueGdiObject;
using updater::UniqueHandle;
using updater::UniqueResource;
using updater::UniqueScreenDc;

constexpr wchar_t kUsage[] =
    L"usage: uidriver STEP [STEP ...]\n"
    L"Runs the steps in order; each prints result lines on stdout (UTF-8). Exit code 0 when every\n"
    L"step succeeded, 1 at the first failing step (line \"error <step> <reason>\"), 2 usage error.\n"
    L"\n"
    L"WINDOW   exact title of a top-level window of any process (visible and enabled ones first,\n"
    L"         then visible, then hidden, then message-only windows; Z order within each), or\n"
    L"         hwnd:<hex> for one window handle as printed by wait and windows\n"
    L"ID       dialog control id of a descendant of the window, searched recursively (property\n"
    L"         sheet pages too); visible controls first, hidden ones when no visible one has it\n"
    L"Numbers  decimal or 0x hex; SECONDS may have a fraction (2.5); MSG, WPARAM and LPARAM are\n"
    L"         32-bit values (LPARAM sign-extended)\n"
    L"Texts    CR LF, CR and LF become one space each; waittext compares that form\n"
    L"\n"
    L"Steps and what they print:\n"
    L"  wait WINDOW SECONDS                found <hwnd> visible=<0|1> once the window exists (it\n"
    L"                                     may still be hidden and without its controls)\n"
    L"  waitvisible WINDOW SECONDS         found <hwnd> visible=1 once it is shown, not minimized\n"
    L"  waitgone WINDOW SECONDS            gone\n"
    L"  waittext WINDOW ID TEXT SECONDS    control ... (as texts) once the text equals TEXT\n"
    L"  waitenabled WINDOW ID SECONDS      control ... (as texts) once it is visible and enabled\n"
    L"  waititems WINDOW ID COUNT SECONDS  items <n> once the list view has COUNT items\n"
    L"  windows TITLE                      windows <n>, then per window (TITLE * for all titled):\n"
    L"                                     window hwnd=<hex> pid=<pid> class=<class> visible=<0|1>\n"
    L"                                     enabled=<0|1> title=<title>\n"
    L"  texts WINDOW                       controls <n>, then per descendant control:\n"
    L"                                     control id=<id> class=<class> visible=<0|1>\n"
    L"                                     enabled=<0|1> text=<text>\n"
    L"  text WINDOW ID                     control ... (as texts)\n"
    L"  click WINDOW ID                    clicked id=<id> (BM_CLICK, posted)\n"
    L"  clicktext WINDOW TEXT              clicked id=<id> (a button by caption, & ignored)\n"
    L"  listview WINDOW ID                 items <n>, then per item:\n"
    L"                                     item <i> state=<state image> selected=<0|1>\n"
    L"                                     group=<group id|-1> text=<col0>|<col1>|...\n"
    L"  check WINDOW ID INDEX STATE        item <i> state=<state image afterwards> (STATE 1\n"
    L"                                     unchecked, 2 checked; the parent may refuse it)\n"
    L"  select WINDOW ID INDEX             item <i> selected=<0|1> (others deselected)\n"
    L"  menu WINDOW COMMAND                posted (WM_COMMAND to the window)\n"
    L"  message WINDOW MSG WPARAM LPARAM   posted\n"
    L"  registered NAME                    registered <RegisterWindowMessage value>\n"
    L"  show WINDOW                        shown visible=<0|1> minimized=<0|1> foreground=<0|1>\n"
    L"  state WINDOW                       visible=<0|1> minimized=<0|1> enabled=<0|1>\n"
    L"                                     rect=<l>,<t>,<r>,<b> foreground=<0|1>\n"
    L"  settext WINDOW ID TEXT             control ... (as texts, afterwards)\n"
    L"  checked WINDOW ID                  checked id=<id> state=<BM_GETCHECK> enabled=<0|1>\n"
    L"  combo WINDOW ID INDEX              selected id=<id> index=<i> (CB_SETCURSEL, then\n"
    L"                                     CBN_SELCHANGE posted to the parent)\n"
    L"  mouse WINDOW ID                    clicked id=<id> (mouse) (button down and up, posted)\n"
    L"  shot WINDOW PATH                   saved <path> width=<w> height=<h> source=<screen|\n"
    L"                                     printwindow|windowdc> black=<0|1> (24-bit BMP; the\n"
    L"                                     window is brought to the front; later sources only\n"
    L"                                     when the earlier gave an all-black picture)\n"
    L"  sleep MS                           slept <ms>\n"
    L"click, clicktext, check and select fail on a hidden or disabled control, or when the window\n"
    L"is disabled (a modal window is open over it), as a user could not use it either.\n";

// How long a message to another process may take before that process counts as not answering.
constexpr UINT kAnswerTimeoutMs = 5000;
constexpr DWORD kPollIntervalMs = 50;
// The longest text read from a list-view cell, in characters with the terminating zero.
constexpr int32_t kCellTextChars = 4096;

// ---------------------------------------------------------------------------------------------
// Output

void WriteLine(FILE* stream, const std::wstring& line) {
  std::string bytes = tools::ToUtf8(line);
  bytes.push_back('\n');
  std::fwrite(bytes.data(), 1, bytes.size(), stream);
  // Flushed per line, so that a test reading a still running tool sees every finished step.
  std::fflush(stream);
}

void Emit(const std::wstring& line) { WriteLine(stdout, line); }

std::wstring Hex(unsigned long long value) {
  static constexpr wchar_t kDigits[] = L"0123456789ABCDEF";
  std::wstring digits;
  do {
    digits.insert(digits.begin(), kDigits[value & 0xF]);
    value >>= 4;
  } while (value != 0);
  return L"0x" + digits;
}

std::wstring HandleText(HWND window) {
  return Hex(static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(window)));
}

std::wstring Flag(bool value) { return value ? L"1" : L"0"; }

// Texts go on one output line: CR LF, a lone CR and a lone LF each become one space.
std::wstring OneLine(const std::wstring& text) {
  std::wstring line;
  line.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == L'\r') {
      if (i + 1 < text.size() && text[i + 1] == L'\n') ++i;
      line.push_back(L' ');
    } else if (text[i] == L'\n') {
      line.push_back(L' ');
    } else {
      line.push_back(text[i]);
    }
  }
  return line;
}

std::wstring Quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

std::wstring LastErrorText(const wchar_t* call) {
  return std::wstring(call) + L" failed, error " + std::to_wstring(::GetLastError());
}

// ---------------------------------------------------------------------------------------------
// Argument parsing

// Parses a decimal or 0x hexadecimal integer with an optional sign, within [minimum, maximum].
bool ParseInteger(const std::wstring& text, long long minimum, long long maximum, long long& value) {
  size_t position = 0;
  bool negative = false;
  if (position < text.size() && (text[position] == L'-' || text[position] == L'+')) {
    negative = text[position] == L'-';
    ++position;
  }
  unsigned base = 10;
  if (text.size() - position > 2 && text[position] == L'0' && (text[position + 1] == L'x' || text[position + 1] == L'X')) {
    base = 16;
    position += 2;
  }
  if (position >= text.size()) return false;
  unsigned long long magnitude = 0;
  for (; position < text.size(); ++position) {
    const wchar_t c = text[position];
    unsigned digit = 0;
    if (c >= L'0' && c <= L'9') {
      digit = static_cast<unsigned>(c - L'0');
    } else if (base == 16 && c >= L'a' && c <= L'f') {
      digit = static_cast<unsigned>(c - L'a') + 10;
    } else if (base == 16 && c >= L'A' && c <= L'F') {
      digit = static_cast<unsigned>(c - L'A') + 10;
    } else {
      return false;
    }
    if (magnitude > (0x7FFFFFFFFFFFFFFFull - digit) / base) return false;
    magnitude = magnitude * base + digit;
  }
  const long long number = negative ? -static_cast<long long>(magnitude) : static_cast<long long>(magnitude);
  if (number < minimum || number > maximum) return false;
  value = number;
  return true;
}

// Parses seconds with an optional fraction ("10", "2.5", ".25") into milliseconds, at most an hour.
bool ParseSeconds(const std::wstring& text, DWORD& milliseconds) {
  unsigned long long whole = 0;
  unsigned long long thousandths = 0;
  unsigned fractionDigits = 0;
  bool seenDigit = false;
  bool inFraction = false;
  for (wchar_t c : text) {
    if (c == L'.' && !inFraction) {
      inFraction = true;
      continue;
    }
    if (c < L'0' || c > L'9') return false;
    seenDigit = true;
    const unsigned digit = static_cast<unsigned>(c - L'0');
    if (inFraction) {
      // Digits past the thousandths cannot change the millisecond count and are ignored.
      if (fractionDigits < 3) {
        thousandths = thousandths * 10 + digit;
        ++fractionDigits;
      }
    } else {
      whole = whole * 10 + digit;
      if (whole > 3600) return false;
    }
  }
  if (!seenDigit) return false;
  for (; fractionDigits < 3; ++fractionDigits) thousandths *= 10;
  const unsigned long long total = whole * 1000 + thousandths;
  if (total > 3600ull * 1000) return false;
  milliseconds = static_cast<DWORD>(total);
  return true;
}

constexpr wchar_t kHandlePrefix[] = L"hwnd:";

bool ParseHandleSelector(const std::wstring& selector, HWND& window) {
  const std::wstring prefix = kHandlePrefix;
  if (selector.compare(0, prefix.size(), prefix) != 0) return false;
  std::wstring digits = selector.substr(prefix.size());
  if (digits.compare(0, 2, L"0x") != 0 && digits.compare(0, 2, L"0X") != 0) digits = L"0x" + digits;
  long long value = 0;
  // Window handles carry 32 significant bits in every process, whatever its bitness.
  if (!ParseInteger(digits, 1, 0xFFFFFFFFll, value)) return false;
  window = reinterpret_cast<HWND>(static_cast<uintptr_t>(value));
  return true;
}

bool IsHandleSelector(const std::wstring& selector) {
  return selector.compare(0, std::wstring(kHandlePrefix).size(), kHandlePrefix) == 0;
}

// What each argument of a step must be; checked for every step before the first one runs.
enum class ArgKind {
  kWindow,        // a title or hwnd:<hex>
  kTitlePattern,  // a title or * (windows step)
  kSeconds,
  kControlId,     // any 32-bit int
  kIndex,         // list-view item index, 0 or more
  kCount,         // 0 or more
  kStateImage,    // 0..15, the range of a state image index
  kCommand,       // 0..65535
  kMessage,       // 32-bit unsigned
  kWParam,        // 32-bit unsigned
  kLParam,        // 32-bit, signed or unsigned
  kMilliseconds,  // 0..3600000
  kText,          // anything, also empty
  kName,          // not empty
};

bool ValidArgument(ArgKind kind, const std::wstring& text, std::wstring& problem) {
  long long number = 0;
  DWORD milliseconds = 0;
  HWND window = nullptr;
  switch (kind) {
    case ArgKind::kWindow:
      if (text.empty()) {
        problem = L"empty window title";
        return false;
      }
      if (IsHandleSelector(text) && !ParseHandleSelector(text, window)) {
        problem = L"bad window handle " + Quoted(text);
        return false;
      }
      return true;
    case ArgKind::kTitlePattern:
      return true;
    case ArgKind::kSeconds:
      if (ParseSeconds(text, milliseconds)) return true;
      problem = L"bad seconds " + Quoted(text) + L" (0 to 3600, fraction allowed)";
      return false;
    case ArgKind::kControlId:
      if (ParseInteger(text, -0x80000000ll, 0x7FFFFFFFll, number)) return true;
      problem = L"bad control id " + Quoted(text);
      return false;
    case ArgKind::kIndex:
    case ArgKind::kCount:
      if (ParseInteger(text, 0, 0x7FFFFFFFll, number)) return true;
      problem = L"bad number " + Quoted(text);
      return false;
    case ArgKind::kStateImage:
      if (ParseInteger(text, 0, 15, number)) return true;
      problem = L"bad state image index " + Quoted(text) + L" (1 unchecked, 2 checked)";
      return false;
    case ArgKind::kCommand:
      if (ParseInteger(text, 0, 0xFFFF, number)) return true;
      problem = L"bad command id " + Quoted(text);
      return false;
    case ArgKind::kMessage:
    case ArgKind::kWParam:
      if (ParseInteger(text, 0, 0xFFFFFFFFll, number)) return true;
      problem = L"bad 32-bit value " + Quoted(text);
      return false;
    case ArgKind::kLParam:
      if (ParseInteger(text, -0x80000000ll, 0xFFFFFFFFll, number)) return true;
      problem = L"bad 32-bit value " + Quoted(text);
      return false;
    case ArgKind::kMilliseconds:
      if (ParseInteger(text, 0, 3600000, number)) return true;
      problem = L"bad milliseconds " + Quoted(text);
      return false;
    case ArgKind::kText:
      return true;
    case ArgKind::kName:
      if (!text.empty()) return true;
      problem = L"empty name";
      return false;
  }
  return false;
}

// Accessors for arguments that were validated before any step ran.
long long Number(const std::wstring& text) {
  long long value = 0;
  ParseInteger(text, -0x7FFFFFFFFFFFFFFFll, 0x7FFFFFFFFFFFFFFFll, value);
  return value;
}

int ControlIdArg(const std::wstring& text) { return static_cast<int>(Number(text)); }

DWORD SecondsArg(const std::wstring& text) {
  DWORD milliseconds = 0;
  ParseSeconds(text, milliseconds);
  return milliseconds;
}

// ---------------------------------------------------------------------------------------------
// Windows and controls

std::wstring WindowTitle(HWND window) {
  // For a window of another process GetWindowText reads the title the system keeps; it sends
  // nothing, so a hung process cannot block it.
  const int length = ::GetWindowTextLengthW(window);
  if (length <= 0) return {};
  std::wstring title(static_cast<size_t>(length) + 1, L'\0');
  const int copied = ::GetWindowTextW(window, title.data(), length + 1);
  title.resize(copied > 0 ? static_cast<size_t>(copied) : 0);
  return title;
}

std::wstring ClassOf(HWND window) {
  wchar_t name[256] = {};
  const int length = ::GetClassNameW(window, name, 256);
  return std::wstring(name, length > 0 ? static_cast<size_t>(length) : 0);
}

// A control's text through WM_GETTEXT (the system marshals it between processes), so that edit
// controls report what they hold. A control that does not answer in time reads as empty.
std::wstring ControlText(HWND control) {
  DWORD_PTR length = 0;
  if (!::SendMessageTimeoutW(control, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kAnswerTimeoutMs, &length))
    return {};
  if (length == 0) return {};
  if (length > 1 << 20) length = 1 << 20;
  std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1, L'\0');
  DWORD_PTR copied = 0;
  if (!::SendMessageTimeoutW(control, WM_GETTEXT, static_cast<WPARAM>(buffer.size()), reinterpret_cast<LPARAM>(buffer.data()),
                             SMTO_ABORTIFHUNG, kAnswerTimeoutMs, &copied))
    return {};
  if (copied > length) copied = length;
  return std::wstring(buffer.data(), static_cast<size_t>(copied));
}

// Preference among windows with the same title: the one a user would be working with.
int WindowRank(HWND window) {
  if (!::IsWindowVisible(window)) return 0;
  return ::IsWindowEnabled(window) ? 2 : 1;
}

struct TitleSearch {
  const std::wstring* title = nullptr;
  HWND best = nullptr;
  int bestRank = -1;
};

BOOL CALLBACK ConsiderTopLevel(HWND window, LPARAM parameter) {
  auto* search = reinterpret_cast<TitleSearch*>(parameter);
  if (WindowTitle(window) != *search->title) return TRUE;
  // EnumWindows goes in Z order: the first window of a rank is the topmost one of it.
  const int rank = WindowRank(window);
  if (rank > search->bestRank) {
    search->best = window;
    search->bestRank = rank;
  }
  return TRUE;
}

// Message-only windows (parent HWND_MESSAGE) are not top-level windows for EnumWindows.
std::vector<HWND> MessageOnlyWindows() {
  std::vector<HWND> windows;
  HWND after = nullptr;
  while ((after = ::FindWindowExW(HWND_MESSAGE, after, nullptr, nullptr)) != nullptr) windows.push_back(after);
  return windows;
}

// The window a WINDOW argument names, or nullptr when there is none now.
HWND FindTopLevel(const std::wstring& selector) {
  HWND window = nullptr;
  if (ParseHandleSelector(selector, window)) return ::IsWindow(window) ? window : nullptr;
  TitleSearch search;
  search.title = &selector;
  ::EnumWindows(ConsiderTopLevel, reinterpret_cast<LPARAM>(&search));
  if (search.best) return search.best;
  for (HWND messageWindow : MessageOnlyWindows())
    if (WindowTitle(messageWindow) == selector) return messageWindow;
  return nullptr;
}

std::wstring NoWindowReason(const std::wstring& selector) {
  if (IsHandleSelector(selector)) return L"no window " + selector.substr(std::wstring(kHandlePrefix).size());
  return L"no window titled " + Quoted(selector);
}

bool RequireWindow(const std::wstring& selector, HWND& window, std::wstring& reason) {
  window = FindTopLevel(selector);
  if (window) return true;
  reason = NoWindowReason(selector);
  return false;
}

BOOL CALLBACK CollectWindow(HWND window, LPARAM parameter) {
  reinterpret_cast<std::vector<HWND>*>(parameter)->push_back(window);
  return TRUE;
}

// Every descendant of the window, in EnumChildWindows order (parents before their children).
std::vector<HWND> Descendants(HWND top) {
  std::vector<HWND> children;
  ::EnumChildWindows(top, CollectWindow, reinterpret_cast<LPARAM>(&children));
  return children;
}

// Whether the control would be shown when its top-level window is: it and every parent up to the
// top-level window have WS_VISIBLE. The top-level window's own visibility is left out, so that
// the controls of a hidden window still tell the shown property-sheet page from the hidden ones.
bool VisibleWithin(HWND control, HWND top) {
  for (HWND window = control; window && window != top; window = ::GetAncestor(window, GA_PARENT)) {
    if ((::GetWindowLongW(window, GWL_STYLE) & WS_VISIBLE) == 0) return false;
  }
  return true;
}

// The descendant with the dialog id: a visible one first, else a hidden one, else nullptr.
HWND FindControl(HWND top, int id) {
  HWND hidden = nullptr;
  for (HWND child : Descendants(top)) {
    if (::GetDlgCtrlID(child) != id) continue;
    if (VisibleWithin(child, top)) return child;
    if (!hidden) hidden = child;
  }
  return hidden;
}

bool RequireControl(HWND top, int id, HWND& control, std::wstring& reason) {
  control = FindControl(top, id);
  if (control) return true;
  reason = L"no control with id " + std::to_wstring(id);
  return false;
}

std::wstring ControlLine(HWND top, HWND control) {
  return L"control id=" + std::to_wstring(::GetDlgCtrlID(control)) + L" class=" + ClassOf(control) +
         L" visible=" + Flag(VisibleWithin(control, top)) + L" enabled=" + Flag(::IsWindowEnabled(control) != FALSE) +
         L" text=" + OneLine(ControlText(control));
}

// Whether a user could operate the control now: it is shown, it and its parents are enabled,
// and so is the top-level window (a modal window open over it disables it).
bool Usable(HWND top, HWND control, std::wstring& reason) {
  const std::wstring name = L"control " + std::to_wstring(::GetDlgCtrlID(control));
  if (!VisibleWithin(control, top)) {
    reason = name + L" is hidden";
    return false;
  }
  if (!::IsWindowEnabled(control)) {
    reason = name + L" is disabled";
    return false;
  }
  for (HWND window = ::GetAncestor(control, GA_PARENT); window && window != top; window = ::GetAncestor(window, GA_PARENT)) {
    if (!::IsWindowEnabled(window)) {
      reason = name + L" is inside a disabled parent (id " + std::to_wstring(::GetDlgCtrlID(window)) + L")";
      return false;
    }
  }
  if (!::IsWindowEnabled(top)) {
    reason = L"the window is disabled (is a modal window open over it?)";
    return false;
  }
  return true;
}

std::wstring WithoutAmpersands(const std::wstring& text) {
  std::wstring plain;
  for (wchar_t c : text)
    if (c != L'&') plain.push_back(c);
  return plain;
}

// Calls `probe` every poll interval until it returns true or the time is up; probe runs at least
// once, also with a zero timeout.
template <typename Probe>
bool PollUntil(DWORD timeoutMs, Probe probe) {
  const ULONGLONG start = ::GetTickCount64();
  for (;;) {
    if (probe()) return true;
    if (::GetTickCount64() - start >= timeoutMs) return false;
    ::Sleep(kPollIntervalMs);
  }
}

std::wstring Seconds(DWORD milliseconds) {
  std::wstring text = std::to_wstring(milliseconds / 1000);
  if (milliseconds % 1000 != 0) {
    std::wstring fraction = std::to_wstring(1000 + milliseconds % 1000).substr(1);
    while (!fraction.empty() && fraction.back() == L'0') fraction.pop_back();
    text += L"." + fraction;
  }
  return text + L" s";
}

// ---------------------------------------------------------------------------------------------
// List views of another process

// LVITEMW as a 32-bit process lays it out (Vista and later fields included).
struct ListItem32 {
  uint32_t mask;
  int32_t iItem;
  int32_t iSubItem;
  uint32_t state;
  uint32_t stateMask;
  uint32_t pszText;
  int32_t cchTextMax;
  int32_t iImage;
  uint32_t lParam;
  int32_t iIndent;
  int32_t iGroupId;
  uint32_t cColumns;
  uint32_t puColumns;
  uint32_t piColFmt;
  int32_t iGroup;
};
static_assert(sizeof(ListItem32) == 60);
static_assert(offsetof(ListItem32, pszText) == 20);
static_assert(offsetof(ListItem32, iGroupId) == 40);

// LVITEMW as a 64-bit process lays it out; the padding a 64-bit compiler inserts is spelled out,
// so the layout is the same whichever compiler builds this tool.
struct ListItem64 {
  uint32_t mask;
  int32_t iItem;
  int32_t iSubItem;
  uint32_t state;
  uint32_t stateMask;
  uint32_t padding1;
  uint64_t pszText;
  int32_t cchTextMax;
  int32_t iImage;
  uint64_t lParam;
  int32_t iIndent;
  int32_t iGroupId;
  uint32_t cColumns;
  uint32_t padding2;
  uint64_t puColumns;
  uint64_t piColFmt;
  int32_t iGroup;
  uint32_t padding3;
};
static_assert(sizeof(ListItem64) == 88);
static_assert(offsetof(ListItem64, pszText) == 24);
static_assert(offsetof(ListItem64, cchTextMax) == 32);
static_assert(offsetof(ListItem64, lParam) == 40);
static_assert(offsetof(ListItem64, iGroupId) == 52);
static_assert(offsetof(ListItem64, puColumns) == 64);
static_assert(offsetof(ListItem64, iGroup) == 80);

// The LVITEMW fields this tool uses, independent of the layout; addresses are the target's.
struct ListItemFields {
  uint32_t mask = 0;
  int32_t item = 0;
  int32_t subItem = 0;
  uint32_t state = 0;
  uint32_t stateMask = 0;
  uint64_t text = 0;
  int32_t textChars = 0;
  int32_t groupId = 0;
};

template <typename Layout>
Layout ToLayout(const ListItemFields& fields) {
  Layout layout{};
  layout.mask = fields.mask;
  layout.iItem = fields.item;
  layout.iSubItem = fields.subItem;
  layout.state = fields.state;
  layout.stateMask = fields.stateMask;
  layout.pszText = static_cast<decltype(layout.pszText)>(fields.text);
  layout.cchTextMax = fields.textChars;
  layout.iGroupId = fields.groupId;
  return layout;
}

template <typename Layout>
ListItemFields FromLayout(const Layout& layout) {
  ListItemFields fields;
  fields.mask = layout.mask;
  fields.item = layout.iItem;
  fields.subItem = layout.iSubItem;
  fields.state = layout.state;
  fields.stateMask = layout.stateMask;
  fields.text = layout.pszText;
  fields.textChars = layout.cchTextMax;
  fields.groupId = layout.iGroupId;
  return fields;
}

// A block of memory allocated in another process, released with it unless abandoned.
class RemoteMemory {
 public:
  RemoteMemory() = default;
  ~RemoteMemory() {
    if (address_) ::VirtualFreeEx(process_, address_, 0, MEM_RELEASE);
  }
  RemoteMemory(const RemoteMemory&) = delete;
  RemoteMemory& operator=(const RemoteMemory&) = delete;

  // `process` must stay open for the lifetime of this object.
  bool Allocate(HANDLE process, SIZE_T size) {
    process_ = process;
    address_ = ::VirtualAllocEx(process, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    return address_ != nullptr;
  }
  // Leaves the block allocated: after a message that timed out the target may still use it, and
  // freeing it under the target would crash it. A few kilobytes stay behind in that process.
  void Abandon() noexcept { address_ = nullptr; }
  uint64_t Address() const noexcept { return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(address_)); }

 private:
  HANDLE process_ = nullptr;
  void* address_ = nullptr;
};

bool IsOperatingSystem64Bit() {
  SYSTEM_INFO info{};
  ::GetNativeSystemInfo(&info);
  return info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64 ||
         info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_ARM64 ||
         info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_IA64;
}

// Whether the process runs 32-bit code: a WOW64 process does, and so does every process of a
// 32-bit system. Works for this process and for others alike, whatever this tool was built as.
bool RunsAs32Bit(HANDLE process, bool& is32Bit) {
  BOOL wow64 = FALSE;
  if (!::IsWow64Process(process, &wow64)) return false;
  is32Bit = wow64 != FALSE || !IsOperatingSystem64Bit();
  return true;
}

// Sends a message that needs no memory in the target; false when the target did not answer.
bool SendToWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result, std::wstring& reason) {
  DWORD_PTR answer = 0;
  if (!::SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, kAnswerTimeoutMs, &answer)) {
    reason = L"the window did not answer message " + Hex(message) + L" within " + Seconds(kAnswerTimeoutMs);
    return false;
  }
  result = static_cast<LRESULT>(answer);
  return true;
}

// A list view of another process with an LVITEMW and a text buffer in that process.
// The block holds the item at its start and the text buffer at kTextOffset.
class RemoteListView {
 public:
  explicit RemoteListView(HWND list) : list_(list) {}

  bool Open(std::wstring& reason) {
    DWORD processId = 0;
    ::GetWindowThreadProcessId(list_, &processId);
    process_.Reset(::OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE | PROCESS_QUERY_LIMITED_INFORMATION,
                                 FALSE, processId));
    if (!process_) {
      reason = LastErrorText(L"OpenProcess");
      return false;
    }
    bool self32 = false;
    if (!RunsAs32Bit(::GetCurrentProcess(), self32) || !RunsAs32Bit(process_.Get(), target32_)) {
      reason = LastErrorText(L"IsWow64Process");
      return false;
    }
    if (!memory_.Allocate(process_.Get(), kBlockSize)) {
      reason = LastErrorText(L"VirtualAllocEx");
      return false;
    }
    // A 32-bit tool passes a 32-bit lParam, which reaches a 64-bit target sign-extended.
    if (self32 && !target32_ && memory_.Address() >= 0x80000000ull) {
      reason = L"the block in the 64-bit target lies above 2 GB, out of reach of this 32-bit tool; use the 64-bit build";
      return false;
    }
    return true;
  }

  uint64_t TextBuffer() const { return memory_.Address() + kTextOffset; }

  // Writes the item into the target, sends the message with the item's address as lParam and
  // reads the item back into `after`.
  bool SendItem(UINT message, WPARAM wParam, const ListItemFields& item, ListItemFields& after, LRESULT& result,
                std::wstring& reason) {
    if (!WriteItem(item, reason)) return false;
    DWORD_PTR answer = 0;
    if (!::SendMessageTimeoutW(list_, message, wParam, static_cast<LPARAM>(memory_.Address()), SMTO_ABORTIFHUNG,
                               kAnswerTimeoutMs, &answer)) {
      memory_.Abandon();
      reason = L"the list view did not answer message " + Hex(message) + L" within " + Seconds(kAnswerTimeoutMs);
      return false;
    }
    result = static_cast<LRESULT>(answer);
    return ReadItem(after, reason);
  }

  // Reads `chars` characters at the target address; stops early at a zero.
  bool ReadText(uint64_t address, size_t chars, std::wstring& text, std::wstring& reason) {
    std::vector<wchar_t> buffer(chars + 1, L'\0');
    if (!Read(address, buffer.data(), chars * sizeof(wchar_t), reason)) return false;
    text.assign(buffer.data());
    return true;
  }

 private:
  static constexpr SIZE_T kTextOffset = 128;
  static constexpr SIZE_T kBlockSize = kTextOffset + static_cast<SIZE_T>(kCellTextChars) * sizeof(wchar_t);

  bool WriteItem(const ListItemFields& item, std::wstring& reason) {
    SIZE_T written = 0;
    BOOL ok = FALSE;
    void* address = reinterpret_cast<void*>(static_cast<uintptr_t>(memory_.Address()));
    if (target32_) {
      const ListItem32 layout = ToLayout<ListItem32>(item);
      ok = ::WriteProcessMemory(process_.Get(), address, &layout, sizeof(layout), &written);
    } else {
      const ListItem64 layout = ToLayout<ListItem64>(item);
      ok = ::WriteProcessMemory(process_.Get(), address, &layout, sizeof(layout), &written);
    }
    if (!ok) {
      reason = LastErrorText(L"WriteProcessMemory");
      return false;
    }
    return true;
  }

  bool ReadItem(ListItemFields& item, std::wstring& reason) {
    if (target32_) {
      ListItem32 layout{};
      if (!Read(memory_.Address(), &layout, sizeof(layout), reason)) return false;
      item = FromLayout(layout);
    } else {
      ListItem64 layout{};
      if (!Read(memory_.Address(), &layout, sizeof(layout), reason)) return false;
      item = FromLayout(layout);
    }
    return true;
  }

  bool Read(uint64_t address, void* into, size_t size, std::wstring& reason) {
    SIZE_T read = 0;
    if (!::ReadProcessMemory(process_.Get(), reinterpret_cast<const void*>(static_cast<uintptr_t>(address)), into, size, &read) ||
        read != size) {
      reason = LastErrorText(L"ReadProcessMemory");
      return false;
    }
    return true;
  }

  HWND list_;
  bool target32_ = true;
  UniqueHandle process_;  // declared before memory_: the block is freed while the handle is open
  RemoteMemory memory_;
};

bool RequireListView(HWND top, int id, HWND& list, std::wstring& reason) {
  if (!RequireControl(top, id, list, reason)) return false;
  if (::lstrcmpiW(ClassOf(list).c_str(), WC_LISTVIEWW) != 0) {
    reason = L"control " + std::to_wstring(id) + L" is of class " + ClassOf(list) + L", not " + WC_LISTVIEWW;
    return false;
  }
  return true;
}

bool ItemCount(HWND list, int& count, std::wstring& reason) {
  LRESULT result = 0;
  if (!SendToWindow(list, LVM_GETITEMCOUNT, 0, 0, result, reason)) return false;
  count = static_cast<int>(result);
  return true;
}

bool ItemState(HWND list, int index, UINT mask, UINT& state, std::wstring& reason) {
  LRESULT result = 0;
  if (!SendToWindow(list, LVM_GETITEMSTATE, static_cast<WPARAM>(index), static_cast<LPARAM>(mask), result, reason)) return false;
  state = static_cast<UINT>(result) & mask;
  return true;
}

int StateImage(UINT state) { return static_cast<int>((state & LVIS_STATEIMAGEMASK) >> 12); }

// Columns of a report view (its header's items); 1 for views without a header.
int ColumnCount(HWND list) {
  LRESULT header = 0;
  std::wstring ignored;
  if (!SendToWindow(list, LVM_GETHEADER, 0, 0, header, ignored) || header == 0) return 1;
  LRESULT columns = 0;
  if (!SendToWindow(reinterpret_cast<HWND>(header), HDM_GETITEMCOUNT, 0, 0, columns, ignored) || columns <= 0) return 1;
  return static_cast<int>(columns);
}

bool CellText(RemoteListView& remote, int index, int column, std::wstring& text, std::wstring& reason) {
  ListItemFields item;
  item.mask = LVIF_TEXT;
  item.item = index;
  item.subItem = column;
  item.text = remote.TextBuffer();
  item.textChars = kCellTextChars;
  ListItemFields after;
  LRESULT length = 0;
  if (!remote.SendItem(LVM_GETITEMTEXTW, static_cast<WPARAM>(index), item, after, length, reason)) return false;
  if (length <= 0) {
    text.clear();
    return true;
  }
  size_t chars = static_cast<size_t>(length);
  if (chars > static_cast<size_t>(kCellTextChars - 1)) chars = static_cast<size_t>(kCellTextChars - 1);
  // The list view copies into the buffer; should it have pointed pszText at text of its own
  // instead, that is where the text is.
  if (after.text != 0 && after.text != item.text && remote.ReadText(after.text, chars, text, reason)) return true;
  return remote.ReadText(item.text, chars, text, reason);
}

// The item's group id, or -1 when it has none (or the list view keeps no groups).
bool GroupId(RemoteListView& remote, int index, int& group, std::wstring& reason) {
  ListItemFields item;
  item.mask = LVIF_GROUPID;
  item.item = index;
  item.groupId = I_GROUPIDNONE;
  ListItemFields after;
  LRESULT ok = 0;
  if (!remote.SendItem(LVM_GETITEMW, 0, item, after, ok, reason)) return false;
  group = (ok != 0 && after.groupId >= 0) ? after.groupId : -1;
  return true;
}

// Asks the list view to change the item's state. Its answer is not checked: the list view also
// answers FALSE when its parent refused the change (LVN_ITEMCHANGING), which the callers report
// through the state they read back.
bool SetItemState(RemoteListView& remote, int index, UINT state, UINT mask, std::wstring& reason) {
  ListItemFields item;
  item.state = state;
  item.stateMask = mask;
  ListItemFields after;
  LRESULT ignored = 0;
  return remote.SendItem(LVM_SETITEMSTATE, static_cast<WPARAM>(index), item, after, ignored, reason);
}

bool RequireItem(HWND list, int index, std::wstring& reason) {
  int count = 0;
  if (!ItemCount(list, count, reason)) return false;
  if (index < count) return true;
  reason = L"no item " + std::to_wstring(index) + L" (the list view has " + std::to_wstring(count) + L")";
  return false;
}

// ---------------------------------------------------------------------------------------------
// Screenshots

struct MemoryDcTraits {
  using Handle = HDC;
  static Handle Invalid() noexcept { return nullptr; }
  static bool IsInvalid(Handle h) noexcept { return h == nullptr; }
  static void Close(Handle h) noexcept { ::DeleteDC(h); }
};
using UniqueMemoryDc = UniqueResource<MemoryDcTraits>;


// A window's DC (GetWindowDC), released to that window.
class WindowDc {
 public:
  explicit WindowDc(HWND window) noexcept : window_(window), dc_(::GetWindowDC(window)) {}
  ~WindowDc() {
    if (dc_) ::ReleaseDC(window_, dc_);
  }
  WindowDc(const WindowDc&) = delete;
  WindowDc& operator=(const WindowDc&) = delete;
  HDC Get() const noexcept { return dc_; }

 private:
  HWND window_;
  HDC dc_;
};

// Keeps an object selected into a DC for its lifetime and puts the previous one back.
class ObjectSelection {
 public:
  ObjectSelection(HDC dc, HGDIOBJ object) noexcept : dc_(dc), previous_(::SelectObject(dc, object)) {}
  ~ObjectSelection() {
    if (previous_ && previous_ != HGDI_ERROR) ::SelectObject(dc_, previous_);
  }
  ObjectSelection(const ObjectSelection&) = delete;
  ObjectSelection& operator=(const ObjectSelection&) = delete;
  bool Selected() const noexcept { return previous_ && previous_ != HGDI_ERROR; }

 private:
  HDC dc_;
  HGDIOBJ previous_;
};

size_t RowStride(int width) { return (static_cast<size_t>(width) * 3 + 3) / 4 * 4; }

// The bitmap's pixels as bottom-up 24-bit rows padded to 4 bytes. The bitmap must not be
// selected into a DC.
bool ReadPixels(HDC dc, HBITMAP bitmap, int width, int height, std::vector<unsigned char>& pixels, std::wstring& reason) {
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;  // positive: bottom-up rows
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  info.bmiHeader.biCompression = BI_RGB;
  pixels.assign(RowStride(width) * static_cast<size_t>(height), 0);
  if (::GetDIBits(dc, bitmap, 0, static_cast<UINT>(height), pixels.data(), &info, DIB_RGB_COLORS) != height) {
    reason = LastErrorText(L"GetDIBits");
    return false;
  }
  return true;
}

bool AllBlack(const std::vector<unsigned char>& pixels) {
  for (unsigned char byte : pixels)
    if (byte != 0) return false;
  return true;
}

bool WriteBmp(const std::wstring& path, int width, int height, const std::vector<unsigned char>& pixels, std::wstring& reason) {
  BITMAPINFOHEADER info{};
  info.biSize = sizeof(info);
  info.biWidth = width;
  info.biHeight = height;
  info.biPlanes = 1;
  info.biBitCount = 24;
  info.biCompression = BI_RGB;
  info.biSizeImage = static_cast<DWORD>(pixels.size());
  BITMAPFILEHEADER file{};
  file.bfType = 0x4D42;  // "BM"
  file.bfOffBits = static_cast<DWORD>(sizeof(file) + sizeof(info));
  file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size());

  UniqueFile out(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!out) {
    reason = LastErrorText(L"CreateFileW") + L" for " + Quoted(path);
    return false;
  }
  const struct {
    const void* data;
    size_t size;
  } parts[] = {{&file, sizeof(file)}, {&info, sizeof(info)}, {pixels.data(), pixels.size()}};
  for (const auto& part : parts) {
    DWORD written = 0;
    if (!::WriteFile(out.Get(), part.data, static_cast<DWORD>(part.size), &written, nullptr) || written != part.size) {
      reason = LastErrorText(L"WriteFile") + L" for " + Quoted(path);
      return false;
    }
  }
  return true;
}

// Where a screenshot's pixels come from.
enum class ShotSource {
  kScreen,       // the window's rectangle of the screen
  kPrintWindow,  // the window draws itself (PrintWindow)
  kWindowDc,     // the window's own DC
};

const wchar_t* ShotSourceName(ShotSource source) {
  switch (source) {
    case ShotSource::kScreen:
      return L"screen";
    case ShotSource::kPrintWindow:
      return L"printwindow";
    case ShotSource::kWindowDc:
      return L"windowdc";
  }
  return L"";
}

bool Capture(HWND window, const RECT& rect, ShotSource source, std::vector<unsigned char>& pixels, std::wstring& reason) {
  const int width = rect.right - rect.left;
  const int height = rect.bottom - rect.top;
  UniqueScreenDc screen(::GetDC(nullptr));
  if (!screen) {
    reason = LastErrorText(L"GetDC");
    return false;
  }
  UniqueMemoryDc memory(::CreateCompatibleDC(screen.Get()));
  UniqueGdiObject bitmap(::CreateCompatibleBitmap(screen.Get(), width, height));
  if (!memory || !bitmap) {
    reason = L"could not create a " + std::to_wstring(width) + L"x" + std::to_wstring(height) + L" bitmap";
    return false;
  }
  {
    ObjectSelection selection(memory.Get(), bitmap.Get());
    if (!selection.Selected()) {
      reason = LastErrorText(L"SelectObject");
      return false;
    }
    BOOL drawn = FALSE;
    if (source == ShotSource::kScreen) {
      drawn = ::BitBlt(memory.Get(), 0, 0, width, height, screen.Get(), rect.left, rect.top, SRCCOPY | CAPTUREBLT);
    } else if (source == ShotSource::kPrintWindow) {
      drawn = ::PrintWindow(window, memory.Get(), 0);
    } else {
      WindowDc windowDc(window);
      drawn = windowDc.Get() && ::BitBlt(memory.Get(), 0, 0, width, height, windowDc.Get(), 0, 0, SRCCOPY);
    }
    if (!drawn) {
      reason = std::wstring(L"capturing from ") + ShotSourceName(source) + L" failed, error " + std::to_wstring(::GetLastError());
      return false;
    }
  }
  return ReadPixels(screen.Get(), static_cast<HBITMAP>(bitmap.Get()), width, height, pixels, reason);
}

// ---------------------------------------------------------------------------------------------
// Steps

using Args = std::vector<std::wstring>;

bool StepWait(const Args& args, std::wstring& reason) {
  const DWORD timeout = SecondsArg(args[1]);
  HWND window = nullptr;
  if (!PollUntil(timeout, [&] { return (window = FindTopLevel(args[0])) != nullptr; })) {
    reason = NoWindowReason(args[0]) + L" within " + Seconds(timeout);
    return false;
  }
  Emit(L"found " + HandleText(window) + L" visible=" + Flag(::IsWindowVisible(window) != FALSE));
  return true;
}

bool StepWaitVisible(const Args& args, std::wstring& reason) {
  const DWORD timeout = SecondsArg(args[1]);
  HWND window = nullptr;
  if (!PollUntil(timeout, [&] {
        window = FindTopLevel(args[0]);
        return window && ::IsWindowVisible(window) && !::IsIconic(window);
      })) {
    reason = (window ? L"window " + HandleText(window) + L" not shown" : NoWindowReason(args[0])) + L" within " + Seconds(timeout);
    return false;
  }
  Emit(L"found " + HandleText(window) + L" visible=1");
  return true;
}

bool StepWaitGone(const Args& args, std::wstring& reason) {
  const DWORD timeout = SecondsArg(args[1]);
  HWND window = nullptr;
  if (!PollUntil(timeout, [&] { return (window = FindTopLevel(args[0])) == nullptr; })) {
    reason = L"window " + HandleText(window) + L" still there after " + Seconds(timeout);
    return false;
  }
  Emit(L"gone");
  return true;
}

// Polls for the window and its control until `ready` accepts the control; `lastSeen` describes
// what the final poll found, for the failure reason.
template <typename Ready>
bool WaitForControl(const Args& args, DWORD timeout, Ready ready, std::wstring& reason) {
  const int id = ControlIdArg(args[1]);
  HWND window = nullptr;
  HWND control = nullptr;
  std::wstring lastSeen;
  const bool done = PollUntil(timeout, [&] {
    window = FindTopLevel(args[0]);
    if (!window) {
      lastSeen = NoWindowReason(args[0]);
      return false;
    }
    control = FindControl(window, id);
    if (!control) {
      lastSeen = L"no control with id " + std::to_wstring(id);
      return false;
    }
    return ready(window, control, lastSeen);
  });
  if (!done) {
    reason = L"timed out after " + Seconds(timeout) + L": " + lastSeen;
    return false;
  }
  Emit(ControlLine(window, control));
  return true;
}

bool StepWaitText(const Args& args, std::wstring& reason) {
  const std::wstring expected = OneLine(args[2]);
  return WaitForControl(args, SecondsArg(args[3]), [&](HWND, HWND control, std::wstring& lastSeen) {
    const std::wstring text = OneLine(ControlText(control));
    lastSeen = L"text is " + Quoted(text);
    return text == expected;
  }, reason);
}

bool StepWaitEnabled(const Args& args, std::wstring& reason) {
  return WaitForControl(args, SecondsArg(args[2]), [&](HWND window, HWND control, std::wstring& lastSeen) {
    const bool visible = VisibleWithin(control, window);
    const bool enabled = ::IsWindowEnabled(control) != FALSE;
    lastSeen = L"visible=" + Flag(visible) + L" enabled=" + Flag(enabled);
    return visible && enabled;
  }, reason);
}

bool StepWaitItems(const Args& args, std::wstring& reason) {
  const int id = ControlIdArg(args[1]);
  const int expected = static_cast<int>(Number(args[2]));
  const DWORD timeout = SecondsArg(args[3]);
  std::wstring lastSeen;
  int count = -1;
  const bool done = PollUntil(timeout, [&] {
    HWND window = FindTopLevel(args[0]);
    HWND list = nullptr;
    if (!window) {
      lastSeen = NoWindowReason(args[0]);
      return false;
    }
    if (!RequireListView(window, id, list, lastSeen) || !ItemCount(list, count, lastSeen)) return false;
    lastSeen = L"the list view has " + std::to_wstring(count) + L" items";
    return count == expected;
  });
  if (!done) {
    reason = L"timed out after " + Seconds(timeout) + L": " + lastSeen;
    return false;
  }
  Emit(L"items " + std::to_wstring(count));
  return true;
}

struct WindowListing {
  const std::wstring* pattern = nullptr;
  std::vector<HWND> windows;
};

BOOL CALLBACK ConsiderForListing(HWND window, LPARAM parameter) {
  auto* listing = reinterpret_cast<WindowListing*>(parameter);
  const std::wstring title = WindowTitle(window);
  if (*listing->pattern == L"*" ? !title.empty() : title == *listing->pattern) listing->windows.push_back(window);
  return TRUE;
}

bool StepWindows(const Args& args, std::wstring&) {
  WindowListing listing;
  listing.pattern = &args[0];
  ::EnumWindows(ConsiderForListing, reinterpret_cast<LPARAM>(&listing));
  for (HWND messageWindow : MessageOnlyWindows()) ConsiderForListing(messageWindow, reinterpret_cast<LPARAM>(&listing));
  Emit(L"windows " + std::to_wstring(listing.windows.size()));
  for (HWND window : listing.windows) {
    DWORD processId = 0;
    ::GetWindowThreadProcessId(window, &processId);
    Emit(L"window hwnd=" + HandleText(window) + L" pid=" + std::to_wstring(processId) + L" class=" + ClassOf(window) +
         L" visible=" + Flag(::IsWindowVisible(window) != FALSE) + L" enabled=" + Flag(::IsWindowEnabled(window) != FALSE) +
         L" title=" + OneLine(WindowTitle(window)));
  }
  return true;
}

bool StepTexts(const Args& args, std::wstring& reason) {
  HWND window = nullptr;
  if (!RequireWindow(args[0], window, reason)) return false;
  const std::vector<HWND> controls = Descendants(window);
  Emit(L"controls " + std::to_wstring(controls.size()));
  for (HWND control : controls) Emit(ControlLine(window, control));
  return true;
}

bool StepText(const Args& args, std::wstring& reason) {
  HWND window = nullptr;
  HWND control = nullptr;
  if (!RequireWindow(args[0], window, reason) || !RequireControl(window, ControlIdArg(args[1]), control, reason)) return false;
  Emit(ControlLine(window, control));
  return true;
}

// Presses the button as a user's click would (BM_CLICK makes it send BN_CLICKED to its parent).
// Posted, not sent: the click may open a modal window, whose loop would keep a sent message from
// returning until that window closes.
bool PressButton(HWND window, HWND button, std::wstring& reason) {
  if (!Usable(window, button, reason)) return false;
  if (!::PostMessageW(button, BM_CLICK, 0, 0)) {
    reason = LastErrorText(L"PostMessageW");
    return false;
  }
  Emit(L"clicked id=" + std::to_wstring(::GetDlgCtrlID(button)));
  return true;
}

bool StepClick(const Args& args, std::wstring& reason) {
  HWND window = nullptr;
  HWND button = nullptr;
  if (!RequireWindow(args[0], window, reason) || !RequireControl(window, ControlIdArg(args[1]), button, reason)) return false;
  return PressButton(window, button, reason);
}

bool StepClickText(const Args& args, std::wstring& reason) {
  HWND window = nullptr;
  if (!RequireWindow(args[0], window, reason)) return false;
  const std::wstring wanted = WithoutAmpersands(args[1]);
  HWND visible = nullptr;
  HWND hidden = nullptr;
  for (HWND child : Descendants(window)) {
    if (::lstrcmpiW(ClassOf(child).c_str(), L"Button") != 0) continue;
    if (WithoutAmpersands(ControlText(child)) != wanted) continue;
    if (VisibleWithin(child, window)) {
      visible = child;
      break;
    }
    if (!hidden) hidden = child;
  }
  HWND button = visible ? visible : hidden;
  if (!button) {
    reason = L"no button captioned " + Quoted(args[1]);
    return false;
  }
  return PressButton(window, button, reason);
}

bool StepListView(const Args& args, std::wstring& reason) {
  HWND window = nullptr;
  HWND list = nullptr;
  if (!RequireWindow(args[0], window, reason) || !RequireListView(window, ControlIdArg(args[1]), list, reason)) return false;
  int count = 0;
  if (!ItemCount(list, count, reason)) return false;
  RemoteListView remote(list);
  if (!remote.Open(reason)) return false;
  const int columns = ColumnCount(list);
  Emit(L"items " + std::to_wstring(count));
  for (int index = 0; index < count; ++index) {
    UINT state = 0;
    int group = -1;
    if (!ItemState(list, index, LVIS_STATEIMAGEMASK | LVIS_SELECTED, state, reason) || !GroupId(remote, index, group, reason))
      return false;
    std::wstring texts;
    for (int column = 0; column < columns; ++column) {
      std::wstring cell;
      if (!CellText(remote, index, column, cell, reason)) return false;
      if (column > 0) texts += L'|';
      texts += OneLine(cell);
    }
    Emit(L"item " + std::to_wstring(index) + L" state=" + std::to_wstring(StateImage(state)) + L" selected=" +
         Flag((state & LVIS_SELECTED) != 0) + L" group=" + std::to_wstring(group) + L" text=" + texts);
  }
  return true;
}

// The list view of a check or select step, once it is known to be usable and to have the item.
bool UsableListItem(const Args& args, HWND& list, std::wstring& reason) {
  HWND window = nullptr;
  if (!RequireWindow(args[0], window, reason) || !RequireListView(window, ControlIdArg(args[1]), list, reason)) return false;
  return Usable(window, list, reason) && RequireItem(list, static_cast<int>(Number(args[2])), reason);
}

// Sets the item's state image, which makes the list view send LVN_ITEMCHANGING (the parent may
// refuse the change) and LVN_ITEMCHANGED to its parent, as a click on the check box does. Prints
// the state image afterwards, so that a refusal shows.
bool StepCheck(const Args& args, std::wstring& reason) {
  HWND list = nullptr;
  if (!UsableListItem(args, list, reason)) return false;
  const int index = static_cast<int>(Number(args[2]));
  const UINT image = static_cast<UINT>(Number(args[3]));
  RemoteListView remote(list);
  if (!remote.Open(reason) || !SetItemState(remote, index, image << 12, LVIS_STATEIMAGEMASK, reason)) return false;
  UINT state = 0;
  if (!ItemState(list, index, LVIS_STATEIMAGEMASK, state, reason)) return false;
  Emit(L"item " + std::to_wstring(index) + L" state=" + std::to_wstring(StateImage(state)));
  return true;
}

// Selects and focuses the item and deselects the others, as a click on the item does.
bool StepSelect(const Args& args, std::wstring& reason) {
  HWND list = nullptr;
  if (!UsableListItem(args, list, reason)) return false;
  const int index = static_cast<int>(Number(args[2]));
  int count = 0;
  if (!ItemCount(list, count, reason)) return false;
  RemoteListView remote(list);
  if (!remote.Open(reason)) return false;
  for (int other = 0; other < count; ++other) {
    if (other == index) continue;
    UINT state = 0;
    if (!ItemState(list, other, LVIS_SELECTED, state, reason)) return false;
    if (state != 0 && !SetItemState(remote, other, 0, LVIS_SELECTED, reason)) return false;
  }
  if (!SetItemState(remote, index, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED, reason)) return false;
  LRESULT ignored = 0;
  if (!SendToWindow(list, LVM_ENSUREVISIBLE, static_cast<WPARAM>(index), FALSE, ignored, reason)) return false;
  UINT state = 0;
  if (!ItemState(list, index, LVIS_SELECTED, state, reason)) return false;
  Emit(L"item " + std::to_wstring(index) + L" selected=" + Flag(state != 0));
  return true;
}

bool Post(HWND window, UINT message, WPARAM wParam, LPARAM lParam, std::wstring& reason) {
  if (!::PostMessageW(window, message, wParam, lParam)) {
    reason = LastErrorText(L"PostMessageW");
    return false;
  }
  Emit(L"posted");
  return true;
}

bool StepMenu(const Args& args, std::wstring& reason) {
  HWND window = nullptr;
  if (!RequireWindow(args[0], window, reason)) return false;
  // A menu command: WM_COMMAND with notification code 0 and no control handle.
  return Post(window, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(Number(args[1])), 0), 0, reason);
}

bool StepMessage(const Args& args, std::wstring& reason) {
  HWND window = nullptr;
  if (!RequireWindow(args[0], window, reason)) return false;
  const UINT message = static_cast<UINT>(Number(args[1]));
  const WPARAM wParam = static_cast<WPARAM>(static_cast<DWORD>(Number(args[2])));
  // A 32-bit pattern (0xFFFFFFFF or -1) means the same in 32-bit and 64-bit builds: sign-extended.
  const LPARAM lParam = static_cast<LPARAM>(static_cast<LONG>(static_cast<DWORD>(Number(args[3]) & 0xFFFFFFFFll)));
  return Post(window, message, wParam, lParam, reason);
}

bool StepRegistered(const Args& args, std::wstring& reason) {
  const UINT value = ::RegisterWindowMessageW(args[0].c_str());
  if (value == 0) {
    reason = LastErrorText(L"RegisterWindowMessageW");
    return false;
  }
  Emit(L"registered " + std::to_wstring(value));
  return true;
}

bool StepShow(const Args& args, std::wstring& reason) {
  HWND window = nullptr;
  if (!RequireWindow(args[0], window, reason)) return false;
  // Restored only when minimized or hidden: SW_RESTORE would also un-maximize a shown window.
  // Asynchronously, so that a hung target cannot block the tool.
  if (::IsIconic(window) || !::IsWindowVisible(window)) ::ShowWindowAsync(window, SW_RESTORE);
  ::SetForegroundWindow(window);
  // A restore clears the minimized state before it moves the window back from the parking place
  // of minimized windows (-32000, -32000); both are waited for.
  PollUntil(2000, [&] {
    RECT rect{};
    ::GetWindowRect(window, &rect);
    return ::IsWindowVisible(window) && !::IsIconic(window) && rect.left != -32000 && ::GetForegroundWindow() == window;
  });
  Emit(L"shown visible=" + Flag(::IsWindowVisible(window) != FALSE) + L" minimized=" + Flag(::IsIconic(window) != FALSE) +
       L" foreground=" + Flag(::GetForegroundWindow() == window));
  return true;
}

bool StepState(const Args& args, std::wstring& reason) {
  HWND window = nullptr;
  if (!RequireWindow(args[0], window, reason)) return false;
  RECT rect{};
  ::GetWindowRect(window, &rect);
  Emit(L"visible=" + Flag(::IsWindowVisible(window) != FALSE) + L" minimized=" + Flag(::IsIconic(window) != FALSE) +
       L" enabled=" + Flag(::IsWindowEnabled(window) != FALSE) + L" rect=" + std::to_wstring(rect.left) + L"," +
       std::to_wstring(rect.top) + L"," + std::to_wstring(rect.right) + L"," + std::to_wstring(rect.bottom) +
       L" foreground=" + Flag(::GetForegroundWindow() == window));
  return true;
}

// Saves the window as it is on screen. The window is brought to the front first and given time
// to paint. When the screen copy is all black (nothing there to copy, e.g. the window lies off
// the screen), the window draws itself instead (PrintWindow); when that is all black too (Wine
// sends WM_PRINT with this tool's DC, which means nothing in the target process), the pixels
// are copied from the window's own DC. The picture is saved in any case; black=1 tells that
// every source gave black.
bool StepShot(const Args& args, std::wstring& reason) {
  HWND window = nullptr;
  if (!RequireWindow(args[0], window, reason)) return false;
  if (!::IsWindowVisible(window) || ::IsIconic(window)) {
    reason = L"the window is hidden or minimized (show it first)";
    return false;
  }
  ::SetForegroundWindow(window);
  ::Sleep(300);
  RECT rect{};
  if (!::GetWindowRect(window, &rect) || rect.right <= rect.left || rect.bottom <= rect.top) {
    reason = L"the window has no area";
    return false;
  }
  const int width = rect.right - rect.left;
  const int height = rect.bottom - rect.top;
  std::vector<unsigned char> pixels;
  ShotSource used = ShotSource::kScreen;
  for (ShotSource source : {ShotSource::kScreen, ShotSource::kPrintWindow, ShotSource::kWindowDc}) {
    used = source;
    if (!Capture(window, rect, source, pixels, reason)) return false;
    if (!AllBlack(pixels)) break;
  }
  if (!WriteBmp(args[1], width, height, pixels, reason)) return false;
  Emit(L"saved " + args[1] + L" width=" + std::to_wstring(width) + L" height=" + std::to_wstring(height) + L" source=" +
       ShotSourceName(used) + L" black=" + Flag(AllBlack(pixels)));
  return true;
}

// Sets a control's text the way typing would end up (WM_SETTEXT; the system carries the text across
// processes).
bool StepSetText(const Args& args, std::wstring& reason) {
  HWND window = nullptr;
  HWND control = nullptr;
  if (!RequireWindow(args[0], window, reason) || !RequireControl(window, ControlIdArg(args[1]), control, reason))
    return false;
  DWORD_PTR answer = 0;
  if (!::SendMessageTimeoutW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(args[2].c_str()), SMTO_ABORTIFHUNG,
                             5000, &answer)) {
    reason = L"WM_SETTEXT was not answered";
    return false;
  }
  Emit(ControlLine(window, control));
  return true;
}

// The check state of a check box or radio button (BM_GETCHECK).
bool StepChecked(const Args& args, std::wstring& reason) {
  HWND window = nullptr;
  HWND control = nullptr;
  if (!RequireWindow(args[0], window, reason) || !RequireControl(window, ControlIdArg(args[1]), control, reason))
    return false;
  DWORD_PTR state = 0;
  if (!::SendMessageTimeoutW(control, BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, 5000, &state)) {
    reason = L"BM_GETCHECK was not answered";
    return false;
  }
  Emit(L"checked id=" + args[1] + L" state=" + std::to_wstring(state) + L" enabled=" +
       Flag(::IsWindowEnabled(control) != FALSE));
  return true;
}

// Chooses a drop-down entry as the user would: the selection, then the parent's notification.
bool StepCombo(const Args& args, std::wstring& reason) {
  HWND window = nullptr;
  HWND control = nullptr;
  if (!RequireWindow(args[0], window, reason) || !RequireControl(window, ControlIdArg(args[1]), control, reason))
    return false;
  DWORD_PTR selected = 0;
  const auto index = static_cast<WPARAM>(Number(args[2]));
  if (!::SendMessageTimeoutW(control, CB_SETCURSEL, index, 0, SMTO_ABORTIFHUNG, 5000, &selected) ||
      selected != index) {
    reason = L"the drop-down has no entry " + args[2];
    return false;
  }
  const int id = ::GetDlgCtrlID(control);
  ::PostMessageW(::GetParent(control), WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), reinterpret_cast<LPARAM>(control));
  Emit(L"selected id=" + args[1] + L" index=" + args[2]);
  return true;
}

// A left click inside a control (button down and up at its top-left corner, posted), for controls
// that are not buttons, such as a link.
bool StepMouse(const Args& args, std::wstring& reason) {
  HWND window = nullptr;
  HWND control = nullptr;
  if (!RequireWindow(args[0], window, reason) || !RequireControl(window, ControlIdArg(args[1]), control, reason))
    return false;
  const LPARAM at = MAKELPARAM(2, 2);
  ::PostMessageW(control, WM_LBUTTONDOWN, MK_LBUTTON, at);
  ::PostMessageW(control, WM_LBUTTONUP, 0, at);
  Emit(L"clicked id=" + args[1] + L" (mouse)");
  return true;
}

bool StepSleep(const Args& args, std::wstring&) {
  const DWORD milliseconds = static_cast<DWORD>(Number(args[0]));
  ::Sleep(milliseconds);
  Emit(L"slept " + std::to_wstring(milliseconds));
  return true;
}

struct StepDefinition {
  const wchar_t* name;
  std::vector<ArgKind> arguments;
  bool (*run)(const Args&, std::wstring&);
};

const std::vector<StepDefinition>& StepDefinitions() {
  using K = ArgKind;
  static const std::vector<StepDefinition> definitions = {
      {L"wait", {K::kWindow, K::kSeconds}, StepWait},
      {L"waitvisible", {K::kWindow, K::kSeconds}, StepWaitVisible},
      {L"waitgone", {K::kWindow, K::kSeconds}, StepWaitGone},
      {L"waittext", {K::kWindow, K::kControlId, K::kText, K::kSeconds}, StepWaitText},
      {L"waitenabled", {K::kWindow, K::kControlId, K::kSeconds}, StepWaitEnabled},
      {L"waititems", {K::kWindow, K::kControlId, K::kCount, K::kSeconds}, StepWaitItems},
      {L"windows", {K::kTitlePattern}, StepWindows},
      {L"texts", {K::kWindow}, StepTexts},
      {L"text", {K::kWindow, K::kControlId}, StepText},
      {L"click", {K::kWindow, K::kControlId}, StepClick},
      {L"clicktext", {K::kWindow, K::kText}, StepClickText},
      {L"listview", {K::kWindow, K::kControlId}, StepListView},
      {L"check", {K::kWindow, K::kControlId, K::kIndex, K::kStateImage}, StepCheck},
      {L"select", {K::kWindow, K::kControlId, K::kIndex}, StepSelect},
      {L"menu", {K::kWindow, K::kCommand}, StepMenu},
      {L"message", {K::kWindow, K::kMessage, K::kWParam, K::kLParam}, StepMessage},
      {L"registered", {K::kName}, StepRegistered},
      {L"show", {K::kWindow}, StepShow},
      {L"state", {K::kWindow}, StepState},
      {L"shot", {K::kWindow, K::kName}, StepShot},
      {L"sleep", {K::kMilliseconds}, StepSleep},
      {L"settext", {K::kWindow, K::kControlId, K::kText}, StepSetText},
      {L"checked", {K::kWindow, K::kControlId}, StepChecked},
      {L"combo", {K::kWindow, K::kControlId, K::kIndex}, StepCombo},
      {L"mouse", {K::kWindow, K::kControlId}, StepMouse},
  };
  return definitions;
}

struct Step {
  const StepDefinition* definition = nullptr;
  Args arguments;
};

// Splits the command line into steps and checks every argument; false with the problem when
// the command line is not a valid sequence of steps.
bool ParseSteps(int argc, wchar_t** argv, std::vector<Step>& steps, std::wstring& problem) {
  int position = 1;
  while (position < argc) {
    const std::wstring name = argv[position];
    const StepDefinition* definition = nullptr;
    for (const StepDefinition& candidate : StepDefinitions())
      if (name == candidate.name) definition = &candidate;
    if (!definition) {
      problem = L"unknown step " + Quoted(name);
      return false;
    }
    const int needed = static_cast<int>(definition->arguments.size());
    if (argc - position - 1 < needed) {
      problem = L"step " + name + L" needs " + std::to_wstring(needed) + L" arguments";
      return false;
    }
    Step step;
    step.definition = definition;
    for (int i = 0; i < needed; ++i) {
      std::wstring argument = argv[position + 1 + i];
      std::wstring argumentProblem;
      if (!ValidArgument(definition->arguments[static_cast<size_t>(i)], argument, argumentProblem)) {
        problem = L"step " + name + L": " + argumentProblem;
        return false;
      }
      step.arguments.push_back(std::move(argument));
    }
    steps.push_back(std::move(step));
    position += 1 + needed;
  }
  return !steps.empty();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  // Bytes go out exactly as written: "\n" line ends, no CR added by the C runtime.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  std::vector<Step> steps;
  std::wstring problem;
  if (!ParseSteps(argc, argv, steps, problem)) {
    if (problem.empty())
      WriteLine(stderr, kUsage);
    else
      WriteLine(stderr, L"uidriver: " + problem + L" (uidriver without arguments prints the usage)");
    return 2;
  }
  for (const Step& step : steps) {
    std::wstring reason;
    if (!step.definition->run(step.arguments, reason)) {
      Emit(L"error " + std::wstring(step.definition->name) + L" " + reason);
      return 1;
    }
  }
  return 0;
}
