#pragma once
// Private folders for received files, and file names that stay inside their folder.
#include "platform/foundation/url.hpp"

#include <string>
#include <string_view>

namespace gw {

// A new, empty folder directly inside the temporary directory, named by the upper-case
// text of a fresh UUID; its path ends in "/". Nothing removes it later. Error when the
// folder cannot be created.
platform::foundation::URL temporaryFolderURL();

// `name` made safe to use as one path component inside an output folder: "/" and "\"
// become "-", control characters (C0, DEL and C1) are dropped, and a name that is empty, "." or ".."
// after that becomes "_". Any other text, including non-ASCII letters and names that
// merely contain "..", is kept as it is.
std::string sanitizedPathComponent(std::string_view name);

}  // namespace gw
