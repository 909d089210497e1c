#include <gtest/gtest.h>

#include <windows.h>
#include <oleauto.h>

#include <string>
#include <vector>

namespace {

// The type library this program carries (resource "TYPELIB" 1, as updater.exe does).
ITypeLib* OwnTypeLibrary() {
  wchar_t path[MAX_PATH];
  ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  ITypeLib* library = nullptr;
  EXPECT_EQ(::LoadTypeLibEx(path, REGKIND_NONE, &library), S_OK);
  return library;
}

std::wstring Text(BSTR text) {
  std::wstring copy = text ? text : L"";
  ::SysFreeString(text);
  return copy;
}

struct Interface {
  const wchar_t* name;
  const wchar_t* guid;
  bool dual;
  std::vector<std::wstring> methods;  // in vtable order, after IUnknown / IDispatch
};

std::wstring GuidText(const GUID& guid) {
  wchar_t text[64];
  ::StringFromGUID2(guid, text, 64);
  return text;
}

TEST(TypeLibrary, NamesGuidsAndMethodOrderArePublished) {
  ITypeLib* library = OwnTypeLibrary();
  ASSERT_NE(library, nullptr);
  BSTR name = nullptr;
  ASSERT_EQ(library->GetDocumentation(-1, &name, nullptr, nullptr, nullptr), S_OK);
  EXPECT_EQ(Text(name), L"MorvaskUpdater");
  TLIBATTR* attributes = nullptr;
  ASSERT_EQ(library->GetLibAttr(&attributes), S_OK);
  EXPECT_EQ(GuidText(attributes->guid), L"{061AAF5B-7AE9-4740-9623-3A4A5E8BFF01}");
  EXPECT_EQ(attributes->wMajorVerNum, 1);
  EXPECT_EQ(attributes->wMinorVerNum, 0);
  EXPECT_EQ(attributes->lcid, 1033u);
  library->ReleaseTLibAttr(attributes);

  const Interface interfaces[] = {
      {L"IMorvaskUpdaterCallback", L"{85C207B3-FC40-4C5A-A632-5048001A4B0C}", false,
       {L"RegisterAction", L"BeginAction", L"SubActionPerform", L"EndAction", L"IsCanceled", L"Error"}},
      {L"IMorvaskUpdateInfo", L"{AA1B7EB9-9DA7-42BC-BE39-03A68F48C1F0}", true,
       {L"GetName", L"GetDisplayName", L"GetVersion", L"GetSize", L"GetBasicInfo", L"SelectForInstall", L"GetState",
        L"ClearState", L"LaunchInstaller"}},
      {L"IMorvaskUpdates", L"{B7BEDAFC-BCD3-4EFD-9B14-6B1B5C84A72F}", true, {L"GetUpdateInfo", L"DownloadUpdates"}},
      {L"IMorvaskUpdater", L"{0DC761EE-B0AE-4407-9D2A-629026E1C263}", true,
       {L"RegisterCallback", L"CheckForUpdates", L"GetErrorDescription"}},
  };
  for (const Interface& expected : interfaces) {
    ITypeInfo* info = nullptr;
    MEMBERID ids[1] = {};
    USHORT found = 1;
    std::wstring wanted = expected.name;
    ASSERT_EQ(library->FindName(wanted.data(), 0, &info, ids, &found), S_OK) << expected.name;
    ASSERT_EQ(found, 1) << expected.name;
    TYPEATTR* type = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&type), S_OK);
    EXPECT_EQ(GuidText(type->guid), expected.guid) << expected.name;
    EXPECT_EQ((type->wTypeFlags & TYPEFLAG_FDUAL) != 0, expected.dual) << expected.name;
    // The vtable: the interface's own methods follow IUnknown's 3 (and IDispatch's 4 for dual ones).
    ITypeInfo* vtable = info;
    HREFTYPE reference = 0;
    if (type->typekind == TKIND_DISPATCH && SUCCEEDED(info->GetRefTypeOfImplType(-1, &reference)))
      info->GetRefTypeInfo(reference, &vtable);
    TYPEATTR* vtableType = nullptr;
    ASSERT_EQ(vtable->GetTypeAttr(&vtableType), S_OK);
    ASSERT_EQ(vtableType->cFuncs, expected.methods.size()) << expected.name;
    for (UINT i = 0; i < vtableType->cFuncs; ++i) {
      FUNCDESC* function = nullptr;
      ASSERT_EQ(vtable->GetFuncDesc(i, &function), S_OK);
      BSTR method = nullptr;
      UINT count = 0;
      vtable->GetNames(function->memid, &method, 1, &count);
      EXPECT_EQ(Text(method), expected.methods[i]) << expected.name;
      EXPECT_EQ(function->oVft / static_cast<SHORT>(sizeof(void*)), static_cast<SHORT>((expected.dual ? 7 : 3) + i))
          << expected.name << " " << expected.methods[i];
      vtable->ReleaseFuncDesc(function);
    }
    vtable->ReleaseTypeAttr(vtableType);
    if (vtable != info) vtable->Release();
    info->ReleaseTypeAttr(type);
    info->Release();
  }

  ITypeInfo* coclass = nullptr;
  MEMBERID ids[1] = {};
  USHORT found = 1;
  std::wstring className = L"MorvaskUpdater";
  ASSERT_EQ(library->FindName(className.data(), 0, &coclass, ids, &found), S_OK);
  BSTR help = nullptr;
  ASSERT_EQ(coclass->GetDocumentation(MEMBERID_NIL, nullptr, &help, nullptr, nullptr), S_OK);
  EXPECT_EQ(Text(help), L"Kestrune Installer Updater COM");
  TYPEATTR* classType = nullptr;
  ASSERT_EQ(coclass->GetTypeAttr(&classType), S_OK);
  EXPECT_EQ(classType->typekind, TKIND_COCLASS);
  EXPECT_EQ(GuidText(classType->guid), L"{169CF221-57E4-4FCF-BC3B-A3B6B3A3BB52}");
  coclass->ReleaseTypeAttr(classType);
  coclass->Release();
  library->Release();
}

}  // namespace
