#include "ui/description_pane.h"

#include <algorithm>

namespace updater {
namespace {

struct StreamSource {
  const std::string* text;
  std::size_t offset;
};

DWORD CALLBACK ReadStream(DWORD_PTR cookie, LPBYTE buffer, LONG wanted, LONG* given) {
  auto* source = reinterpret_cast<StreamSource*>(cookie);
  std::size_t left = source->text->size() - source->offset;
  std::size_t count = std::min<std::size_t>(left, static_cast<std::size_t>(wanted));
  std::copy_n(source->text->data() + source->offset, count, buffer);
  source->offset += count;
  *given = static_cast<LONG>(count);
  return 0;
}

}  // namespace

bool LoadRichEditLibrary() {
  static HMODULE library = ::LoadLibraryW(L"Msftedit.dll");
  return library != nullptr;
}

void ShowRtf(HWND pane, const std::string& rtf, const StyleRunList& runs) {
  if (!pane) return;
  ::SendMessageW(pane, EM_EXLIMITTEXT, 0, static_cast<LPARAM>(rtf.size()));
  StreamSource source{&rtf, 0};
  EDITSTREAM stream{};
  stream.dwCookie = reinterpret_cast<DWORD_PTR>(&source);
  stream.pfnCallback = &ReadStream;
  ::SendMessageW(pane, EM_STREAMIN, SF_RTF, reinterpret_cast<LPARAM>(&stream));
  ApplyRuns(pane, runs);
  CHARRANGE start{0, 0};
  ::SendMessageW(pane, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&start));
}

namespace {

// The effect each kind switches on; colours are handled apart.
struct RunEffect {
  int kind;
  DWORD mask;
  DWORD effect;
};
constexpr RunEffect kRunEffects[] = {
    {kStyleLink, CFM_LINK, CFE_LINK},
    {kStyleBold, CFM_BOLD, CFE_BOLD},
    {kStyleItalic, CFM_ITALIC, CFE_ITALIC},
    {kStyleSubscript, CFM_SUBSCRIPT, CFE_SUBSCRIPT},
    {kStyleSuperscript, CFM_SUPERSCRIPT, CFE_SUPERSCRIPT},
    {kStyleUnderline, CFM_UNDERLINE, CFE_UNDERLINE},
};

// Sets the run's effect on `format`; false for an unknown kind.
bool SetRunEffect(const StyleRun& run, CHARFORMAT2W& format) {
  if (run.kind == kStyleColour) {
    format.dwMask = CFM_COLOR;
    format.dwEffects &= ~CFE_AUTOCOLOR;
    format.crTextColor = run.color;
    return true;
  }
  if (run.kind == kStyleCode) {
    format.dwMask = CFM_BACKCOLOR;
    format.dwEffects &= ~CFE_AUTOBACKCOLOR;
    format.crBackColor = ::GetSysColor(COLOR_BTNFACE);
    return true;
  }
  for (const RunEffect& effect : kRunEffects) {
    if (effect.kind != run.kind) continue;
    format.dwMask = effect.mask;
    format.dwEffects |= effect.effect;
    return true;
  }
  return false;
}

}  // namespace

void ApplyRuns(HWND pane, const StyleRunList& runs) {
  for (const StyleRun& run : runs) {
    CHARRANGE range{run.start, run.end};
    ::SendMessageW(pane, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&range));
    CHARFORMAT2W format{};
    format.cbSize = sizeof(format);
    ::SendMessageW(pane, EM_GETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format));
    if (SetRunEffect(run, format))
      ::SendMessageW(pane, EM_SETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format));
  }
}

bool HandleLinkNotification(const ENLINK& link, const StyleRunList& runs) {
  if (link.msg != WM_LBUTTONUP) return false;
  std::wstring url = FindLink(runs, link.chrg.cpMin, link.chrg.cpMax);
  if (!url.empty()) OpenLink(url);
  return true;
}

}  // namespace updater
