// Access to the user-visible texts of the string table (ids in resources/string_ids.h).
#pragma once

#include <initializer_list>
#include <string>

namespace updater {

// The text of string `id` from the executable's string table; empty when the module has none.
std::wstring LoadStringResource(unsigned id);

// Fills the "%s" places of a string-table pattern with `inserts`, in order, and turns "%%" into "%".
// Patterns come from resources, so they are never handed to printf: in this build a "%s" there would
// read a narrow string. A "%s" without an insert left is kept as it is; surplus inserts are ignored.
std::wstring FillText(const std::wstring& pattern, std::initializer_list<std::wstring> inserts);

// LoadStringResource and FillText in one step.
std::wstring LoadStringFilled(unsigned id, std::initializer_list<std::wstring> inserts);

}  // namespace updater
