#pragma once
// A direct writer of binary property lists for the keyed archiver: several times faster
// than building the library's node tree and serialising it, which dominated archiving.
// Strings and keys are written once and shared, as the library does. Archives are read
// back by binary_plist_reader.hpp, other property lists by the library (plist.hpp).
#include "platform/foundation/value.hpp"

namespace platform::foundation {

// The value as a binary property list ("bplist00"). Text must be valid UTF-8.
Data writeBinaryPropertyList(const Value& root);

}  // namespace platform::foundation
