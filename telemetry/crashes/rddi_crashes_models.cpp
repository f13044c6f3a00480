#include "telemetry/crashes/rddi_crashes_models.hpp"

#include "telemetry/core/rddi_constants.hpp"
#include "telemetry/core/rddi_history_info.hpp"
#include "telemetry/core/rddi_logger.hpp"
#include "telemetry/crashes/rddi_crashes_coding.hpp"

#include <cctype>
#include <string_view>

namespace rddi {

namespace pf = platform::foundation;

bool RDDIInvalidField(const std::string& className, const std::string& field) {
    RDDILogVerbose(kRDDILogTag, "{}: \"{}\" is not valid.", className, field);
    return false;
}

namespace {

// Old-style property-list quoting: bare only for plain words.
std::string quotedIfNeeded(const std::string& text) {
    bool bare = !text.empty();
    for (const unsigned char c : text) {
        if (!(std::isalnum(c) || c == '_' || c == '$' || c == '.' || c == '/' || c == ':')) bare = false;
    }
    if (bare) return text;
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') quoted += '\\';
        if (c == '\n') {
            quoted += "\\n";
            continue;
        }
        quoted += c;
    }
    return quoted + "\"";
}

}  // namespace

std::string RDDIArrayDescription(const std::vector<std::string>& items) {
    std::string text = "(\n";
    for (std::size_t i = 0; i < items.size(); ++i) {
        text += "    " + quotedIfNeeded(items[i]);
        text += i + 1 < items.size() ? ",\n" : "\n";
    }
    return text + ")";
}

// --- Stack frame ---------------------------------------------------------------

namespace {

// The fields an archive and a dictionary share, in order.
template <typename Out>
void putFields(const RDDIStackFrame& model, Out& out) {
    coding::put(out, "address", model.address);
    coding::put(out, "code", model.code);
    coding::put(out, "className", model.className);
    coding::put(out, "methodName", model.methodName);
    coding::put(out, "lineNumber", model.lineNumber);
    coding::put(out, "fileName", model.fileName);
}

}  // namespace

RDDIStackFrame::RDDIStackFrame(const pf::KeyedUnarchiver& u)
    : address(RDDIDecodeOptionalString(u, "address")),
      code(RDDIDecodeOptionalString(u, "code")),
      className(RDDIDecodeOptionalString(u, "className")),
      methodName(RDDIDecodeOptionalString(u, "methodName")),
      lineNumber(RDDIDecodeOptionalInteger(u, "lineNumber")),
      fileName(RDDIDecodeOptionalString(u, "fileName")) {}

void RDDIStackFrame::encode(pf::KeyedArchiver& a) const { putFields(*this, a); }

pf::Dictionary RDDIStackFrame::serializeToDictionary() const {
    pf::Dictionary d;
    putFields(*this, d);
    return d;
}

bool RDDIStackFrame::isEqual(const RDDIStackFrame& o) const {
    return address == o.address && code == o.code && className == o.className && methodName == o.methodName &&
           lineNumber == o.lineNumber && fileName == o.fileName;
}

// --- Exception model ------------------------------------------------------------

namespace {

// The fields an archive and a dictionary share, in order.
template <typename Out>
void putFields(const RDDIExceptionModel& model, Out& out) {
    coding::put(out, "type", model.type);
    coding::put(out, "message", model.message);
    coding::put(out, "stackTrace", model.stackTrace);
    coding::putObjects(out, "frames", model.frames);
}

}  // namespace

RDDIExceptionModel::RDDIExceptionModel(const pf::KeyedUnarchiver& u)
    : type(RDDIDecodeOptionalString(u, "type")),
      message(RDDIDecodeOptionalString(u, "message")),
      stackTrace(RDDIDecodeOptionalString(u, "stackTrace")),
      frames(coding::optionalObjects<RDDIStackFrame>(u, "frames")) {}

std::shared_ptr<RDDIExceptionModel> RDDIExceptionModel::withError(const pf::Error& error) {
    auto model = std::make_shared<RDDIExceptionModel>();
    if (!error.domain().empty()) model->type = error.domain();
    // The error's user info holds its description, when it has one.
    const std::string description = error.what();
    if (!description.empty()) {
        model->message = "{\n    NSLocalizedDescription = " + quotedIfNeeded(description) + ";\n}";
    }
    const auto symbols = pf::currentCallStackSymbols();
    model->stackTrace = RDDIArrayDescription(symbols);
    model->frames = loadStackTrace(symbols);
    return model;
}

std::shared_ptr<RDDIExceptionModel> RDDIExceptionModel::withException(const pf::Exception& exception) {
    auto model = std::make_shared<RDDIExceptionModel>();
    model->type = exception.name();
    model->message = exception.reason();
    const auto symbols = exception.callStackSymbols();
    model->stackTrace = RDDIArrayDescription(symbols);
    model->frames = loadStackTrace(symbols);
    return model;
}

std::shared_ptr<RDDIExceptionModel> RDDIExceptionModel::withType(const std::optional<std::string>& type,
                                                                 const std::optional<std::string>& message,
                                                                 const std::optional<std::vector<std::string>>& stackTrace) {
    auto model = std::make_shared<RDDIExceptionModel>();
    model->type = type;
    model->message = message;
    const auto symbols = stackTrace ? *stackTrace : pf::currentCallStackSymbols();
    model->stackTrace = RDDIArrayDescription(symbols);
    model->frames = loadStackTrace(symbols);
    return model;
}

RDDIStackFrames RDDIExceptionModel::loadStackTrace(const std::vector<std::string>& lines) {
    constexpr std::string_view separators = " -[]+?.,";
    RDDIStackFrames frames;
    for (const auto& line : lines) {
        std::vector<std::string> pieces;
        std::string piece;
        for (const char c : line) {
            if (separators.find(c) != std::string_view::npos) {
                if (!piece.empty()) pieces.push_back(std::move(piece));
                piece.clear();
            } else {
                piece += c;
            }
        }
        if (!piece.empty()) pieces.push_back(std::move(piece));
        if (pieces.size() < 6) continue;
        auto frame = std::make_shared<RDDIStackFrame>();
        frame->fileName = pieces[1];
        frame->address = pieces[2];
        frame->className = pieces[3];
        frame->methodName = pieces[4];
        frames.push_back(std::move(frame));
    }
    return frames;
}

void RDDIExceptionModel::encode(pf::KeyedArchiver& a) const { putFields(*this, a); }

pf::Dictionary RDDIExceptionModel::serializeToDictionary() const {
    pf::Dictionary d;
    putFields(*this, d);
    return d;
}

bool RDDIExceptionModel::isValid() const {
    if (!type) return RDDIInvalidField(className(), "type");
    if (!frames || frames->empty()) return RDDIInvalidField(className(), "frames");
    return true;
}

bool RDDIExceptionModel::isEqual(const RDDIExceptionModel& o) const {
    return typeid(*this) == typeid(o) && type == o.type && message == o.message && stackTrace == o.stackTrace &&
           RDDIModelsEqual(frames, o.frames);
}

RDDIWrapperExceptionModel::RDDIWrapperExceptionModel(const pf::KeyedUnarchiver& u)
    : RDDIExceptionModel(u),
      innerExceptions(coding::optionalObjects<RDDIExceptionModel>(u, "innerExceptions")),
      wrapperSdkName(RDDIDecodeOptionalString(u, "wrapperSdkName")) {}

void RDDIWrapperExceptionModel::encode(pf::KeyedArchiver& a) const {
    RDDIExceptionModel::encode(a);
    coding::putObjects(a, "innerExceptions", innerExceptions);
    coding::put(a, "wrapperSdkName", wrapperSdkName);
}

pf::Dictionary RDDIWrapperExceptionModel::serializeToDictionary() const {
    auto d = RDDIExceptionModel::serializeToDictionary();
    coding::put(d, "wrapperSdkName", wrapperSdkName);
    coding::putObjects(d, "innerExceptions", innerExceptions);
    return d;
}

bool RDDIWrapperExceptionModel::isEqual(const RDDIExceptionModel& other) const {
    if (!RDDIExceptionModel::isEqual(other)) return false;
    const auto& o = static_cast<const RDDIWrapperExceptionModel&>(other);
    return wrapperSdkName == o.wrapperSdkName && RDDIModelsEqual(innerExceptions, o.innerExceptions);
}

// --- Thread ---------------------------------------------------------------------

RDDIThread::RDDIThread(const pf::KeyedUnarchiver& u)
    : threadId(RDDIDecodeOptionalInteger(u, "id")),
      name(RDDIDecodeOptionalString(u, "name")),
      frames(coding::optionalObjects<RDDIStackFrame>(u, "frames").value_or(RDDIStackFrames{})),
      exception(u.decodeObject<RDDIExceptionModel>("exception")) {}

void RDDIThread::encode(pf::KeyedArchiver& a) const {
    coding::put(a, "id", threadId);
    coding::put(a, "name", name);
    coding::putObjects(a, "frames", std::optional<RDDIStackFrames>(frames));
    a.encodeObject("exception", exception.get());
}

pf::Dictionary RDDIThread::serializeToDictionary() const {
    pf::Dictionary d;
    coding::put(d, "id", threadId);
    coding::put(d, "name", name);
    coding::putObjects(d, "frames", std::optional<RDDIStackFrames>(frames));
    if (exception) d["exception"] = exception->serializeToDictionary();
    return d;
}

bool RDDIThread::isValid() const {
    if (!threadId) return RDDIInvalidField("RDDIThread", "threadId");
    if (frames.empty()) return RDDIInvalidField("RDDIThread", "frames");
    return true;
}

bool RDDIThread::isEqual(const RDDIThread& o) const {
    return threadId == o.threadId && name == o.name && RDDIModelsEqual(frames, o.frames) &&
           RDDIModelEqual(exception, o.exception);
}

// --- Binary ---------------------------------------------------------------------

namespace {

// The fields an archive and a dictionary share, in order.
template <typename Out>
void putFields(const RDDIBinary& model, Out& out) {
    coding::put(out, "id", model.binaryId);
    coding::put(out, "startAddress", model.startAddress);
    coding::put(out, "endAddress", model.endAddress);
    coding::put(out, "name", model.name);
    coding::put(out, "path", model.path);
    coding::put(out, "architecture", model.architecture);
    coding::put(out, "primaryArchitectureId", model.primaryArchitectureId);
    coding::put(out, "architectureVariantId", model.architectureVariantId);
}

}  // namespace

RDDIBinary::RDDIBinary(const pf::KeyedUnarchiver& u)
    : binaryId(RDDIDecodeOptionalString(u, "id")),
      startAddress(RDDIDecodeOptionalString(u, "startAddress")),
      endAddress(RDDIDecodeOptionalString(u, "endAddress")),
      name(RDDIDecodeOptionalString(u, "name")),
      path(RDDIDecodeOptionalString(u, "path")),
      architecture(RDDIDecodeOptionalString(u, "architecture")),
      primaryArchitectureId(RDDIDecodeOptionalInteger(u, "primaryArchitectureId")),
      architectureVariantId(RDDIDecodeOptionalInteger(u, "architectureVariantId")) {}

void RDDIBinary::encode(pf::KeyedArchiver& a) const { putFields(*this, a); }

pf::Dictionary RDDIBinary::serializeToDictionary() const {
    pf::Dictionary d;
    putFields(*this, d);
    return d;
}

bool RDDIBinary::isValid() const {
    if (!binaryId) return RDDIInvalidField("RDDIBinary", "binaryId");
    if (!startAddress) return RDDIInvalidField("RDDIBinary", "startAddress");
    if (!endAddress) return RDDIInvalidField("RDDIBinary", "endAddress");
    if (!name) return RDDIInvalidField("RDDIBinary", "name");
    if (!path) return RDDIInvalidField("RDDIBinary", "path");
    return true;
}

bool RDDIBinary::isEqual(const RDDIBinary& o) const {
    return binaryId == o.binaryId && startAddress == o.startAddress && endAddress == o.endAddress && name == o.name &&
           path == o.path && architecture == o.architecture && primaryArchitectureId == o.primaryArchitectureId &&
           architectureVariantId == o.architectureVariantId;
}

}  // namespace rddi
