#pragma once
// The text of a catalog's Contents.json, in the layout the catalog editor itself
// writes: two-space indent, `"key" : value`, keys in order, integers as integers,
// and a final newline.
#include "platform/foundation/value.hpp"

#include <string>

namespace gw {

// Throws platform Error(propertyListWriteInvalid) for values JSON cannot hold (data,
// dates, numbers that are not finite, text that is not UTF-8).
std::string contentsJSONText(const platform::foundation::Dictionary& dictionary);

}  // namespace gw
