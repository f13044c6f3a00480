#pragma once
// The pasteboard types of the picture lists, the image well and the layer list.
#include "platform/appkit/pasteboard.hpp"

#include <vector>

namespace gw {

// The file-URL type of the pasteboard.
const platform::appkit::PasteboardType& fileURLPasteboardType();
// An archived picture; the layer list reorders its layers with it. The main window's
// lists do not take it.
const platform::appkit::PasteboardType& imageInputPasteboardType();
// The types a file-promise receiver reads.
const std::vector<platform::appkit::PasteboardType>& filePromisePasteboardTypes();
// TIFF, PNG, file URL, the old file-promise type, then every file-promise type.
const std::vector<platform::appkit::PasteboardType>& imageDropPasteboardTypes();

}  // namespace gw
