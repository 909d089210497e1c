// The decisions of the update wizard, its notification-area icon and its small windows, kept apart
// from the windows that show them: page sequences, selection rules, the summary's failure rule,
// text limits and the Update Options mapping take data and return data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/result_codes.h"
#include "config/command_line.h"

namespace updater {

// ---- Pages ----------------------------------------------------------------------------------------

enum class WizardPage { kWelcome, kSelection, kProgress, kSummary };

// The variant is the install run's mode after the automatic-update policy was applied: the
// interactive run chooses, the prompting run (after a background check) asks first, the two
// automatic runs only show their work.
std::vector<WizardPage> PagesOfMode(RunMode mode);

// Automatic runs always start in the notification area; the other two when asked to.
bool SheetStartsHidden(RunMode mode, bool startMinimized);

// Installation results after which the wizard closes by itself (unless the client asks for the
// summary every time): success and the two cancellations.
bool InstallEndsWithoutSummary(Result installResult, bool installSummaryAlways);

// ---- Selection list -------------------------------------------------------------------------------

enum class SelectionAction { kDownload, kInstall, kSkip };

// "Download" for a selected update still to download, "Install" for one already downloaded,
// "Skip" for one not selected.
SelectionAction ActionOf(bool selected, bool downloaded);

struct SelectionItem {
  std::wstring name;
  std::wstring dependsOn;  // name of the update this one needs, empty when none
  bool selected = false;
};

// Sets item `index` to `selected` and carries the change along the dependency chains: selecting
// an update selects what it depends on, to the end of the chain; unselecting it unselects what
// depends on it, likewise. Links are followed by name; a loop in the chain ends the walk. Returns
// the indexes whose state changed, the given one first when it changed.
std::vector<std::size_t> SetSelectionState(std::vector<SelectionItem>& items, std::size_t index, bool selected);

// List groups: when any category is not empty, the group of an item is its category or, when
// empty, the application name; groups are numbered in order of first appearance. Empty when no
// update has a category (the list then has no groups).
struct SelectionGroups {
  std::vector<std::wstring> names;  // index = group id
  std::vector<int> groupOfItem;
};
SelectionGroups GroupByCategory(const std::vector<std::wstring>& categories, const std::wstring& applicationName);

// The side-by-side layout (and the larger sheet) needs the client flag and a screen of at least
// 1024 by 768 pixels.
bool UsesVerticalSplit(bool vertSplitterFlag, int screenWidth, int screenHeight);
// A list of exactly one update is titled "Update Summary" unless the side-by-side layout is used.
bool SelectionTitledAsSummary(std::size_t itemCount, bool verticalSplit);

// ---- Summary --------------------------------------------------------------------------------------

// Every result other than success and the two "restart" successes counts as a failure.
bool IsInstallFailure(Result result);
// Results shown with their message alone; every other one reads "Error: <message>".
bool SummaryShowsPlainMessage(Result result);

// ---- Command links, notification-area icon ---------------------------------------------------------

// Icon size of the Welcome page's command links: 24 pixels below 96.93 dots per inch, 32 up to
// 144.92, above that 24 * dpi / 96 rounded to nearest.
int CommandLinkIconSize(double dotsPerInch);

inline constexpr std::size_t kTrayTipChars = 128;       // including the terminator
inline constexpr std::size_t kTrayShortTipChars = 64;   // shells that know only the short tooltip
inline constexpr std::size_t kBalloonTextChars = 254;
inline constexpr std::size_t kBalloonTitleChars = 62;
inline constexpr unsigned kBalloonTimeoutMs = 20000;

// The first `limit` characters of `text`; for fields with a terminator pass the field size less one.
std::wstring CutText(const std::wstring& text, std::size_t limit);
// Menus and tooltips read "&" as a mnemonic marker; doubling shows one ampersand.
std::wstring DoubleAmpersands(const std::wstring& text);

// ---- Update Options -------------------------------------------------------------------------------

// The dialog's three radio buttons (0 Disable, 1 Prompt, 2 automatic) and its drop-down (0 All,
// 1 Critical), enabled only with the third button.
struct OptionsChoice {
  int radio = 1;
  int dropdown = 0;
};

// The stored policy; when absent, the older "no automatic check" value (set means Disable).
// With `noDisableAutoCheck` the Disable choice is not offered and Prompt is chosen instead.
OptionsChoice ChoiceOfPolicy(std::optional<std::uint32_t> policy, std::optional<std::uint32_t> noAutoUpdateCheck,
                             bool noDisableAutoCheck);
std::uint32_t PolicyOfChoice(const OptionsChoice& choice);

// What OK in the dialog stores: the downloads folder only when its text differs from the current
// folder other than in case (an emptied field keeps the folder), the check frequency only when the
// number differs from the current one (a field that holds no number keeps it), the policy always.
struct OptionsWrites {
  std::optional<std::wstring> downloadsFolder;
  std::optional<std::int32_t> checkFrequency;
  std::uint32_t policy = 1;
};
OptionsWrites WritesOnAccept(const std::wstring& currentFolder, std::int32_t currentFrequency,
                             const std::wstring& folderText, const std::wstring& frequencyText,
                             const OptionsChoice& choice);

}  // namespace updater
