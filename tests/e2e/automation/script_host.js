// A late-bound host run by cscript: the updater's object by its ProgID, every call by name.
// Prints one line per step for the test to compare.
function hex(value) { return ((value >>> 0).toString(16)).toUpperCase(); }

var updater = new ActiveXObject("MorvaskUpdater.MorvaskUpdater");
var list = updater.CheckForUpdates();
WScript.Echo("check list=" + (list ? 1 : 0));
if (list) {
  var info = list.GetUpdateInfo(0);
  WScript.Echo("info name=" + info.GetName() + " display=" + info.GetDisplayName() + " version=" +
               info.GetVersion() + " size=" + info.GetSize() + " state=" + info.GetState());
  try {
    list.GetUpdateInfo(1);
    WScript.Echo("beyond none");
  } catch (e) {
    WScript.Echo("beyond " + hex(e.number));
  }
  info.SelectForInstall(true);
  WScript.Echo("download ret=" + hex(list.DownloadUpdates()));
}
WScript.Echo("text=" + updater.GetErrorDescription(0xE0000011 | 0));
