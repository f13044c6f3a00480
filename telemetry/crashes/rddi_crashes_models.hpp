#pragma once
// The value objects nested in error logs: threads with their stack frames, binary images,
// and exception models. Each serialises to a dictionary under its field names (unset
// fields left out) and archives under the same keys.
#include "platform/foundation/error.hpp"
#include "platform/foundation/exception.hpp"
#include "platform/foundation/keyed_archiver.hpp"
#include "platform/foundation/value.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace rddi {

class RDDIStackFrame : public platform::foundation::Archivable {
public:
    RDDIStackFrame() = default;
    explicit RDDIStackFrame(const platform::foundation::KeyedUnarchiver& unarchiver);
    std::string archiveClassName() const override { return "RDDIStackFrame"; }
    void encode(platform::foundation::KeyedArchiver& archiver) const override;
    platform::foundation::Dictionary serializeToDictionary() const;
    bool isEqual(const RDDIStackFrame& other) const;

    std::optional<std::string> address;
    std::optional<std::string> code;
    std::optional<std::string> className;
    std::optional<std::string> methodName;
    std::optional<std::int64_t> lineNumber;
    std::optional<std::string> fileName;
};

using RDDIStackFrames = std::vector<std::shared_ptr<RDDIStackFrame>>;

class RDDIExceptionModel : public platform::foundation::Archivable {
public:
    RDDIExceptionModel() = default;
    explicit RDDIExceptionModel(const platform::foundation::KeyedUnarchiver& unarchiver);
    // type = the error's domain when it has one; message = the printed form of its user
    // info when that holds an entry (here: its description); the current call stack.
    static std::shared_ptr<RDDIExceptionModel> withError(const platform::foundation::Error& error);
    // Name, reason and the exception's own call-stack symbols.
    static std::shared_ptr<RDDIExceptionModel> withException(const platform::foundation::Exception& exception);
    // `stackTrace` lines, or the current call stack when none are given.
    static std::shared_ptr<RDDIExceptionModel> withType(const std::optional<std::string>& type,
                                                        const std::optional<std::string>& message,
                                                        const std::optional<std::vector<std::string>>& stackTrace);

    // One frame per line that splits into at least six pieces at " -[]+?.,": image name,
    // address, class and method are pieces 1 to 4.
    static RDDIStackFrames loadStackTrace(const std::vector<std::string>& lines);

    virtual std::string className() const { return "RDDIExceptionModel"; }
    std::string archiveClassName() const override { return className(); }
    void encode(platform::foundation::KeyedArchiver& archiver) const override;
    virtual platform::foundation::Dictionary serializeToDictionary() const;
    // A type and at least one frame; the first missing one is logged.
    virtual bool isValid() const;
    virtual bool isEqual(const RDDIExceptionModel& other) const;

    std::optional<std::string> type;
    std::optional<std::string> message;
    std::optional<std::string> stackTrace;
    std::optional<RDDIStackFrames> frames;
};

// The model wrapper SDKs build for their managed exceptions.
class RDDIWrapperExceptionModel : public RDDIExceptionModel {
public:
    RDDIWrapperExceptionModel() = default;
    explicit RDDIWrapperExceptionModel(const platform::foundation::KeyedUnarchiver& unarchiver);
    std::string className() const override { return "RDDIWrapperExceptionModel"; }
    void encode(platform::foundation::KeyedArchiver& archiver) const override;
    platform::foundation::Dictionary serializeToDictionary() const override;
    bool isEqual(const RDDIExceptionModel& other) const override;

    std::optional<std::vector<std::shared_ptr<RDDIExceptionModel>>> innerExceptions;
    std::optional<std::string> wrapperSdkName;
};

class RDDIThread : public platform::foundation::Archivable {
public:
    RDDIThread() = default;
    explicit RDDIThread(const platform::foundation::KeyedUnarchiver& unarchiver);
    std::string archiveClassName() const override { return "RDDIThread"; }
    void encode(platform::foundation::KeyedArchiver& archiver) const override;
    platform::foundation::Dictionary serializeToDictionary() const;
    // An id and at least one frame.
    bool isValid() const;
    bool isEqual(const RDDIThread& other) const;

    std::optional<std::int64_t> threadId;
    std::optional<std::string> name;
    RDDIStackFrames frames;
    std::shared_ptr<RDDIExceptionModel> exception;
};

class RDDIBinary : public platform::foundation::Archivable {
public:
    RDDIBinary() = default;
    explicit RDDIBinary(const platform::foundation::KeyedUnarchiver& unarchiver);
    std::string archiveClassName() const override { return "RDDIBinary"; }
    void encode(platform::foundation::KeyedArchiver& archiver) const override;
    platform::foundation::Dictionary serializeToDictionary() const;
    // Id, start and end address, name and path.
    bool isValid() const;
    bool isEqual(const RDDIBinary& other) const;

    std::optional<std::string> binaryId;
    std::optional<std::string> startAddress;
    std::optional<std::string> endAddress;
    std::optional<std::string> name;
    std::optional<std::string> path;
    std::optional<std::string> architecture;
    std::optional<std::int64_t> primaryArchitectureId;
    std::optional<std::int64_t> architectureVariantId;
};

// The printed form of a list of strings, as the platform prints an array:
// "(\n    \"a b\",\n    c\n)".
std::string RDDIArrayDescription(const std::vector<std::string>& items);

// Logs "<class>: \"<field>\" is not valid." at verbose level and answers false.
bool RDDIInvalidField(const std::string& className, const std::string& field);

// Element-wise isEqual of two lists of models; both unset counts as equal.
template <class T>
bool RDDIModelsEqual(const std::vector<std::shared_ptr<T>>& a, const std::vector<std::shared_ptr<T>>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i] == b[i]) continue;
        if (!a[i] || !b[i] || !a[i]->isEqual(*b[i])) return false;
    }
    return true;
}
template <class T>
bool RDDIModelsEqual(const std::optional<std::vector<std::shared_ptr<T>>>& a,
                     const std::optional<std::vector<std::shared_ptr<T>>>& b) {
    if (!a || !b) return !a && !b;
    return RDDIModelsEqual(*a, *b);
}
template <class T>
bool RDDIModelEqual(const std::shared_ptr<T>& a, const std::shared_ptr<T>& b) {
    return a == b || (a && b && a->isEqual(*b));
}

}  // namespace rddi
