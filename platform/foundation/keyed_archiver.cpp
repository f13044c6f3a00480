#include "platform/foundation/keyed_archiver.hpp"

#include "platform/foundation/binary_plist_reader.hpp"
#include "platform/foundation/binary_plist_writer.hpp"
#include "platform/foundation/plist.hpp"
#include "platform/foundation/utf8.hpp"

#include <map>
#include <mutex>

namespace platform::foundation {

// Archive layout: {"$archiver": "KeyedArchiver", "$version": 1, "$top": <object>}
// where <object> is {"$class": name, "$fields": {key: {"$v": value} | {"$o": <object>}
// | {"$a": [<object>...]}}}. Wrapping every field keeps plain dictionaries apart from
// objects.
namespace {
constexpr std::string_view kArchiverName = "KeyedArchiver";
constexpr int kMaxDepth = 256;

Error corrupt(const std::string& why) {
    return Error(FoundationErrorCode::coderReadCorrupt, "The data couldn't be read because it isn't in the correct format. (" + why + ")");
}

std::mutex& registryMutex() {
    static std::mutex m;
    return m;
}
std::map<std::string, KeyedUnarchiver::Factory>& registry() {
    static std::map<std::string, KeyedUnarchiver::Factory> r = {
        {"NSArray", [](const KeyedUnarchiver& u) { return std::make_shared<ArchivedArray>(u); }},
    };
    return r;
}
// Old archived class name to the name of the class that decodes it now.
std::map<std::string, std::string>& substitutions() {
    static std::map<std::string, std::string> s;
    return s;
}
}  // namespace

Value KeyedArchiver::encodeRoot(const Archivable& object, int depth) {
    if (depth > kMaxDepth) throw Error(FoundationErrorCode::propertyListWriteInvalid, "Archived object graph nested too deeply (a cycle?)");
    KeyedArchiver archiver;
    archiver.depth_ = depth;
    object.encode(archiver);
    // Built by moving: a braced list would copy the whole subtree at every level.
    Dictionary encoded;
    encoded.emplace("$class", Value(object.archiveClassName()));
    encoded.emplace("$fields", Value(std::move(archiver.fields_)));
    return Value(std::move(encoded));
}

Data KeyedArchiver::archivedData(const Archivable& root) {
    Dictionary archive;
    archive.emplace("$archiver", Value(kArchiverName));
    archive.emplace("$version", Value(1));
    archive.emplace("$top", encodeRoot(root, 0));
    return writeBinaryPropertyList(Value(std::move(archive)));
}

namespace {
// {"<tag>": value}, moving the value in.
Value wrapped(const char* tag, Value value) {
    Dictionary field;
    field.emplace(tag, std::move(value));
    return Value(std::move(field));
}
}  // namespace

void KeyedArchiver::encode(std::string_view key, const Value& value) {
    if (value.isNull()) {
        fields_.erase(std::string(key));
        return;
    }
    // Property lists carry only valid UTF-8: stray bytes become U+FFFD instead of failing the archive.
    fields_.insert_or_assign(validUTF8(key), wrapped("$v", needsUTF8Repair(value) ? withValidUTF8(value) : value));
}

void KeyedArchiver::encodeObject(std::string_view key, const Archivable* object) {
    if (!object) {
        fields_.erase(std::string(key));
        return;
    }
    fields_.insert_or_assign(validUTF8(key), wrapped("$o", encodeRoot(*object, depth_ + 1)));
}

void KeyedArchiver::encodeObjects(std::string_view key, const std::vector<const Archivable*>& objects) {
    Array items;
    for (const Archivable* o : objects) {
        if (o) items.push_back(encodeRoot(*o, depth_ + 1));
    }
    fields_.insert_or_assign(validUTF8(key), wrapped("$a", Value(std::move(items))));
}

void KeyedUnarchiver::addClassSubstitutions(const std::map<std::string, std::string>& oldToNewClassName) {
    std::lock_guard lock(registryMutex());
    for (const auto& [oldName, newName] : oldToNewClassName) substitutions().insert_or_assign(oldName, newName);
}

ArchivedArray::ArchivedArray(const KeyedUnarchiver& unarchiver) : objects(unarchiver.decodeObjects("NS.objects")) {}

void ArchivedArray::encode(KeyedArchiver& archiver) const {
    std::vector<const Archivable*> items;
    items.reserve(objects.size());
    for (const auto& object : objects) items.push_back(object.get());
    archiver.encodeObjects("NS.objects", items);
}

void KeyedUnarchiver::registerClass(const std::string& className, Factory factory) {
    std::lock_guard lock(registryMutex());
    registry().insert_or_assign(className, std::move(factory));
}

std::shared_ptr<Archivable> KeyedUnarchiver::decodeEncoded(const Value& encoded, int depth) {
    if (depth > kMaxDepth) throw corrupt("nested too deeply");
    const std::string* cls = encoded["$class"].asString();
    const Dictionary* fields = encoded["$fields"].asDictionary();
    if (!cls || !fields) throw corrupt("object without class or fields");
    Factory factory;
    {
        std::lock_guard lock(registryMutex());
        const auto substituted = substitutions().find(*cls);
        const std::string& name = substituted == substitutions().end() ? *cls : substituted->second;
        auto it = registry().find(name);
        if (it == registry().end()) throw corrupt("cannot decode object of class " + *cls);
        factory = it->second;
    }
    KeyedUnarchiver unarchiver(fields, depth);
    auto object = factory(unarchiver);
    if (!object) throw corrupt("object of class " + *cls + " could not be decoded");
    return object;
}

std::shared_ptr<Archivable> KeyedUnarchiver::unarchiveObject(const Data& data) {
    // The property-list library stops the process (an assertion) on a text object with
    // a NUL inside, which only damaged or forged bytes hold, so those are refused before
    // anything reads them; so is anything without a sound object table.
    if (!isSafeBinaryPropertyList(data)) throw corrupt("not a binary property list");
    Value archive;
    if (auto read = readBinaryPropertyList(data)) {
        archive = std::move(*read);
    } else {
        try {
            archive = plist::parse(data);
        } catch (const Error&) {
            throw corrupt("not a property list");
        }
    }
    const std::string* name = archive["$archiver"].asString();
    if (!name || *name != kArchiverName || !archive.contains("$top")) throw corrupt("not a keyed archive");
    return decodeEncoded(archive["$top"], 0);
}

const Value* KeyedUnarchiver::field(std::string_view key) const {
    auto it = fields_->find(key);
    return it == fields_->end() ? nullptr : &it->second;
}

std::vector<std::string> KeyedUnarchiver::allKeys() const {
    std::vector<std::string> keys;
    keys.reserve(fields_->size());
    for (const auto& [key, value] : *fields_) keys.push_back(key);
    return keys;
}

bool KeyedUnarchiver::containsValue(std::string_view key) const { return field(key) != nullptr; }

Value KeyedUnarchiver::decode(std::string_view key) const {
    const Value* f = field(key);
    return f ? (*f)["$v"] : Value();
}

const Value* KeyedUnarchiver::decodedValue(std::string_view key) const {
    const Value* f = field(key);
    return f ? &(*f)["$v"] : nullptr;
}

namespace {
const Value& orNull(const Value* value) {
    static const Value null;
    return value ? *value : null;
}
}  // namespace

bool KeyedUnarchiver::decodeBool(std::string_view key) const { return orNull(decodedValue(key)).boolValue(); }
std::int64_t KeyedUnarchiver::decodeInteger(std::string_view key) const {
    return orNull(decodedValue(key)).integerValue();
}
double KeyedUnarchiver::decodeDouble(std::string_view key) const { return orNull(decodedValue(key)).doubleValue(); }

std::optional<std::string> KeyedUnarchiver::decodeString(std::string_view key) const {
    if (const auto* s = orNull(decodedValue(key)).asString()) return *s;
    return std::nullopt;
}

std::shared_ptr<Archivable> KeyedUnarchiver::decodeObject(std::string_view key) const {
    const Value* f = field(key);
    if (!f || !f->contains("$o")) return nullptr;
    return decodeEncoded((*f)["$o"], depth_ + 1);
}

std::vector<std::shared_ptr<Archivable>> KeyedUnarchiver::decodeObjects(std::string_view key) const {
    std::vector<std::shared_ptr<Archivable>> out;
    const Value* f = field(key);
    if (!f) return out;
    const Array* items = (*f)["$a"].asArray();
    if (!items) return out;
    for (const auto& item : *items) out.push_back(decodeEncoded(item, depth_ + 1));
    return out;
}

}  // namespace platform::foundation
