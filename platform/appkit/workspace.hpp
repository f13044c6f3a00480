#pragma once
// The user's desktop workspace: handing a URL to the application the desktop chooses
// for it (xdg-open).
#include "platform/foundation/url.hpp"

#include <string>

namespace platform::appkit {

class Workspace {
public:
    // Starts the desktop's opener for the URL (no shell involved) and answers whether it
    // could be started; the opener runs on without being waited for.
    static bool open(const foundation::URL& url);
    static bool open(const std::string& urlText);
};

}  // namespace platform::appkit
