#include "ui/wizard_logic.h"

#include <gtest/gtest.h>

#include "config/settings_store.h"

namespace updater {
namespace {

using Pages = std::vector<WizardPage>;

TEST(WizardPages, SequenceAndHiddenStartFollowTheVariant) {
  const Pages chooser = {WizardPage::kSelection, WizardPage::kProgress, WizardPage::kSummary};
  const Pages automatic = {WizardPage::kProgress, WizardPage::kSummary};
  EXPECT_EQ(PagesOfMode(RunMode::InstallInteractive), chooser);
  EXPECT_EQ(PagesOfMode(RunMode::InstallSilent),
            (Pages{WizardPage::kWelcome, WizardPage::kSelection, WizardPage::kProgress, WizardPage::kSummary}));
  EXPECT_EQ(PagesOfMode(RunMode::InstallSilentAll), automatic);
  EXPECT_EQ(PagesOfMode(RunMode::InstallSilentCritical), automatic);

  EXPECT_TRUE(SheetStartsHidden(RunMode::InstallSilentAll, false));
  EXPECT_TRUE(SheetStartsHidden(RunMode::InstallSilentCritical, false));
  EXPECT_FALSE(SheetStartsHidden(RunMode::InstallInteractive, false));
  EXPECT_FALSE(SheetStartsHidden(RunMode::InstallSilent, false));
  EXPECT_TRUE(SheetStartsHidden(RunMode::InstallSilent, true));
}

TEST(WizardPages, SummaryFollowsAnyResultButSuccessAndTheTwoCancellations) {
  struct Case {
    Result result;
    bool endsAtOnce;
    bool failure;
    bool plainMessage;
  };
  const Case cases[] = {
      {0, true, false, true},
      {1223, true, true, true},         // cancelled by the user
      {1602, true, true, true},         // installation cancelled
      {3010, false, false, true},       // reboot required: a success, but shown
      {1641, false, false, true},
      {1603, false, true, false},
      {E_UPD_BAD_MD5, false, true, true},
      {E_UPD_BAD_SHA256, false, true, true},
      {E_UPD_CANCELED, false, true, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(InstallEndsWithoutSummary(c.result, false), c.endsAtOnce) << std::hex << c.result;
    EXPECT_FALSE(InstallEndsWithoutSummary(c.result, true)) << std::hex << c.result;
    EXPECT_EQ(IsInstallFailure(c.result), c.failure) << std::hex << c.result;
    EXPECT_EQ(SummaryShowsPlainMessage(c.result), c.plainMessage) << std::hex << c.result;
  }
}

TEST(SelectionList, ActionTextsAndTitles) {
  EXPECT_EQ(ActionOf(true, false), SelectionAction::kDownload);
  EXPECT_EQ(ActionOf(true, true), SelectionAction::kInstall);
  EXPECT_EQ(ActionOf(false, true), SelectionAction::kSkip);
  EXPECT_EQ(ActionOf(false, false), SelectionAction::kSkip);

  EXPECT_TRUE(UsesVerticalSplit(true, 1024, 768));
  EXPECT_FALSE(UsesVerticalSplit(true, 1023, 768));
  EXPECT_FALSE(UsesVerticalSplit(true, 1280, 767));
  EXPECT_FALSE(UsesVerticalSplit(false, 1920, 1080));
  EXPECT_TRUE(SelectionTitledAsSummary(1, false));
  EXPECT_FALSE(SelectionTitledAsSummary(1, true));
  EXPECT_FALSE(SelectionTitledAsSummary(2, false));
}

std::vector<SelectionItem> Chain() {
  // base <- plugin <- extra; plugin2 also needs base; loose stands alone; loopA and loopB need
  // each other.
  return {{L"base", L"", false},        {L"plugin", L"base", false}, {L"extra", L"plugin", false},
          {L"plugin2", L"base", false}, {L"loose", L"", false},      {L"loopA", L"loopB", false},
          {L"loopB", L"loopA", false},  {L"orphan", L"missing", false}};
}

std::vector<bool> States(const std::vector<SelectionItem>& items) {
  std::vector<bool> states;
  for (const SelectionItem& item : items) states.push_back(item.selected);
  return states;
}

TEST(SelectionList, CheckingFollowsWhatAnUpdateNeedsAndUncheckingWhatNeedsIt) {
  auto items = Chain();
  EXPECT_EQ(SetSelectionState(items, 2, true), (std::vector<std::size_t>{2, 1, 0}));
  EXPECT_EQ(States(items), (std::vector<bool>{true, true, true, false, false, false, false, false}));

  for (auto& item : items) item.selected = true;
  EXPECT_EQ(SetSelectionState(items, 0, false), (std::vector<std::size_t>{0, 1, 3, 2}));
  EXPECT_EQ(States(items), (std::vector<bool>{false, false, false, false, true, true, true, true}));

  // A loop ends the walk; a missing dependency changes nothing else; no change, no report.
  EXPECT_EQ(SetSelectionState(items, 5, false), (std::vector<std::size_t>{5, 6}));
  EXPECT_EQ(SetSelectionState(items, 5, true), (std::vector<std::size_t>{5, 6}));
  EXPECT_EQ(SetSelectionState(items, 7, false), (std::vector<std::size_t>{7}));
  EXPECT_EQ(SetSelectionState(items, 7, true), (std::vector<std::size_t>{7}));
  EXPECT_TRUE(SetSelectionState(items, 4, true).empty());
  EXPECT_TRUE(SetSelectionState(items, 99, true).empty());
}

TEST(SelectionList, GroupsByCategoryInOrderOfFirstAppearance) {
  SelectionGroups none = GroupByCategory({L"", L""}, L"Tool");
  EXPECT_TRUE(none.names.empty());
  EXPECT_TRUE(none.groupOfItem.empty());

  SelectionGroups groups = GroupByCategory({L"Plugins", L"", L"Core", L"Plugins", L""}, L"Tool");
  EXPECT_EQ(groups.names, (std::vector<std::wstring>{L"Plugins", L"Tool", L"Core"}));
  EXPECT_EQ(groups.groupOfItem, (std::vector<int>{0, 1, 2, 0, 1}));
}

TEST(TrayAndLinks, IconSizesTextLimitsAndAmpersands) {
  struct Dpi {
    double dpi;
    int size;
  };
  for (Dpi c : {Dpi{72, 24}, Dpi{96, 24}, Dpi{96.93, 32}, Dpi{120, 32}, Dpi{144.92, 32}, Dpi{144.93, 36},
                Dpi{192, 48}, Dpi{200, 50}}) {
    EXPECT_EQ(CommandLinkIconSize(c.dpi), c.size) << c.dpi;
  }
  std::wstring longText(300, L'x');
  EXPECT_EQ(CutText(longText, kBalloonTextChars).size(), 254u);
  EXPECT_EQ(CutText(std::wstring(100, L't'), kBalloonTitleChars).size(), 62u);
  EXPECT_EQ(CutText(longText, kTrayTipChars - 1).size(), 127u);
  EXPECT_EQ(CutText(L"short", kTrayShortTipChars - 1), L"short");
  EXPECT_EQ(DoubleAmpersands(L"Smith & Sons && Co&"), L"Smith && Sons &&&& Co&&");
}

TEST(UpdateOptions, PolicyAndChoiceMapBothWays) {
  struct Case {
    std::optional<std::uint32_t> policy;
    std::optional<std::uint32_t> noAutoCheck;
    bool noDisable;
    int radio;
    int dropdown;
  };
  const Case cases[] = {
      {0, std::nullopt, false, 0, 0},          {1, std::nullopt, false, 1, 0},
      {2, std::nullopt, false, 2, 0},          {3, std::nullopt, false, 2, 1},
      {7, std::nullopt, false, 2, 1},          // unknown policy: the last entry, not past it
      {std::nullopt, 1, false, 0, 0},          {std::nullopt, 0, false, 1, 0},
      {std::nullopt, std::nullopt, false, 1, 0}, {0, std::nullopt, true, 1, 0},
      {std::nullopt, 1, true, 1, 0},           {3, std::nullopt, true, 2, 1},
  };
  for (const Case& c : cases) {
    OptionsChoice choice = ChoiceOfPolicy(c.policy, c.noAutoCheck, c.noDisable);
    EXPECT_EQ(choice.radio, c.radio) << (c.policy ? static_cast<int>(*c.policy) : -1);
    EXPECT_EQ(choice.dropdown, c.dropdown) << (c.policy ? static_cast<int>(*c.policy) : -1);
  }
  EXPECT_EQ(PolicyOfChoice({0, 1}), kPolicyDisable);
  EXPECT_EQ(PolicyOfChoice({1, 1}), kPolicyPrompt);
  EXPECT_EQ(PolicyOfChoice({2, 0}), kPolicyAutoAll);
  EXPECT_EQ(PolicyOfChoice({2, 1}), kPolicyAutoCritical);
  EXPECT_EQ(PolicyOfChoice({2, 5}), kPolicyAutoCritical);
}

TEST(UpdateOptions, OkStoresOnlyWhatChanged) {
  struct Case {
    const wchar_t* folderText;
    const wchar_t* frequencyText;
    std::optional<std::wstring> folder;
    std::optional<std::int32_t> frequency;
  };
  const Case cases[] = {
      {L"C:\\Data\\Updates", L"3", std::nullopt, std::nullopt},          // nothing changed
      {L"c:\\DATA\\updates", L" 3 ", std::nullopt, std::nullopt},        // case and blanks are no change
      {L"D:\\Other", L"7", L"D:\\Other", 7},
      {L"  D:\\Other  ", L"03", L"D:\\Other", std::nullopt},            // trimmed; 03 is the same number
      {L"", L"", std::nullopt, std::nullopt},                             // emptied fields keep the values
      {L"C:\\Data\\Updates", L"0", std::nullopt, 0},
      {L"C:\\Data\\Updates", L"-2", std::nullopt, std::nullopt},         // not a number of days
      {L"C:\\Data\\Updates", L"99999999999", std::nullopt, std::nullopt},  // beyond any sensible number
  };
  for (const Case& c : cases) {
    OptionsWrites writes = WritesOnAccept(L"C:\\Data\\Updates", 3, c.folderText, c.frequencyText, {2, 1});
    EXPECT_EQ(writes.downloadsFolder, c.folder) << c.folderText;
    EXPECT_EQ(writes.checkFrequency, c.frequency) << c.frequencyText;
    EXPECT_EQ(writes.policy, kPolicyAutoCritical);
  }
}

}  // namespace
}  // namespace updater
