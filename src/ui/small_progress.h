// The small progress window: a status line, a progress bar and one button, running a piece of work
// on a worker thread. Three runs show it: the "Checking for Updates" window of an interactive check
// (and of a silent check with the wait dialog), the reduced progress window of an install run, and
// the progress of a clean-up.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include "base/result_codes.h"
#include "catalogue/update_catalogue.h"
#include "transfer/download_observer.h"

namespace updater {

// How a small window ended. No value: the window could not be created and the work did not run
// (the caller then runs it without a window).
struct SmallWindowEnd {
  Result result = kOk;     // the worker's exit code
  bool cancelled = false;  // the window closed with result 2 (the user cancelled, or an error)
};

// The check's messages with their codes, as the check run reports them.
using CheckMessageSink = std::function<void(const std::wstring& message, Result code)>;

// "Checking for Updates", titled with the application name, with a marquee. The check reports
// through the sink; an up-to-date ending waits for OK, every other ending closes the window.
std::optional<SmallWindowEnd> RunCheckWindow(
    const std::wstring& applicationName,
    const std::function<Result(DownloadObserver& observer, const CheckMessageSink& sink)>& check);

// The reduced progress window of an install run: "%s for %s" with the work's header and the
// application name; Cancel is enabled only while the download may be cancelled.
std::optional<SmallWindowEnd> RunReducedProgressWindow(
    const std::wstring& applicationName, bool justDownload, const UpdateCatalogue& catalogue,
    const std::function<bool(const UpdateRecord&)>& isDownloaded,
    const std::function<Result(DownloadObserver& observer)>& work);

// What the clean-up tells its window, and how the window stops it after the current item.
class CleanUpProgress {
 public:
  virtual ~CleanUpProgress() = default;
  virtual void Item(const std::wstring& path, std::size_t index, std::size_t count) = 0;
  virtual bool CancelRequested() = 0;
};

// The clean-up's window, titled with the application name: one step per deleted item.
std::optional<SmallWindowEnd> RunCleanUpWindow(const std::wstring& applicationName,
                                               const std::function<Result(CleanUpProgress& progress)>& cleanUp);

}  // namespace updater
