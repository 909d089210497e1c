// The Welcome page of the prompting run (after a background check): install now, be reminded
// tomorrow, or stop the automatic checks.
#include "base/logger.h"
#include "base/string_table.h"
#include "base/win_handles.h"
#include "config/settings_store.h"
#include "resources/resource_ids.h"
#include "resources/string_ids.h"
#include "ui/hyperlink_control.h"
#include "ui/update_options_dialog.h"
#include "ui/wizard_sheet.h"

namespace updater {
namespace {

// The wizard's own link colour, visited or not.
constexpr AnchorColours kConfigureLinkColours{RGB(0, 137, 231), RGB(0, 137, 231)};

void SetCommandLinkIcon(HWND page, int control, int icon) {
  UniqueScreenDc screen(::GetDC(nullptr));
  double dpi = screen ? ::GetDeviceCaps(screen.Get(), LOGPIXELSY) : 96;
  int size = CommandLinkIconSize(dpi);
  auto image = static_cast<HICON>(
      ::LoadImageW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(icon), IMAGE_ICON, size, size, LR_SHARED));
  if (image) ::SendDlgItemMessageW(page, control, BM_SETIMAGE, IMAGE_ICON, reinterpret_cast<LPARAM>(image));
}

void InitWelcome(HWND page, WizardSheet& sheet) {
  const std::pair<int, unsigned> texts[] = {{IDC_WELCOME_INSTALL, kStrDownloadAndInstallNow},
                                            {IDC_WELCOME_REMIND, kStrRemindMeTomorrow},
                                            {IDC_WELCOME_DISABLE, kStrDisableAutoCheck},
                                            {IDC_WELCOME_CONFIGURE, kStrConfigureOptions}};
  for (const auto& [control, text] : texts) ::SetDlgItemTextW(page, control, LoadStringResource(text).c_str());
  SetCommandLinkIcon(page, IDC_WELCOME_INSTALL, IDI_INSTALL_NOW);
  SetCommandLinkIcon(page, IDC_WELCOME_REMIND, IDI_REMIND_TOMORROW);
  SetCommandLinkIcon(page, IDC_WELCOME_DISABLE, IDI_DISABLE_CHECK);
  if (sheet.settings.HasClientFlag(kClientNoDisableAutoCheck))
    ::ShowWindow(::GetDlgItem(page, IDC_WELCOME_DISABLE), SW_HIDE);
  if (sheet.settings.HasClientFlag(kClientShowConfigOptionsButton)) {
    HWND link = ::GetDlgItem(page, IDC_WELCOME_CONFIGURE);
    MakeHyperlink(link, LoadStringResource(kStrUpdateOptions), kConfigureLinkColours);
    ::ShowWindow(link, SW_SHOW);
  }
}

void ActivateWelcome(WizardSheet& sheet) {
  sheet.SetButtonTexts();
  sheet.EnableButtons(kButtonNext | kButtonBack, kButtonNext);
  // The user answers with one of the command links.
  sheet.ShowButtons(kButtonBack | kButtonCancel | kButtonNext | kButtonFinish, kButtonBack | kButtonCancel);
  std::wstring title = LoadStringFilled(kStrFoundUpdatesFor, {sheet.ApplicationName()});
  sheet.SetTitle(title);
  if (sheet.StartsHidden())
    sheet.Tray().ShowBalloon(TrayIcon::Balloon::kInfo, title, sheet.ApplicationName(), kBalloonTimeoutMs);
}

// "Remind me tomorrow" and "Disable the automatic updates check" end the run at once.
void EndWithFinish(WizardSheet& sheet) {
  sheet.ShowButtons(kButtonBack | kButtonCancel | kButtonNext | kButtonFinish, kButtonBack | kButtonFinish);
  sheet.Press(PSBTN_FINISH);
}

}  // namespace

INT_PTR CALLBACK WelcomePageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
  WizardSheet* sheet = SheetOfPage(page, message, lParam);
  if (!sheet) return FALSE;
  switch (message) {
    case WM_INITDIALOG:
      InitWelcome(page, *sheet);
      return TRUE;
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDC_WELCOME_INSTALL:
          sheet->ShowButtons(kButtonBack | kButtonNext | kButtonFinish, kButtonBack | kButtonNext);
          sheet->SelectPage(WizardPage::kSelection);
          return TRUE;
        case IDC_WELCOME_REMIND:
          ScheduleNextCheck(sheet->settings.Store(), 1);
          Log(kLogInfo, L"The user asked to be reminded tomorrow.");
          EndWithFinish(*sheet);
          return TRUE;
        case IDC_WELCOME_CONFIGURE:
          if (HIWORD(wParam) == STN_CLICKED) ShowUpdateOptions(sheet->Window(), sheet->settings);
          return TRUE;
        case IDC_WELCOME_DISABLE:
          sheet->settings.Store().WriteNumber(SettingsKey::kSettings, kValueAutoUpdatePolicy, kPolicyDisable);
          Log(kLogInfo, L"The user disabled the automatic updates check.");
          EndWithFinish(*sheet);
          return TRUE;
        default:
          return FALSE;
      }
    case WM_NOTIFY: {
      const auto* header = reinterpret_cast<const NMHDR*>(lParam);
      if (header->code == PSN_SETACTIVE) {
        ActivateWelcome(*sheet);
        return Answer(page, 0);
      }
      if (header->code == PSN_WIZFINISH) {
        sheet->MarkFinished();
        return Answer(page, 0);
      }
      return FALSE;
    }
    default:
      return FALSE;
  }
}

}  // namespace updater
