#include "app/foundation/ui_contracts.hpp"

#include "platform/appkit/pasteboard.hpp"

#include <fmt/format.h>
#include <mutex>

namespace gw {

const std::vector<std::string>& acceptedPasteboardTypes() {
    static const std::vector<std::string> types = [] {
        namespace appkit = platform::appkit;
        std::vector<std::string> list{std::string(appkit::pasteboardTypeTIFF), std::string(appkit::pasteboardTypePNG),
                                      std::string(appkit::pasteboardTypeFileURL),
                                      std::string(appkit::filesPromisePboardType)};
        const auto& promised = appkit::FilePromiseReceiver::readableDraggedTypes();
        list.insert(list.end(), promised.begin(), promised.end());
        return list;
    }();
    return types;
}

PasteboardError::PasteboardError(Case errorCase)
    : std::runtime_error(fmt::format("The operation couldn\u2019t be completed. (gw.PasteboardError error {}.)",
                                     static_cast<int>(errorCase))),
      case_(errorCase) {}

PasteboardLoadCompletion completionFor(std::weak_ptr<ImageWellDropTarget> target) {
    return [target = std::move(target)](PasteboardLoadResult result) {
        if (auto strong = target.lock()) strong->handleLoadedPasteboardItems(result);
    };
}

PasteboardLoadCompletion completionFor(std::weak_ptr<IndexedDropTarget> target, std::size_t index) {
    return [target = std::move(target), index](PasteboardLoadResult result) {
        if (auto strong = target.lock()) strong->handleLoadedPasteboardItems(result, index);
    };
}

namespace {
std::mutex& recentMutex() {
    static std::mutex mutex;
    return mutex;
}
RecentDocumentHandler& recentHandler() {
    static RecentDocumentHandler handler;
    return handler;
}
}  // namespace

void setRecentDocumentHandler(RecentDocumentHandler handler) {
    std::lock_guard lock(recentMutex());
    recentHandler() = std::move(handler);
}

void noteNewRecentDocumentURL(const platform::foundation::URL& url) {
    RecentDocumentHandler handler;
    {
        std::lock_guard lock(recentMutex());
        handler = recentHandler();
    }
    if (handler) handler(url);
}

}  // namespace gw
