#pragma once
// Stands in for the platform's list of recently opened documents: the freedesktop
// recently-used list ($XDG_DATA_HOME/recently-used.xbel) that file choosers and launchers
// of the desktop read, written through GLib's bookmark file with each document's MIME type
// and the application that opened it.
#include "platform/foundation/url.hpp"

#include <filesystem>
#include <string>

namespace platform::appkit {

class RecentDocuments {
public:
    // $XDG_DATA_HOME/recently-used.xbel (~/.local/share without it).
    static std::filesystem::path listPath();

    // Notes that `url` (a local file) was opened by the application named `appName`, which
    // `exec` starts ("%u" standing for the document). Written off the calling thread, in
    // the order given; any thread. Other URLs are ignored. A list that cannot be read or
    // written is logged and left as it is.
    static void noteNewRecentDocumentURL(const foundation::URL& url, const std::string& appName,
                                         const std::string& exec);

    // Returns once every note given so far is written (an orderly end; tests).
    static void waitUntilWritten();
};

}  // namespace platform::appkit
