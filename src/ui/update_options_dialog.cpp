#include "ui/update_options_dialog.h"
#include "ui/window_state.h"
#include "ui/window_classes.h"

#include <windows.h>
#include <shlobj.h>

#include <string>

#include "base/logger.h"
#include "base/string_table.h"
#include "base/win_handles.h"
#include "resources/resource_ids.h"
#include "resources/string_ids.h"
#include "ui/wizard_logic.h"

namespace updater {
namespace {

std::wstring ControlText(HWND dialog, int control) {
  HWND window = ::GetDlgItem(dialog, control);
  int length = ::GetWindowTextLengthW(window);
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  text.resize(static_cast<std::size_t>(::GetWindowTextW(window, text.data(), length + 1)));
  return text;
}

// "Next check: <date> <time>" in the user's formats: the stored time, or now when it is absent or
// past.
std::wstring NextCheckText(const SettingsStore& store) {
  FileTime64 now = CurrentUtcFileTime();
  std::optional<FileTime64> stored = store.ReadTime(SettingsKey::kSettings, kValueNextUpdateCheck);
  FileTime64 next = stored && *stored > now ? *stored : now;
  FILETIME utc{static_cast<DWORD>(next), static_cast<DWORD>(next >> 32)};
  SYSTEMTIME universal{}, local{};
  if (!::FileTimeToSystemTime(&utc, &universal) || !::SystemTimeToTzSpecificLocalTime(nullptr, &universal, &local))
    return {};
  wchar_t date[128] = L"", time[128] = L"";
  ::GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &local, nullptr, date, 128);
  ::GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &local, nullptr, time, 128);
  return LoadStringFilled(kStrNextCheck, {date, time});
}

class UpdateOptionsDialog {
 public:
  explicit UpdateOptionsDialog(AppSettings& settings) : settings_(settings) {}

  bool Show(HWND owner) {
    PrepareWindowClasses();
    INT_PTR result = ::DialogBoxParamW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_UPDATE_OPTIONS), owner,
                                       &DialogProcedure<UpdateOptionsDialog>, reinterpret_cast<LPARAM>(this));
    if (result == -1) LogFormat(kLogError, L"The Update Options dialog could not be created (error %lu).", ::GetLastError());
    return result == IDOK;
  }

 private:
  friend INT_PTR CALLBACK DialogProcedure<UpdateOptionsDialog>(HWND, UINT, WPARAM, LPARAM);
  // Every message of the window, from WM_INITDIALOG on.
  INT_PTR OnMessage(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
      case WM_INITDIALOG:
        dialog_ = dialog;
        Init();
        return TRUE;
      case WM_COMMAND:
        switch (LOWORD(wParam)) {
          case IDC_OPTIONS_DISABLE:
          case IDC_OPTIONS_PROMPT:
          case IDC_OPTIONS_AUTO:
            UpdateDropDown();
            return TRUE;
          case IDC_OPTIONS_BROWSE:
            BrowseForFolder();
            return TRUE;
          case IDOK:
            Accept();
            ::EndDialog(dialog, IDOK);
            return TRUE;
          case IDCANCEL:
            ::EndDialog(dialog, IDCANCEL);
            return TRUE;
          default:
            return FALSE;
        }
      default:
        return FALSE;
    }
  }

  void Init() {
    ::SetWindowTextW(dialog_, LoadStringResource(kStrUpdateOptions).c_str());
    const std::pair<int, unsigned> texts[] = {
        {IDC_OPTIONS_DISABLE, kStrOptionDisable},     {IDC_OPTIONS_PROMPT, kStrOptionPrompt},
        {IDC_OPTIONS_AUTO, kStrOptionAutomatic},      {IDC_OPTIONS_KIND_SUFFIX, kStrOptionUpdatesSuffix},
        {IDC_OPTIONS_FREQUENCY_LABEL, kStrCheckFrequency}, {IDC_OPTIONS_DAYS, kStrDays},
        {IDC_OPTIONS_FOLDER_LABEL, kStrDownloadsFolder},   {IDOK, kStrOk},
        {IDCANCEL, kStrCancel}};
    for (const auto& [control, text] : texts) ::SetDlgItemTextW(dialog_, control, LoadStringResource(text).c_str());
    HWND kind = ::GetDlgItem(dialog_, IDC_OPTIONS_KIND);
    for (unsigned text : {kStrOptionAll, kStrOptionCritical})
      ::SendMessageW(kind, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(LoadStringResource(text).c_str()));

    const SettingsStore& store = settings_.Store();
    std::optional<bool> noAutoCheck = store.ReadFlag(SettingsKey::kSettings, kValueNoAutoUpdateCheck);
    std::optional<std::uint32_t> legacy;
    if (noAutoCheck) legacy = *noAutoCheck ? 1u : 0u;
    bool noDisable = settings_.HasClientFlag(kClientNoDisableAutoCheck);
    OptionsChoice choice =
        ChoiceOfPolicy(store.ReadNumber(SettingsKey::kSettings, kValueAutoUpdatePolicy), legacy, noDisable);
    const int radios[] = {IDC_OPTIONS_DISABLE, IDC_OPTIONS_PROMPT, IDC_OPTIONS_AUTO};
    ::CheckRadioButton(dialog_, IDC_OPTIONS_DISABLE, IDC_OPTIONS_AUTO, radios[choice.radio]);
    ::SendMessageW(kind, CB_SETCURSEL, static_cast<WPARAM>(choice.dropdown), 0);
    if (noDisable) ::EnableWindow(::GetDlgItem(dialog_, IDC_OPTIONS_DISABLE), FALSE);
    UpdateDropDown();

    ::SetDlgItemTextW(dialog_, IDC_OPTIONS_FREQUENCY, std::to_wstring(settings_.CheckFrequency()).c_str());
    ::SetDlgItemTextW(dialog_, IDC_OPTIONS_FOLDER, settings_.downloadsFolder.c_str());
    ::SetDlgItemTextW(dialog_, IDC_OPTIONS_NEXT_CHECK, NextCheckText(store).c_str());
  }

  OptionsChoice Choice() const {
    OptionsChoice choice;
    choice.radio = ::IsDlgButtonChecked(dialog_, IDC_OPTIONS_DISABLE) == BST_CHECKED  ? 0
                   : ::IsDlgButtonChecked(dialog_, IDC_OPTIONS_AUTO) == BST_CHECKED ? 2
                                                                                    : 1;
    LRESULT selected = ::SendDlgItemMessageW(dialog_, IDC_OPTIONS_KIND, CB_GETCURSEL, 0, 0);
    choice.dropdown = selected == 1 ? 1 : 0;
    return choice;
  }

  // The drop-down belongs to the third choice.
  void UpdateDropDown() {
    ::EnableWindow(::GetDlgItem(dialog_, IDC_OPTIONS_KIND), Choice().radio == 2);
  }

  void BrowseForFolder() {
    std::wstring title = LoadStringResource(kStrDownloadsFolder);
    BROWSEINFOW browse{};
    browse.hwndOwner = dialog_;
    browse.lpszTitle = title.c_str();
    browse.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
    ComInitialization com(COINIT_APARTMENTTHREADED);
    UniqueCoTaskMem items(::SHBrowseForFolderW(&browse));
    if (!items) return;
    wchar_t path[MAX_PATH] = L"";
    if (::SHGetPathFromIDListW(static_cast<PCIDLIST_ABSOLUTE>(items.Get()), path))
      ::SetDlgItemTextW(dialog_, IDC_OPTIONS_FOLDER, path);
  }

  void Accept() {
    const SettingsStore& store = settings_.Store();
    OptionsWrites writes = WritesOnAccept(settings_.downloadsFolder, settings_.CheckFrequency(),
                                          ControlText(dialog_, IDC_OPTIONS_FOLDER),
                                          ControlText(dialog_, IDC_OPTIONS_FREQUENCY), Choice());
    if (writes.downloadsFolder) {
      store.WriteString(SettingsKey::kSettings, kValueDownloadsFolder, *writes.downloadsFolder);
      settings_.downloadsFolder = *writes.downloadsFolder;
    }
    if (writes.checkFrequency) {
      store.WriteNumber(SettingsKey::kSettings, kValueCheckFrequency, static_cast<std::uint32_t>(*writes.checkFrequency));
      settings_.checkFrequency = *writes.checkFrequency;
      ScheduleNextCheck(store, *writes.checkFrequency);
    }
    store.WriteNumber(SettingsKey::kSettings, kValueAutoUpdatePolicy, writes.policy);
    LogFormat(kLogInfo, L"Update options stored: policy %u.", writes.policy);
  }

  AppSettings& settings_;
  HWND dialog_ = nullptr;
};

}  // namespace

bool ShowUpdateOptions(HWND owner, AppSettings& settings) {
  UpdateOptionsDialog dialog(settings);
  return dialog.Show(owner);
}

}  // namespace updater
