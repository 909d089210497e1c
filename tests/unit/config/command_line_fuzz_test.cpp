// Malformed command lines: the parser must answer every one with 0 or "invalid command line", never
// crash, and leave the caller's mode and options alone when it rejects a line.
#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <random>

#include "config/command_line.h"

namespace updater {
namespace {

const wchar_t* const kVocabulary[] = {
    L"/checknow", L"/silent", L"/silentall", L"/silentcritical", L"/configure", L"/install", L"/clean",
    L"/justcheck", L"/runservice", L"/debugservice", L"/installservice", L"/configservice", L"/uninstallservice",
    L"/runserver", L"/set", L"/automation", L"velmora-morvask-updater2:/Link", L"velmora-morvask-updater2:/Command",
    L"-nofreqcheck", L"-url", L"-minuseractions", L"-justdownload", L"-startminimized", L"-restartapp",
    L"-restartappcmd", L"-nogui", L"-reducedgui", L"-showaitdlg", L"-forcemsibasicui", L"-startappfirst",
    L"-dumpdetected", L"-critical", L"-installready", L"-name", L"-clsid", L"-registerproxystub", L"-Embedding",
    L"silent", L"silentall", L"silentcritical", L"checknow", L"rememberpassword", L"loglevel", L"proxy",
    L"retryattempts", L"autoupdatepolicy", L"downloadsfolder", L"s.ini", L"http://127.0.0.1/u.ini", L"123",
    L"/CHECKNOW", L"-NoGui", L"\"", L"\"\"", L"\t", L"  ",
};

constexpr int kSwitchCount = 18;  // the first entries of the vocabulary select modes

class LineGenerator {
 public:
  explicit LineGenerator(unsigned seed) : random_(seed) {}

  std::wstring Next() {
    std::wstring line;
    // Half the lines start with a real switch and stay short, so that many get past mode selection.
    const bool switchFirst = Pick(0, 1) == 1;
    if (switchFirst) line = kVocabulary[Pick(0, kSwitchCount - 1)];
    const int count = switchFirst ? Pick(0, 5) : Pick(0, 16);
    for (int i = 0; i < count; ++i) {
      if ((switchFirst || i > 0) && Pick(0, 9) != 0) line += L' ';
      line += Token();
    }
    return line;
  }

 private:
  int Pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }

  std::wstring Token() {
    switch (Pick(0, 9)) {
      case 0:
        return Junk(Pick(1, 40));
      case 1:
        return L"\"" + Junk(Pick(0, 30));  // often unterminated
      case 2:
        return std::wstring(Pick(0, 1) ? 100000 : Pick(1, 5000), static_cast<wchar_t>(Pick(0x21, 0x7E)));
      case 3: {
        std::wstring word = kVocabulary[Pick(0, static_cast<int>(std::size(kVocabulary)) - 1)];
        word.insert(static_cast<size_t>(Pick(0, static_cast<int>(word.size()))), 1, static_cast<wchar_t>(Pick(0, 31)));
        return word;
      }
      default:
        return kVocabulary[Pick(0, static_cast<int>(std::size(kVocabulary)) - 1)];
    }
  }

  // Any UTF-16 unit, including NUL, control characters, quotes and unpaired surrogates.
  std::wstring Junk(int length) {
    std::wstring text;
    for (int i = 0; i < length; ++i) {
      switch (Pick(0, 3)) {
        case 0:
          text += static_cast<wchar_t>(Pick(0, 31));
          break;
        case 1:
          text += static_cast<wchar_t>(Pick(0, 0xFFFF));
          break;
        default:
          text += L" \"-/abc:\\"[Pick(0, 8)];
          break;
      }
    }
    return text;
  }

  std::mt19937 random_;
};

bool SameOptions(const RunOptions& a, const RunOptions& b) {
  return a.commandLine == b.commandLine && a.clientConfigPath == b.clientConfigPath &&
         a.urlOverride == b.urlOverride && a.restartApp == b.restartApp && a.noGui == b.noGui &&
         a.reducedGui == b.reducedGui && a.startAppFirst == b.startAppFirst && a.parentWindow == b.parentWindow &&
         a.setName == b.setName && a.clsid == b.clsid && a.linkTarget == b.linkTarget &&
         a.toastCommand == b.toastCommand && a.credentials == b.credentials && a.serviceName == b.serviceName;
}

TEST(CommandLineFuzz, MalformedLinesAreAnsweredCleanly) {
  LineGenerator generator(20240501u);
  const SettingsFileReader reader = [](const std::wstring& path, const std::wstring&, const std::wstring& key) {
    // An echo of the request, so that long or odd paths flow into the options too.
    return key == L"NoGUI" ? std::wstring(L"true") : path.substr(0, 64);
  };
  RunOptions sentinel;
  sentinel.commandLine = L"sentinel";
  sentinel.urlOverride = L"http://sentinel";
  sentinel.noGui = true;
  sentinel.reducedGui = true;  // a combination no successful parse produces
  sentinel.parentWindow = reinterpret_cast<HWND>(std::uintptr_t{7});

  int accepted = 0;
  for (int i = 0; i < 4000; ++i) {
    const std::wstring line = generator.Next();
    RunMode mode = RunMode::Automation;
    RunOptions options = sentinel;
    const Result result = ParseCommandLine(line, mode, options, reader);
    ASSERT_TRUE(result == kOk || result == E_UPD_COMMAND_LINE) << "case " << i << " gave " << std::hex << result;
    if (result == kOk) {
      ++accepted;
      const int value = static_cast<int>(mode);
      EXPECT_TRUE(value >= 0 && value <= 22 && value != 5) << "case " << i;
      EXPECT_FALSE(options.noGui && options.reducedGui && mode != RunMode::InstallInteractive &&
                   mode != RunMode::InstallSilent && mode != RunMode::InstallSilentAll &&
                   mode != RunMode::InstallSilentCritical)
          << "case " << i;
      EXPECT_EQ(options.commandLine, L"sentinel");
    } else {
      ASSERT_EQ(mode, RunMode::Automation) << "case " << i;
      ASSERT_TRUE(SameOptions(options, sentinel)) << "case " << i;
    }
  }
  // The vocabulary makes some lines valid; a generator that never produced one would test nothing of them.
  EXPECT_GT(accepted, 0);
  EXPECT_LT(accepted, 4000);
}

TEST(CommandLineFuzz, TokenizerRoundTripsPlainAndQuotedArguments) {
  std::mt19937 random(77u);
  for (int i = 0; i < 2000; ++i) {
    std::vector<std::wstring> expected;
    std::wstring line;
    const int count = std::uniform_int_distribution<int>(1, 8)(random);
    for (int k = 0; k < count; ++k) {
      std::wstring argument;
      const int length = std::uniform_int_distribution<int>(1, 12)(random);
      const bool quoted = std::uniform_int_distribution<int>(0, 1)(random) == 1;
      for (int c = 0; c < length; ++c) {
        wchar_t unit = static_cast<wchar_t>(std::uniform_int_distribution<int>(0, 0xFFFF)(random));
        if (unit == L'"' || (!quoted && (unit == L' ' || unit == L'\t'))) unit = L'x';
        argument += unit;
      }
      expected.push_back(argument);
      line += (k > 0 ? L" " : L"") + (quoted ? L"\"" + argument + L"\"" : argument);
    }
    ASSERT_EQ(Tokenize(line), expected) << "case " << i;
  }
}

}  // namespace
}  // namespace updater
