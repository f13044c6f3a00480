#include "platform/appkit/recent_documents.hpp"

#include "platform/dispatch/dispatch_queue.hpp"
#include "platform/foundation/files.hpp"
#include "platform/log/system_log.hpp"

#include <gio/gio.h>

#include <memory>

namespace platform::appkit {

namespace {

const log::SystemLog& recentLog() {
    static const log::SystemLog handle("platform.appkit", "recent-documents");
    return handle;
}

// One writer for the whole process: notes from several threads never interleave their
// read-modify-write of the list.
const dispatch::DispatchQueue& writer() {
    static const dispatch::DispatchQueue queue("platform.appkit.recent-documents");
    return queue;
}

struct GFree {
    void operator()(gpointer memory) const { g_free(memory); }
};
using GText = std::unique_ptr<gchar, GFree>;

// The type the desktop's own file manager would give the file (its content sniffed when
// its name says nothing).
std::string mimeTypeOf(const std::filesystem::path& path) {
    std::unique_ptr<GFile, void (*)(gpointer)> file(g_file_new_for_path(path.c_str()), g_object_unref);
    std::unique_ptr<GFileInfo, void (*)(gpointer)> info(
        g_file_query_info(file.get(), G_FILE_ATTRIBUTE_STANDARD_CONTENT_TYPE, G_FILE_QUERY_INFO_NONE, nullptr, nullptr),
        g_object_unref);
    const char* contentType = info ? g_file_info_get_content_type(info.get()) : nullptr;
    GText guessed;
    if (!contentType) {
        guessed.reset(g_content_type_guess(path.c_str(), nullptr, 0, nullptr));
        contentType = guessed.get();
    }
    GText mime(contentType ? g_content_type_get_mime_type(contentType) : nullptr);
    return mime ? std::string(mime.get()) : std::string("application/octet-stream");
}

void addToList(const std::filesystem::path& document, const std::string& appName, const std::string& exec) {
    const auto listFile = RecentDocuments::listPath();
    std::unique_ptr<GBookmarkFile, void (*)(GBookmarkFile*)> list(g_bookmark_file_new(), g_bookmark_file_free);
    GError* error = nullptr;
    if (!g_bookmark_file_load_from_file(list.get(), listFile.c_str(), &error)) {
        const bool missing = g_error_matches(error, G_FILE_ERROR, G_FILE_ERROR_NOENT);
        if (!missing) {
            // Rewriting a list we cannot read would throw away every other application's entries.
            recentLog().error(std::string("Cannot read the recently-used list: ") + error->message);
            g_clear_error(&error);
            return;
        }
        g_clear_error(&error);
    }
    GText uri(g_filename_to_uri(document.c_str(), nullptr, nullptr));
    if (!uri) return;
    g_bookmark_file_set_mime_type(list.get(), uri.get(), mimeTypeOf(document).c_str());
    g_bookmark_file_add_application(list.get(), uri.get(), appName.c_str(), exec.c_str());
    std::error_code ignored;
    std::filesystem::create_directories(listFile.parent_path(), ignored);
    // Written to a new file that then replaces the list: readers never see half of it.
    if (!g_bookmark_file_to_file(list.get(), listFile.c_str(), &error)) {
        recentLog().error(std::string("Cannot write the recently-used list: ") + error->message);
        g_clear_error(&error);
    }
}

}  // namespace

std::filesystem::path RecentDocuments::listPath() { return foundation::files::xdgDataHome() / "recently-used.xbel"; }

void RecentDocuments::noteNewRecentDocumentURL(const foundation::URL& url, const std::string& appName,
                                               const std::string& exec) {
    if (!url.isFileURL()) return;
    const auto document = url.fsPath();
    writer().async([document, appName, exec] { addToList(document, appName, exec); });
}

void RecentDocuments::waitUntilWritten() {
    writer().sync([] {});
}

}  // namespace platform::appkit
