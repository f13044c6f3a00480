#include "telemetry/crashes/rddi_error_attachment_log.hpp"

#include "platform/foundation/base64.hpp"
#include "platform/foundation/keyed_archiver.hpp"
#include "platform/foundation/uuid.hpp"
#include "telemetry/core/rddi_history_info.hpp"
#include "telemetry/crashes/rddi_crashes_coding.hpp"

namespace rddi {

namespace pf = platform::foundation;

RDDIErrorAttachmentLog::RDDIErrorAttachmentLog() : attachmentId(pf::UUID().uuidString()) { type = "errorAttachment"; }

RDDIErrorAttachmentLog::RDDIErrorAttachmentLog(std::optional<std::string> filename_, pf::Data data_,
                                               std::string contentType_)
    : RDDIErrorAttachmentLog() {
    data = std::move(data_);
    contentType = std::move(contentType_);
    filename = std::move(filename_);
}

RDDIErrorAttachmentLog::RDDIErrorAttachmentLog(const pf::KeyedUnarchiver& u)
    : RDDIAbstractLog(u),
      attachmentId(RDDIDecodeOptionalString(u, "id")),
      errorId(RDDIDecodeOptionalString(u, "errorId")),
      contentType(RDDIDecodeOptionalString(u, "contentType")),
      filename(RDDIDecodeOptionalString(u, "fileName")) {
    const auto stored = u.decode("data");
    if (const auto* bytes = stored.asData()) data = *bytes;
}

std::shared_ptr<RDDIErrorAttachmentLog> RDDIErrorAttachmentLog::attachmentWithText(
    const std::string& text, std::optional<std::string> filename) {
    return std::make_shared<RDDIErrorAttachmentLog>(std::move(filename), pf::dataFromString(text), "text/plain");
}

std::shared_ptr<RDDIErrorAttachmentLog> RDDIErrorAttachmentLog::attachmentWithBinary(
    pf::Data data, std::optional<std::string> filename, std::string contentType) {
    return std::make_shared<RDDIErrorAttachmentLog>(std::move(filename), std::move(data), std::move(contentType));
}

void RDDIErrorAttachmentLog::encode(pf::KeyedArchiver& a) const {
    RDDIAbstractLog::encode(a);
    coding::put(a, "id", attachmentId);
    coding::put(a, "errorId", errorId);
    coding::put(a, "contentType", contentType);
    coding::put(a, "fileName", filename);
    if (data) a.encode("data", pf::Value(*data));
}

pf::Dictionary RDDIErrorAttachmentLog::serializeToDictionary() const {
    auto d = RDDIAbstractLog::serializeToDictionary();
    coding::put(d, "id", attachmentId);
    coding::put(d, "errorId", errorId);
    coding::put(d, "contentType", contentType);
    coding::put(d, "fileName", filename);
    if (data) d["data"] = pf::Value(pf::base64Encoded(*data));
    return d;
}

bool RDDIErrorAttachmentLog::isValid() const {
    if (!RDDIAbstractLog::isValid()) return false;
    if (!errorId) return invalidField("errorId");
    if (!attachmentId) return invalidField("attachmentId");
    if (!data) return invalidField("data");
    if (!contentType) return invalidField("contentType");
    return true;
}

bool RDDIErrorAttachmentLog::isEqual(const RDDIAbstractLog& other) const {
    const auto* o = dynamic_cast<const RDDIErrorAttachmentLog*>(&other);
    return o && RDDIAbstractLog::isEqual(other) && attachmentId == o->attachmentId && errorId == o->errorId &&
           contentType == o->contentType && filename == o->filename && data == o->data;
}

}  // namespace rddi
