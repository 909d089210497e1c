// The command channel's named objects: the client's side (the unprivileged updater that asks for an
// installation) and the server's side (the copy the support service started). One command per
// channel; a fresh base name per installation keeps clients apart.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "base/result_codes.h"
#include "base/win_handles.h"
#include "install/command_channel.h"

namespace updater {

// The client's wait for the server to announce itself.
inline constexpr DWORD kServerReadyWaitMs = 60000;
// The server's wait for a command, after which it ends without one.
inline constexpr DWORD kServerCommandWaitMs = 60000;

class ChannelClient {
 public:
  // Fills the four names from the base name and logs it.
  void SetObjectNames(const std::wstring& base);
  const ChannelNames& Names() const { return names_; }

  // Creates the ready event and waits for the server to set it.
  bool WaitForServerToBecomeReady(DWORD timeoutMs = kServerReadyWaitMs);
  // Opens the server's mapping, events and life mutex and maps the view.
  bool Open();
  // Sends the command and waits for the answer: the server's result, or 0xE0000020 when the server
  // ended without answering (its life mutex was abandoned), or 0xE000001D without a view.
  Result SendCommand(const ChannelCommand& command);

 private:
  // Released in reverse order: the view first, then the mapping and the events.
  ChannelNames names_;
  std::wstring aliveName_;
  UniqueHandle mapping_;
  UniqueHandle commandEvent_;
  UniqueHandle doneEvent_;
  UniqueHandle serverAlive_;
  UniqueMappedView view_;
};

class ChannelServer {
 public:
  void SetObjectNames(const std::wstring& base);

  // Creates the mapping, the command and done events and the mutex it holds while it lives:
  // 0, or 0xE000000B when any of them cannot be made.
  Result Create();
  // Waits for one command (announcing readiness meanwhile), hands it to `handler` and writes the
  // answer. Without a command within `commandWaitMs` it sets the done event and returns false.
  bool ServeOneCommand(const std::function<Result(const ChannelCommand&)>& handler,
                       DWORD commandWaitMs = kServerCommandWaitMs);

 private:
  bool SignalServer();

  ChannelNames names_;
  std::wstring aliveName_;
  UniqueHandle alive_;
  UniqueHandle mapping_;
  UniqueHandle commandEvent_;
  UniqueHandle doneEvent_;
  UniqueMappedView view_;
  bool signalled_ = false;
};

// The life mutex of a server: "Global\mtx_" + base. The server owns it until it ends; a client sees
// it abandoned when the server ended without answering.
std::wstring ServerLifeMutexName(const std::wstring& base);

}  // namespace updater
