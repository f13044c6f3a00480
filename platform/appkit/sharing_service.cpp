#include "platform/appkit/sharing_service.hpp"

#include "platform/appkit/desktop_tools.hpp"

#include <algorithm>
#include <cctype>

namespace platform::appkit {

std::unique_ptr<SharingService> SharingService::named(Name name) {
    switch (name) {
    case Name::composeEmail: {
        const auto handler = desktop_tools::runCapturingOutput({"xdg-mime", "query", "default", "x-scheme-handler/mailto"});
        const bool named = handler && std::any_of(handler->begin(), handler->end(), [](unsigned char c) {
            return !std::isspace(c);
        });
        if (!named) return nullptr;
        return std::unique_ptr<SharingService>(new SharingService(name));
    }
    }
    return nullptr;
}

bool SharingService::perform(const std::vector<std::string>& items) const {
    std::string body;
    for (const auto& item : items) {
        if (!body.empty()) body += '\n';
        body += item;
    }
    std::vector<std::string> argv{"xdg-email"};
    if (!subject.empty()) argv.insert(argv.end(), {"--subject", subject});
    if (!body.empty()) argv.insert(argv.end(), {"--body", body});
    argv.insert(argv.end(), recipients.begin(), recipients.end());
    return desktop_tools::spawnDetached(argv);
}

}  // namespace platform::appkit
