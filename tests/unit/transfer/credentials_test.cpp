#include "transfer/credentials.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/win_handles.h"
#include "transfer/async_download.h"
#include "transfer/download_rules.h"

namespace updater {
namespace {

// A per-test application id under the real (prefix) registry, removed afterwards.
class RegistryApp {
 public:
  explicit RegistryApp(const std::wstring& name)
      : id_(L"CredentialsTest-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + name) {
    Remove();
  }
  ~RegistryApp() { Remove(); }
  const std::wstring& Id() const { return id_; }

  // The raw "UserDetailsU" text, empty when absent.
  std::wstring StoredText() const {
    UniqueRegKey key;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, CredentialsSettingsKeyPath(id_).c_str(), 0,
                        KEY_QUERY_VALUE | KEY_WOW64_32KEY, key.Put()) != ERROR_SUCCESS)
      return {};
    DWORD size = 0;
    DWORD type = 0;
    if (::RegQueryValueExW(key.Get(), kValueUserDetails, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return {};
    std::wstring buffer(size / sizeof(wchar_t) + 1, L'\0');
    EXPECT_EQ(::RegQueryValueExW(key.Get(), kValueUserDetails, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()),
                                 &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    return buffer.c_str();
  }

  // The pairs of the stored blob as written (user and protected text).
  std::vector<ProtectedPair> StoredPairs() const {
    std::vector<std::uint8_t> blob;
    std::vector<ProtectedPair> pairs;
    EXPECT_TRUE(HexToBytes(StoredText(), blob));
    EXPECT_TRUE(ParseCredentialsBlob(blob.data(), blob.size(), pairs));
    return pairs;
  }

  void WriteText(const std::wstring& text) const {
    UniqueRegKey key;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, CredentialsSettingsKeyPath(id_).c_str(), 0, nullptr, 0,
                                KEY_SET_VALUE | KEY_WOW64_32KEY, nullptr, key.Put(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(::RegSetValueExW(key.Get(), kValueUserDetails, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                               static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
  }

 private:
  void Remove() const {
    UniqueRegKey root;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Velmora\\Kestrune Updater", 0,
                        KEY_ALL_ACCESS | KEY_WOW64_32KEY, root.Put()) == ERROR_SUCCESS)
      ::RegDeleteTreeW(root.Get(), id_.c_str());
  }

  std::wstring id_;
};

// Stands in for the user: counts the prompts, records their texts, answers with a prepared pair.
struct FakeUser {
  int prompts = 0;
  CredentialsPromptTexts lastTexts;
  bool answerOk = true;
  CredentialsPromptAnswer answer;

  CredentialsPromptFunction Function() {
    return [this](HWND, const CredentialsPromptTexts& texts, CredentialsPromptAnswer& out) {
      ++prompts;
      lastTexts = texts;
      if (!answerOk) return false;
      out = answer;
      return true;
    };
  }
};

// The observer side of the credentials question, as the wizard answers it: prompt through the
// provider passed as context, 1237 after a successful prompt.
class PromptingObserver : public DownloadObserver {
 public:
  int credentialQuestions = 0;
  void BeginAction(int, std::uint32_t, const wchar_t*) override {}
  void EndAction(int, Result) override {}
  void SubActionPerform(std::uint32_t) override {}
  bool IsCanceled() override { return false; }
  bool IsPaused() override { return false; }
  Result Error(const wchar_t*, Result code, void* context) override {
    if (code != E_UPD_AUTH_REQUIRED) return code;
    ++credentialQuestions;
    return static_cast<CredentialsProvider*>(context)->Prompt(nullptr) ? kObserverRetry : 0;
  }
};

std::wstring UniqueExecutablePath(const wchar_t* name) {
  return L"C:\\CredentialsTest\\" + std::to_wstring(::GetCurrentProcessId()) + L"\\" + name + L"\\updater.exe";
}

struct Offer {
  bool supplied;
  std::wstring user;
  std::wstring password;
};

Offer Supply(AsyncDownloadThread& engine, bool proxy = false) {
  Offer offer{};
  offer.supplied = engine.SupplyCredentials(nullptr, L"updates.example", L"Updates", proxy,
                                            proxy ? L"proxyhost" : L"", offer.user, offer.password);
  return offer;
}

// ---- The order in which pairs are offered ----

TEST(CredentialsSequence, SecondRememberedPairIsTriedBeforeThePromptAndThePromptComesAfterBothFail) {
  RegistryApp app(L"sequence");
  {
    ServerCredentials writer(HKEY_CURRENT_USER, app.Id(), UniqueExecutablePath(L"sequence-writer"));
    ASSERT_TRUE(writer.RememberCredentials(L"alice", L"wrong"));
    ASSERT_TRUE(writer.RememberCredentials(L"alice", L"right"));
  }
  ServerCredentials credentials(HKEY_CURRENT_USER, app.Id(), UniqueExecutablePath(L"sequence"));
  FakeUser user;
  user.answer = {L"bob", L"typed", false};
  credentials.SetPromptFunction(user.Function());
  credentials.LoadAtStart();
  PromptingObserver observer;
  AsyncDownloadThread engine(&observer, &credentials);

  credentials.ResetCursor();  // start of the connection attempt
  Offer first = Supply(engine);  // answer to the first 401
  EXPECT_TRUE(first.supplied);
  EXPECT_EQ(first.user + L"/" + first.password, L"alice/wrong");
  Offer second = Supply(engine);  // the first pair was refused: 401 again
  EXPECT_TRUE(second.supplied);
  EXPECT_EQ(second.user + L"/" + second.password, L"alice/right");
  EXPECT_EQ(user.prompts, 0);
  EXPECT_EQ(observer.credentialQuestions, 0);

  Offer third = Supply(engine);  // both refused: now the user is asked
  EXPECT_EQ(user.prompts, 1);
  EXPECT_EQ(observer.credentialQuestions, 1);
  EXPECT_TRUE(third.supplied);
  EXPECT_EQ(third.user + L"/" + third.password, L"bob/typed");
  EXPECT_EQ(user.lastTexts.caption, L"Connect to updates.example");
  EXPECT_EQ(user.lastTexts.message, L"The server  at Updates requires a username and password. ");

  // The next connection attempt (another mirror) offers every known pair once more, typed one last.
  credentials.ResetCursor();
  EXPECT_EQ(Supply(engine).password, L"wrong");
  EXPECT_EQ(Supply(engine).password, L"right");
  EXPECT_EQ(Supply(engine).password, L"typed");
  EXPECT_EQ(user.prompts, 1);
}

TEST(CredentialsSequence, CancelledPromptSuppliesNothing) {
  ServerCredentials credentials(HKEY_CURRENT_USER, L"", UniqueExecutablePath(L"cancel"));
  FakeUser user;
  user.answerOk = false;
  credentials.SetPromptFunction(user.Function());
  PromptingObserver observer;
  AsyncDownloadThread engine(&observer, &credentials);
  Offer offer = Supply(engine, true);
  EXPECT_FALSE(offer.supplied);
  EXPECT_EQ(user.prompts, 1);
  EXPECT_EQ(credentials.ProxyName(), L"proxyhost");
  EXPECT_EQ(user.lastTexts.message, L"The server proxyhost at Updates requires a username and password. ");
  std::wstring name, password;
  EXPECT_FALSE(credentials.GetEntered(name, password));
  EXPECT_TRUE(credentials.Pairs().empty());
}

TEST(CredentialsSequence, TypingAKnownPairAgainDoesNotDuplicateIt) {
  ServerCredentials credentials(HKEY_CURRENT_USER, L"", UniqueExecutablePath(L"retype"));
  credentials.AddPair({L"alice", L"pw"});
  FakeUser user;
  user.answer = {L"alice", L"pw", false};
  credentials.SetPromptFunction(user.Function());
  ASSERT_TRUE(credentials.Prompt(nullptr));
  ASSERT_TRUE(credentials.Prompt(nullptr));
  EXPECT_EQ(credentials.Pairs().size(), 1u);
  std::wstring name, password;
  ASSERT_TRUE(credentials.GetEntered(name, password));
  EXPECT_EQ(name + L"/" + password, L"alice/pw");
}

TEST(CredentialsSequence, OkWithoutUserNameCountsAsNoAnswer) {
  ServerCredentials credentials(HKEY_CURRENT_USER, L"", UniqueExecutablePath(L"nouser"));
  FakeUser user;
  user.answer = {L"", L"pw", true};
  credentials.SetPromptFunction(user.Function());
  EXPECT_FALSE(credentials.Prompt(nullptr));
  EXPECT_TRUE(credentials.Pairs().empty());
}

TEST(CredentialsSequence, CursorStopsAtTheEndOfTheList) {
  ServerCredentials credentials(HKEY_CURRENT_USER, L"", UniqueExecutablePath(L"cursor"));
  credentials.AddPair({L"a", L"1"});
  std::wstring name, password;
  ASSERT_TRUE(credentials.GetStored(name, password));
  credentials.Advance();
  credentials.Advance();
  EXPECT_FALSE(credentials.GetStored(name, password));
  // A pair typed now sits where the cursor stopped, so it is offered without another prompt.
  credentials.AddPair({L"b", L"2"});
  ASSERT_TRUE(credentials.GetStored(name, password));
  EXPECT_EQ(name, L"b");
}

// ---- Remembering ----

TEST(RememberedCredentials, SamePairTwiceLeavesOneEntry) {
  RegistryApp app(L"twice");
  EXPECT_EQ(RememberPasswordCommand(HKEY_CURRENT_USER, app.Id(), L"alice", L"pw"), kOk);
  EXPECT_EQ(RememberPasswordCommand(HKEY_CURRENT_USER, app.Id(), L"alice", L"pw"), E_UPD_NOT_MODIFIED);
  std::vector<ProtectedPair> stored = app.StoredPairs();
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].user, L"alice");
  // The password is kept only in its protected form.
  std::wstring protectedText;
  ASSERT_EQ(ProtectPassword(L"pw", protectedText), kOk);
  EXPECT_EQ(stored[0].protectedPassword, protectedText);
  // The value itself is uppercase hexadecimal text.
  EXPECT_EQ(app.StoredText().find_first_not_of(L"0123456789ABCDEF"), std::wstring::npos);

  // Another password for the same user is another pair.
  EXPECT_EQ(RememberPasswordCommand(HKEY_CURRENT_USER, app.Id(), L"alice", L"pw2"), kOk);
  EXPECT_EQ(app.StoredPairs().size(), 2u);
  ServerCredentials reader(HKEY_CURRENT_USER, app.Id(), UniqueExecutablePath(L"twice"));
  std::vector<CredentialPair> loaded;
  ASSERT_TRUE(reader.LoadRemembered(loaded));
  EXPECT_EQ(loaded, (std::vector<CredentialPair>{{L"alice", L"pw"}, {L"alice", L"pw2"}}));
}

TEST(RememberedCredentials, PasswordOf12801CharactersIsNotRemembered) {
  RegistryApp app(L"long");
  // 12,801 characters protect to 51,204 hexadecimal digits, past the 51,200-byte limit.
  EXPECT_EQ(RememberPasswordCommand(HKEY_CURRENT_USER, app.Id(), L"alice", std::wstring(12801, L'p')),
            E_UPD_NOT_MODIFIED);
  EXPECT_TRUE(app.StoredText().empty());
  EXPECT_EQ(RememberPasswordCommand(HKEY_CURRENT_USER, app.Id(), L"alice", std::wstring(12800, L'p')), kOk);
  ServerCredentials reader(HKEY_CURRENT_USER, app.Id(), UniqueExecutablePath(L"long"));
  std::vector<CredentialPair> loaded;
  ASSERT_TRUE(reader.LoadRemembered(loaded));
  ASSERT_EQ(loaded.size(), 1u);
  EXPECT_EQ(loaded[0].password.size(), 12800u);
}

TEST(RememberedCredentials, PromptRemembersOnlyWhenAskedAndBothTextsAreSet) {
  RegistryApp app(L"prompt");
  ServerCredentials credentials(HKEY_CURRENT_USER, app.Id(), UniqueExecutablePath(L"prompt"));
  FakeUser user;
  credentials.SetPromptFunction(user.Function());

  user.answer = {L"nobody", L"unticked", false};
  ASSERT_TRUE(credentials.Prompt(nullptr));
  EXPECT_TRUE(app.StoredText().empty());

  user.answer = {L"nopass", L"", true};
  ASSERT_TRUE(credentials.Prompt(nullptr));  // used for this run all the same
  EXPECT_TRUE(app.StoredText().empty());

  user.answer = {L"huge", std::wstring(12801, L'h'), true};
  ASSERT_TRUE(credentials.Prompt(nullptr));  // cannot be protected: used, not remembered
  EXPECT_TRUE(app.StoredText().empty());
  std::wstring name, password;
  ASSERT_TRUE(credentials.GetEntered(name, password));
  EXPECT_EQ(name, L"huge");

  user.answer = {L"carol", L"kept", true};
  ASSERT_TRUE(credentials.Prompt(nullptr));
  std::vector<ProtectedPair> stored = app.StoredPairs();
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].user, L"carol");
  EXPECT_EQ(credentials.Pairs().size(), 4u);
}

TEST(RememberedCredentials, CorruptValueLoadsNothingAndIsReplacedByTheNextPair) {
  RegistryApp app(L"corrupt");
  ServerCredentials credentials(HKEY_CURRENT_USER, app.Id(), UniqueExecutablePath(L"corrupt"));
  std::vector<CredentialPair> loaded;
  for (const wchar_t* text : {L"not hex", L"0", L"FFFFFFFF00000000", L"0100000010000000414243"}) {
    app.WriteText(text);
    EXPECT_FALSE(credentials.LoadRemembered(loaded)) << text;
    EXPECT_TRUE(loaded.empty());
  }
  EXPECT_TRUE(credentials.RememberCredentials(L"dave", L"pw"));
  ASSERT_TRUE(credentials.LoadRemembered(loaded));
  EXPECT_EQ(loaded, (std::vector<CredentialPair>{{L"dave", L"pw"}}));
}

TEST(RememberedCredentials, WithoutApplicationIdNothingIsStored) {
  EXPECT_EQ(RememberPasswordCommand(HKEY_CURRENT_USER, L"", L"alice", L"pw"), E_UPD_NOT_MODIFIED);
  EXPECT_EQ(CredentialsSettingsKeyPath(L""), L"");
  EXPECT_EQ(CredentialsSettingsKeyPath(L"App"), L"Software\\Velmora\\Kestrune Updater\\App\\Settings");
}

// ---- Hand-over between instances ----

TEST(CredentialsHandOver, NamesComeFromTheRecordedExecutablePath) {
  EXPECT_EQ(HandOverMappingName(L"C:\\Program Files\\App\\updater.exe"), L"C:_Program Files_App_updater.exe_pass");
  EXPECT_EQ(HandOverEventName(L"C:\\Program Files\\App\\updater.exe"), L"C:_Program Files_App_updater.exepass_ev");
}

TEST(CredentialsHandOver, ReceiverGetsThePairsAndSignalsTheSender) {
  std::wstring path = UniqueExecutablePath(L"handover");
  ServerCredentials sender(HKEY_CURRENT_USER, L"", path);
  EXPECT_FALSE(sender.HandOverCredentials()) << "an empty list is not handed over";
  EXPECT_EQ(::OpenFileMappingW(FILE_MAP_READ, FALSE, HandOverMappingName(path).c_str()), nullptr);

  sender.AddPair({L"alice", L"pw"});
  sender.AddPair({L"b\u00F6b", L"p\u00E4ss:\u20AC"});
  ASSERT_TRUE(sender.HandOverCredentials());
  EXPECT_FALSE(sender.WaitForHandOverReceipt(0));

  // The published block carries the size and the blob with protected passwords only.
  {
    UniqueHandle mapping(::OpenFileMappingW(FILE_MAP_READ, FALSE, HandOverMappingName(path).c_str()));
    ASSERT_TRUE(mapping);
    UniqueMappedView view(::MapViewOfFile(mapping.Get(), FILE_MAP_READ, 0, 0, 0));
    ASSERT_TRUE(view);
    std::uint32_t size = 0;
    std::memcpy(&size, view.Get(), 4);
    std::vector<ProtectedPair> published;
    ASSERT_TRUE(ParseCredentialsBlob(static_cast<const std::uint8_t*>(view.Get()) + 4, size, published));
    ASSERT_EQ(published.size(), 2u);
    EXPECT_EQ(published[0].user, L"alice");
    EXPECT_NE(published[0].protectedPassword, L"pw");
  }

  ServerCredentials receiver(HKEY_CURRENT_USER, L"", path);
  ASSERT_TRUE(receiver.ReceiveCredentials());
  EXPECT_EQ(receiver.Pairs(), sender.Pairs());
  EXPECT_TRUE(sender.WaitForHandOverReceipt(1000));
}

TEST(CredentialsHandOver, StartOfRunPrefersHandedOverPairsToRememberedOnes) {
  RegistryApp app(L"start");
  std::wstring path = UniqueExecutablePath(L"start");
  ASSERT_EQ(RememberPasswordCommand(HKEY_CURRENT_USER, app.Id(), L"remembered", L"pw"), kOk);
  {
    ServerCredentials alone(HKEY_CURRENT_USER, app.Id(), path);
    alone.LoadAtStart();
    EXPECT_EQ(alone.Pairs(), (std::vector<CredentialPair>{{L"remembered", L"pw"}}));
  }
  ServerCredentials sender(HKEY_CURRENT_USER, L"", path);
  sender.AddPair({L"handed", L"over"});
  ASSERT_TRUE(sender.HandOverCredentials());
  ServerCredentials receiver(HKEY_CURRENT_USER, app.Id(), path);
  receiver.LoadAtStart();
  EXPECT_EQ(receiver.Pairs(), (std::vector<CredentialPair>{{L"handed", L"over"}}));
}

TEST(CredentialsHandOver, ForgedBlockIsRejectedWithoutCrashing) {
  std::wstring path = UniqueExecutablePath(L"forged");
  UniqueHandle mapping(
      ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 64, HandOverMappingName(path).c_str()));
  ASSERT_TRUE(mapping);
  UniqueMappedView view(::MapViewOfFile(mapping.Get(), FILE_MAP_WRITE, 0, 0, 64));
  ASSERT_TRUE(view);
  auto* bytes = static_cast<std::uint8_t*>(view.Get());

  std::uint32_t hugeSize = 0x7FFFFFF0;  // beyond the mapping
  std::memcpy(bytes, &hugeSize, 4);
  ServerCredentials receiver(HKEY_CURRENT_USER, L"", path);
  EXPECT_FALSE(receiver.ReceiveCredentials());

  std::vector<std::uint8_t> truncated = {2, 0, 0, 0, 4, 0, 0, 0, 'a', 0};  // count 2, one user cut short
  std::uint32_t size = static_cast<std::uint32_t>(truncated.size());
  std::memcpy(bytes, &size, 4);
  std::memcpy(bytes + 4, truncated.data(), truncated.size());
  EXPECT_FALSE(receiver.ReceiveCredentials());
  EXPECT_TRUE(receiver.Pairs().empty());
}

// ---- Realm and proxy ----

TEST(CredentialsRealm, BasicRealmInQuotesGivesTheBareRealm) {
  EXPECT_EQ(RealmFromAuthenticateHeader(L"Basic realm=\"Updates\""), L"Updates");
  EXPECT_EQ(RealmFromAuthenticateHeader(L"Digest nonce=\"x\", REALM=\"Corp Proxy\", qop=\"auth\""), L"Corp Proxy");
  EXPECT_EQ(ProxyHostName(L"proxy.local:3128"), L"proxy.local");
}

TEST(CustomProxy, HintOnlyForWinInetErrorsWithACustomProxy) {
  EXPECT_EQ(CustomProxyHint(12029, L"proxy:8080"),
            L"You have a custom proxy \"proxy:8080\". The error may be caused by a non working proxy.");
  EXPECT_EQ(CustomProxyHint(12000, L"p"), CustomProxyHint(12175, L"p"));
  EXPECT_FALSE(CustomProxyHint(12000, L"p").empty());
  EXPECT_TRUE(CustomProxyHint(12029, L"").empty());
  EXPECT_TRUE(CustomProxyHint(11999, L"p").empty());
  EXPECT_TRUE(CustomProxyHint(12176, L"p").empty());
  EXPECT_TRUE(CustomProxyHint(E_UPD_RESOURCE_NOT_FOUND, L"p").empty());
}

}  // namespace
}  // namespace updater
