#include "platform/appkit/workspace.hpp"

#include "platform/appkit/desktop_tools.hpp"
#include "platform/appkit/session_bus.hpp"
#include "platform/dispatch/dispatch_queue.hpp"

#include <gio/gio.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <memory>

namespace platform::appkit {

namespace {

constexpr std::string_view kStoreScheme = "macappstore:";

struct GObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};

bool askFileManager(const std::vector<foundation::URL>& urls) {
    const auto address = sessionBusAddress();
    if (address.empty()) return false;
    GError* error = nullptr;
    // A private connection per reveal: a bus restarted or replaced is found.
    std::unique_ptr<GDBusConnection, GObjectUnref> connection(connectToBus(address, &error));
    if (!connection) {
        g_clear_error(&error);
        return false;
    }
    GVariantBuilder uris;
    g_variant_builder_init(&uris, G_VARIANT_TYPE("as"));
    for (const auto& url : urls) g_variant_builder_add(&uris, "s", url.absoluteString().c_str());
    GVariant* reply = g_dbus_connection_call_sync(
        connection.get(), "org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
        "org.freedesktop.FileManager1", "ShowItems", g_variant_new("(ass)", &uris, ""), nullptr,
        G_DBUS_CALL_FLAGS_NONE, 30'000, nullptr, &error);
    g_dbus_connection_close_sync(connection.get(), nullptr, nullptr);
    if (!reply) {
        g_clear_error(&error);
        return false;
    }
    g_variant_unref(reply);
    return true;
}

}  // namespace

std::string Workspace::openableText(const std::string& urlText) {
    if (urlText.size() < kStoreScheme.size()) return urlText;
    const bool isStoreLink = std::equal(kStoreScheme.begin(), kStoreScheme.end(), urlText.begin(), [](char a, char b) {
        return a == std::tolower(static_cast<unsigned char>(b));
    });
    if (!isStoreLink) return urlText;
    return "https:" + urlText.substr(kStoreScheme.size());
}

bool Workspace::open(const std::string& urlText) {
    if (urlText.empty()) return false;
    return desktop_tools::spawnDetached({"xdg-open", openableText(urlText)});
}

bool Workspace::open(const foundation::URL& url) { return open(url.absoluteString()); }

void Workspace::open(const foundation::URL& url, OpenCompletion opened) {
    const auto text = url.absoluteString();
    auto told = std::make_shared<OpenCompletion>(std::move(opened));
    const bool started = !text.empty() && desktop_tools::spawnDetached({"xdg-open", openableText(text)}, [told](bool succeeded) {
        if (*told) (*told)(succeeded);
    });
    if (!started && *told) (*told)(false);
}

Workspace::RevealRoute Workspace::revealSelecting(const std::vector<foundation::URL>& urls) {
    if (urls.empty()) return RevealRoute::failed;
    if (askFileManager(urls)) return RevealRoute::fileManager;
    // Without a file manager on the bus the best we can do is open each folder that holds
    // an item (once each, in the order given).
    std::vector<std::string> folders;
    for (const auto& url : urls) {
        if (!url.isFileURL()) continue;
        auto folder = url.deletingLastPathComponent().path();
        if (std::find(folders.begin(), folders.end(), folder) == folders.end()) folders.push_back(std::move(folder));
    }
    bool opened = false;
    for (const auto& folder : folders) opened = desktop_tools::spawnDetached({"xdg-open", folder}) || opened;
    return opened ? RevealRoute::folderOpened : RevealRoute::failed;
}

void Workspace::activateFileViewerSelecting(const std::vector<foundation::URL>& urls, RevealCompletion completion) {
    dispatch::DispatchQueue::global(dispatch::QualityOfService::userInitiated).async([urls, completion] {
        const auto route = revealSelecting(urls);
        if (completion) completion(route);
    });
}

}  // namespace platform::appkit
