#include "catalogue/version.h"

#include <gtest/gtest.h>

namespace updater {
namespace {

VersionNumber Parsed(const std::wstring& text) {
  VersionNumber version;
  EXPECT_TRUE(ParseVersion(text, version)) << "text: " << std::string(text.begin(), text.end());
  return version;
}

void ExpectParts(const VersionNumber& v, int a, int b, int c, int d) {
  EXPECT_EQ(v.parts[0], a);
  EXPECT_EQ(v.parts[1], b);
  EXPECT_EQ(v.parts[2], c);
  EXPECT_EQ(v.parts[3], d);
}

TEST(ParseVersion, ReadsGroupsOfDigitsWhateverSeparatesThem) {
  ExpectParts(Parsed(L"1.2.3"), 1, 2, 3, 0);
  ExpectParts(Parsed(L"v1.2.3"), 1, 2, 3, 0);
  ExpectParts(Parsed(L"1-2 build 3"), 1, 2, 3, 0);
  ExpectParts(Parsed(L"1_2_3"), 1, 2, 3, 0);
  VersionNumber ten = Parsed(L"10");
  ExpectParts(ten, 10, 0, 0, 0);
  EXPECT_EQ(ten.count, 1);
  EXPECT_EQ(Parsed(L"1.2.3").count, 3);
}

TEST(ParseVersion, ReadsAtMostFourPartsAndSkipsEmptyGroups) {
  VersionNumber five = Parsed(L"1.2.3.4.5");
  ExpectParts(five, 1, 2, 3, 4);
  EXPECT_EQ(five.count, 4);
  VersionNumber doubled = Parsed(L"1..2");
  ExpectParts(doubled, 1, 2, 0, 0);
  EXPECT_EQ(doubled.count, 2);
}

TEST(ParseVersion, FailsWithoutDigits) {
  VersionNumber version = VersionNumber::Of(9, 9, 9, 9);
  EXPECT_FALSE(ParseVersion(L"", version));
  ExpectParts(version, 0, 0, 0, 0);
  version = VersionNumber::Of(9, 9, 9, 9);
  EXPECT_FALSE(ParseVersion(L"abc.def", version));
  ExpectParts(version, 0, 0, 0, 0);
  EXPECT_EQ(version.count, 0);
}

TEST(ParseVersion, OverflowGuardClearsEveryPart) {
  ExpectParts(Parsed(L"2147483647"), 2147483647, 0, 0, 0);
  VersionNumber version;
  EXPECT_FALSE(ParseVersion(L"1.21474836470", version));
  ExpectParts(version, 0, 0, 0, 0);
  // Ten digits that do not fit a signed 32-bit part are refused as well.
  EXPECT_FALSE(ParseVersion(L"2147483648", version));
  EXPECT_FALSE(ParseVersion(L"3.2.9999999999", version));
  ExpectParts(version, 0, 0, 0, 0);
}

TEST(FormatVersion, DropsTrailingZeroAnd65535PartsKeepingTwo) {
  EXPECT_EQ(FormatVersion(VersionNumber::Of(6, 1)), L"6.1");
  EXPECT_EQ(FormatVersion(VersionNumber::Of(10)), L"10.0");
  EXPECT_EQ(FormatVersion(VersionNumber::Of(5)), L"5.0");
  EXPECT_EQ(FormatVersion(VersionNumber::Of(1, 2, 3)), L"1.2.3");
  EXPECT_EQ(FormatVersion(VersionNumber::Of(1, 0, 0, 5)), L"1.0.0.5");
  EXPECT_EQ(FormatVersion(VersionNumber::Of(2, 65535)), L"2.65535");
  EXPECT_EQ(FormatVersion(VersionNumber::Of(2, 3, 65535, 65535)), L"2.3");
  EXPECT_EQ(FormatVersion(VersionNumber{}), L"0.0.0.0");
}

TEST(FileVersion, FormsPartsFromTheHalves) {
  ExpectParts(FileVersionFromHalves(0x00060001, 0x1DB10000), 6, 1, 7601, 0);
}

TEST(CompareForDetection, EqualAndAtLeast) {
  VersionNumber installed = VersionNumber::Of(2, 0, 0, 1);
  VersionNumber required = Parsed(L"2.0");
  EXPECT_TRUE(CompareForDetection(installed, kVersionAtLeast, required));
  EXPECT_FALSE(CompareForDetection(installed, kVersionEqual, required));
  EXPECT_TRUE(CompareForDetection(required, kVersionEqual, VersionNumber::Of(2)));  // count ignored
  EXPECT_FALSE(CompareForDetection(VersionNumber::Of(1, 9, 9, 9), kVersionAtLeast, required));
  EXPECT_TRUE(CompareForDetection(required, kVersionAtLeast, required));
  EXPECT_FALSE(CompareForDetection(required, kVersionAbove, VersionNumber{}));  // only 1 and 2 detect
  EXPECT_FALSE(CompareForDetection(required, 0, required));
}

TEST(CompareForDetection, PartsAreSigned) {
  VersionNumber negative = VersionNumber::Of(-1);
  EXPECT_FALSE(CompareForDetection(negative, kVersionAtLeast, VersionNumber{}));
}

TEST(VersionCondition, OperatorsAndTheirCodes) {
  VersionCondition condition;
  ASSERT_TRUE(ParseVersionCondition(L"<=1.5", condition));
  EXPECT_EQ(condition.op, kVersionAtMost);
  ASSERT_TRUE(ParseVersionCondition(L" < 1.5", condition));
  EXPECT_EQ(condition.op, kVersionBelow);
  ASSERT_TRUE(ParseVersionCondition(L">= 1.5", condition));
  EXPECT_EQ(condition.op, kVersionAtLeast);
  ASSERT_TRUE(ParseVersionCondition(L">1.5", condition));
  EXPECT_EQ(condition.op, kVersionAbove);
  ASSERT_TRUE(ParseVersionCondition(L"=1.5", condition));
  EXPECT_EQ(condition.op, kVersionEqual);
  ASSERT_TRUE(ParseVersionCondition(L"1.5.2", condition));
  EXPECT_EQ(condition.op, kVersionEqual);
  ExpectParts(condition.version, 1, 5, 2, 0);
}

TEST(VersionCondition, AtMostAcceptsUpToTheBoundOnly) {
  VersionCondition condition;
  ASSERT_TRUE(ParseVersionCondition(L"<=1.5", condition));
  EXPECT_TRUE(MatchesCondition(VersionNumber::Of(1, 5), condition));
  EXPECT_TRUE(MatchesCondition(VersionNumber::Of(1, 4, 9, 9), condition));
  EXPECT_FALSE(MatchesCondition(VersionNumber::Of(1, 5, 0, 1), condition));
}

TEST(VersionCondition, EveryOperatorMatches) {
  VersionCondition condition;
  VersionNumber same = VersionNumber::Of(2, 1), lower = VersionNumber::Of(2, 0, 9), higher = VersionNumber::Of(2, 1, 0, 1);
  ASSERT_TRUE(ParseVersionCondition(L">2.1", condition));
  EXPECT_TRUE(MatchesCondition(higher, condition));
  EXPECT_FALSE(MatchesCondition(same, condition));
  ASSERT_TRUE(ParseVersionCondition(L">=2.1", condition));
  EXPECT_TRUE(MatchesCondition(same, condition));
  EXPECT_FALSE(MatchesCondition(lower, condition));
  ASSERT_TRUE(ParseVersionCondition(L"<2.1", condition));
  EXPECT_TRUE(MatchesCondition(lower, condition));
  EXPECT_FALSE(MatchesCondition(same, condition));
  ASSERT_TRUE(ParseVersionCondition(L"2.1", condition));
  EXPECT_TRUE(MatchesCondition(same, condition));
  EXPECT_FALSE(MatchesCondition(higher, condition));
}

TEST(VersionCondition, MalformedEntriesFail) {
  VersionCondition condition;
  EXPECT_FALSE(ParseVersionCondition(L"~1.0", condition));
  EXPECT_FALSE(ParseVersionCondition(L"=>1.0", condition));
  EXPECT_FALSE(ParseVersionCondition(L"1.65536", condition));
  EXPECT_FALSE(ParseVersionCondition(L"1.2.3.4.5", condition));
  EXPECT_FALSE(ParseVersionCondition(L"123456", condition));
  EXPECT_FALSE(ParseVersionCondition(L"1..2", condition));
  EXPECT_FALSE(ParseVersionCondition(L"1.2beta3", condition));
  EXPECT_FALSE(ParseVersionCondition(L"abc", condition));  // no digit: the whole text is the version
  // The fourth part has no upper limit other than its five digits.
  EXPECT_TRUE(ParseVersionCondition(L"65535.65535.65535.99999", condition));
}

TEST(VersionCondition, MissingVersionIsValidAndZero) {
  VersionCondition condition;
  ASSERT_TRUE(ParseVersionCondition(L"", condition));
  EXPECT_EQ(condition.op, kVersionEqual);
  EXPECT_TRUE(condition.version.IsZero());
}

TEST(VersionCondition, DescriptorPattern) {
  EXPECT_EQ(VersionPattern(ConditionVersionFormat()), L"[0-9]{1,5}(?:\\.{1,1}[0-9]{1,5}){0,3}");
  VersionFormat underscored{4, 1, 1, 2, 9, true, {255, 255, 65535}};
  EXPECT_TRUE(IsValidVersionText(L"1_2.255", underscored));
  EXPECT_FALSE(IsValidVersionText(L"12_34.255", underscored));  // 1234 above 255
  EXPECT_FALSE(IsValidVersionText(L"10.256", underscored));
  EXPECT_FALSE(IsValidVersionText(L"1.25", underscored));  // first part needs two digits
}

VersionRange Range(const std::wstring& text) {
  VersionRange range;
  EXPECT_TRUE(ParseVersionRange(text, range));
  return range;
}

TEST(VersionRange, HalfOpenInterval) {
  VersionRange range = Range(L"App [1.0-2.0)");
  EXPECT_EQ(range.applicationName, L"App");
  EXPECT_TRUE(range.lowIncluded);
  EXPECT_FALSE(range.highIncluded);
  EXPECT_FALSE(range.exact);
  EXPECT_TRUE(MatchesRange(L"App", VersionNumber::Of(1, 0), range));
  EXPECT_TRUE(MatchesRange(L"App", VersionNumber::Of(1, 9, 9, 9), range));
  EXPECT_FALSE(MatchesRange(L"App", VersionNumber::Of(2, 0), range));
  EXPECT_FALSE(MatchesRange(L"App", VersionNumber::Of(0, 9), range));
}

TEST(VersionRange, OtherHalfOpenInterval) {
  VersionRange range = Range(L"App (1.0-2.0]");
  EXPECT_TRUE(MatchesRange(L"App", VersionNumber::Of(2, 0), range));
  EXPECT_FALSE(MatchesRange(L"App", VersionNumber::Of(1, 0), range));
  EXPECT_TRUE(MatchesRange(L"App", VersionNumber::Of(1, 0, 0, 1), range));
}

TEST(VersionRange, ExactVersion) {
  VersionRange range = Range(L"App [1.5]");
  EXPECT_TRUE(range.exact);
  EXPECT_TRUE(MatchesRange(L"App", VersionNumber::Of(1, 5), range));
  EXPECT_FALSE(MatchesRange(L"App", VersionNumber::Of(1, 5, 0, 1), range));
  EXPECT_FALSE(MatchesRange(L"App", VersionNumber::Of(1, 4), range));
}

TEST(VersionRange, NameMustMatchWithCaseUnlessTheApplicationHasNone) {
  VersionRange range = Range(L"  My App  [1.0-2.0]");
  EXPECT_EQ(range.applicationName, L"My App");
  EXPECT_FALSE(MatchesRange(L"my app", VersionNumber::Of(1, 5), range));
  EXPECT_FALSE(MatchesRange(L"Other", VersionNumber::Of(1, 5), range));
  EXPECT_TRUE(MatchesRange(L"", VersionNumber::Of(1, 5), range));
}

TEST(VersionRange, LastBracketStartsTheRange) {
  VersionRange range = Range(L"App (x86) [3.0-4.0]");
  EXPECT_EQ(range.applicationName, L"App (x86)");
  EXPECT_TRUE(MatchesRange(L"App (x86)", VersionNumber::Of(3, 5), range));
}

TEST(VersionRange, MalformedEntriesFail) {
  VersionRange range;
  EXPECT_FALSE(ParseVersionRange(L"App 1.0-2.0", range));
  EXPECT_FALSE(ParseVersionRange(L"App [1.0-2.0", range));
  EXPECT_FALSE(ParseVersionRange(L"App [-2.0]", range));
  EXPECT_FALSE(ParseVersionRange(L"App [1.0-x]", range));
  EXPECT_FALSE(ParseVersionRange(L"App [x-2.0]", range));
  EXPECT_FALSE(ParseVersionRange(L"App []", range));
  EXPECT_FALSE(ParseVersionRange(L"App [", range));
}

TEST(WindowsBounds, InclusiveOptionalBounds) {
  VersionNumber win7 = VersionNumber::Of(6, 1, 7601);
  VersionNumber none;
  EXPECT_TRUE(WithinWindowsBounds(win7, none, none));
  EXPECT_TRUE(WithinWindowsBounds(win7, VersionNumber::Of(6, 1), none));
  EXPECT_TRUE(WithinWindowsBounds(win7, VersionNumber::Of(6, 1, 7601), VersionNumber::Of(6, 1, 7601)));
  EXPECT_FALSE(WithinWindowsBounds(win7, VersionNumber::Of(6, 2), none));
  EXPECT_FALSE(WithinWindowsBounds(win7, none, VersionNumber::Of(6, 0)));
  EXPECT_TRUE(WithinWindowsBounds(win7, none, VersionNumber::Of(10)));
  // The fourth part of a bound is compared with 0.
  EXPECT_FALSE(WithinWindowsBounds(win7, VersionNumber::Of(6, 1, 7601, 1), none));
  EXPECT_TRUE(WithinWindowsBounds(VersionNumber::Of(6, 1, 7601, 5), none, VersionNumber::Of(6, 1, 7601)));
}

}  // namespace
}  // namespace updater
