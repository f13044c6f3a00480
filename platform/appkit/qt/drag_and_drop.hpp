#pragma once
// Carries drags between Qt's MIME data and the pasteboard model: PNG and TIFF images,
// file URLs and the application's archived pictures. An image that Qt offers only as
// an image (neither PNG nor TIFF bytes) arrives as PNG.
#include "platform/appkit/pasteboard.hpp"

#include <QMimeData>
#include <QWidget>

#include <memory>

namespace platform::appkit::qt {

// The MIME type under which the application's archived pictures travel.
inline constexpr const char* imageInputMimeType = "application/x-com.norvane.image-input";
inline constexpr std::string_view imageInputPasteboardTypeName = "com.norvane.image-input";

// Replaces the pasteboard's contents with what `mime` offers.
void readMimeData(const QMimeData& mime, Pasteboard& pasteboard);
// A new pasteboard (not one of the named ones) holding what `mime` offers.
std::unique_ptr<Pasteboard> pasteboardFromMimeData(const QMimeData& mime);
// MIME data holding what the pasteboard offers, for a drag or the clipboard.
QMimeData* mimeDataFromPasteboard(const Pasteboard& pasteboard);

// Starts a drag of the pasteboard's contents from `source`: any operation inside the
// application, copy outside it. Returns the operation done.
Qt::DropAction startDrag(QWidget* source, const Pasteboard& pasteboard);

}  // namespace platform::appkit::qt
