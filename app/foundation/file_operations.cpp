#include "app/foundation/file_operations.hpp"

#include "platform/foundation/files.hpp"
#include "platform/foundation/uuid.hpp"

namespace gw {

using platform::foundation::URL;

URL temporaryFolderURL() {
    const std::string path =
        platform::foundation::files::temporaryDirectory() + platform::foundation::UUID().uuidString() + "/";
    URL url = URL::fileURL(path, true);
    platform::foundation::files::createDirectories(url.fsPath());
    return url;
}

std::string sanitizedPathComponent(std::string_view name) {
    std::string result;
    result.reserve(name.size());
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        const auto byte = static_cast<unsigned char>(c);
        if (c == '/' || c == '\\') {
            result.push_back('-');
        } else if (byte < 0x20 || byte == 0x7F) {
            continue;
        } else if (byte == 0xC2 && i + 1 < name.size() && static_cast<unsigned char>(name[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(name[i + 1]) < 0xA0) {
            ++i;  // a C1 control (U+0080 to U+009F), left out as C0 ones are
        } else {
            result.push_back(c);
        }
    }
    if (result.empty() || result == "." || result == "..") return "_";
    return result;
}

}  // namespace gw
