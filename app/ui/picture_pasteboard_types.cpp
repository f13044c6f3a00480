#include "app/ui/picture_pasteboard_types.hpp"

namespace pa = platform::appkit;

namespace gw {

const pa::PasteboardType& fileURLPasteboardType() {
    static const pa::PasteboardType type(pa::pasteboardTypeFileURL);
    return type;
}

const pa::PasteboardType& imageInputPasteboardType() {
    static const pa::PasteboardType type("com.norvane.image-input");
    return type;
}

const std::vector<pa::PasteboardType>& filePromisePasteboardTypes() {
    return pa::FilePromiseReceiver::readableDraggedTypes();
}

const std::vector<pa::PasteboardType>& imageDropPasteboardTypes() {
    static const std::vector<pa::PasteboardType> types = [] {
        std::vector<pa::PasteboardType> list{pa::PasteboardType(pa::pasteboardTypeTIFF),
                                             pa::PasteboardType(pa::pasteboardTypePNG), fileURLPasteboardType(),
                                             pa::PasteboardType(pa::filesPromisePboardType)};
        for (const auto& type : filePromisePasteboardTypes()) list.push_back(type);
        return list;
    }();
    return types;
}

}  // namespace gw
