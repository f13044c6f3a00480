#pragma once
// What the entry point asks of the log pipeline when no test supplies a channel group.
// Declared here, defined by the pipeline library, which every program that links the
// entry point links as well (the core library names it as a link dependency).
#include "platform/foundation/uuid.hpp"
#include "telemetry/core/rddi_channel_protocols.hpp"

#include <memory>
#include <optional>
#include <string>

namespace rddi {

class RDDIHttpClientProtocol;

namespace pipeline {

std::shared_ptr<RDDIHttpClientProtocol> makeHttpClient();
std::shared_ptr<RDDIChannelGroupProtocol> makeChannelGroup(std::shared_ptr<RDDIHttpClientProtocol> httpClient,
                                                           const platform::foundation::UUID& installId,
                                                           const std::string& logUrl);
// The Common Schema delegate; a none base URL means the default collector.
std::shared_ptr<RDDIChannelDelegate> makeVudEzezevuvoChannelDelegate(std::shared_ptr<RDDIHttpClientProtocol> httpClient,
                                                                     const platform::foundation::UUID& installId,
                                                                     const std::optional<std::string>& baseUrl);
void setVudEzezevuvoLogUrl(RDDIChannelDelegate& delegate, const std::string& logUrl);

}  // namespace pipeline
}  // namespace rddi
