#pragma once
// Turns the contents of one pasteboard (the dragging pasteboard of a drop, or a paste)
// into loaded images, file URLs or an error, for the three drop targets.
#include "app/foundation/ui_contracts.hpp"
#include "platform/appkit/pasteboard.hpp"

namespace gw {

// Reads the first of acceptedPasteboardTypes() that the pasteboard offers and calls
// `completion` exactly once. Images and file URLs are delivered before this returns;
// file promises are received into a new folder (named by a UUID, under the temporary
// directory) and delivered later on the main queue, except that a failure to start
// receiving them is delivered at once. Never throws.
void loadImages(const platform::appkit::Pasteboard& pasteboard, PasteboardLoadCompletion completion);

}  // namespace gw

namespace gw {

// Whether a drop of this pasteboard is taken: it offers one of the accepted types,
// however the loading then ends.
bool offersAcceptedType(const platform::appkit::Pasteboard& pasteboard);

}  // namespace gw
