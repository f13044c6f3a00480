#pragma once
// A small file (text or binary) sent with a crash or a handled error, tied to it by id.
#include "telemetry/core/rddi_abstract_log.hpp"

#include "platform/foundation/value.hpp"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

namespace rddi {

inline constexpr std::size_t kRDDIMaxAttachmentSize = 7340032;

class RDDIErrorAttachmentLog final : public RDDIAbstractLog {
public:
    RDDIErrorAttachmentLog();
    RDDIErrorAttachmentLog(std::optional<std::string> filename, platform::foundation::Data data,
                           std::string contentType);
    explicit RDDIErrorAttachmentLog(const platform::foundation::KeyedUnarchiver& unarchiver);

    static std::shared_ptr<RDDIErrorAttachmentLog> attachmentWithText(const std::string& text,
                                                                      std::optional<std::string> filename);
    static std::shared_ptr<RDDIErrorAttachmentLog> attachmentWithBinary(platform::foundation::Data data,
                                                                        std::optional<std::string> filename,
                                                                        std::string contentType);

    std::string className() const override { return "RDDIErrorAttachmentLog"; }
    void encode(platform::foundation::KeyedArchiver& archiver) const override;
    platform::foundation::Dictionary serializeToDictionary() const override;
    bool isValid() const override;
    bool isEqual(const RDDIAbstractLog& other) const override;

    std::optional<std::string> attachmentId;
    std::optional<std::string> errorId;
    std::optional<std::string> contentType;
    std::optional<std::string> filename;
    std::optional<platform::foundation::Data> data;
};

}  // namespace rddi
