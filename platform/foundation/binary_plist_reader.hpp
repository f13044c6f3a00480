#pragma once
// A direct reader of the binary property lists archives are made of. Building the
// library's node tree and converting it took most of the time of unarchiving a log;
// this reads the bytes straight into values. It reads only what it reads exactly as the
// library does (plist.hpp) and answers none for anything else (dates, UIDs, sets,
// 16-byte integers, Latin-1 or ill-formed UTF-16 text, duplicate keys, deep nesting,
// damaged tables), leaving such bytes to the library.
#include "platform/foundation/value.hpp"

#include <optional>
#include <string_view>

namespace platform::foundation {

// The root value, or none when the bytes are not for this reader.
std::optional<Value> readBinaryPropertyList(const Data& bytes);

// Whether the library may be given the bytes: a "bplist00" header, a sound object
// table, and no text object holding a NUL (the library stops the process on one).
bool isSafeBinaryPropertyList(const Data& bytes);
bool isSafeBinaryPropertyList(std::string_view bytes);

}  // namespace platform::foundation
