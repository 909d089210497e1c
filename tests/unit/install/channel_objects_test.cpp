#include "install/channel_objects.h"

#include <gtest/gtest.h>

#include <objbase.h>

#include <atomic>
#include <thread>

namespace updater {
namespace {

std::wstring FreshBase() {
  GUID guid{};
  ::CoCreateGuid(&guid);
  return GuidBaseName(guid);
}

// The client and the server on two threads of this process, with real named objects.
TEST(ChannelObjects, OneCommandCrossesAndItsAnswerComesBack) {
  const std::wstring base = FreshBase();
  ChannelCommand received;
  std::atomic<bool> served{false};
  std::thread server([&] {
    ChannelServer channel;
    channel.SetObjectNames(base);
    ASSERT_EQ(channel.Create(), kOk);
    served = channel.ServeOneCommand([&](const ChannelCommand& command) {
      received = command;
      return static_cast<Result>(1603);
    });
  });
  ChannelClient client;
  client.SetObjectNames(base);
  ASSERT_TRUE(client.WaitForServerToBecomeReady(10000));
  ASSERT_TRUE(client.Open());
  ChannelCommand sent{{L"install", std::wstring(2000, L'n'), L"C:\\app\\updater.ini", L"http://127.0.0.1/u.ini"}};
  EXPECT_EQ(client.SendCommand(sent), 1603u);
  server.join();
  EXPECT_TRUE(served);
  EXPECT_EQ(received.fields[0], L"install");
  EXPECT_EQ(received.fields[1].size(), 1039u);
  EXPECT_EQ(received.fields[3], L"http://127.0.0.1/u.ini");

  // A second server cannot take the same names while the first one's objects exist.
  ChannelServer again;
  again.SetObjectNames(base);
  ChannelClient keepsThemOpen = std::move(client);
  EXPECT_EQ(again.Create(), E_UPD_UNKNOWN_EXCEPTION);
}

TEST(ChannelObjects, AServerThatEndsWithoutAnsweringReleasesTheClient) {
  const std::wstring base = FreshBase();
  std::thread server([&] {
    auto* channel = new ChannelServer;  // left behind on purpose: the thread ends as a crash would
    channel->SetObjectNames(base);
    if (channel->Create() != kOk) return;
    channel->ServeOneCommand([](const ChannelCommand&) -> Result {
      ::ExitThread(0);
    });
  });
  ChannelClient client;
  client.SetObjectNames(base);
  ASSERT_TRUE(client.WaitForServerToBecomeReady(10000));
  ASSERT_TRUE(client.Open());
  EXPECT_EQ(client.SendCommand(ChannelCommand{{L"install", L"A", L"", L""}}), E_UPD_SERVICE_ERROR);
  server.join();
}

TEST(ChannelObjects, WithoutACommandTheServerEndsAndLeavesTheResultAlone) {
  const std::wstring base = FreshBase();
  ChannelServer channel;
  channel.SetObjectNames(base);
  ASSERT_EQ(channel.Create(), kOk);
  bool called = false;
  ULONGLONG started = ::GetTickCount64();
  EXPECT_FALSE(channel.ServeOneCommand([&](const ChannelCommand&) {
    called = true;
    return kOk;
  }, 300));
  EXPECT_FALSE(called);
  EXPECT_GE(::GetTickCount64() - started, 300u);
  // A client that comes late finds the done event set and the result field as the server made it.
  ChannelClient client;
  client.SetObjectNames(base);
  ASSERT_TRUE(client.Open());
  UniqueHandle done(::OpenEventW(SYNCHRONIZE, FALSE, ChannelNamesFor(base).done.c_str()));
  ASSERT_TRUE(done);
  EXPECT_EQ(::WaitForSingleObject(done.Get(), 0), WAIT_OBJECT_0);
  UniqueHandle mapping(::OpenFileMappingW(FILE_MAP_READ, FALSE, ChannelNamesFor(base).mapping.c_str()));
  UniqueMappedView view(::MapViewOfFile(mapping.Get(), FILE_MAP_READ, 0, 0, kChannelBytes));
  ASSERT_TRUE(view);
  EXPECT_EQ(ReadChannelResult(view.Get()), 0u);
  // Nobody announced itself: the client's readiness wait times out.
  ChannelClient lonely;
  lonely.SetObjectNames(FreshBase());
  EXPECT_FALSE(lonely.WaitForServerToBecomeReady(200));
}

}  // namespace
}  // namespace updater
