#include "automation/script_arguments.h"

#include <oleauto.h>

namespace updater {
namespace {

// The types an [out] parameter of the interfaces can have besides the interface pointers, which
// only come back as the return value.
bool IsPlainValue(VARTYPE type) {
  return type == VT_I4 || type == VT_I1 || type == VT_UI1 || type == VT_BOOL || type == VT_BSTR;
}

// Found by its memory identifier among the type's functions.
class FunctionDescription {
 public:
  FunctionDescription(ITypeInfo& typeInfo, DISPID id, WORD flags) : typeInfo_(typeInfo) {
    TYPEATTR* attributes = nullptr;
    if (FAILED(typeInfo_.GetTypeAttr(&attributes))) return;
    WORD functions = attributes->cFuncs;
    typeInfo_.ReleaseTypeAttr(attributes);
    for (WORD i = 0; i < functions && !description_; ++i) {
      FUNCDESC* candidate = nullptr;
      if (FAILED(typeInfo_.GetFuncDesc(i, &candidate))) continue;
      if (candidate->memid == id && (candidate->invkind & flags)) {
        description_ = candidate;
      } else {
        typeInfo_.ReleaseFuncDesc(candidate);
      }
    }
  }
  ~FunctionDescription() {
    if (description_) typeInfo_.ReleaseFuncDesc(description_);
  }
  FunctionDescription(const FunctionDescription&) = delete;
  FunctionDescription& operator=(const FunctionDescription&) = delete;

  const FUNCDESC* Get() const { return description_; }

 private:
  ITypeInfo& typeInfo_;
  FUNCDESC* description_ = nullptr;
};

}  // namespace

bool ParameterShapesOf(ITypeInfo& typeInfo, DISPID id, WORD flags, std::vector<ParameterShape>& shapes) {
  FunctionDescription function(typeInfo, id, flags);
  const FUNCDESC* description = function.Get();
  if (!description) return false;
  shapes.clear();
  for (SHORT i = 0; i < description->cParams; ++i) {
    const ELEMDESC& element = description->lprgelemdescParam[i];
    USHORT parameterFlags = element.paramdesc.wParamFlags;
    ParameterShape shape;
    shape.out = (parameterFlags & PARAMFLAG_FOUT) != 0;
    shape.retval = (parameterFlags & PARAMFLAG_FRETVAL) != 0;
    const TYPEDESC* type = &element.tdesc;
    if (shape.out && type->vt == VT_PTR) type = type->lptdesc;
    // The platform's Invoke takes an "int" as a VT_I4 (by reference for [out]), as it converts it.
    shape.type = type->vt == VT_INT ? static_cast<VARTYPE>(VT_I4) : type->vt;
    shapes.push_back(shape);
  }
  return true;
}

ScriptArguments::ScriptArguments(const std::vector<ParameterShape>& parameters, DISPPARAMS& given) {
  prepared_ = given;
  std::vector<const ParameterShape*> positional;
  for (const ParameterShape& shape : parameters)
    if (!shape.retval) positional.push_back(&shape);
  // Named arguments and surplus ones are the platform's to judge.
  if (given.cNamedArgs != 0 || given.cArgs > positional.size()) return;
  const UINT count = static_cast<UINT>(positional.size());
  std::vector<VARIANT> arguments(count), values(count);
  std::vector<VARIANT*> targets(count, nullptr);
  for (UINT j = 0; j < count; ++j) {
    VARIANT& argument = arguments[count - 1 - j];
    ::VariantInit(&argument);
    ::VariantInit(&values[j]);
    const ParameterShape& shape = *positional[j];
    VARIANT* supplied = j < given.cArgs ? &given.rgvarg[given.cArgs - 1 - j] : nullptr;
    if (shape.out) {
      if (supplied && V_VT(supplied) == (VT_BYREF | shape.type)) {
        argument = *supplied;
        continue;
      }
      if (!IsPlainValue(shape.type)) return;
      // The method writes into a value of its own type; a variant reference gets it afterwards.
      V_VT(&values[j]) = shape.type;
      V_VT(&argument) = static_cast<VARTYPE>(VT_BYREF | shape.type);
      V_BYREF(&argument) = &V_UI1(&values[j]);
      if (supplied && V_VT(supplied) == (VT_BYREF | VT_VARIANT)) targets[j] = V_VARIANTREF(supplied);
      continue;
    }
    // A missing [in] argument cannot be made up.
    if (!supplied) return;
    const VARIANT* value = V_VT(supplied) == (VT_BYREF | VT_VARIANT) ? V_VARIANTREF(supplied) : supplied;
    argument = *value;
    // The interfaces' one-byte "boolean" (VT_I1 in the library): true arrives as VT_BOOL -1.
    if ((shape.type == VT_I1 || shape.type == VT_UI1) && V_VT(&argument) == VT_BOOL) {
      bool set = V_BOOL(&argument) != VARIANT_FALSE;
      V_VT(&argument) = shape.type;
      V_UI1(&argument) = set ? 1 : 0;
    }
  }
  // Moving keeps the vectors' storage, so the references into the values stay valid.
  arguments_ = std::move(arguments);
  values_ = std::move(values);
  targets_ = std::move(targets);
  prepared_.rgvarg = arguments_.data();
  prepared_.cArgs = count;
}

ScriptArguments::~ScriptArguments() {
  for (VARIANT& value : values_) ::VariantClear(&value);
}

void ScriptArguments::HandBack() {
  for (std::size_t j = 0; j < targets_.size(); ++j) {
    if (!targets_[j]) continue;
    ::VariantClear(targets_[j]);
    *targets_[j] = values_[j];
    ::VariantInit(&values_[j]);
  }
}

}  // namespace updater
