#pragma once
// The asset manifest: which folders, files, pixel sizes and Contents.json entries each
// output type gets. A copy ships in the bundle; a newer copy may be downloaded into
// Application Support. A ConfigFile reads one copy when it is made and parses its
// entries on request.
#include "app/definitions/conversion_output_type.hpp"
#include "platform/foundation/url.hpp"
#include "platform/foundation/value.hpp"
#include "platform/graphics/geometry.hpp"

#include <array>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace gw {

class ConfigFile {
public:
    // The ten manifest entries builders ask for.
    enum class AssetManifestType : std::uint8_t {
        iosIcon = 0,
        osxIcon = 1,
        iosSplash = 2,
        watchIcon = 3,
        complicationIcons = 4,
        messageIcon = 5,
        tvOSBrandAssets = 6,
        tvOSSplash = 7,
        tvOSLeaderboard = 8,
        tvOSDashboard = 9,
    };
    static constexpr std::size_t kAssetManifestTypeCount = 10;

    enum class ConfigErrorCode { unrecognisedTypeOfDictionary, unrecognisedDictionaryContents, unexpectedStatusCode };

    // Faults of a manifest copy or of its download; what() is the case name and nothing
    // of it is shown to users.
    class ConfigError : public std::runtime_error {
    public:
        explicit ConfigError(ConfigErrorCode code);
        ConfigErrorCode code() const noexcept { return code_; }

    private:
        ConfigErrorCode code_;
    };

    struct ConfigImageDefinition {
        std::string fileName;
        platform::foundation::Dictionary metaData;
        platform::graphics::Size size;  // pixels

        friend bool operator==(const ConfigImageDefinition&, const ConfigImageDefinition&) = default;
    };

    struct ConfigFolderDefinition {
        std::string fileName;
        std::optional<platform::foundation::Dictionary> metaData;
        std::optional<platform::foundation::Dictionary> properties;
        std::vector<ConfigImageDefinition> imageDefinitions;
        std::vector<ConfigFolderDefinition> folderDefinitions;

        friend bool operator==(const ConfigFolderDefinition&, const ConfigFolderDefinition&) = default;
    };

    static constexpr std::string_view kFileName = "glyphwright_config_v2.plist";
    static constexpr std::string_view kForceBundleConfigArgument = "force_bundle_config";
    // Info value naming the folder (an http or https URL) the manifest is downloaded from.
    static constexpr std::string_view kDownloadFolderInfoKey = "GWManifestDownloadFolder";

    // Chooses a copy (bundle or cached) and reads it.
    ConfigFile();
    // A manifest already in hand.
    explicit ConfigFile(platform::foundation::Dictionary rootConfig);
    // Reads the shipped copy now, while nothing else is opening files, and keeps it for
    // the rest of the process; stops the process as any build would when it can't be read.
    static void readBundleCopy();

    const platform::foundation::Dictionary& rootConfig() const { return rootConfig_; }

    static std::string_view manifestKey(AssetManifestType type);
    static const std::array<AssetManifestType, kAssetManifestTypeCount>& allAssetManifestTypes();
    // The entries an output type is built from (none for the plain image asset; two for Catalyst).
    static std::vector<AssetManifestType> assetManifestTypes(ConversionOutputType type);

    // The parsed entry; a missing or malformed entry is a broken manifest and stops the process.
    ConfigFolderDefinition assetManifest(AssetManifestType type) const;

    // Throw ConfigError(unrecognisedDictionaryContents).
    static ConfigFolderDefinition configFolderDefinition(const platform::foundation::Dictionary& entry);
    static ConfigImageDefinition configImageDefinition(const platform::foundation::Dictionary& entry);

    // The "canvasSize" of a layered entry's properties; zero by zero when it can't be read.
    static platform::graphics::Size canvasSize(const std::optional<platform::foundation::Dictionary>& properties);

    // The "assetSizePresets" list (dictionaries with "name", "width", "height").
    platform::foundation::Array assetPresetSizesArray() const;

    // Application Support plus the manifest's file name; worked out once per process.
    static const platform::foundation::URL& cachedConfigURL();
    // The bundle resource; the process stops when the bundle has none.
    static platform::foundation::URL bundleConfigURL();
    // The download source from the bundle's Info values; none when not configured.
    static std::optional<platform::foundation::URL> downloadURL();

    // Fetches the manifest and, once all ten entries parse, replaces the cached copy
    // atomically. The completion runs on the download's own queue with a null pointer
    // on success, else the error (ConfigError, or platform::foundation::Error).
    using DownloadCompletion = std::function<void(std::exception_ptr error)>;
    static void downloadLatestConfig(DownloadCompletion completion);

    // Checks a whole manifest: a dictionary root whose ten entries all parse.
    // Throws ConfigError.
    static void validateManifest(const platform::foundation::Value& root);

    // The process's launch arguments (read from the operating system unless replaced).
    static std::vector<std::string> launchArguments();
    static void setLaunchArguments(std::optional<std::vector<std::string>> arguments);

private:
    platform::foundation::Dictionary rootConfig_;
};

std::string_view description(ConfigFile::ConfigErrorCode code);

}  // namespace gw
