#pragma once
// Property-list coding (XML and binary) of values; stands in for the platform's
// property-list serialisation.
#include "platform/foundation/value.hpp"

namespace platform::foundation::plist {

enum class Format { xml, binary };

// Writes a property list (XML dates keep whole seconds, binary ones the fraction).
// Null has no property-list form, inside containers or at
// the top: Error(propertyListWriteInvalid).
Data serialize(const Value& value, Format format = Format::xml);

// Reads an XML or binary property list (detected from the content). Anything else:
// Error(propertyListReadCorrupt).
Value parse(const Data& data);
Value parse(std::string_view text);

// Reads a property-list file; a missing or unreadable file is an Error too.
Value readFile(const std::string& path);

}  // namespace platform::foundation::plist
