#include "ui/wizard_logic.h"

#include <algorithm>
#include <cmath>

#include "base/text_util.h"
#include "config/settings_store.h"

namespace updater {

std::vector<WizardPage> PagesOfMode(RunMode mode) {
  switch (mode) {
    case RunMode::InstallSilent:
      return {WizardPage::kWelcome, WizardPage::kSelection, WizardPage::kProgress, WizardPage::kSummary};
    case RunMode::InstallSilentAll:
    case RunMode::InstallSilentCritical:
      return {WizardPage::kProgress, WizardPage::kSummary};
    default:
      return {WizardPage::kSelection, WizardPage::kProgress, WizardPage::kSummary};
  }
}

bool SheetStartsHidden(RunMode mode, bool startMinimized) {
  return mode == RunMode::InstallSilentAll || mode == RunMode::InstallSilentCritical || startMinimized;
}

bool InstallEndsWithoutSummary(Result installResult, bool installSummaryAlways) {
  if (installSummaryAlways) return false;
  return installResult == kOk || installResult == ERROR_CANCELLED || installResult == ERROR_INSTALL_USEREXIT;
}

SelectionAction ActionOf(bool selected, bool downloaded) {
  if (!selected) return SelectionAction::kSkip;
  return downloaded ? SelectionAction::kInstall : SelectionAction::kDownload;
}

namespace {

std::size_t FindByName(const std::vector<SelectionItem>& items, const std::wstring& name) {
  if (name.empty()) return items.size();
  for (std::size_t i = 0; i < items.size(); ++i)
    if (items[i].name == name) return i;
  return items.size();
}

void Change(std::vector<SelectionItem>& items, std::size_t index, bool selected, std::vector<std::size_t>& changed) {
  if (items[index].selected == selected) return;
  items[index].selected = selected;
  changed.push_back(index);
}

}  // namespace

std::vector<std::size_t> SetSelectionState(std::vector<SelectionItem>& items, std::size_t index, bool selected) {
  std::vector<std::size_t> changed;
  if (index >= items.size()) return changed;
  Change(items, index, selected, changed);
  std::vector<bool> visited(items.size(), false);
  visited[index] = true;
  if (selected) {
    // Down the chain of what this update needs.
    for (std::size_t at = FindByName(items, items[index].dependsOn); at < items.size() && !visited[at];
         at = FindByName(items, items[at].dependsOn)) {
      visited[at] = true;
      Change(items, at, true, changed);
    }
    return changed;
  }
  // Up the chains of what needs this update: several updates may depend on the same one.
  std::vector<std::size_t> pending{index};
  while (!pending.empty()) {
    std::size_t needed = pending.back();
    pending.pop_back();
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (visited[i] || items[i].dependsOn.empty() || items[i].dependsOn != items[needed].name) continue;
      visited[i] = true;
      Change(items, i, false, changed);
      pending.push_back(i);
    }
  }
  return changed;
}

SelectionGroups GroupByCategory(const std::vector<std::wstring>& categories, const std::wstring& applicationName) {
  SelectionGroups groups;
  bool any = std::any_of(categories.begin(), categories.end(), [](const std::wstring& c) { return !c.empty(); });
  if (!any) return groups;
  for (const std::wstring& category : categories) {
    const std::wstring& name = category.empty() ? applicationName : category;
    auto found = std::find(groups.names.begin(), groups.names.end(), name);
    if (found == groups.names.end()) {
      groups.names.push_back(name);
      found = groups.names.end() - 1;
    }
    groups.groupOfItem.push_back(static_cast<int>(found - groups.names.begin()));
  }
  return groups;
}

bool UsesVerticalSplit(bool vertSplitterFlag, int screenWidth, int screenHeight) {
  return vertSplitterFlag && screenWidth >= 1024 && screenHeight >= 768;
}

bool SelectionTitledAsSummary(std::size_t itemCount, bool verticalSplit) { return itemCount == 1 && !verticalSplit; }

bool IsInstallFailure(Result result) {
  return result != kOk && result != ERROR_SUCCESS_REBOOT_INITIATED && result != ERROR_SUCCESS_REBOOT_REQUIRED;
}

bool SummaryShowsPlainMessage(Result result) {
  return !IsInstallFailure(result) || result == ERROR_CANCELLED || result == ERROR_INSTALL_USEREXIT ||
         result == E_UPD_BAD_MD5 || result == E_UPD_BAD_SHA256;
}

int CommandLinkIconSize(double dotsPerInch) {
  if (dotsPerInch < 96.93) return 24;
  if (dotsPerInch <= 144.92) return 32;
  return static_cast<int>(std::lround(24.0 * dotsPerInch / 96.0));
}

std::wstring CutText(const std::wstring& text, std::size_t limit) {
  return text.size() <= limit ? text : text.substr(0, limit);
}

std::wstring DoubleAmpersands(const std::wstring& text) {
  std::wstring doubled;
  doubled.reserve(text.size());
  for (wchar_t c : text) {
    doubled += c;
    if (c == L'&') doubled += L'&';
  }
  return doubled;
}

OptionsChoice ChoiceOfPolicy(std::optional<std::uint32_t> policy, std::optional<std::uint32_t> noAutoUpdateCheck,
                             bool noDisableAutoCheck) {
  std::uint32_t value = policy ? *policy : (noAutoUpdateCheck && *noAutoUpdateCheck != 0 ? kPolicyDisable : kPolicyPrompt);
  OptionsChoice choice;
  choice.radio = static_cast<int>(std::min<std::uint32_t>(value, 2));
  // A policy above the known ones would point past the drop-down's two entries.
  choice.dropdown = value <= 2 ? 0 : static_cast<int>(std::min<std::uint32_t>(value - 2, 1));
  if (noDisableAutoCheck && choice.radio == 0) choice.radio = 1;
  return choice;
}

std::uint32_t PolicyOfChoice(const OptionsChoice& choice) {
  if (choice.radio < 2) return static_cast<std::uint32_t>(std::max(choice.radio, 0));
  return static_cast<std::uint32_t>(2 + std::clamp(choice.dropdown, 0, 1));
}

OptionsWrites WritesOnAccept(const std::wstring& currentFolder, std::int32_t currentFrequency,
                             const std::wstring& folderText, const std::wstring& frequencyText,
                             const OptionsChoice& choice) {
  OptionsWrites writes;
  writes.policy = PolicyOfChoice(choice);
  std::wstring folder = TrimBlanks(folderText);
  if (!folder.empty() && !EqualsIgnoringCase(folder, currentFolder)) writes.downloadsFolder = folder;
  std::wstring digits = TrimBlanks(frequencyText);
  bool number = !digits.empty() && digits.size() <= 6 &&
                std::all_of(digits.begin(), digits.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; });
  if (number) {
    auto frequency = static_cast<std::int32_t>(std::stol(digits));
    if (frequency != currentFrequency) writes.checkFrequency = frequency;
  }
  return writes;
}

}  // namespace updater
