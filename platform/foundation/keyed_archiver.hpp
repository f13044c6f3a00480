#pragma once
// Archiving object graphs by key into bytes and back; stands in for the platform's
// keyed archiver and unarchiver. The bytes are a binary property list.
#include "platform/foundation/error.hpp"
#include "platform/foundation/value.hpp"

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform::foundation {

class KeyedArchiver;
class KeyedUnarchiver;

// An object that can be archived. Its class name is how the unarchiver finds the
// factory registered for it.
class Archivable {
public:
    virtual ~Archivable() = default;
    virtual std::string archiveClassName() const = 0;
    virtual void encode(KeyedArchiver& archiver) const = 0;
};

class KeyedArchiver {
public:
    // The archive of `root`.
    static Data archivedData(const Archivable& root);

    void encode(std::string_view key, const Value& value);
    void encodeBool(std::string_view key, bool value) { encode(key, Value(value)); }
    void encodeInteger(std::string_view key, std::int64_t value) { encode(key, Value(value)); }
    void encodeDouble(std::string_view key, double value) { encode(key, Value(value)); }
    void encodeString(std::string_view key, std::string_view value) { encode(key, Value(value)); }
    // A null object is recorded as absent.
    void encodeObject(std::string_view key, const Archivable* object);
    void encodeObjects(std::string_view key, const std::vector<const Archivable*>& objects);

private:
    KeyedArchiver() = default;
    static Value encodeRoot(const Archivable& object, int depth);
    Dictionary fields_;
    int depth_ = 0;
};

class KeyedUnarchiver {
public:
    using Factory = std::function<std::shared_ptr<Archivable>(const KeyedUnarchiver&)>;

    // Makes `className` decodable. Registration is process-wide and thread-safe.
    static void registerClass(const std::string& className, Factory factory);
    template <class T>
    static void registerClass(const std::string& className) {
        registerClass(className, [](const KeyedUnarchiver& u) { return std::make_shared<T>(u); });
    }

    // Archives written under an old class name decode through the factory of the class
    // that now stands for it. The table is process-wide, only ever added to, and
    // thread-safe.
    static void addClassSubstitutions(const std::map<std::string, std::string>& oldToNewClassName);

    // The root object of an archive. Bytes that are not an archive, or a class that is
    // not registered: Error(coderReadCorrupt).
    static std::shared_ptr<Archivable> unarchiveObject(const Data& data);
    // As above, and the root must be a T: Error(coderReadCorrupt) otherwise.
    template <class T>
    static std::shared_ptr<T> unarchiveObject(const Data& data) {
        auto obj = std::dynamic_pointer_cast<T>(unarchiveObject(data));
        if (!obj) throw Error(FoundationErrorCode::coderReadCorrupt, "Archive root has an unexpected class");
        return obj;
    }

    bool containsValue(std::string_view key) const;
    // Every key of this object's fields (for objects archived as a dictionary of their own).
    std::vector<std::string> allKeys() const;
    // Plain values; null when absent.
    Value decode(std::string_view key) const;
    // The plain value without a copy: nullptr when the key is absent, a null value when
    // the key holds an object.
    const Value* decodedValue(std::string_view key) const;
    bool decodeBool(std::string_view key) const;           // false when absent
    std::int64_t decodeInteger(std::string_view key) const;  // 0 when absent
    double decodeDouble(std::string_view key) const;         // 0 when absent
    std::optional<std::string> decodeString(std::string_view key) const;
    // Objects; nullptr when absent. A present object of another class, or an
    // unregistered one: Error(coderReadCorrupt).
    std::shared_ptr<Archivable> decodeObject(std::string_view key) const;
    template <class T>
    std::shared_ptr<T> decodeObject(std::string_view key) const {
        auto obj = decodeObject(key);
        if (!obj) return nullptr;
        auto typed = std::dynamic_pointer_cast<T>(obj);
        if (!typed) throw Error(FoundationErrorCode::coderReadCorrupt, "Archived object of unexpected class for key " + std::string(key));
        return typed;
    }
    std::vector<std::shared_ptr<Archivable>> decodeObjects(std::string_view key) const;

private:
    KeyedUnarchiver(const Dictionary* fields, int depth) : fields_(fields), depth_(depth) {}
    static std::shared_ptr<Archivable> decodeEncoded(const Value& encoded, int depth);
    const Value* field(std::string_view key) const;
    const Dictionary* fields_;
    int depth_;
};

// An ordered list of objects as the root (or a field) of an archive, archived as the
// class "NSArray" under the key "NS.objects"; always decodable.
class ArchivedArray : public Archivable {
public:
    ArchivedArray() = default;
    explicit ArchivedArray(std::vector<std::shared_ptr<Archivable>> objects) : objects(std::move(objects)) {}
    explicit ArchivedArray(const KeyedUnarchiver& unarchiver);

    std::string archiveClassName() const override { return "NSArray"; }
    void encode(KeyedArchiver& archiver) const override;

    std::vector<std::shared_ptr<Archivable>> objects;
};

}  // namespace platform::foundation
