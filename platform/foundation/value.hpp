#pragma once
// The property-list value: null, boolean, integer, real, string, data, date, array or
// dictionary; stands in for the platform's property-list object graph (numbers keep
// apart booleans, 64-bit integers and reals).
#include "platform/foundation/date.hpp"

#include <cstdint>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace platform::foundation {

using Data = std::vector<std::uint8_t>;

Data dataFromString(std::string_view text);
std::string stringFromData(const Data& data);

class Value;
using Array = std::vector<Value>;
using Dictionary = std::map<std::string, Value, std::less<>>;

class Value {
public:
    enum class Type { null, boolean, integer, real, string, data, date, array, dictionary };

    Value() = default;
    Value(std::nullptr_t) {}
    Value(bool b) : v_(b) {}
    Value(int i) : v_(static_cast<std::int64_t>(i)) {}
    Value(long i) : v_(static_cast<std::int64_t>(i)) {}
    Value(long long i) : v_(static_cast<std::int64_t>(i)) {}
    Value(unsigned i) : v_(static_cast<std::int64_t>(i)) {}
    Value(unsigned long i) : v_(static_cast<std::int64_t>(i)) {}
    Value(unsigned long long i) : v_(static_cast<std::int64_t>(i)) {}
    Value(double d) : v_(d) {}
    Value(float d) : v_(static_cast<double>(d)) {}
    Value(const char* s) { if (s) v_ = std::string(s); }  // a null pointer gives null
    Value(std::string s) : v_(std::move(s)) {}
    Value(std::string_view s) : v_(std::string(s)) {}
    Value(Data d) : v_(std::move(d)) {}
    Value(Date d) : v_(d) {}
    Value(Array a) : v_(std::move(a)) {}
    Value(Dictionary d) : v_(std::move(d)) {}

    // Dictionary literal: Value::dict({{"a", 1}, {"b", "x"}}).
    static Value dict(std::initializer_list<std::pair<const std::string, Value>> entries);
    static Value array(std::initializer_list<Value> items);

    Type type() const { return static_cast<Type>(v_.index()); }
    bool isNull() const { return type() == Type::null; }
    bool isBool() const { return type() == Type::boolean; }
    bool isInteger() const { return type() == Type::integer; }
    bool isReal() const { return type() == Type::real; }
    bool isNumber() const { return isBool() || isInteger() || isReal(); }
    bool isString() const { return type() == Type::string; }
    bool isData() const { return type() == Type::data; }
    bool isDate() const { return type() == Type::date; }
    bool isArray() const { return type() == Type::array; }
    bool isDictionary() const { return type() == Type::dictionary; }

    // Exact views: the value when it has that type, else none / nullptr.
    std::optional<bool> asBool() const;
    std::optional<std::int64_t> asInteger() const;    // integers only
    std::optional<double> asDouble() const;           // integers and reals
    const std::string* asString() const;
    const Data* asData() const;
    std::optional<Date> asDate() const;
    const Array* asArray() const;
    Array* asArray();
    const Dictionary* asDictionary() const;
    Dictionary* asDictionary();

    // Lenient readings, as settings stores read values: numbers convert among
    // themselves (a real beyond the integers is held at their ends), strings
    // "YES"/"true"/"1"… and numeric strings are read, anything else gives false / 0.
    bool boolValue() const;
    std::int64_t integerValue() const;
    double doubleValue() const;

    // Dictionary member (null when absent or not a dictionary). Reading only, also on
    // a non-const value: looking a key up never inserts it.
    const Value& operator[](std::string_view key) const { return get(key); }
    const Value& get(std::string_view key) const;
    // The member to write, inserted as null when absent (a null value becomes an empty
    // dictionary first); std::logic_error when this is neither null nor a dictionary.
    Value& member(const std::string& key);
    bool contains(std::string_view key) const;
    std::size_t size() const;  // entries of an array or dictionary, else 0

    // A short, stable text form for logs ("{a = 1; b = (x, y);}" style).
    std::string description() const;

    friend bool operator==(const Value& a, const Value& b) { return a.v_ == b.v_; }

private:
    std::variant<std::monostate, bool, std::int64_t, double, std::string, Data, Date, Array, Dictionary> v_;
};

std::string_view typeName(Value::Type type);

// a + b held at the ends of the 64-bit range instead of overflowing: a count kept in the
// settings may have been written there by anyone.
std::int64_t saturatingAdd(std::int64_t a, std::int64_t b);

}  // namespace platform::foundation
