#pragma once
// One source picture the user has given the application: the loaded image, the file
// it came from, the name its assets are written under, the point size of the
// image-set asset made from it, zoom and padding, the device kinds it serves, how it
// fits a target size, its background colour and its place in the two tvOS layer
// canvases. Pictures are shared by reference between the engine's list, the windows
// and the builders.
//
// Every stored property is observable under its field name (see PropertyObservable);
// setting "imageName" also announces "imageNameIsFileName", before and after.
#include "app/foundation/device_type.hpp"
#include "app/foundation/image_holder.hpp"
#include "app/foundation/image_wrapper.hpp"
#include "app/foundation/layer_frame.hpp"
#include "app/foundation/picture_file.hpp"
#include "app/foundation/property_observation.hpp"
#include "app/foundation/scale_type.hpp"
#include "platform/appkit/pasteboard.hpp"
#include "platform/foundation/keyed_archiver.hpp"
#include "platform/foundation/root_handle.hpp"
#include "platform/foundation/url.hpp"
#include "platform/foundation/value.hpp"
#include "platform/graphics/color.hpp"
#include "platform/graphics/geometry.hpp"
#include "platform/graphics/picture_problem.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>

namespace gw {

class ImageInput;
using ImageInputPtr = std::shared_ptr<ImageInput>;

class ImageInput : public ImageHolder,
                   public PropertyObservable,
                   public platform::foundation::Archivable,
                   public platform::appkit::PasteboardWriting {
public:
    // Why a picture could not be loaded from a file. Its description (what()) is the
    // reason in words a user can read; detail() holds the decoder's own words.
    class ImageInputError : public std::runtime_error {
    public:
        enum class Case : int { nothingAtPath = 0, unableToLoadSVGImage = 1, unableToLoadNSImageAtPath = 2 };
        explicit ImageInputError(Case errorCase,
                                 platform::graphics::PictureProblem problem = platform::graphics::PictureProblem::none,
                                 std::string detail = {});
        Case errorCase() const { return case_; }
        platform::graphics::PictureProblem problem() const { return problem_; }
        const std::string& detail() const { return detail_; }

    private:
        Case case_;
        platform::graphics::PictureProblem problem_;
        std::string detail_;
    };
    // The user-visible text for a kind of loading failure.
    // With the detail when it names what was met (a limit and its figure, a renderer).
    static std::string problemDescription(platform::graphics::PictureProblem problem, const std::string& detail = {});

    // The application's own pasteboard type; the only one a picture writes or reads.
    static constexpr std::string_view pasteboardType = "com.norvane.image-input";
    // The class name in keyed archives.
    static constexpr std::string_view archiveName = "ImageInput";
    // The name of a picture not named after its file.
    static constexpr std::string_view defaultImageName = "Image";

    // A picture with the defaults: a fresh upper-case UUID, an empty image (0 x 0
    // points), "Image", zoom 1, padding 0, {universal}, stretch, and the aspect-ratio
    // lock of the setting "aspectRatioLocked".
    ImageInput();
    static ImageInputPtr make() { return std::make_shared<ImageInput>(); }
    // A picture holding a dropped or pasted image, its point size taken from the image.
    static ImageInputPtr holding(const platform::graphics::ImagePtr& image);
    // Loads a picture from a file: SVG documents (by extension, any case) become
    // one-page PDF pictures, anything else is read as an image. Named after the file,
    // without extension and scale suffix. Throws ImageInputError.
    // The file is read once, beneath `root` (everything when null), and decoded from
    // those bytes; files::OutsideRootError when it leads outside the root.
    // `beforeReading` is told of the file once it is open, before it is read.
    static ImageInputPtr load(const platform::foundation::URL& url,
                              const platform::foundation::files::RootHandlePtr& root = nullptr,
                              const BeforeReading& beforeReading = {});
    // What reading the picture's file takes beside its pixels (its bytes, the decoder's
    // buffers), as told when it was first read; 0 when not told. Reading it again, after
    // its pixels were let go, takes the same.
    std::uint64_t readingBytes() const { return readingBytes_; }
    void setReadingBytes(std::uint64_t bytes) { readingBytes_ = bytes; }

    // Lets the decoded pixels of a picture loaded from a bitmap file go (its corner
    // colour is kept); the next drawing reads the file again. Pictures of a folder
    // wait like this for their turn, so that memory holds only those being drawn.
    // False when the pixels cannot be read again (nothing is released then).
    bool releasePixels();

    // --- stored properties ---
    const std::string& id() const { return id_; }
    void setId(std::string id);
    std::shared_ptr<ImageWrapper> imageWrapper() const;
    void setImageWrapper(std::shared_ptr<ImageWrapper> wrapper);
    const std::optional<platform::foundation::URL>& imageURL() const { return imageURL_; }
    void setImageURL(std::optional<platform::foundation::URL> url);
    const std::string& imageName() const { return imageName_; }
    // The name is made safe to use as one path component of an output folder: "/" and
    // control characters never reach a file name, "." and ".." never name a folder.
    void setImageName(std::string_view name);
    double assetPointWidth() const { return assetPointWidth_; }
    double assetPointHeight() const { return assetPointHeight_; }
    // With the lock on (and not already adjusting), the other side follows, rounded down.
    void setAssetPointWidth(double width);
    void setAssetPointHeight(double height);
    const std::shared_ptr<LayerFrame>& tvOSAppIconlayerFrame() const { return tvOSAppIconlayerFrame_; }
    void setTvOSAppIconlayerFrame(std::shared_ptr<LayerFrame> frame);
    const std::shared_ptr<LayerFrame>& tvOSLeaderboardLayerFrame() const { return tvOSLeaderboardLayerFrame_; }
    void setTvOSLeaderboardLayerFrame(std::shared_ptr<LayerFrame> frame);
    bool isAspectRatioLocked() const { return isAspectRatioLocked_; }
    // Also writes the setting "aspectRatioLocked"; switching on returns the point size
    // to the picture's own size.
    void setIsAspectRatioLocked(bool locked);
    double zoom() const { return zoom_; }
    void setZoom(double zoom);
    double padding() const { return padding_; }
    void setPadding(double padding);
    const DeviceTypes& deviceTypes() const { return deviceTypes_; }
    void setDeviceTypes(DeviceTypes types);
    ScaleType scaleType() const { return scaleType_; }
    void setScaleType(ScaleType type);
    bool adjustingForAspectRatio() const { return adjustingForAspectRatio_; }
    void setAdjustingForAspectRatio(bool adjusting);
    double widthToHeightRatio() const { return widthToHeightRatio_; }
    double heightToWidthRatio() const { return heightToWidthRatio_; }

    // --- computed properties ---
    platform::graphics::Size selectedPointSize() const { return {assetPointWidth_, assetPointHeight_}; }
    std::set<std::int64_t> deviceTypesRawValues() const;
    // Replaces the device types and recomputes the point size. A value outside 0...5
    // is a broken invariant of the caller and stops the process.
    void setDeviceTypesRawValues(const std::set<std::int64_t>& raw);
    bool imageNameIsFileName() const;
    void setImageNameIsFileName(bool isFileName);
    // Cached on first read; a result of none is asked again next time.
    std::optional<platform::graphics::Color> cornerPixelColor() const override;
    void setCornerPixelColor(std::optional<platform::graphics::Color> color);
    // Decided on first read (the corner colour when "autoSelectBackgroundColour" is on,
    // else none) and kept; setting it replaces the decision.
    std::optional<platform::graphics::Color> backgroundColour() const;
    void setBackgroundColour(std::optional<platform::graphics::Color> color);
    // Pixels per point: 1 for vector pictures, else the largest factor of the device
    // types (3 when there are none).
    double defaultScaleFactor() const;

    // ImageHolder: the wrapper's image, the point size, the vector test.
    platform::graphics::ImagePtr image() const override;
    platform::graphics::Size size() const override { return selectedPointSize(); }
    bool isVector() const override;

    // Point size and ratios from the pixel size and the scale factor; both layer
    // frames (when present) are reset to the pixel size. A picture with a side of zero
    // gets ratios of 1, never values that are not numbers.
    void updatePointSizeFromImage();

    // --- stored forms ---
    // The JSON form: "id", "imageWrapper", "imageURL" (when present), "imageName",
    // "assetPointWidth", "assetPointHeight", "tvOSAppIconlayerFrame" and
    // "tvOSLeaderboardLayerFrame" (when present), "isAspectRatioLocked", "zoom",
    // "padding", "deviceTypes", "scaleType", "adjustingForAspectRatio",
    // "widthToHeightRatio", "heightToWidthRatio". Throws ImageWrapper::StorageError
    // when the image gives no bytes. `bytes`: how the picture's bytes are held.
    platform::foundation::Value encodeJSON(ImageWrapper::JSONBytes bytes = ImageWrapper::JSONBytes::base64Text) const;
    // JSON text of that form; also fails (platform Error) for numbers that are not finite.
    std::string jsonString() const;
    // Values go straight into the fields; no setter runs. DecodingError for a missing
    // or mistyped key or a value out of range, ImageWrapper::StorageError for image
    // bytes that are not a picture.
    static ImageInputPtr decodeJSON(const platform::foundation::Value& value);
    static ImageInputPtr fromJSONString(std::string_view text);

    // Gives this picture the values of `source` (sharing its wrapper and frames).
    void copyValues(const ImageInput& source);

    // The keyed-archive form: the bytes of the JSON form as one data object.
    // Throws what writing the JSON form throws.
    platform::foundation::Data archivedData() const;
    // None when the bytes are not an archive of a picture.
    static ImageInputPtr unarchive(const platform::foundation::Data& data);
    // Makes pictures decodable by the keyed unarchiver of this process (done by every
    // picture made; readers that unarchive before making any call it first).
    static void registerForArchiving();

    // Archivable
    std::string archiveClassName() const override { return std::string(archiveName); }
    void encode(platform::foundation::KeyedArchiver& archiver) const override;

    // Pasteboard: the one type "com.norvane.image-input", holding the keyed archive.
    std::vector<platform::appkit::PasteboardType> writableTypesForPasteboard() const override;
    static std::vector<platform::appkit::PasteboardType> readableTypesForPasteboard();
    // None for any other type, or when the archive cannot be made.
    std::optional<platform::foundation::Data> pasteboardPropertyListForType(std::string_view type) const override;
    // A picture from pasteboard data of our type: the keyed archive the writer puts
    // there, or the bare JSON form. None when it is neither.
    static ImageInputPtr fromPasteboardPropertyList(const platform::foundation::Data& data, std::string_view type);

    // Key-value coding for bindings: "imageWrapper" (whose "image" a path can read),
    // "padding", "zoom", "scaleType", "backgroundColour", "assetPointWidth",
    // "assetPointHeight", "isAspectRatioLocked", "deviceTypesRawValues", the two layer
    // frames, "imageName". Numbers may come as numeric text. A scale type or device
    // type outside its range is refused (nothing stored).
    platform::appkit::KeyValue valueForKey(std::string_view key) const override;
    bool setValueForKey(std::string_view key, const platform::appkit::KeyValue& value) override;

    // Equal when both share the same image (through their wrappers).
    bool isEqual(const ImageInput& other) const;
    std::size_t hash() const;

private:
    void storeNotifying(std::string_view key, const std::function<void()>& store);

    std::string id_;
    std::shared_ptr<ImageWrapper> imageWrapper_;
    std::optional<platform::foundation::URL> imageURL_;
    std::uint64_t readingBytes_ = 0;
    std::string imageName_;
    double assetPointWidth_ = 0;
    double assetPointHeight_ = 0;
    std::shared_ptr<LayerFrame> tvOSAppIconlayerFrame_;
    std::shared_ptr<LayerFrame> tvOSLeaderboardLayerFrame_;
    bool isAspectRatioLocked_ = true;
    double zoom_ = 1.0;
    double padding_ = 0.0;
    DeviceTypes deviceTypes_{DeviceType::universal};
    ScaleType scaleType_ = ScaleType::stretch;
    mutable std::mutex cacheMutex_;
    mutable std::optional<platform::graphics::Color> cornerColor_;
    mutable bool backgroundDecided_ = false;
    mutable std::optional<platform::graphics::Color> backgroundColour_;
    bool adjustingForAspectRatio_ = false;
    double widthToHeightRatio_ = 0;
    double heightToWidthRatio_ = 0;
};

}  // namespace gw
