#include "telemetry/core/rddi_pipeline_builders.hpp"

#include "telemetry/pipeline/rddi_channel_group_default.hpp"
#include "telemetry/pipeline/rddi_http_client.hpp"
#include "telemetry/pipeline/rddi_vud_ezezevuvo_channel_delegate.hpp"

#include <mutex>
#include <vector>

namespace rddi::pipeline {

namespace {
// The pipeline lives as long as the process: its queue, timers and network threads may
// still be at work while static objects are torn down at exit, so what the entry point
// builds is never destroyed.
template <class T>
std::shared_ptr<T> keptForever(std::shared_ptr<T> object) {
    static auto* mutex = new std::mutex;
    static auto* kept = new std::vector<std::shared_ptr<const void>>;
    std::lock_guard lock(*mutex);
    kept->push_back(object);
    return object;
}
}  // namespace

std::shared_ptr<RDDIHttpClientProtocol> makeHttpClient() { return keptForever<RDDIHttpClientProtocol>(RDDIHttpClient::create()); }

std::shared_ptr<RDDIChannelGroupProtocol> makeChannelGroup(std::shared_ptr<RDDIHttpClientProtocol> httpClient,
                                                           const platform::foundation::UUID& installId,
                                                           const std::string& logUrl) {
    return keptForever<RDDIChannelGroupProtocol>(RDDIChannelGroupDefault::create(std::move(httpClient), installId, logUrl));
}

std::shared_ptr<RDDIChannelDelegate> makeVudEzezevuvoChannelDelegate(std::shared_ptr<RDDIHttpClientProtocol> httpClient,
                                                                     const platform::foundation::UUID& installId,
                                                                     const std::optional<std::string>& baseUrl) {
    return keptForever<RDDIChannelDelegate>(
        std::make_shared<RDDIVudEzezevuvoChannelDelegate>(std::move(httpClient), installId, baseUrl));
}

void setVudEzezevuvoLogUrl(RDDIChannelDelegate& delegate, const std::string& logUrl) {
    if (auto* vud = dynamic_cast<RDDIVudEzezevuvoChannelDelegate*>(&delegate)) vud->setLogUrl(logUrl);
}

}  // namespace rddi::pipeline
