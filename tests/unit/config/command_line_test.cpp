#include "config/command_line.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <tuple>

namespace updater {
namespace {

using Args = std::vector<std::wstring>;

// Settings files held in memory: (path, section, key) -> value; records what was asked for.
class FakeSettings {
 public:
  void Set(const std::wstring& path, const std::wstring& key, const std::wstring& value) {
    values_[{path, L"General", key}] = value;
  }
  SettingsFileReader Reader() {
    return [this](const std::wstring& path, const std::wstring& section, const std::wstring& key) {
      reads_.push_back(path + L"|" + section + L"|" + key);
      auto found = values_.find({path, section, key});
      return found == values_.end() ? std::wstring() : found->second;
    };
  }
  const Args& Reads() const { return reads_; }

 private:
  std::map<std::tuple<std::wstring, std::wstring, std::wstring>, std::wstring> values_;
  Args reads_;
};

struct Parsed {
  Result result = 0;
  RunMode mode = RunMode::CheckNow;
  RunOptions options;
};

Parsed Parse(const std::wstring& line, const SettingsFileReader& reader = SettingsFileReader()) {
  Parsed parsed;
  parsed.result = ParseCommandLine(line, parsed.mode, parsed.options, reader);
  return parsed;
}

bool IsValid(const std::wstring& line) { return Parse(line).result == kOk; }

std::wstring Repeat(const std::wstring& piece, int count) {
  std::wstring text;
  for (int i = 0; i < count; ++i) text += L" " + piece;
  return text;
}

// --- tokenizing ---------------------------------------------------------------------------------

TEST(Tokenize, EmptyAndBlankLinesGiveNoArguments) {
  EXPECT_TRUE(Tokenize(L"").empty());
  EXPECT_TRUE(Tokenize(L"   \t  ").empty());
}

TEST(Tokenize, SplitsAtBlanksAndSkipsRunsOfBlanks) {
  EXPECT_EQ(Tokenize(L"  /checknow \t -url   http://x/u.ini  "), (Args{L"/checknow", L"-url", L"http://x/u.ini"}));
}

TEST(Tokenize, QuotedArgumentKeepsBlanksAndLosesQuotes) {
  EXPECT_EQ(Tokenize(L"/install silentall \"C:\\Temp dir\\up date.ini\""),
            (Args{L"/install", L"silentall", L"C:\\Temp dir\\up date.ini"}));
}

TEST(Tokenize, UnterminatedQuoteTakesTheRestOfTheLine) {
  EXPECT_EQ(Tokenize(L"/a \"b c \"d e"), (Args{L"/a", L"b c ", L"d", L"e"}));
  EXPECT_EQ(Tokenize(L"/a \"b c  "), (Args{L"/a", L"b c  "}));
  EXPECT_EQ(Tokenize(L"\""), (Args{L""}));
}

TEST(Tokenize, QuotesInsideUnquotedArgumentStay) {
  EXPECT_EQ(Tokenize(L"a\"b c\"d"), (Args{L"a\"b", L"c\"d"}));
}

TEST(Tokenize, EmptyQuotedArgumentIsAnArgumentAndClosingQuoteEndsIt) {
  EXPECT_EQ(Tokenize(L"x \"\" y"), (Args{L"x", L"", L"y"}));
  EXPECT_EQ(Tokenize(L"\"ab\"cd"), (Args{L"ab", L"cd"}));
}

// --- mode selection -------------------------------------------------------------------------------

TEST(ParseMode, EachSwitchGivesItsModeNumber) {
  const std::wstring link = LinkArgument();
  const std::wstring command = CommandArgument();
  const struct {
    std::wstring line;
    int mode;
  } cases[] = {
      {L"/checknow", 0},
      {L"/silent", 1},
      {L"/silentall", 2},
      {L"/silentcritical", 3},
      {L"/configure", 4},
      {L"/install checknow s.ini", 6},
      {L"/install silent s.ini", 7},
      {L"/install silentall s.ini", 8},
      {L"/install silentcritical s.ini", 9},
      {L"/clean", 10},
      {L"/justcheck", 11},
      {L"/justcheck -critical", 12},
      {L"/runservice", 13},
      {L"/debugservice", 14},
      {L"/installservice", 15},
      {L"/configservice -name Svc", 16},
      {L"/uninstallservice", 17},
      {L"/runserver s.ini", 18},
      {L"/set loglevel Debug", 19},
      {L"/automation", 20},
      {link + L" https://example.com", 21},
      {command + L" purgenotifseen", 22},
  };
  for (const auto& c : cases) {
    Parsed parsed = Parse(c.line);
    EXPECT_EQ(parsed.result, kOk) << c.line;
    EXPECT_EQ(static_cast<int>(parsed.mode), c.mode) << c.line;
  }
}

TEST(ParseMode, InvalidLinesAreRejectedAndLeaveModeAndOptionsAlone) {
  const std::wstring invalid[] = {
      L"",           L"   ",       L"/CheckNow",    L"/SILENT", L"/Install silent s.ini", L"checknow", L"/checknow2",
      L"-nogui",     L"/unknown",  L"/Link x",      L"velmora-morvask-updater2:/link x",
      L"velmora-morvask-updater:/Link x",
  };
  for (const std::wstring& line : invalid) {
    RunMode mode = RunMode::Automation;
    RunOptions options;
    options.commandLine = L"kept";
    options.urlOverride = L"http://before";
    EXPECT_EQ(ParseCommandLine(line, mode, options, SettingsFileReader()), E_UPD_COMMAND_LINE) << line;
    EXPECT_EQ(mode, RunMode::Automation) << line;
    EXPECT_EQ(options.urlOverride, L"http://before") << line;
    EXPECT_EQ(options.commandLine, L"kept") << line;
  }
}

TEST(ParseMode, SuccessReplacesOptionsButKeepsTheRawCommandLine) {
  RunMode mode = RunMode::CheckNow;
  RunOptions options;
  options.commandLine = L"/silent";
  options.noGui = true;  // left over from elsewhere; a parse starts afresh
  EXPECT_EQ(ParseCommandLine(mode, options, SettingsFileReader()), kOk);
  EXPECT_EQ(mode, RunMode::Silent);
  EXPECT_FALSE(options.noGui);
  EXPECT_EQ(options.commandLine, L"/silent");
}

// --- check options --------------------------------------------------------------------------------

TEST(CheckOptions, EachOptionSetsItsField) {
  Parsed all = Parse(
      L"/silentall -nofreqcheck -url http://h/u.ini -minuseractions -justdownload -restartapp \"C:\\App dir\\a.exe\" "
      L"-restartappcmd \"-x -y\" -nogui -showaitdlg -forcemsibasicui -startappfirst");
  ASSERT_EQ(all.result, kOk);
  EXPECT_EQ(all.mode, RunMode::SilentAll);
  EXPECT_TRUE(all.options.noFreqCheck);
  EXPECT_EQ(all.options.urlOverride, L"http://h/u.ini");
  EXPECT_TRUE(all.options.minUserActions);
  EXPECT_TRUE(all.options.justDownload);
  EXPECT_EQ(all.options.restartApp, L"C:\\App dir\\a.exe");
  EXPECT_EQ(all.options.restartAppCmd, L"-x -y");
  EXPECT_TRUE(all.options.noGui);
  EXPECT_FALSE(all.options.reducedGui);
  EXPECT_TRUE(all.options.showWaitDlg);
  EXPECT_TRUE(all.options.forceMsiBasicUi);
  EXPECT_TRUE(all.options.startAppFirst);

  Parsed reduced = Parse(L"/silentcritical -reducedgui");
  ASSERT_EQ(reduced.result, kOk);
  EXPECT_TRUE(reduced.options.reducedGui);

  Parsed minimized = Parse(L"/silent -startminimized");
  ASSERT_EQ(minimized.result, kOk);
  EXPECT_TRUE(minimized.options.startMinimized);
}

TEST(CheckOptions, NoGuiAndReducedGuiRules) {
  EXPECT_FALSE(IsValid(L"/silent -nogui"));
  EXPECT_FALSE(IsValid(L"/checknow -reducedgui"));
  EXPECT_TRUE(IsValid(L"/silentall -nogui"));
  EXPECT_TRUE(IsValid(L"/silentcritical -nogui"));
  EXPECT_FALSE(IsValid(L"/silentall -nogui -reducedgui"));
  EXPECT_FALSE(IsValid(L"/silentall -reducedgui -nogui"));
}

TEST(CheckOptions, SilentAllOrCriticalOnlyOptions) {
  for (const wchar_t* option : {L"-justdownload", L"-nogui", L"-reducedgui", L"-nofreqcheck", L"-showaitdlg"}) {
    const std::wstring tail = std::wstring(L" ") + option;
    EXPECT_FALSE(IsValid(L"/checknow" + tail)) << option;
    EXPECT_FALSE(IsValid(L"/silent" + tail)) << option;
    EXPECT_TRUE(IsValid(L"/silentall" + tail)) << option;
    EXPECT_TRUE(IsValid(L"/silentcritical" + tail)) << option;
  }
}

TEST(CheckOptions, StartMinimizedOnlyWithCheckNowOrSilent) {
  EXPECT_TRUE(IsValid(L"/checknow -startminimized"));
  EXPECT_TRUE(IsValid(L"/silent -startminimized"));
  EXPECT_FALSE(IsValid(L"/silentall -startminimized"));
  EXPECT_FALSE(IsValid(L"/silentcritical -startminimized"));
}

TEST(CheckOptions, OrderOfOptionsDoesNotMatter) {
  Parsed forward = Parse(L"/checknow -startminimized -url http://h/u.ini");
  Parsed backward = Parse(L"/checknow -url http://h/u.ini -startminimized");
  for (const Parsed* parsed : {&forward, &backward}) {
    ASSERT_EQ(parsed->result, kOk);
    EXPECT_EQ(parsed->mode, RunMode::CheckNow);
    EXPECT_TRUE(parsed->options.startMinimized);
    EXPECT_EQ(parsed->options.urlOverride, L"http://h/u.ini");
  }

  Parsed restartFirst = Parse(L"/silent -restartappcmd --go -restartapp app.exe -startappfirst");
  Parsed restartLast = Parse(L"/silent -startappfirst -restartapp app.exe -restartappcmd --go");
  for (const Parsed* parsed : {&restartFirst, &restartLast}) {
    ASSERT_EQ(parsed->result, kOk);
    EXPECT_EQ(parsed->options.restartApp, L"app.exe");
    EXPECT_EQ(parsed->options.restartAppCmd, L"--go");
    EXPECT_TRUE(parsed->options.startAppFirst);
  }
}

TEST(CheckOptions, RepeatedOptionLaterValueWins) {
  Parsed parsed = Parse(L"/checknow -url http://first -restartapp a.exe -url http://second -restartapp b.exe");
  ASSERT_EQ(parsed.result, kOk);
  EXPECT_EQ(parsed.options.urlOverride, L"http://second");
  EXPECT_EQ(parsed.options.restartApp, L"b.exe");
}

TEST(CheckOptions, ValueOptionTakesTheNextArgumentWhateverItLooksLike) {
  Parsed parsed = Parse(L"/checknow -url -startminimized");
  ASSERT_EQ(parsed.result, kOk);
  EXPECT_EQ(parsed.options.urlOverride, L"-startminimized");
  EXPECT_FALSE(parsed.options.startMinimized);
}

TEST(CheckOptions, ValueOptionInLastPositionIsInvalid) {
  EXPECT_FALSE(IsValid(L"/checknow -url"));
  EXPECT_FALSE(IsValid(L"/checknow -startminimized -restartapp"));
  EXPECT_FALSE(IsValid(L"/silent -restartapp a.exe -restartappcmd"));
}

TEST(CheckOptions, StartAppFirstNeedsRestartApp) {
  EXPECT_FALSE(IsValid(L"/checknow -startappfirst"));
  EXPECT_FALSE(IsValid(L"/checknow -startappfirst -restartappcmd x"));
  EXPECT_TRUE(IsValid(L"/checknow -startappfirst -restartapp app.exe"));
}

TEST(CheckOptions, UnknownOrMiscasedOptionIsInvalid) {
  EXPECT_FALSE(IsValid(L"/checknow -startminimized junk"));
  EXPECT_FALSE(IsValid(L"/checknow -StartMinimized"));
  EXPECT_FALSE(IsValid(L"/checknow -critical"));
  EXPECT_FALSE(IsValid(L"/silentall -showwaitdlg"));  // the option is spelt "-showaitdlg"
}

// One pass tries every option once, in list order, at the moving position: options in list order are
// all taken by one pass; each step backwards in the list, and each repetition, costs a pass.
TEST(CheckOptionPasses, RepeatedOptionCostsOnePassEach) {
  EXPECT_TRUE(IsValid(L"/checknow" + Repeat(L"-minuseractions", 13)));
  EXPECT_FALSE(IsValid(L"/checknow" + Repeat(L"-minuseractions", 14)));
}

TEST(CheckOptionPasses, OptionsInListOrderShareOnePass) {
  // 13 x two options in list order: 26 arguments in 13 passes.
  EXPECT_TRUE(IsValid(L"/silentall" + Repeat(L"-nofreqcheck -nogui", 13)));
  EXPECT_FALSE(IsValid(L"/silentall" + Repeat(L"-nofreqcheck -nogui", 14)));
}

TEST(CheckOptionPasses, ReverseListOrderCostsOnePassPerOption) {
  // Ten options against the list order take ten passes; "-startappfirst" comes before "-restartapp",
  // which is fine because that requirement is tested only after the last pass.
  const std::wstring reversed =
      L"/silentall -startappfirst -forcemsibasicui -showaitdlg -nogui -restartappcmd x -restartapp app.exe "
      L"-justdownload -minuseractions -url http://h/u.ini -nofreqcheck";
  EXPECT_TRUE(IsValid(reversed));
  EXPECT_TRUE(IsValid(reversed + Repeat(L"-nofreqcheck", 3)));   // 13 passes
  EXPECT_FALSE(IsValid(reversed + Repeat(L"-nofreqcheck", 4)));  // 14 passes
}

// --- /install -------------------------------------------------------------------------------------

TEST(Install, KindWordChoosesTheMode) {
  EXPECT_EQ(Parse(L"/install silentall \"C:\\Temp dir\\s.ini\"").mode, RunMode::InstallSilentAll);
  EXPECT_EQ(Parse(L"/install checknow s.ini").mode, RunMode::InstallInteractive);
  EXPECT_EQ(Parse(L"/install anything s.ini").mode, RunMode::InstallInteractive);
  EXPECT_EQ(Parse(L"/install Silent s.ini").mode, RunMode::InstallInteractive);  // exact words only
}

TEST(Install, ReadsSectionGeneralOfTheQuotedSettingsPath) {
  const std::wstring path = L"C:\\Temp dir\\s.ini";
  FakeSettings settings;
  settings.Set(path, L"ClientConfigPath", L"C:\\App\\app.ini");
  settings.Set(path, L"ServerConfigPath", L"C:\\Temp dir\\app.dat");
  settings.Set(path, L"UninstallFilePath", L"C:\\Temp\\app.bat");
  settings.Set(path, L"RealUpdaterPath", L"C:\\App\\updater.exe");
  settings.Set(path, L"URL", L"http://h/u.ini");
  settings.Set(path, L"restartapp", L"C:\\App\\app.exe");
  settings.Set(path, L"restartappcmd", L"/reopen");
  for (const wchar_t* flag : {L"JustDownloadUpdates", L"StartMinimized", L"startappfirst", L"NoGUI", L"ReducedGUI",
                              L"ForceMSIBasicUI"}) {
    settings.Set(path, flag, L"true");
  }
  Parsed parsed = Parse(L"/install silentall \"" + path + L"\"", settings.Reader());
  ASSERT_EQ(parsed.result, kOk);
  EXPECT_EQ(parsed.mode, RunMode::InstallSilentAll);
  const RunOptions& o = parsed.options;
  EXPECT_EQ(o.clientConfigPath, L"C:\\App\\app.ini");
  EXPECT_EQ(o.serverConfigPath, L"C:\\Temp dir\\app.dat");
  EXPECT_EQ(o.uninstallFilePath, L"C:\\Temp\\app.bat");
  EXPECT_EQ(o.realUpdaterPath, L"C:\\App\\updater.exe");
  EXPECT_EQ(o.urlOverride, L"http://h/u.ini");
  EXPECT_EQ(o.restartApp, L"C:\\App\\app.exe");
  EXPECT_EQ(o.restartAppCmd, L"/reopen");
  EXPECT_TRUE(o.justDownload);
  EXPECT_TRUE(o.startMinimized);
  EXPECT_TRUE(o.startAppFirst);
  EXPECT_TRUE(o.noGui);
  EXPECT_TRUE(o.reducedGui);
  EXPECT_TRUE(o.forceMsiBasicUi);
  EXPECT_TRUE(o.credentials.empty());
  for (const std::wstring& read : settings.Reads()) {
    EXPECT_EQ(read.rfind(path + L"|General|", 0), 0u) << read;
  }
}

TEST(Install, FlagsAreSetOnlyByExactTrue) {
  for (const wchar_t* value : {L"True", L"TRUE", L"1", L"yes", L"true ", L" true", L""}) {
    FakeSettings settings;
    for (const wchar_t* flag : {L"JustDownloadUpdates", L"StartMinimized", L"startappfirst", L"NoGUI",
                                L"ReducedGUI", L"ForceMSIBasicUI"}) {
      settings.Set(L"s.ini", flag, value);
    }
    Parsed parsed = Parse(L"/install silent s.ini", settings.Reader());
    ASSERT_EQ(parsed.result, kOk);
    const RunOptions& o = parsed.options;
    EXPECT_FALSE(o.justDownload || o.startMinimized || o.startAppFirst || o.noGui || o.reducedGui ||
                 o.forceMsiBasicUi)
        << L"value [" << value << L"]";
  }
}

TEST(Install, MissingSettingsFileLeavesFieldsEmpty) {
  FakeSettings settings;
  Parsed parsed = Parse(L"/install checknow missing.ini", settings.Reader());
  ASSERT_EQ(parsed.result, kOk);
  EXPECT_TRUE(parsed.options.clientConfigPath.empty());
  EXPECT_FALSE(parsed.options.noGui);
  EXPECT_FALSE(settings.Reads().empty());
  // No reader at all behaves like a missing file.
  EXPECT_EQ(Parse(L"/install checknow s.ini").result, kOk);
}

TEST(Install, FourthArgumentIsTheCredentialsAndArgumentCountIsChecked) {
  Parsed parsed = Parse(L"/install silent s.ini \"DOMAIN\\J Smith:0A1B\"");
  ASSERT_EQ(parsed.result, kOk);
  EXPECT_EQ(parsed.options.credentials, L"DOMAIN\\J Smith:0A1B");
  EXPECT_FALSE(IsValid(L"/install"));
  EXPECT_FALSE(IsValid(L"/install silent"));
  EXPECT_FALSE(IsValid(L"/install silent s.ini user:00 extra"));
}

// --- the other modes -----------------------------------------------------------------------------

TEST(Clean, SilentWordOnly) {
  Parsed silent = Parse(L"/clean silent");
  ASSERT_EQ(silent.result, kOk);
  EXPECT_EQ(silent.mode, RunMode::Clean);
  EXPECT_TRUE(silent.options.cleanSilent);
  Parsed plain = Parse(L"/clean");
  ASSERT_EQ(plain.result, kOk);
  EXPECT_FALSE(plain.options.cleanSilent);
  EXPECT_FALSE(IsValid(L"/clean quiet"));
  EXPECT_FALSE(IsValid(L"/clean Silent"));
  EXPECT_FALSE(IsValid(L"/clean silent silent"));
}

TEST(Configure, ParentWindowIsAnUnsignedDecimal) {
  EXPECT_EQ(Parse(L"/configure").options.parentWindow, nullptr);
  EXPECT_EQ(Parse(L"/configure 132456").options.parentWindow, reinterpret_cast<HWND>(std::uintptr_t{132456}));
  EXPECT_EQ(Parse(L"/configure \"  \t77\"").options.parentWindow, reinterpret_cast<HWND>(std::uintptr_t{77}));
  EXPECT_EQ(Parse(L"/configure 12abc").options.parentWindow, reinterpret_cast<HWND>(std::uintptr_t{12}));
  EXPECT_EQ(Parse(L"/configure 4294967295").options.parentWindow,
            reinterpret_cast<HWND>(std::uintptr_t{0xFFFFFFFFu}));
  Parsed junk = Parse(L"/configure abc");
  EXPECT_EQ(junk.result, kOk);
  EXPECT_EQ(junk.options.parentWindow, nullptr);
  // Too large for a window handle: no owner rather than a wrapped or saturated one.
  EXPECT_EQ(Parse(L"/configure 4294967296").options.parentWindow, nullptr);
  EXPECT_EQ(Parse(L"/configure 99999999999999999999999").options.parentWindow, nullptr);
  EXPECT_FALSE(IsValid(L"/configure 1 2"));
}

TEST(JustCheck, OptionsInAnyOrder) {
  Parsed parsed = Parse(L"/justcheck -critical -installready");
  ASSERT_EQ(parsed.result, kOk);
  EXPECT_EQ(parsed.mode, RunMode::JustCheckCritical);
  EXPECT_TRUE(parsed.options.installReady);

  Parsed values = Parse(L"/justcheck -url http://h/u.ini -dumpdetected \"C:\\out dir\\d.ini\" -installready");
  ASSERT_EQ(values.result, kOk);
  EXPECT_EQ(values.mode, RunMode::JustCheck);
  EXPECT_EQ(values.options.urlOverride, L"http://h/u.ini");
  EXPECT_EQ(values.options.dumpDetectedPath, L"C:\\out dir\\d.ini");

  Parsed restart = Parse(L"/justcheck -restartappcmd -q -restartapp a.exe -critical");
  ASSERT_EQ(restart.result, kOk);
  EXPECT_EQ(restart.options.restartApp, L"a.exe");
  EXPECT_EQ(restart.options.restartAppCmd, L"-q");
}

TEST(JustCheck, AtMostFiveArgumentsAndKnownOptionsOnly) {
  EXPECT_TRUE(IsValid(L"/justcheck -critical -critical -critical -critical -critical"));
  EXPECT_FALSE(IsValid(L"/justcheck -critical -critical -critical -critical -critical -critical"));
  EXPECT_TRUE(IsValid(L"/justcheck -url a -url b -critical"));
  EXPECT_FALSE(IsValid(L"/justcheck -url a -url b -url c"));
  EXPECT_FALSE(IsValid(L"/justcheck -dumpdetected"));
  EXPECT_FALSE(IsValid(L"/justcheck -critical -url"));
  EXPECT_FALSE(IsValid(L"/justcheck -nogui"));
  EXPECT_FALSE(IsValid(L"/justcheck -startappfirst -restartapp a.exe"));
}

TEST(Services, NoFurtherArguments) {
  for (const wchar_t* service : {L"/runservice", L"/debugservice", L"/installservice", L"/uninstallservice"}) {
    EXPECT_TRUE(IsValid(service)) << service;
    EXPECT_FALSE(IsValid(std::wstring(service) + L" x")) << service;
  }
}

TEST(Services, ConfigServiceNeedsExactlyNameSwitchAndName) {
  Parsed parsed = Parse(L"/configservice -name \"Morvask Svc\"");
  ASSERT_EQ(parsed.result, kOk);
  EXPECT_EQ(parsed.mode, RunMode::ConfigService);
  EXPECT_EQ(parsed.options.serviceName, L"Morvask Svc");
  EXPECT_FALSE(IsValid(L"/configservice Svc"));
  EXPECT_FALSE(IsValid(L"/configservice -name"));
  EXPECT_FALSE(IsValid(L"/configservice -Name Svc"));
  EXPECT_FALSE(IsValid(L"/configservice -name Svc extra"));
}

TEST(RunServer, ReadsItsFourKeys) {
  FakeSettings settings;
  const std::wstring path = L"C:\\Temp\\kxw1\\up dater.ini";
  settings.Set(path, L"ClientConfigPath", L"c.ini");
  settings.Set(path, L"UninstallFilePath", L"u.bat");
  settings.Set(path, L"RealUpdaterPath", L"r.exe");
  settings.Set(path, L"IPCObjNameBase", L"Base42");
  settings.Set(path, L"NoGUI", L"true");  // not a key of this mode
  Parsed parsed = Parse(BuildRunServerArguments(path), settings.Reader());
  ASSERT_EQ(parsed.result, kOk);
  EXPECT_EQ(parsed.mode, RunMode::RunServer);
  EXPECT_EQ(parsed.options.clientConfigPath, L"c.ini");
  EXPECT_EQ(parsed.options.uninstallFilePath, L"u.bat");
  EXPECT_EQ(parsed.options.realUpdaterPath, L"r.exe");
  EXPECT_EQ(parsed.options.ipcObjNameBase, L"Base42");
  EXPECT_FALSE(parsed.options.noGui);
  EXPECT_FALSE(IsValid(L"/runserver"));
  EXPECT_FALSE(IsValid(L"/runserver a.ini b.ini"));
}

TEST(SetMode, NamesAndArgumentCounts) {
  Parsed level = Parse(L"/set loglevel Debug");
  ASSERT_EQ(level.result, kOk);
  EXPECT_EQ(level.mode, RunMode::Set);
  EXPECT_EQ(level.options.setName, L"loglevel");
  EXPECT_EQ(level.options.setValue, L"Debug");
  EXPECT_FALSE(IsValid(L"/set loglevel"));
  EXPECT_FALSE(IsValid(L"/set loglevel Debug Trace"));
  for (const wchar_t* name : {L"retryattempts", L"autoupdatepolicy", L"proxy", L"downloadsfolder"}) {
    EXPECT_TRUE(IsValid(std::wstring(L"/set ") + name + L" v")) << name;
  }

  EXPECT_FALSE(IsValid(L"/set rememberpassword 1"));
  Parsed remember = Parse(L"/set rememberpassword 1 \"http://h/x\"");
  ASSERT_EQ(remember.result, kOk);
  EXPECT_EQ(remember.options.setValue, L"1");
  EXPECT_EQ(remember.options.setValue2, L"http://h/x");
  EXPECT_FALSE(IsValid(L"/set rememberpassword 1 2 3"));

  EXPECT_FALSE(IsValid(L"/set"));
  EXPECT_FALSE(IsValid(L"/set LogLevel Debug"));
  EXPECT_FALSE(IsValid(L"/set colour blue"));
}

TEST(Automation, OptionsAndLimits) {
  Parsed parsed = Parse(L"/automation -Embedding -clsid {1234} -registerproxystub");
  ASSERT_EQ(parsed.result, kOk);
  EXPECT_EQ(parsed.mode, RunMode::Automation);
  EXPECT_TRUE(parsed.options.embedding);
  EXPECT_TRUE(parsed.options.registerProxyStub);
  EXPECT_EQ(parsed.options.clsid, L"{1234}");
  EXPECT_TRUE(IsValid(L"/automation -clsid a -clsid b"));
  EXPECT_FALSE(IsValid(L"/automation -clsid a -clsid b -Embedding"));
  // As COM starts a registered server: its own -Embedding after the registration's.
  EXPECT_TRUE(IsValid(L"/automation -clsid {1234} -registerproxystub -Embedding -Embedding"));
  EXPECT_FALSE(IsValid(L"/automation -clsid a -clsid b -Embedding -Embedding"));
  EXPECT_FALSE(IsValid(L"/automation -clsid"));
  EXPECT_FALSE(IsValid(L"/automation -embedding"));
  EXPECT_FALSE(IsValid(L"/automation x"));
}

TEST(Toast, LinkArgumentTakesOneOrTwoArguments) {
  const std::wstring link = LinkArgument();
  Parsed parsed = Parse(link + L" \"https://h/a b\" \"--p 1\"");
  ASSERT_EQ(parsed.result, kOk);
  EXPECT_EQ(parsed.mode, RunMode::ToastLink);
  EXPECT_EQ(parsed.options.linkTarget, L"https://h/a b");
  EXPECT_EQ(parsed.options.linkParameters, L"--p 1");
  EXPECT_FALSE(IsValid(link));
  EXPECT_FALSE(IsValid(link + L" a b c"));
}

TEST(Toast, CommandArgumentTakesOneToThreeArguments) {
  const std::wstring command = CommandArgument();
  Parsed parsed = Parse(command + L" PurgeNotifSeen MyApp 0123abcd");
  ASSERT_EQ(parsed.result, kOk);
  EXPECT_EQ(parsed.mode, RunMode::ToastCommand);
  EXPECT_EQ(parsed.options.toastCommand, L"PurgeNotifSeen");
  EXPECT_EQ(parsed.options.toastArg1, L"MyApp");
  EXPECT_EQ(parsed.options.toastArg2, L"0123abcd");
  EXPECT_FALSE(IsValid(command));
  EXPECT_FALSE(IsValid(command + L" a b c d"));
}

// --- command lines for the updater's own processes ------------------------------------------------

TEST(OwnCommandLines, ProtocolArguments) {
  EXPECT_EQ(LinkArgument(), L"velmora-morvask-updater2:/Link");
  EXPECT_EQ(CommandArgument(), L"velmora-morvask-updater2:/Command");
}

TEST(OwnCommandLines, InstallHandOverParsesBackIntoTheMatchingInstallMode) {
  const std::wstring path = L"C:\\Users\\J Smith\\Temp\\0123\\updater.ini";
  const struct {
    RunMode parent;
    const wchar_t* kind;
    RunMode child;
  } cases[] = {
      {RunMode::CheckNow, L"checknow", RunMode::InstallInteractive},
      {RunMode::Silent, L"silent", RunMode::InstallSilent},
      {RunMode::SilentAll, L"silentall", RunMode::InstallSilentAll},
      {RunMode::SilentCritical, L"silentcritical", RunMode::InstallSilentCritical},
  };
  for (const auto& c : cases) {
    const std::wstring line = BuildInstallArguments(c.parent, path);
    EXPECT_EQ(line, L"/install " + std::wstring(c.kind) + L" \"" + path + L"\"");
    FakeSettings settings;
    settings.Set(path, L"ClientConfigPath", L"client.ini");
    Parsed parsed = Parse(line, settings.Reader());
    ASSERT_EQ(parsed.result, kOk) << line;
    EXPECT_EQ(parsed.mode, c.child);
    EXPECT_EQ(parsed.options.clientConfigPath, L"client.ini");
  }
}

TEST(OwnCommandLines, InstallHandOverCarriesCredentialsAsOneArgument) {
  EXPECT_EQ(BuildInstallArguments(RunMode::Silent, L"s.ini", L"user:00FF"), L"/install silent \"s.ini\" user:00FF");
  Parsed parsed = Parse(BuildInstallArguments(RunMode::Silent, L"s.ini", L"DOM\\Jane Doe:00FF"));
  ASSERT_EQ(parsed.result, kOk);
  EXPECT_EQ(parsed.options.credentials, L"DOM\\Jane Doe:00FF");
}

TEST(OwnCommandLines, ToastAndRestartLines) {
  EXPECT_EQ(BuildToastInstallCommandLine(L"C:\\Program Files\\App\\updater.exe"),
            L"\"C:\\Program Files\\App\\updater.exe\" /checknow");
  EXPECT_EQ(BuildRemindLaterArguments(L"MyApp", L"5f3a"), L"purgenotifseen MyApp 5f3a");
  EXPECT_EQ(BuildRemindLaterCommandLine(L"MyApp", L"5f3a"),
            L"velmora-morvask-updater2:/Command purgenotifseen MyApp 5f3a");
  Parsed remind = Parse(BuildRemindLaterCommandLine(L"My App", L"5f3a"));
  ASSERT_EQ(remind.result, kOk);
  EXPECT_EQ(remind.mode, RunMode::ToastCommand);
  EXPECT_EQ(remind.options.toastCommand, L"purgenotifseen");
  EXPECT_EQ(remind.options.toastArg1, L"My App");
  EXPECT_EQ(remind.options.toastArg2, L"5f3a");

  EXPECT_EQ(BuildRestartCommandLine(L"C:\\App dir\\app.exe", L"-a \"b c\""), L"\"C:\\App dir\\app.exe\" -a \"b c\"");
  EXPECT_EQ(BuildRestartCommandLine(L"C:\\App dir\\app.exe", L""), L"\"C:\\App dir\\app.exe\"");
}

}  // namespace
}  // namespace updater
