#include "automation/script_arguments.h"

#include <gtest/gtest.h>

#include <oleauto.h>

#include <string>
#include <vector>

#include "morvask_updater.h"

namespace updater {
namespace {

const ParameterShape kOutInt{VT_I4, true, false};
const ParameterShape kOutText{VT_BSTR, true, false};
const ParameterShape kRetval{VT_PTR, true, true};
const ParameterShape kInFlag{VT_I1, false, false};  // the library's "boolean"
const ParameterShape kInInt{VT_I4, false, false};

VARIANT Int(LONG value) {
  VARIANT variant;
  ::VariantInit(&variant);
  V_VT(&variant) = VT_I4;
  V_I4(&variant) = value;
  return variant;
}

VARIANT Flag(bool value) {
  VARIANT variant;
  ::VariantInit(&variant);
  V_VT(&variant) = VT_BOOL;
  V_BOOL(&variant) = value ? VARIANT_TRUE : VARIANT_FALSE;
  return variant;
}

VARIANT ReferenceTo(VARIANT& target) {
  VARIANT variant;
  ::VariantInit(&variant);
  V_VT(&variant) = VT_BYREF | VT_VARIANT;
  V_VARIANTREF(&variant) = &target;
  return variant;
}

TEST(ScriptArguments, OutParametersGetStorageOfTheirOwnTypeWhateverTheCallerPassed) {
  // CheckForUpdates(int*, int*, int*, retval): JScript passes nothing, or values it cannot get back.
  const std::vector<ParameterShape> check = {kOutInt, kOutInt, kOutInt, kRetval};
  std::vector<VARIANT> byValue = {Int(3), Int(2), Int(1)};  // last parameter first
  struct Case {
    const char* name;
    DISPPARAMS given;
  } cases[] = {{"no arguments", {nullptr, nullptr, 0, 0}},
               {"values", {byValue.data(), nullptr, 3, 0}},
               {"first only", {byValue.data() + 2, nullptr, 1, 0}}};
  for (Case& c : cases) {
    ScriptArguments arguments(check, c.given);
    DISPPARAMS* prepared = arguments.Prepared();
    ASSERT_EQ(prepared->cArgs, 3u) << c.name;
    for (UINT i = 0; i < 3; ++i) {
      ASSERT_EQ(V_VT(&prepared->rgvarg[i]), VT_BYREF | VT_I4) << c.name;
      *V_I4REF(&prepared->rgvarg[i]) = 40 + static_cast<LONG>(i);  // as the method writes
    }
    arguments.HandBack();
  }
  // Nothing the caller passed by value was written to.
  EXPECT_EQ(V_I4(&byValue[0]), 3);
  EXPECT_EQ(V_I4(&byValue[2]), 1);
}

TEST(ScriptArguments, VariantReferencesReceiveWhatTheMethodWrote) {
  // GetBasicInfo(BSTR*, BSTR*, int*) called from VBScript with three variables.
  VARIANT name, version, size;
  ::VariantInit(&name);
  ::VariantInit(&version);
  size = Int(-1);
  std::vector<VARIANT> given = {ReferenceTo(size), ReferenceTo(version), ReferenceTo(name)};
  DISPPARAMS parameters{given.data(), nullptr, 3, 0};
  {
    ScriptArguments arguments({kOutText, kOutText, kOutInt}, parameters);
    DISPPARAMS* prepared = arguments.Prepared();
    ASSERT_EQ(V_VT(&prepared->rgvarg[2]), VT_BYREF | VT_BSTR);
    ASSERT_EQ(V_VT(&prepared->rgvarg[0]), VT_BYREF | VT_I4);
    *V_BSTRREF(&prepared->rgvarg[2]) = ::SysAllocString(L"Tool A");
    *V_BSTRREF(&prepared->rgvarg[1]) = ::SysAllocString(L"2.1");
    *V_I4REF(&prepared->rgvarg[0]) = 1234;
    arguments.HandBack();
  }
  ASSERT_EQ(V_VT(&name), VT_BSTR);
  EXPECT_EQ(std::wstring(V_BSTR(&name)), L"Tool A");
  EXPECT_EQ(std::wstring(V_BSTR(&version)), L"2.1");
  ASSERT_EQ(V_VT(&size), VT_I4);
  EXPECT_EQ(V_I4(&size), 1234);
  ::VariantClear(&name);
  ::VariantClear(&version);
}

TEST(ScriptArguments, InArgumentsAreDereferencedAndTrueBecomesOne) {
  VARIANT yes = Flag(true), no = Flag(false), number = Int(7);
  VARIANT referenced = ReferenceTo(yes);
  struct Case {
    VARIANT* argument;
    ParameterShape shape;
    VARTYPE type;
    LONG value;
  } cases[] = {{&yes, kInFlag, VT_I1, 1},
               {&no, kInFlag, VT_I1, 0},
               {&referenced, kInFlag, VT_I1, 1},
               {&yes, {VT_UI1, false, false}, VT_UI1, 1},
               {&number, kInInt, VT_I4, 7},
               {&yes, kInInt, VT_BOOL, VARIANT_TRUE}};  // left for the platform to convert
  for (Case& c : cases) {
    DISPPARAMS given{c.argument, nullptr, 1, 0};
    ScriptArguments arguments({c.shape}, given);
    const VARIANT& prepared = arguments.Prepared()->rgvarg[0];
    ASSERT_EQ(V_VT(&prepared), c.type);
    EXPECT_EQ(c.type == VT_UI1 || c.type == VT_I1 ? V_UI1(&prepared) : c.type == VT_I4 ? V_I4(&prepared) : V_BOOL(&prepared), c.value);
  }
}

TEST(ScriptArguments, WhatCannotBeMendedIsLeftToThePlatform) {
  VARIANT exact;
  LONG storage = 0;
  V_VT(&exact) = VT_BYREF | VT_I4;
  V_I4REF(&exact) = &storage;
  VARIANT one = Int(1), two = Int(2);
  std::vector<VARIANT> pair = {one, two};
  DISPID named = 0;
  struct Case {
    const char* name;
    std::vector<ParameterShape> shapes;
    DISPPARAMS given;
    bool same;
  } cases[] = {
      {"a missing [in] argument", {kInInt}, {nullptr, nullptr, 0, 0}, true},
      {"more arguments than parameters", {kInInt}, {pair.data(), nullptr, 2, 0}, true},
      {"named arguments", {kInInt, kInInt}, {pair.data(), &named, 2, 1}, true},
      {"an interface out parameter", {{VT_PTR, true, false}}, {nullptr, nullptr, 0, 0}, true},
      {"exactly typed", {kOutInt}, {&exact, nullptr, 1, 0}, false},
  };
  for (Case& c : cases) {
    ScriptArguments arguments(c.shapes, c.given);
    DISPPARAMS* prepared = arguments.Prepared();
    EXPECT_EQ(prepared->rgvarg == c.given.rgvarg, c.same) << c.name;
    EXPECT_EQ(prepared->cArgs, c.given.cArgs) << c.name;
    if (!c.same) {
      EXPECT_EQ(V_I4REF(&prepared->rgvarg[0]), &storage) << c.name;
    }
  }
}

TEST(ScriptArguments, ShapesComeFromTheTypeLibrary) {
  wchar_t path[MAX_PATH];
  ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  ITypeLib* library = nullptr;
  ASSERT_EQ(::LoadTypeLibEx(path, REGKIND_NONE, &library), S_OK);
  auto shapesOf = [library](const IID& iid, const wchar_t* method, std::vector<ParameterShape>& shapes) {
    ITypeInfo* info = nullptr;
    EXPECT_EQ(library->GetTypeInfoOfGuid(iid, &info), S_OK);
    std::wstring name = method;
    LPOLESTR names[] = {name.data()};
    DISPID id = 0;
    EXPECT_EQ(info->GetIDsOfNames(names, 1, &id), S_OK);
    bool found = ParameterShapesOf(*info, id, DISPATCH_METHOD, shapes);
    EXPECT_FALSE(ParameterShapesOf(*info, id + 1000, DISPATCH_METHOD, shapes));
    info->Release();
    return found;
  };
  std::vector<ParameterShape> shapes;
  ASSERT_TRUE(shapesOf(__uuidof(IMorvaskUpdater), L"CheckForUpdates", shapes));
  // The dispatch view of a dual interface gives the [retval] parameter as the function's result.
  ASSERT_EQ(shapes.size(), 3u);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(shapes[i].type == VT_I4 && shapes[i].out && !shapes[i].retval) << i;
  ASSERT_TRUE(shapesOf(__uuidof(IMorvaskUpdateInfo), L"SelectForInstall", shapes));
  ASSERT_EQ(shapes.size(), 1u);
  EXPECT_EQ(shapes[0].type, VT_I1);
  EXPECT_FALSE(shapes[0].out);
  ASSERT_TRUE(shapesOf(__uuidof(IMorvaskUpdateInfo), L"GetBasicInfo", shapes));
  ASSERT_EQ(shapes.size(), 3u);
  EXPECT_TRUE(shapes[0].type == VT_BSTR && shapes[1].type == VT_BSTR && shapes[2].type == VT_I4);
  library->Release();
}

}  // namespace
}  // namespace updater
