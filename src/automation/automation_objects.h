// The objects of the automation server: the class factory, MorvaskUpdater (check), MorvaskUpdates
// (the list a check found, download) and MorvaskUpdateInfo (one update, installation), with
// IDispatch over the type library, and the adapter that lets the host's callback follow the work.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include "config/app_settings.h"
#include "morvask_updater.h"

namespace updater {

// What every object of the server shares: the type library, the settings of the run, and the
// count of live objects that ends the server.
struct AutomationServer {
  ITypeLib* typeLibrary = nullptr;
  AppSettings* settings = nullptr;
  DWORD thread = 0;          // receives the quit message
  bool objectCreated = false;  // stops the idle limit
};
AutomationServer& Automation();

// A live object (or a lock) keeps the server; the last one ending posts the quit message.
void AddServerReference();
void ReleaseServerReference();

// The class object registered for the -clsid class.
IClassFactory* NewClassFactory();

}  // namespace updater
