#pragma once
// JSON coding of property-list values; stands in for the platform's JSON serialisation.
#include "platform/foundation/value.hpp"

#include <nlohmann/json_fwd.hpp>

#include <functional>
#include <string>
#include <string_view>

namespace platform::foundation::json {

struct WriteOptions {
    bool prettyPrinted = false;  // two-space indent
};

// Writes a value as JSON text. Integers stay integers, reals keep a fraction or
// exponent, booleans stay booleans; null becomes null. Data and dates, and reals that
// are not finite, and text that is not UTF-8, have no JSON form:
// Error(propertyListWriteInvalid).
std::string serialize(const Value& value, WriteOptions options = {});
Data serializeData(const Value& value, WriteOptions options = {});

// The compact text of serialize, handed to `sink` in pieces of about a megabyte as it is
// written, so that a value of pictures never stands as one text. Data, which has no JSON
// form of its own, is written as its Base64 text (the form the stored pictures take).
using TextSink = std::function<void(std::string_view)>;
void serializeInPieces(const Value& value, const TextSink& sink);

// Writes a value the way the catalog editor writes its Contents.json files: two-space
// indent, `"key" : value`, integers as integers, reals in their shortest exact form (a
// whole real without ".0"), UTF-8 and "/" unescaped, empty containers as "[\n\n]", and a
// final newline. Values JSON cannot hold: Error(propertyListWriteInvalid).
std::string serializeCatalogStyle(const Value& value);

// The deepest nesting of arrays and objects a read accepts.
inline constexpr int kMaxNestingDepth = 512;

// Reads JSON text; any top-level value is accepted. Malformed text, or text nested
// deeper than kMaxNestingDepth: Error(propertyListReadCorrupt) naming the position.
Value parse(std::string_view text);
Value parse(const Data& data);

// Conversions for code that already works with nlohmann::json.
nlohmann::json toJson(const Value& value);
Value fromJson(const nlohmann::json& json);

}  // namespace platform::foundation::json
