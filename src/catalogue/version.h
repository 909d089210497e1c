// The one version value of the catalogue: lenient parsing, formatting, comparisons, and the strict
// validation of the version conditions a publisher writes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace updater {

// Four signed parts (major, minor, build, revision) and how many the text gave. Comparisons use the
// four parts only; a value whose parts are all 0 stands for "no version" where a bound is optional.
struct VersionNumber {
  std::int32_t parts[4] = {0, 0, 0, 0};
  int count = 0;

  static VersionNumber Of(std::int32_t major, std::int32_t minor = 0, std::int32_t build = 0,
                          std::int32_t revision = 0);
  bool IsZero() const { return parts[0] == 0 && parts[1] == 0 && parts[2] == 0 && parts[3] == 0; }
};

// Four-part comparison: negative, 0 or positive. The count of parts given is ignored.
int CompareVersions(const VersionNumber& left, const VersionNumber& right);
inline bool SameVersion(const VersionNumber& left, const VersionNumber& right) {
  return CompareVersions(left, right) == 0;
}

// Operator codes of version conditions and of the detection comparison.
enum VersionOperator : int {
  kVersionEqual = 1,
  kVersionAtLeast = 2,
  kVersionAbove = 3,
  kVersionAtMost = 4,
  kVersionBelow = 5,
};

struct VersionCondition {
  int op = kVersionEqual;
  VersionNumber version;
};

// An application name with an interval (or one exact version) of its versions.
struct VersionRange {
  std::wstring applicationName;
  VersionNumber low;
  VersionNumber high;
  bool lowIncluded = false;
  bool highIncluded = false;
  bool exact = false;
};

// Describes which version texts a strict validation accepts.
struct VersionFormat {
  int maxParts = 4;
  int minSeparators = 1;  // separators between two parts
  int maxSeparators = 1;
  int minDigits = 1;      // digits of one part
  int maxDigits = 5;
  bool underscoreJoinsDigits = false;
  std::vector<std::int64_t> maxima;  // upper limits of the first parts
};

// The format of the versions inside conditions: up to 4 parts of 1-5 digits joined by single ".",
// the first three at most 65535.
const VersionFormat& ConditionVersionFormat();
// The regular expression (ECMAScript) for the start of a text in the given format.
std::wstring VersionPattern(const VersionFormat& format);
// True when the whole text (trailing blanks aside) is a version of the format; empty text is valid.
bool IsValidVersionText(const std::wstring& text, const VersionFormat& format);

// Lenient parse: groups of digits with anything in between; at most four groups are read.
// Fails (all parts cleared) for a text without digits or a part that does not fit 32 bits.
bool ParseVersion(const std::wstring& text, VersionNumber& version);
// Parts up to the last one that is neither 0 nor 65535, at least two; "0.0.0.0" when none.
std::wstring FormatVersion(const VersionNumber& version);
// The version of an executable from the two halves of its fixed file version.
VersionNumber FileVersionFromHalves(std::uint32_t mostSignificant, std::uint32_t leastSignificant);

// Detection comparison: operator 1 equal, 2 installed at least required; any other operator false.
bool CompareForDetection(const VersionNumber& installed, int op, const VersionNumber& required);

// An operator ("=", ">=", ">", "<=", "<" or none) followed by a strictly formed version.
bool ParseVersionCondition(const std::wstring& text, VersionCondition& condition);
bool MatchesCondition(const VersionNumber& version, const VersionCondition& condition);

// A name followed by "[low-high)" style brackets, or by one version in brackets.
bool ParseVersionRange(const std::wstring& text, VersionRange& range);
bool MatchesRange(const std::wstring& applicationName, const VersionNumber& version, const VersionRange& range);

// The running Windows (major, minor, build, 0) within optional inclusive bounds (all-0 = no bound).
bool WithinWindowsBounds(const VersionNumber& windows, const VersionNumber& minimum, const VersionNumber& maximum);

}  // namespace updater
