#include "catalogue/version.h"

#include <cwchar>
#include <regex>

#include "base/text_util.h"

namespace updater {

namespace {

constexpr std::int32_t kOverflowGuard = 214748364;  // INT32_MAX / 10
constexpr std::int32_t kLastSafeDigit = 7;          // INT32_MAX % 10

bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

void Clear(VersionNumber& version) { version = VersionNumber{}; }

}  // namespace

VersionNumber VersionNumber::Of(std::int32_t major, std::int32_t minor, std::int32_t build, std::int32_t revision) {
  VersionNumber version;
  version.parts[0] = major;
  version.parts[1] = minor;
  version.parts[2] = build;
  version.parts[3] = revision;
  version.count = 4;
  return version;
}

int CompareVersions(const VersionNumber& left, const VersionNumber& right) {
  for (int i = 0; i < 4; ++i) {
    if (left.parts[i] < right.parts[i]) return -1;
    if (left.parts[i] > right.parts[i]) return 1;
  }
  return 0;
}

const VersionFormat& ConditionVersionFormat() {
  static const VersionFormat format{4, 1, 1, 1, 5, false, {65535, 65535, 65535}};
  return format;
}

std::wstring VersionPattern(const VersionFormat& format) {
  std::wstring part;
  if (format.underscoreJoinsDigits) {
    // Digits, each after the first optionally preceded by one "_".
    part = L"[0-9](?:_?[0-9]){" + std::to_wstring(format.minDigits - 1) + L"," +
           std::to_wstring(format.maxDigits - 1) + L"}";
  } else {
    part = L"[0-9]{" + std::to_wstring(format.minDigits) + L"," + std::to_wstring(format.maxDigits) + L"}";
  }
  std::wstring separator =
      L"\\.{" + std::to_wstring(format.minSeparators) + L"," + std::to_wstring(format.maxSeparators) + L"}";
  return part + L"(?:" + separator + part + L"){0," + std::to_wstring(format.maxParts - 1) + L"}";
}

bool IsValidVersionText(const std::wstring& text, const VersionFormat& format) {
  if (text.empty()) return true;
  // The expression for the condition format is built once; other formats are rare.
  static const std::wregex conditionExpression(VersionPattern(ConditionVersionFormat()) + L"[ \\t]*",
                                               std::regex::ECMAScript | std::regex::optimize);
  bool matched;
  if (&format == &ConditionVersionFormat()) {
    matched = std::regex_match(text, conditionExpression);
  } else {
    std::wregex expression(VersionPattern(format) + L"[ \\t]*", std::regex::ECMAScript);
    matched = std::regex_match(text, expression);
  }
  if (!matched) return false;

  // Upper limits of the first parts; parts are short digit runs here, so 64 bits cannot overflow.
  size_t position = 0;
  for (size_t index = 0; index < format.maxima.size(); ++index) {
    while (position < text.size() && !IsDigit(text[position])) {
      if (text[position] != L'.') return true;  // trailing blanks: no more parts
      ++position;
    }
    if (position >= text.size()) break;
    std::int64_t value = 0;
    while (position < text.size() && (IsDigit(text[position]) || text[position] == L'_')) {
      if (text[position] != L'_') value = value * 10 + (text[position] - L'0');
      ++position;
    }
    if (value > format.maxima[index]) return false;
  }
  return true;
}

bool ParseVersion(const std::wstring& text, VersionNumber& version) {
  Clear(version);
  if (text.empty()) return false;
  size_t position = FindFirstDigit(text);
  if (position == std::wstring::npos) return false;
  int count = 0;
  while (count < 4 && position != std::wstring::npos) {
    std::int32_t value = 0;
    while (position < text.size() && IsDigit(text[position])) {
      std::int32_t digit = text[position] - L'0';
      // Refuse any part that would not fit a signed 32-bit value.
      if (value > kOverflowGuard || (value == kOverflowGuard && digit > kLastSafeDigit)) {
        Clear(version);
        return false;
      }
      value = value * 10 + digit;
      ++position;
    }
    version.parts[count++] = value;
    position = FindFirstDigit(text, position);
  }
  version.count = count;
  return true;
}

std::wstring FormatVersion(const VersionNumber& version) {
  int last = -1;
  for (int i = 3; i >= 0; --i) {
    if (version.parts[i] != 0 && version.parts[i] != 65535) {
      last = i;
      break;
    }
  }
  if (last < 0) return L"0.0.0.0";
  if (last < 1) last = 1;
  std::wstring text;
  for (int i = 0; i <= last; ++i) {
    if (i > 0) text += L'.';
    text += std::to_wstring(version.parts[i]);
  }
  return text;
}

VersionNumber FileVersionFromHalves(std::uint32_t mostSignificant, std::uint32_t leastSignificant) {
  wchar_t text[64];
  swprintf(text, 64, L"%d.%d.%d.%d", static_cast<int>(mostSignificant >> 16), static_cast<int>(mostSignificant & 0xFFFF),
           static_cast<int>(leastSignificant >> 16), static_cast<int>(leastSignificant & 0xFFFF));
  VersionNumber version;
  ParseVersion(text, version);
  return version;
}

bool CompareForDetection(const VersionNumber& installed, int op, const VersionNumber& required) {
  if (op == kVersionEqual) return CompareVersions(installed, required) == 0;
  if (op == kVersionAtLeast) return CompareVersions(installed, required) >= 0;
  return false;
}

bool ParseVersionCondition(const std::wstring& text, VersionCondition& condition) {
  condition = VersionCondition{};
  size_t firstDigit = FindFirstDigit(text);
  std::wstring operatorText = firstDigit == std::wstring::npos ? std::wstring() : TrimBlanks(text.substr(0, firstDigit));
  std::wstring versionText = firstDigit == std::wstring::npos ? text : text.substr(firstDigit);

  if (operatorText == L"<=") {
    condition.op = kVersionAtMost;
  } else if (operatorText == L"<") {
    condition.op = kVersionBelow;
  } else if (operatorText == L">=") {
    condition.op = kVersionAtLeast;
  } else if (operatorText == L">") {
    condition.op = kVersionAbove;
  } else if (operatorText == L"=" || operatorText.empty()) {
    condition.op = kVersionEqual;
  } else {
    return false;
  }

  // The version must be well formed as a whole: a trailing part (a fifth part, a sixth digit, a word)
  // would otherwise be read by the lenient parser as further parts.
  if (!IsValidVersionText(versionText, ConditionVersionFormat())) return false;
  ParseVersion(versionText, condition.version);  // an empty text leaves 0.0.0.0
  return true;
}

bool MatchesCondition(const VersionNumber& version, const VersionCondition& condition) {
  int order = CompareVersions(version, condition.version);
  switch (condition.op) {
    case kVersionEqual: return order == 0;
    case kVersionAtLeast: return order >= 0;
    case kVersionAbove: return order > 0;
    case kVersionAtMost: return order <= 0;
    case kVersionBelow: return order < 0;
    default: return false;
  }
}

bool ParseVersionRange(const std::wstring& text, VersionRange& range) {
  range = VersionRange{};
  size_t bracket = text.rfind(L'[');
  if (bracket != std::wstring::npos) {
    range.lowIncluded = true;
  } else {
    bracket = text.rfind(L'(');
    if (bracket == std::wstring::npos) return false;
    range.lowIncluded = false;
  }
  range.applicationName = TrimBlanks(text.substr(0, bracket));
  std::wstring rangeText = TrimBlanks(text.substr(bracket + 1));
  if (rangeText.empty()) return false;
  wchar_t closing = rangeText.back();
  if (closing == L']') {
    range.highIncluded = true;
  } else if (closing == L')') {
    range.highIncluded = false;
  } else {
    return false;
  }
  rangeText.pop_back();

  size_t dash = rangeText.find(L'-');
  if (dash == 0) return false;
  if (dash == std::wstring::npos) {
    range.exact = true;
    return ParseVersion(rangeText, range.low);
  }
  return ParseVersion(rangeText.substr(0, dash), range.low) && ParseVersion(rangeText.substr(dash + 1), range.high);
}

bool MatchesRange(const std::wstring& applicationName, const VersionNumber& version, const VersionRange& range) {
  if (!applicationName.empty() && applicationName != range.applicationName) return false;
  if (range.exact) return CompareVersions(version, range.low) == 0;
  int fromLow = CompareVersions(version, range.low);
  int toHigh = CompareVersions(version, range.high);
  bool aboveLow = range.lowIncluded ? fromLow >= 0 : fromLow > 0;
  bool belowHigh = range.highIncluded ? toHigh <= 0 : toHigh < 0;
  return aboveLow && belowHigh;
}

bool WithinWindowsBounds(const VersionNumber& windows, const VersionNumber& minimum, const VersionNumber& maximum) {
  VersionNumber running = windows;
  running.parts[3] = 0;
  if (!minimum.IsZero() && CompareVersions(running, minimum) < 0) return false;
  if (!maximum.IsZero() && CompareVersions(running, maximum) > 0) return false;
  return true;
}

}  // namespace updater
