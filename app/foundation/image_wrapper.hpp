#pragma once
// The holder of one loaded image that a picture keeps, with its stored form: the bytes
// of one representation of the image (PDF preferred, else the first bitmap). A bitmap
// is stored as the bytes it was read from when they hold it compactly (its file's own,
// or those it was restored from), else encoded as PNG.
#include "app/foundation/image_holder.hpp"
#include "platform/foundation/value.hpp"
#include "platform/graphics/image.hpp"
#include "platform/graphics/image_rep.hpp"

#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>

namespace gw {

// The bytes that stand for one representation on its own, and whether it is the one
// stored in preference to the others. Bitmaps give PNG bytes (lossless), PDF pages the
// document; drawing handlers give nothing.
std::optional<platform::foundation::Data> representationData(const platform::graphics::ImageRep& rep);
bool isPreferredForStorage(const platform::graphics::ImageRep& rep);

class ImageWrapper : public ImageHolder {
public:
    // Failures of the stored form. No user-visible text of their own.
    class StorageError : public std::runtime_error {
    public:
        enum class Case : int { decodingFailed = 0, encodingFailed = 1 };
        explicit StorageError(Case errorCase);
        Case errorCase() const { return case_; }

    private:
        Case case_;
    };

    explicit ImageWrapper(platform::graphics::ImagePtr image);
    static std::shared_ptr<ImageWrapper> make(platform::graphics::ImagePtr image) {
        return std::make_shared<ImageWrapper>(std::move(image));
    }
    // A wrapper of an image without representations.
    static std::shared_ptr<ImageWrapper> empty();

    platform::graphics::ImagePtr image() const override;
    // Replacing the image keeps the cached corner colour.
    void setImage(platform::graphics::ImagePtr image);
    // The pixel size of the image.
    platform::graphics::Size size() const override;
    bool isVector() const override;
    // Computed once and cached; a result of none is not cached.
    std::optional<platform::graphics::Color> cornerPixelColor() const override;
    void setCornerPixelColor(std::optional<platform::graphics::Color> color);

    // Equal when both hold the same image object.
    bool isEqual(const ImageWrapper& other) const;

    // {"image": <data>}. StorageError(encodingFailed) when no representation gives
    // bytes.
    platform::foundation::Value encode() const;
    // StorageError(decodingFailed) when the bytes are not a picture; DecodingError when
    // "image" is missing or not data.
    static std::shared_ptr<ImageWrapper> decode(const platform::foundation::Value& value);
    // How the JSON form holds the bytes: as Base64 text, or as the bytes themselves for a
    // writer that writes data as that text piece by piece (a saved state of large
    // pictures need not then hold their text as well as their bytes).
    // `omitted` leaves "image" empty, for a writer that writes storedData() there itself.
    enum class JSONBytes { base64Text, data, omitted };
    // The JSON form carries the bytes as Base64 text under "image".
    platform::foundation::Value encodeJSON(JSONBytes bytes = JSONBytes::base64Text) const;
    // The bytes the stored form holds, shared with the picture when it keeps them in
    // memory (nothing is copied). StorageError(encodingFailed) as for encode().
    std::shared_ptr<const platform::foundation::Data> storedData() const;
    static std::shared_ptr<ImageWrapper> decodeJSON(const platform::foundation::Value& value);

private:
    mutable std::mutex mutex_;
    platform::graphics::ImagePtr image_;
    mutable std::optional<platform::graphics::Color> cornerColor_;
};

}  // namespace gw
