#pragma once
// What the picture model and the pasteboard loader rely on from the user interface:
// the delegate told of layer-frame changes, the list of drop types, the result that
// the drop targets receive, and the note of recently opened documents. The windows
// implement these; nothing here shows anything.
#include "platform/foundation/url.hpp"
#include "platform/graphics/image.hpp"

#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace gw {

class LayerFrame;

// Told of every size and centre change of a layer frame (the layer editor while it
// shows a stack). Frames hold their delegate weakly.
class LayerFrameDelegate {
public:
    virtual ~LayerFrameDelegate() = default;
    virtual void layerFrameDidChange(LayerFrame& frame) = 0;
};

// The pasteboard types that the drop targets accept and the pasteboard loader picks
// from, in order of preference: TIFF, PNG, file URL, file promises, then every type a
// file-promise receiver reads. Made once, on first use.
const std::vector<std::string>& acceptedPasteboardTypes();

// Nothing on the pasteboard could be loaded as a picture. It has no text of its own:
// its description is the generic one of an error of its kind.
class PasteboardError : public std::runtime_error {
public:
    enum class Case : int { noLoadableImagesFound = 0 };
    explicit PasteboardError(Case errorCase = Case::noLoadableImagesFound);
    Case errorCase() const { return case_; }
    friend bool operator==(const PasteboardError& a, const PasteboardError& b) { return a.case_ == b.case_; }

private:
    Case case_;
};

// What one pasteboard read gives: loaded images, file URLs for the caller to load, or
// the error that ended it.
class PasteboardLoadResult {
public:
    enum class Kind { images, fileURLs, failure };

    static PasteboardLoadResult images(std::vector<platform::graphics::ImagePtr> images) {
        PasteboardLoadResult result(Kind::images);
        result.images_ = std::move(images);
        return result;
    }
    static PasteboardLoadResult fileURLs(std::vector<platform::foundation::URL> urls) {
        PasteboardLoadResult result(Kind::fileURLs);
        result.urls_ = std::move(urls);
        return result;
    }
    static PasteboardLoadResult failure(std::exception_ptr error) {
        PasteboardLoadResult result(Kind::failure);
        result.error_ = std::move(error);
        return result;
    }

    Kind kind() const { return kind_; }
    bool isImages() const { return kind_ == Kind::images; }
    bool isFileURLs() const { return kind_ == Kind::fileURLs; }
    bool isFailure() const { return kind_ == Kind::failure; }
    // Empty lists / a null error when the result is of another kind.
    const std::vector<platform::graphics::ImagePtr>& loadedImages() const { return images_; }
    const std::vector<platform::foundation::URL>& urls() const { return urls_; }
    std::exception_ptr error() const { return error_; }

private:
    explicit PasteboardLoadResult(Kind kind) : kind_(kind) {}
    Kind kind_;
    std::vector<platform::graphics::ImagePtr> images_;
    std::vector<platform::foundation::URL> urls_;
    std::exception_ptr error_;
};

// The completion handed to the pasteboard loader; called exactly once.
using PasteboardLoadCompletion = std::function<void(PasteboardLoadResult)>;

// The image well of the main window: new pictures from images, the engine's
// addImages(at:) for file URLs, a failure presented by the view's delegate.
class ImageWellDropTarget {
public:
    virtual ~ImageWellDropTarget() = default;
    virtual void handleLoadedPasteboardItems(const PasteboardLoadResult& result) = 0;
};

// The picture collection views and the layer list: what was read is inserted at the
// drop index; a failure is presented.
class IndexedDropTarget {
public:
    virtual ~IndexedDropTarget() = default;
    virtual void handleLoadedPasteboardItems(const PasteboardLoadResult& result, std::size_t index) = 0;
};

// Completions that hold their drop target weakly: a target gone by the time the result
// arrives receives nothing.
PasteboardLoadCompletion completionFor(std::weak_ptr<ImageWellDropTarget> target);
PasteboardLoadCompletion completionFor(std::weak_ptr<IndexedDropTarget> target, std::size_t index);

// The list of recent documents, noted when a picture is loaded from a file. The
// application installs the handler; without one a note goes nowhere.
using RecentDocumentHandler = std::function<void(const platform::foundation::URL&)>;
void setRecentDocumentHandler(RecentDocumentHandler handler);
void noteNewRecentDocumentURL(const platform::foundation::URL& url);

}  // namespace gw

template <>
struct std::hash<gw::PasteboardError> {
    std::size_t operator()(const gw::PasteboardError& error) const noexcept {
        return std::hash<int>()(static_cast<int>(error.errorCase()));
    }
};
