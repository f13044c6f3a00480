#include "app/foundation/image_wrapper.hpp"

#include "platform/foundation/base64.hpp"
#include "app/foundation/decoding_error.hpp"
#include "app/foundation/image_categories.hpp"

#include <algorithm>
#include <string_view>
#include <fmt/format.h>

namespace gw {

using platform::foundation::base64Decoded;
using platform::foundation::base64Encoded;
using platform::foundation::Data;
using platform::foundation::Dictionary;
using platform::foundation::Value;
using platform::graphics::Image;
using platform::graphics::ImagePtr;
using platform::graphics::ImageRep;

std::optional<Data> representationData(const ImageRep& rep) {
    switch (rep.kind()) {
        case ImageRep::Kind::bitmap: {
            auto bytes = static_cast<const platform::graphics::BitmapRep&>(rep).pngData();
            if (bytes.empty()) return std::nullopt;
            return Data(bytes.begin(), bytes.end());
        }
        case ImageRep::Kind::pdf: {
            const auto& bytes = static_cast<const platform::graphics::PdfRep&>(rep).pdfData();
            if (bytes.empty()) return std::nullopt;
            return Data(bytes.begin(), bytes.end());
        }
        case ImageRep::Kind::drawingHandler: return std::nullopt;
    }
    return std::nullopt;
}

bool isPreferredForStorage(const ImageRep& rep) { return rep.kind() == ImageRep::Kind::pdf; }

namespace {

bool isDataRepresentable(const ImageRep& rep) {
    return rep.kind() == ImageRep::Kind::bitmap || rep.kind() == ImageRep::Kind::pdf;
}

std::string storageErrorText(ImageWrapper::StorageError::Case c) {
    return fmt::format("The operation couldn\u2019t be completed. (gw.ImageWrapper.StorageError error {}.)",
                       static_cast<int>(c));
}

}  // namespace

ImageWrapper::StorageError::StorageError(Case errorCase)
    : std::runtime_error(storageErrorText(errorCase)), case_(errorCase) {}

ImageWrapper::ImageWrapper(ImagePtr image) : image_(image ? std::move(image) : Image::make()) {}

std::shared_ptr<ImageWrapper> ImageWrapper::empty() { return make(Image::make()); }

ImagePtr ImageWrapper::image() const {
    std::lock_guard lock(mutex_);
    return image_;
}

void ImageWrapper::setImage(ImagePtr image) {
    std::lock_guard lock(mutex_);
    image_ = image ? std::move(image) : Image::make();
}

platform::graphics::Size ImageWrapper::size() const { return pixelSize(*image()); }

bool ImageWrapper::isVector() const { return pdfImageRep(*image()) != nullptr; }

std::optional<platform::graphics::Color> ImageWrapper::cornerPixelColor() const {
    {
        std::lock_guard lock(mutex_);
        if (cornerColor_) return cornerColor_;
    }
    auto color = gw::cornerPixelColor(*image());
    std::lock_guard lock(mutex_);
    if (!cornerColor_ && color) cornerColor_ = color;
    return cornerColor_ ? cornerColor_ : color;
}

void ImageWrapper::setCornerPixelColor(std::optional<platform::graphics::Color> color) {
    std::lock_guard lock(mutex_);
    cornerColor_ = std::move(color);
}

bool ImageWrapper::isEqual(const ImageWrapper& other) const { return image() == other.image(); }

namespace {

// Whether `bytes` are a picture in a format that compresses its pixels (PNG, JPEG, GIF,
// WebP): encoded again as PNG they come out little if at all smaller, after seconds of
// work for a large photograph.
bool isCompressedPictureFormat(const std::vector<std::uint8_t>& bytes) {
    const auto startsWith = [&](std::string_view magic, std::size_t at = 0) {
        return bytes.size() >= at + magic.size() &&
               std::equal(magic.begin(), magic.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at),
                          [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; });
    };
    return startsWith("\x89PNG\r\n\x1a\n") || startsWith("\xff\xd8\xff") || startsWith("GIF8") ||
           (startsWith("RIFF") && startsWith("WEBP", 8));
}

// Whether the bytes a bitmap picture was read from (its file's own, or those it was
// restored from) hold it compactly: encoding a large picture anew takes seconds, and a
// file of raw pixels (BMP, uncompressed TIFF) is better encoded than kept.
bool holdsCompactly(const std::vector<std::uint8_t>& bytes, const ImageRep& chosen) {
    const auto rawBytes = std::uint64_t(chosen.pixelsWide()) * std::uint64_t(chosen.pixelsHigh()) * 4;
    constexpr std::size_t kAlwaysCompact = 64 * 1024;
    return bytes.size() <= kAlwaysCompact || bytes.size() <= rawBytes / 2 || isCompressedPictureFormat(bytes);
}

std::shared_ptr<const Data> storedData(const Image& image) {
    std::vector<std::shared_ptr<ImageRep>> candidates;
    for (const auto& rep : image.representations()) {
        if (rep && isDataRepresentable(*rep)) candidates.push_back(rep);
    }
    std::stable_partition(candidates.begin(), candidates.end(),
                          [](const auto& rep) { return isPreferredForStorage(*rep); });
    if (candidates.empty()) throw ImageWrapper::StorageError(ImageWrapper::StorageError::Case::encodingFailed);
    if (candidates.front()->kind() == ImageRep::Kind::bitmap) {
        if (auto kept = image.keptEncodedBytes()) {
            if (holdsCompactly(*kept, *candidates.front())) return kept;
        } else if (auto bytes = image.encodedBytes(); bytes && holdsCompactly(*bytes, *candidates.front())) {
            return std::make_shared<const Data>(std::move(*bytes));
        }
    }
    auto data = representationData(*candidates.front());
    if (!data) throw ImageWrapper::StorageError(ImageWrapper::StorageError::Case::encodingFailed);
    return std::make_shared<const Data>(std::move(*data));
}

Data storedBytes(const Image& image) { return *storedData(image); }

std::shared_ptr<ImageWrapper> wrapperFromBytes(Data bytes) {
    auto image = Image::fromData(bytes);
    if (!image) throw ImageWrapper::StorageError(ImageWrapper::StorageError::Case::decodingFailed);
    // Stored again as they are, and read again from them when the pixels were let go.
    image->keepEncodedBytes(std::make_shared<const Data>(std::move(bytes)));
    return ImageWrapper::make(std::move(image));
}

}  // namespace

Value ImageWrapper::encode() const {
    Dictionary dict;
    dict.emplace("image", Value(storedBytes(*image())));
    return Value(std::move(dict));
}

std::shared_ptr<ImageWrapper> ImageWrapper::decode(const Value& value) {
    const auto& dict = coding::requireDictionary(value, "ImageWrapper");
    const auto& image = coding::require(dict, "image");
    const auto* bytes = image.asData();
    if (!bytes) {
        throw DecodingError(DecodingError::Case::typeMismatch, "Expected data for key \"image\"");
    }
    return wrapperFromBytes(Data(*bytes));
}

Value ImageWrapper::encodeJSON(JSONBytes form) const {
    Dictionary dict;
    if (form == JSONBytes::omitted) {
        dict.emplace("image", Value(Data{}));
        return Value(std::move(dict));
    }
    auto bytes = storedBytes(*image());
    dict.emplace("image", form == JSONBytes::data ? Value(std::move(bytes)) : Value(base64Encoded(bytes)));
    return Value(std::move(dict));
}

std::shared_ptr<const Data> ImageWrapper::storedData() const { return gw::storedData(*image()); }

std::shared_ptr<ImageWrapper> ImageWrapper::decodeJSON(const Value& value) {
    const auto& dict = coding::requireDictionary(value, "ImageWrapper");
    const auto& text = coding::requireString(dict, "image");
    auto bytes = base64Decoded(text);
    if (!bytes) {
        throw DecodingError(DecodingError::Case::dataCorrupted, "Encountered Data is not valid Base64.");
    }
    return wrapperFromBytes(std::move(*bytes));
}

}  // namespace gw
