#include "install/channel_objects.h"

#include <sddl.h>

#include "base/logger.h"

namespace updater {
namespace {

// GENERIC_ALL for Everyone and LocalSystem, not inherited: the unprivileged client and the
// LocalSystem server both reach every object of the channel.
class EveryoneAccess {
 public:
  explicit EveryoneAccess(const wchar_t* who) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;GA;;;WD)(A;;GA;;;SY)", SDDL_REVISION_1,
                                                                &descriptor, nullptr)) {
      LogError(std::wstring(who) + L": Unable to create security descriptor with everyone access.", ::GetLastError());
      return;
    }
    descriptor_.Reset(descriptor);
    attributes_.nLength = sizeof(attributes_);
    attributes_.lpSecurityDescriptor = descriptor;
    attributes_.bInheritHandle = FALSE;
  }
  SECURITY_ATTRIBUTES* Get() { return descriptor_ ? &attributes_ : nullptr; }
  bool Valid() const { return static_cast<bool>(descriptor_); }

 private:
  UniqueLocalMem descriptor_;
  SECURITY_ATTRIBUTES attributes_{};
};

}  // namespace

std::wstring ServerLifeMutexName(const std::wstring& base) { return L"Global\\mtx_" + base; }

// ---- Client ------------------------------------------------------------------------------------------

void ChannelClient::SetObjectNames(const std::wstring& base) {
  names_ = ChannelNamesFor(base);
  aliveName_ = ServerLifeMutexName(base);
  Log(kLogDebug, L"IPC Object name base: " + base);
}

bool ChannelClient::WaitForServerToBecomeReady(DWORD timeoutMs) {
  Log(kLogDebug, L"WaitForServerToBecomeReady " + names_.ready + L" started");
  EveryoneAccess access(L"WaitForServerToBecomeReady");
  if (!access.Valid()) return false;
  UniqueHandle ready(::CreateEventW(access.Get(), TRUE, FALSE, names_.ready.c_str()));
  if (!ready) {
    LogError(L"Unable to create server ready event " + names_.ready, ::GetLastError());
    return false;
  }
  Log(kLogDebug, L"Server ready event " + names_.ready + L" created");
  DWORD waited = ::WaitForSingleObject(ready.Get(), timeoutMs);
  if (waited == WAIT_OBJECT_0) {
    Log(kLogDebug, L"Server ready event is signaled");
    return true;
  }
  LogFormat(kLogError, L"Wait for server ready event failed, ret code: %lu", waited);
  return false;
}

bool ChannelClient::Open() {
  mapping_.Reset(::OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, names_.mapping.c_str()));
  if (!mapping_) {
    LogError(L"Unable to create file mapping.", ::GetLastError());
    return false;
  }
  commandEvent_.Reset(::OpenEventW(EVENT_ALL_ACCESS, FALSE, names_.command.c_str()));
  if (!commandEvent_) {
    LogError(L"Unable to open Cmd event.", ::GetLastError());
    return false;
  }
  doneEvent_.Reset(::OpenEventW(EVENT_ALL_ACCESS, FALSE, names_.done.c_str()));
  if (!doneEvent_) {
    LogError(L"Unable to open WaitCmd event.", ::GetLastError());
    return false;
  }
  serverAlive_.Reset(::OpenMutexW(SYNCHRONIZE, FALSE, aliveName_.c_str()));
  if (!serverAlive_) {
    LogError(L"Unable to open the server's life mutex.", ::GetLastError());
    return false;
  }
  view_.Reset(::MapViewOfFile(mapping_.Get(), FILE_MAP_ALL_ACCESS, 0, 0, kChannelBytes));
  if (!view_) {
    LogError(L"Unable to map view of file.", ::GetLastError());
    return false;
  }
  return true;
}

Result ChannelClient::SendCommand(const ChannelCommand& command) {
  if (!view_) return E_UPD_NO_CHANNEL;
  WriteChannelCommand(view_.Get(), command);
  ::ResetEvent(doneEvent_.Get());
  if (!::SetEvent(commandEvent_.Get())) {
    Result error = ::GetLastError();
    LogError(L"Unable to set command event.", error);
    return error;
  }
  // The answer, or the end of the server: its life mutex comes to this side abandoned (or free, for
  // a server that ended without ever owning it) and is given back at once.
  HANDLE waits[] = {doneEvent_.Get(), serverAlive_.Get()};
  DWORD waited = ::WaitForMultipleObjects(2, waits, FALSE, INFINITE);
  if (waited == WAIT_OBJECT_0) return ReadChannelResult(view_.Get());
  if (waited == WAIT_OBJECT_0 + 1 || waited == WAIT_ABANDONED_0 + 1) {
    ::ReleaseMutex(serverAlive_.Get());
    // The server may have answered just before it ended.
    if (::WaitForSingleObject(doneEvent_.Get(), 0) == WAIT_OBJECT_0) return ReadChannelResult(view_.Get());
    Log(kLogError, L"The support server ended without answering.");
    return E_UPD_SERVICE_ERROR;
  }
  Result error = ::GetLastError();
  LogError(L"WaitForSingleObject failed.", error);
  return waited;
}

// ---- Server ------------------------------------------------------------------------------------------

void ChannelServer::SetObjectNames(const std::wstring& base) {
  names_ = ChannelNamesFor(base);
  aliveName_ = ServerLifeMutexName(base);
  Log(kLogDebug, L"IPC Object name base: " + base);
}

Result ChannelServer::Create() {
  EveryoneAccess access(L"CreateFileMapping");
  if (!access.Valid()) return E_UPD_UNKNOWN_EXCEPTION;
  alive_.Reset(::CreateMutexW(access.Get(), TRUE, aliveName_.c_str()));
  if (!alive_ || ::GetLastError() == ERROR_ALREADY_EXISTS) {
    // Another process holds these names: this server does not serve them.
    LogError(L"Unable to create the server's life mutex.", ::GetLastError());
    return E_UPD_UNKNOWN_EXCEPTION;
  }
  mapping_.Reset(::CreateFileMappingW(INVALID_HANDLE_VALUE, access.Get(), PAGE_READWRITE, 0,
                                      static_cast<DWORD>(kChannelBytes), names_.mapping.c_str()));
  if (!mapping_ || ::GetLastError() == ERROR_ALREADY_EXISTS) {
    LogError(L"Unable to create file mapping.", ::GetLastError());
    return E_UPD_UNKNOWN_EXCEPTION;
  }
  commandEvent_.Reset(::CreateEventW(access.Get(), TRUE, FALSE, names_.command.c_str()));
  doneEvent_.Reset(::CreateEventW(access.Get(), TRUE, FALSE, names_.done.c_str()));
  if (!commandEvent_ || !doneEvent_) {
    LogError(L"Unable to create event.", ::GetLastError());
    return E_UPD_UNKNOWN_EXCEPTION;
  }
  view_.Reset(::MapViewOfFile(mapping_.Get(), FILE_MAP_ALL_ACCESS, 0, 0, kChannelBytes));
  if (!view_) {
    LogError(L"Unable to map view of file.", ::GetLastError());
    return E_UPD_UNKNOWN_EXCEPTION;
  }
  return kOk;
}

bool ChannelServer::SignalServer() {
  Log(kLogDebug, L"SignalServer  started");
  UniqueHandle ready(::OpenEventW(EVENT_MODIFY_STATE, FALSE, names_.ready.c_str()));
  if (!ready) {
    LogError(L"Unable to open event ", ::GetLastError());
    return false;
  }
  ::SetEvent(ready.Get());
  Log(kLogDebug, L"Server is ready");
  return true;
}

bool ChannelServer::ServeOneCommand(const std::function<Result(const ChannelCommand&)>& handler,
                                    DWORD commandWaitMs) {
  Log(kLogDebug, L"Waiting for commands. File map name: " + names_.mapping);
  ULONGLONG started = ::GetTickCount64();
  for (;;) {
    DWORD waited = ::WaitForSingleObject(commandEvent_.Get(), 10);
    if (waited == WAIT_OBJECT_0) break;
    if (waited != WAIT_TIMEOUT) {
      WriteChannelResult(view_.Get(), ::GetLastError());
      ::SetEvent(doneEvent_.Get());
      return false;
    }
    if (!signalled_) signalled_ = SignalServer();
    if (::GetTickCount64() - started > commandWaitMs) {
      Log(kLogInfo, L"No command came; the server ends.");
      ::SetEvent(doneEvent_.Get());
      return false;
    }
  }
  ChannelCommand command = ReadChannelCommand(view_.Get());
  Result result = handler(command);
  LogFormat(kLogDebug, L"Command %ls executed. Return code: %ls", DescribeChannelCommand(command).c_str(),
            FormatResultForLog(result).c_str());
  WriteChannelResult(view_.Get(), result);
  ::SetEvent(doneEvent_.Get());
  return true;
}

}  // namespace updater
