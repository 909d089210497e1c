' A late-bound host in VBScript, whose variables reach the server by reference: the check's
' counts and result come back in them.
Dim updater, list, count, toDownload, ret
Set updater = CreateObject("MorvaskUpdater.MorvaskUpdater")
count = -1 : toDownload = -1 : ret = -1
Set list = updater.CheckForUpdates(count, toDownload, ret)
WScript.Echo "check count=" & count & " download=" & toDownload & " ret=" & Hex(ret)
WScript.Echo "name=" & list.GetUpdateInfo(0).GetName()
