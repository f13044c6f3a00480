#include "app/foundation/image_input.hpp"

#include "app/foundation/decoding_error.hpp"
#include "app/foundation/file_categories.hpp"
#include "app/foundation/file_operations.hpp"
#include "app/foundation/image_categories.hpp"
#include "app/foundation/localized_string.hpp"
#include "app/foundation/logger.hpp"
#include "app/foundation/picture_file.hpp"
#include "app/foundation/ui_contracts.hpp"
#include "app/foundation/user_defaults_key.hpp"
#include "app/foundation/vector_pictures.hpp"
#include "platform/foundation/error.hpp"
#include "platform/foundation/json.hpp"
#include "platform/foundation/user_defaults.hpp"
#include "platform/foundation/uuid.hpp"
#include "platform/graphics/render_client.hpp"
#include "platform/graphics/render_protocol.hpp"
#include "platform/graphics/svg_document.hpp"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fmt/format.h>

namespace gw {

using platform::foundation::Array;
using platform::foundation::Data;
using platform::foundation::Dictionary;
using platform::foundation::URL;
using platform::foundation::UserDefaults;
using platform::foundation::Value;
using platform::graphics::Color;
using platform::graphics::Size;

namespace {

std::string aspectRatioLockedKey() { return std::string(rawValue(UserDefaultsKey::aspectRatioLocked)); }

// How the platform prints a list of one text: ["Icon"].
std::string listText(std::string_view text) {
    std::string out = "[\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    out += "\"]";
    return out;
}

using platform::graphics::PictureProblem;

PictureProblem defaultProblem(ImageInput::ImageInputError::Case c) {
    switch (c) {
        case ImageInput::ImageInputError::Case::nothingAtPath: return PictureProblem::missing;
        case ImageInput::ImageInputError::Case::unableToLoadSVGImage:
        case ImageInput::ImageInputError::Case::unableToLoadNSImageAtPath: return PictureProblem::notAPicture;
    }
    return PictureProblem::notAPicture;
}

PictureProblem effectiveProblem(ImageInput::ImageInputError::Case c, PictureProblem problem) {
    return problem == PictureProblem::none ? defaultProblem(c) : problem;
}

}  // namespace

std::string ImageInput::problemDescription(PictureProblem problem, const std::string& detail) {
    if (platform::graphics::detailNamesTheCause(problem) && !detail.empty()) {
        return LocalizedString::text(problem == PictureProblem::tooDemanding   ? "picture-problem.too-demanding-because"
                                     : problem == PictureProblem::fileTooLarge ? "picture-problem.file-too-large"
                                                                               : "picture-problem.renderer-unavailable",
                                     detail);
    }
    switch (problem) {
        case PictureProblem::missing: return LocalizedString::text("picture-problem.missing");
        case PictureProblem::unreadable: return LocalizedString::text("picture-problem.unreadable");
        case PictureProblem::tooManyOpenFiles: return LocalizedString::text("picture-problem.too-many-open-files");
        case PictureProblem::none:
        case PictureProblem::notAPicture: return LocalizedString::text("picture-problem.not-a-picture");
        case PictureProblem::truncated: return LocalizedString::text("picture-problem.truncated");
        case PictureProblem::damaged: return LocalizedString::text("picture-problem.damaged");
        case PictureProblem::tooLarge: return LocalizedString::text("picture-problem.too-large");
        case PictureProblem::tooDemanding: return LocalizedString::text("picture-problem.too-demanding");
        case PictureProblem::incompleteRender: return LocalizedString::text("picture-problem.incomplete-render");
        case PictureProblem::encrypted: return LocalizedString::text("picture-problem.encrypted");
        case PictureProblem::pastMemoryLimit:
            return LocalizedString::text("picture-problem.past-memory-limit",
                                         fmt::format("{} MiB", platform::graphics::render::kAddressSpaceBytes >> 20));
        case PictureProblem::pastTimeLimit:
            return LocalizedString::text("picture-problem.past-time-limit",
                                         std::to_string(platform::graphics::RenderClient::timeLimits().wallSeconds));
        case PictureProblem::pastProcessorTimeLimit:
            return LocalizedString::text(
                "picture-problem.past-processor-time-limit",
                std::to_string(platform::graphics::RenderClient::timeLimits().cpuSeconds));
        case PictureProblem::rendererUnavailable:
            return LocalizedString::text("picture-problem.renderer-unavailable",
                                         "the renderer glyphwright-render beside the program could not be started");
        case PictureProblem::fileTooLarge:
            return LocalizedString::text("picture-problem.file-too-large", "it is larger than a picture may be");
    }
    return LocalizedString::text("picture-problem.not-a-picture");
}

ImageInput::ImageInputError::ImageInputError(Case errorCase, PictureProblem problem, std::string detail)
    : std::runtime_error(problemDescription(effectiveProblem(errorCase, problem), detail)),
      case_(errorCase),
      problem_(effectiveProblem(errorCase, problem)),
      detail_(std::move(detail)) {}

ImageInput::ImageInput()
    : id_(platform::foundation::UUID().uuidString()),
      imageWrapper_(ImageWrapper::empty()),
      imageName_(defaultImageName),
      isAspectRatioLocked_(UserDefaults::standard().boolForKey(aspectRatioLockedKey())) {
    registerForArchiving();
    setKeysAffectingValueForKey("deviceTypesRawValues", {"deviceTypes"});
    updatePointSizeFromImage();
}

ImageInputPtr ImageInput::load(const URL& url, const platform::foundation::files::RootHandlePtr& root,
                               const BeforeReading& beforeReading) {
    std::string last = url.lastPathComponent();
    std::transform(last.begin(), last.end(), last.begin(), [](unsigned char c) { return std::tolower(c); });
    const bool isSVG = last.ends_with(".svg");
    // The renderer's helper starts while the file is read.
    platform::graphics::RenderClient::prepareFor(last);
    platform::graphics::ImagePtr image;
    std::string detail;
    PictureProblem problem = PictureProblem::none;
    auto failed = [&](ImageInputError::Case c, PictureProblem fallback) {
        Logger::log(fmt::format("Unable to load the picture at {}: {}", url.path(), detail));
        return ImageInputError(c, problem == PictureProblem::none ? fallback : problem, detail);
    };
    // Read once; decoded from these bytes, whatever happens to the file meanwhile.
    auto file = readPictureFile(url.fsPath(), root,
                                isSVG ? platform::graphics::SvgDocument::kMaxFileBytes
                                      : platform::graphics::Image::kMaxFileBytes,
                                &detail, &problem, beforeReading);
    if (!file && problem == PictureProblem::missing) {
        throw ImageInputError(ImageInputError::Case::nothingAtPath, PictureProblem::missing, "no file at " + url.path());
    }
    if (isSVG) {
        auto document = file ? platform::graphics::SvgDocument::fromData(file->bytes, &detail, &problem) : nullptr;
        if (!document) throw failed(ImageInputError::Case::unableToLoadSVGImage, PictureProblem::notAPicture);
        image = svgPicture(document, &detail, &problem);
        if (!image) throw failed(ImageInputError::Case::unableToLoadNSImageAtPath, PictureProblem::incompleteRender);
    } else {
        image = file ? platform::graphics::Image::fromData(file->bytes, &detail, &problem) : nullptr;
        if (!image) throw failed(ImageInputError::Case::unableToLoadNSImageAtPath, PictureProblem::notAPicture);
        // The file is read again when its pixels were let go (see releasePixels).
        image->reloadPixelsFrom(std::move(file->reread));
    }

    auto input = make();
    input->setImageWrapper(ImageWrapper::make(std::move(image)));
    input->updatePointSizeFromImage();
    input->imageURL_ = url;
    noteNewRecentDocumentURL(url);
    if (auto name = fileName(url)) input->setImageName(*name);
    Logger::log("Automatically named image: " + listText(input->imageName_));
    return input;
}

bool ImageInput::releasePixels() {
    // The corner colour is all the checks before drawing read from the pixels: known
    // now, it needs no second reading of the file.
    imageWrapper_->cornerPixelColor();
    return imageWrapper_->image()->releasePixels();
}

void ImageInput::storeNotifying(std::string_view key, const std::function<void()>& store) {
    willChangeValueForKey(key);
    store();
    didChangeValueForKey(key);
}

// --- stored properties ---

void ImageInput::setId(std::string id) {
    storeNotifying("id", [&] { id_ = std::move(id); });
}

std::shared_ptr<ImageWrapper> ImageInput::imageWrapper() const { return imageWrapper_; }

void ImageInput::setImageWrapper(std::shared_ptr<ImageWrapper> wrapper) {
    if (!wrapper) wrapper = ImageWrapper::empty();
    storeNotifying("imageWrapper", [&] { imageWrapper_ = std::move(wrapper); });
}

void ImageInput::setImageURL(std::optional<URL> url) {
    storeNotifying("imageURL", [&] { imageURL_ = std::move(url); });
}

void ImageInput::setImageName(std::string_view name) {
    std::string safe = sanitizedPathComponent(name);
    willChangeValueForKey("imageNameIsFileName");
    storeNotifying("imageName", [&] { imageName_ = std::move(safe); });
    didChangeValueForKey("imageNameIsFileName");
}

void ImageInput::setAssetPointWidth(double width) {
    storeNotifying("assetPointWidth", [&] { assetPointWidth_ = width; });
    if (isAspectRatioLocked_ && !adjustingForAspectRatio_) {
        setAdjustingForAspectRatio(true);
        setAssetPointHeight(std::floor(width * widthToHeightRatio_));
        setAdjustingForAspectRatio(false);
    }
}

void ImageInput::setAssetPointHeight(double height) {
    storeNotifying("assetPointHeight", [&] { assetPointHeight_ = height; });
    if (isAspectRatioLocked_ && !adjustingForAspectRatio_) {
        setAdjustingForAspectRatio(true);
        setAssetPointWidth(std::floor(height * heightToWidthRatio_));
        setAdjustingForAspectRatio(false);
    }
}

void ImageInput::setTvOSAppIconlayerFrame(std::shared_ptr<LayerFrame> frame) {
    storeNotifying("tvOSAppIconlayerFrame", [&] { tvOSAppIconlayerFrame_ = std::move(frame); });
}

void ImageInput::setTvOSLeaderboardLayerFrame(std::shared_ptr<LayerFrame> frame) {
    storeNotifying("tvOSLeaderboardLayerFrame", [&] { tvOSLeaderboardLayerFrame_ = std::move(frame); });
}

void ImageInput::setIsAspectRatioLocked(bool locked) {
    storeNotifying("isAspectRatioLocked", [&] { isAspectRatioLocked_ = locked; });
    UserDefaults::standard().setBool(locked, aspectRatioLockedKey());
    if (locked) updatePointSizeFromImage();
}

void ImageInput::setZoom(double zoom) {
    storeNotifying("zoom", [&] { zoom_ = zoom; });
}

void ImageInput::setPadding(double padding) {
    storeNotifying("padding", [&] { padding_ = padding; });
}

void ImageInput::setDeviceTypes(DeviceTypes types) {
    storeNotifying("deviceTypes", [&] { deviceTypes_ = std::move(types); });
}

void ImageInput::setScaleType(ScaleType type) {
    storeNotifying("scaleType", [&] { scaleType_ = type; });
}

void ImageInput::setAdjustingForAspectRatio(bool adjusting) {
    storeNotifying("adjustingForAspectRatio", [&] { adjustingForAspectRatio_ = adjusting; });
}

// --- computed properties ---

std::set<std::int64_t> ImageInput::deviceTypesRawValues() const {
    std::set<std::int64_t> raw;
    for (auto type : deviceTypes_) raw.insert(rawValue(type));
    return raw;
}

void ImageInput::setDeviceTypesRawValues(const std::set<std::int64_t>& raw) {
    DeviceTypes types;
    for (auto value : raw) {
        auto type = deviceTypeFromRawValue(value);
        // The windows offer only the six device kinds.
        if (!type) platform::foundation::fatalError(fmt::format("Unknown device type {}", value));
        types.insert(*type);
    }
    setDeviceTypes(std::move(types));
    updatePointSizeFromImage();
}

bool ImageInput::imageNameIsFileName() const {
    if (!imageURL_) return false;
    auto name = fileName(*imageURL_);
    return name && *name == imageName_;
}

void ImageInput::setImageNameIsFileName(bool isFileName) {
    if (isFileName && imageURL_) {
        if (auto name = fileName(*imageURL_)) {
            setImageName(*name);
            return;
        }
    }
    setImageName(defaultImageName);
}

std::optional<Color> ImageInput::cornerPixelColor() const {
    {
        std::lock_guard lock(cacheMutex_);
        if (cornerColor_) return cornerColor_;
    }
    auto color = imageWrapper_->cornerPixelColor();
    std::lock_guard lock(cacheMutex_);
    if (!cornerColor_) cornerColor_ = color;
    return cornerColor_;
}

void ImageInput::setCornerPixelColor(std::optional<Color> color) {
    willChangeValueForKey("cornerPixelColor");
    {
        std::lock_guard lock(cacheMutex_);
        cornerColor_ = std::move(color);
    }
    didChangeValueForKey("cornerPixelColor");
}

std::optional<Color> ImageInput::backgroundColour() const {
    {
        std::lock_guard lock(cacheMutex_);
        if (backgroundDecided_) return backgroundColour_;
    }
    std::optional<Color> decided;
    if (UserDefaults::standard().boolForKey(rawValue(UserDefaultsKey::autoSelectBackgroundColour))) {
        decided = cornerPixelColor();
    }
    std::lock_guard lock(cacheMutex_);
    if (!backgroundDecided_) {
        backgroundColour_ = decided;
        backgroundDecided_ = true;
    }
    return backgroundColour_;
}

void ImageInput::setBackgroundColour(std::optional<Color> color) {
    willChangeValueForKey("backgroundColour");
    {
        std::lock_guard lock(cacheMutex_);
        backgroundColour_ = std::move(color);
        backgroundDecided_ = true;
    }
    didChangeValueForKey("backgroundColour");
}

double ImageInput::defaultScaleFactor() const {
    if (isVector()) return 1.0;
    if (deviceTypes_.empty()) return 3.0;
    double factor = 0;
    for (auto type : deviceTypes_) factor = std::max(factor, scaleFactor(type));
    return factor;
}

platform::graphics::ImagePtr ImageInput::image() const { return imageWrapper_->image(); }

bool ImageInput::isVector() const { return pdfImageRep(*imageWrapper_->image()) != nullptr; }

ImageInputPtr ImageInput::holding(const platform::graphics::ImagePtr& image) {
    auto input = make();
    input->setImageWrapper(ImageWrapper::make(image));
    input->updatePointSizeFromImage();
    return input;
}

void ImageInput::updatePointSizeFromImage() {
    const Size pixels = pixelSize(*imageWrapper_->image());
    for (const auto& frame : {tvOSAppIconlayerFrame_, tvOSLeaderboardLayerFrame_}) {
        if (!frame) continue;
        frame->setAdjustingForAspectRatio(true);
        frame->setWidth(pixels.width);
        frame->setHeight(pixels.height);
        frame->setAdjustingForAspectRatio(false);
        frame->setWidthToHeightRatio(guardedRatio(pixels.height, pixels.width));
        frame->setHeightToWidthRatio(guardedRatio(pixels.width, pixels.height));
    }
    const double factor = defaultScaleFactor();
    setAdjustingForAspectRatio(true);
    setAssetPointWidth(pixels.width / factor);
    setAssetPointHeight(pixels.height / factor);
    setAdjustingForAspectRatio(false);
    storeNotifying("widthToHeightRatio",
                   [&] { widthToHeightRatio_ = guardedRatio(assetPointHeight_, assetPointWidth_); });
    storeNotifying("heightToWidthRatio",
                   [&] { heightToWidthRatio_ = guardedRatio(assetPointWidth_, assetPointHeight_); });
}

// --- stored forms ---

Value ImageInput::encodeJSON(ImageWrapper::JSONBytes bytes) const {
    Dictionary dict;
    dict.emplace("id", Value(id_));
    dict.emplace("imageWrapper", imageWrapper_->encodeJSON(bytes));
    if (imageURL_) dict.emplace("imageURL", Value(imageURL_->absoluteString()));
    dict.emplace("imageName", Value(imageName_));
    dict.emplace("assetPointWidth", Value(assetPointWidth_));
    dict.emplace("assetPointHeight", Value(assetPointHeight_));
    if (tvOSAppIconlayerFrame_) dict.emplace("tvOSAppIconlayerFrame", tvOSAppIconlayerFrame_->encode());
    if (tvOSLeaderboardLayerFrame_) dict.emplace("tvOSLeaderboardLayerFrame", tvOSLeaderboardLayerFrame_->encode());
    dict.emplace("isAspectRatioLocked", Value(isAspectRatioLocked_));
    dict.emplace("zoom", Value(zoom_));
    dict.emplace("padding", Value(padding_));
    Array devices;
    for (auto type : deviceTypes_) devices.emplace_back(rawValue(type));
    dict.emplace("deviceTypes", Value(std::move(devices)));
    dict.emplace("scaleType", Value(rawValue(scaleType_)));
    dict.emplace("adjustingForAspectRatio", Value(adjustingForAspectRatio_));
    dict.emplace("widthToHeightRatio", Value(widthToHeightRatio_));
    dict.emplace("heightToWidthRatio", Value(heightToWidthRatio_));
    return Value(std::move(dict));
}

std::string ImageInput::jsonString() const { return platform::foundation::json::serialize(encodeJSON()); }

ImageInputPtr ImageInput::decodeJSON(const Value& value) {
    const auto& dict = coding::requireDictionary(value, "ImageInput");
    auto input = make();
    input->id_ = coding::requireString(dict, "id");
    input->imageWrapper_ = ImageWrapper::decodeJSON(coding::require(dict, "imageWrapper"));
    if (auto it = dict.find("imageURL"); it != dict.end() && !it->second.isNull()) {
        const auto* text = it->second.asString();
        if (!text) throw DecodingError(DecodingError::Case::typeMismatch, "Expected a string for key \"imageURL\"");
        auto url = URL::fromString(*text);
        if (!url) throw DecodingError(DecodingError::Case::dataCorrupted, "Invalid URL string.");
        input->imageURL_ = std::move(*url);
    }
    // A name from a paste or a saved state may have been written by anyone.
    input->imageName_ = sanitizedPathComponent(coding::requireString(dict, "imageName"));
    input->assetPointWidth_ = coding::requireDouble(dict, "assetPointWidth");
    input->assetPointHeight_ = coding::requireDouble(dict, "assetPointHeight");
    if (auto it = dict.find("tvOSAppIconlayerFrame"); it != dict.end() && !it->second.isNull()) {
        input->tvOSAppIconlayerFrame_ = LayerFrame::decode(it->second);
    }
    if (auto it = dict.find("tvOSLeaderboardLayerFrame"); it != dict.end() && !it->second.isNull()) {
        input->tvOSLeaderboardLayerFrame_ = LayerFrame::decode(it->second);
    }
    input->isAspectRatioLocked_ = coding::requireBool(dict, "isAspectRatioLocked");
    input->zoom_ = coding::requireDouble(dict, "zoom");
    input->padding_ = coding::requireDouble(dict, "padding");
    DeviceTypes devices;
    for (const auto& item : coding::requireArray(dict, "deviceTypes")) {
        auto raw = item.asInteger();
        auto type = raw ? deviceTypeFromRawValue(*raw) : std::nullopt;
        if (!type) {
            throw DecodingError(DecodingError::Case::dataCorrupted,
                                fmt::format("Cannot initialize DeviceType from {}", item.description()));
        }
        devices.insert(*type);
    }
    input->deviceTypes_ = std::move(devices);
    auto scale = scaleTypeFromRawValue(coding::requireInteger(dict, "scaleType"));
    if (!scale) throw DecodingError(DecodingError::Case::dataCorrupted, "Cannot initialize ScaleType from the value");
    input->scaleType_ = *scale;
    input->adjustingForAspectRatio_ = coding::requireBool(dict, "adjustingForAspectRatio");
    input->widthToHeightRatio_ = coding::requireDouble(dict, "widthToHeightRatio");
    input->heightToWidthRatio_ = coding::requireDouble(dict, "heightToWidthRatio");
    return input;
}

ImageInputPtr ImageInput::fromJSONString(std::string_view text) {
    Value value;
    try {
        value = platform::foundation::json::parse(text);
    } catch (const platform::foundation::Error& e) {
        throw DecodingError(DecodingError::Case::dataCorrupted, e.what());
    }
    return decodeJSON(value);
}

void ImageInput::copyValues(const ImageInput& source) {
    id_ = source.id_;
    setImageWrapper(source.imageWrapper_);
    adjustingForAspectRatio_ = source.adjustingForAspectRatio_;
    setAssetPointHeight(source.assetPointHeight_);
    setAssetPointWidth(source.assetPointWidth_);
    setBackgroundColour(source.backgroundColour());
    setCornerPixelColor(source.cornerPixelColor());
    deviceTypes_ = source.deviceTypes_;
    updatePointSizeFromImage();
    setTvOSLeaderboardLayerFrame(source.tvOSLeaderboardLayerFrame_);
    setTvOSAppIconlayerFrame(source.tvOSAppIconlayerFrame_);
    setImageName(source.imageName_);
    setImageURL(source.imageURL_);
    setIsAspectRatioLocked(source.isAspectRatioLocked_);
    setScaleType(source.scaleType_);
    setZoom(source.zoom_);
    setPadding(source.padding_);
}

namespace {

constexpr std::string_view kArchivedDataKey = "NS.data";

}  // namespace

void ImageInput::registerForArchiving() {
    static std::once_flag once;
    std::call_once(once, [] {
        platform::foundation::KeyedUnarchiver::registerClass(
            std::string(ImageInput::archiveName),
            [](const platform::foundation::KeyedUnarchiver& coder) -> std::shared_ptr<platform::foundation::Archivable> {
                try {
                    auto input = ImageInput::make();
                    const Value object = coder.decode(kArchivedDataKey);
                    const auto* bytes = object.asData();
                    if (!bytes) return nullptr;
                    auto stored = ImageInput::decodeJSON(platform::foundation::json::parse(*bytes));
                    input->copyValues(*stored);
                    input->updatePointSizeFromImage();
                    return input;
                } catch (const std::exception&) {
                    return nullptr;
                }
            });
    });
}

void ImageInput::encode(platform::foundation::KeyedArchiver& archiver) const {
    archiver.encode(kArchivedDataKey, Value(platform::foundation::json::serializeData(encodeJSON())));
}

Data ImageInput::archivedData() const {
    registerForArchiving();
    return platform::foundation::KeyedArchiver::archivedData(*this);
}

ImageInputPtr ImageInput::unarchive(const Data& data) {
    registerForArchiving();
    try {
        return platform::foundation::KeyedUnarchiver::unarchiveObject<ImageInput>(data);
    } catch (const std::exception&) {
        return nullptr;
    }
}

std::vector<platform::appkit::PasteboardType> ImageInput::writableTypesForPasteboard() const {
    return {std::string(pasteboardType)};
}

std::vector<platform::appkit::PasteboardType> ImageInput::readableTypesForPasteboard() {
    return {std::string(pasteboardType)};
}

std::optional<Data> ImageInput::pasteboardPropertyListForType(std::string_view type) const {
    if (type != pasteboardType) return std::nullopt;
    try {
        return archivedData();
    } catch (const std::exception& e) {
        Logger::log(fmt::format("Unable to archive image {}: {}", imageName_, e.what()));
        return std::nullopt;
    }
}

ImageInputPtr ImageInput::fromPasteboardPropertyList(const Data& data, std::string_view type) {
    if (type != pasteboardType) return nullptr;
    // What our own writer puts on the pasteboard is the keyed archive.
    static constexpr std::string_view kArchiveMagic = "bplist";
    if (data.size() >= kArchiveMagic.size() &&
        std::equal(kArchiveMagic.begin(), kArchiveMagic.end(), data.begin())) {
        return unarchive(data);
    }
    try {
        auto stored = decodeJSON(platform::foundation::json::parse(data));
        auto input = make();
        input->copyValues(*stored);
        input->updatePointSizeFromImage();
        return input;
    } catch (const std::exception&) {
        return nullptr;
    }
}

bool ImageInput::isEqual(const ImageInput& other) const { return imageWrapper_->isEqual(*other.imageWrapper_); }

std::size_t ImageInput::hash() const { return std::hash<const void*>()(imageWrapper_->image().get()); }

}  // namespace gw
