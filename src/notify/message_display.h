// Shows publisher messages and the found-updates announcement to the user, once each: as a toast
// on Windows 10 and later (a PowerShell script), as a small top-most pop-up before. Also the
// per-user URL protocol through which a toast's buttons come back to the updater, and the message
// image kept beside the downloads.
#pragma once

#include <windows.h>

#include <string>

#include "base/win_handles.h"
#include "catalogue/publisher_message.h"
#include "catalogue/update_catalogue.h"
#include "config/app_settings.h"
#include "notify/toast.h"

namespace updater {

// One thing to show: a message read from the updates file or an announcement.
struct Notification {
  std::wstring id;
  ToastContent content;
  std::wstring uri;         // the pop-up's link target (a message's URI)
  std::wstring buttonText;  // the pop-up link's caption
  bool expired = false;
};

// The message of an updates file as a notification (a link button to its URI when it has one).
Notification NotificationOfMessage(const PublisherMessage& message, const std::wstring& imagePath);
// The found-updates announcement for the first update counted by a just-check.
Notification FoundUpdatesNotification(const std::wstring& applicationName, const std::wstring& applicationId,
                                      const std::wstring& updaterPath, const UpdateRecord& first);

// The image's local file: the folder, the first 10 characters of the id, "_" and the URL's file
// name without the characters a file name may not hold ("image" when nothing is left).
std::wstring MessageImagePath(const std::wstring& folder, const std::wstring& id, const std::wstring& url);

// Shows notifications and keeps the pop-up's thread: the object waits for the pop-up to close
// before it goes, so that a run does not end under an open pop-up.
class MessagePresenter {
 public:
  explicit MessagePresenter(const AppSettings& settings) : settings_(settings) {}
  ~MessagePresenter();
  MessagePresenter(const MessagePresenter&) = delete;
  MessagePresenter& operator=(const MessagePresenter&) = delete;

  // After a check: registers the protocol when the message links somewhere, fetches its image and
  // shows it when it is due. Nothing for an absent or expired message.
  void ProcessMessage(const PublisherMessage& message);
  // The announcement of a just-check that counted updates, naming the first of them.
  void AnnounceUpdates(const UpdateRecord& first);
  // Shows the notification unless it is empty, expired or seen. True when it was shown (a toast
  // delivered or a pop-up opened).
  bool ShowMessage(const Notification& notification);

 private:
  std::wstring FetchImage(const PublisherMessage& message);
  bool ShowToast(const Notification& notification);
  bool ShowPopup(const Notification& notification);

  const AppSettings& settings_;
  UniqueHandle popupThread_;
};

// The per-user URL protocol of toast activations: its keys under "Software\Classes" with the
// running updater's path. Nothing when the command key exists already; false on a registry failure.
bool RegisterProtocol();
// Removes the protocol's keys, of the current name and of the earlier one.
void UnregisterProtocols();

}  // namespace updater
