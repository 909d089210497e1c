// How a late-bound caller's arguments meet a method's parameters. Script hosts pass what their
// language has: JScript cannot pass a variable by reference, so an [out] parameter comes by value
// or not at all; VBScript passes its variables as references to variants; both pass true as a
// VT_BOOL where the interface takes a one-byte boolean. The platform's DispInvoke wants the exact
// by-reference type of every [out] parameter, so the arguments are brought into that shape first,
// and what the method wrote is handed back to the variants that asked for it.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <vector>

namespace updater {

// One parameter of a method, as the type information describes it. For [out] parameters `type` is
// the type pointed to; an "int" is VT_I4.
struct ParameterShape {
  VARTYPE type = VT_EMPTY;
  bool out = false;
  bool retval = false;
};

// The parameters of the method `id` called as `flags`; false when the type information has no
// such function.
bool ParameterShapesOf(ITypeInfo& typeInfo, DISPID id, WORD flags, std::vector<ParameterShape>& shapes);

class ScriptArguments {
 public:
  // `given` stays the caller's; nothing of it is freed here.
  ScriptArguments(const std::vector<ParameterShape>& parameters, DISPPARAMS& given);
  ~ScriptArguments();
  ScriptArguments(const ScriptArguments&) = delete;
  ScriptArguments& operator=(const ScriptArguments&) = delete;

  // The arguments to invoke with: the caller's own when they need no change or cannot be mended.
  DISPPARAMS* Prepared() { return &prepared_; }
  // After a successful call: each [out] value goes to the caller's variant reference, where one
  // was given; the others are freed with this object.
  void HandBack();

 private:
  DISPPARAMS prepared_{};
  std::vector<VARIANT> arguments_;  // in DISPPARAMS order: the last parameter first
  std::vector<VARIANT> values_;     // what the [out] parameters write, by parameter
  std::vector<VARIANT*> targets_;   // the caller's variant for each value, or null
};

}  // namespace updater
