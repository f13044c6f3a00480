#include "app/definitions/config_file.hpp"

#include "app/definitions/user_setting.hpp"
#include "app/foundation/logger.hpp"
#include "platform/foundation/bundle.hpp"
#include "platform/foundation/error.hpp"
#include "platform/foundation/files.hpp"
#include "platform/foundation/plist.hpp"
#include "platform/network/url_session.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <utility>

namespace gw {

namespace pf = platform::foundation;
namespace net = platform::network;

namespace {

constexpr std::string_view kAssetManifestsKey = "assetManifests";
constexpr std::string_view kAssetSizePresetsKey = "assetSizePresets";

std::mutex& argumentsMutex() {
    static std::mutex mutex;
    return mutex;
}

std::optional<std::vector<std::string>>& argumentsOverride() {
    static std::optional<std::vector<std::string>> arguments;
    return arguments;
}

std::vector<std::string> argumentsOfThisProcess() {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> arguments;
    std::string current;
    for (char c : all) {
        if (c == '\0') {
            arguments.push_back(std::move(current));
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    if (!current.empty()) arguments.push_back(std::move(current));
    return arguments;
}

// Reads one manifest copy; throws when it is missing, not a property list, or its
// root is not a dictionary.
pf::Dictionary readManifest(const pf::URL& url) {
    auto root = pf::plist::readFile(url.path());
    auto* dictionary = root.asDictionary();
    if (!dictionary) throw ConfigFile::ConfigError(ConfigFile::ConfigErrorCode::unrecognisedTypeOfDictionary);
    return std::move(*dictionary);
}

// The shipped copy is part of the installation: read once and kept, so that no later build
// depends on a descriptor being free the moment it asks for the manifest.
pf::Dictionary readBundleManifest() {
    const auto url = ConfigFile::bundleConfigURL();
    static std::mutex mutex;
    static std::optional<std::pair<std::string, pf::Dictionary>> kept;
    std::lock_guard lock(mutex);
    if (kept && kept->first == url.path()) return kept->second;
    try {
        kept.emplace(url.path(), readManifest(url));
        return kept->second;
    } catch (const std::exception& error) {
        // Without a readable shipped manifest nothing can be built.
        pf::fatalError(fmt::format("The bundled manifest can't be read: {}", error.what()), "ConfigFile");
    }
}

std::optional<pf::Dictionary> dictionaryValue(const pf::Value& value) {
    if (auto* d = value.asDictionary()) return *d;
    return std::nullopt;
}

// A list whose every element is a dictionary; anything else reads as no list.
std::vector<const pf::Dictionary*> dictionaryList(const pf::Value& value) {
    std::vector<const pf::Dictionary*> result;
    const auto* array = value.asArray();
    if (!array) return result;
    for (const auto& element : *array) {
        const auto* dictionary = element.asDictionary();
        if (!dictionary) return {};
        result.push_back(dictionary);
    }
    return result;
}

const pf::Value& member(const pf::Dictionary& dictionary, std::string_view key) {
    static const pf::Value none;
    auto found = dictionary.find(key);
    return found == dictionary.end() ? none : found->second;
}

// The manifest's numbers have always been read as single-precision values.
double throughSinglePrecision(double value) {
    const volatile float single = static_cast<float>(value);
    return single;
}

std::optional<double> numberValue(const pf::Value& value) {
    if (value.isInteger() || value.isReal()) return value.asDouble();
    return std::nullopt;
}

}  // namespace

std::string_view description(ConfigFile::ConfigErrorCode code) {
    switch (code) {
    case ConfigFile::ConfigErrorCode::unrecognisedTypeOfDictionary: return "unrecognisedTypeOfDictionary";
    case ConfigFile::ConfigErrorCode::unrecognisedDictionaryContents: return "unrecognisedDictionaryContents";
    case ConfigFile::ConfigErrorCode::unexpectedStatusCode: return "unexpectedStatusCode";
    }
    return "unknown";
}

ConfigFile::ConfigError::ConfigError(ConfigErrorCode code)
    : std::runtime_error(std::string(gw::description(code))), code_(code) {}

ConfigFile::ConfigFile() {
    const auto arguments = launchArguments();
    if (std::find(arguments.begin(), arguments.end(), kForceBundleConfigArgument) != arguments.end()) {
        rootConfig_ = readBundleManifest();
        return;
    }
    const auto& cached = cachedConfigURL();
    if (!boolSetting(UserDefaultsKey::useLocalConfig) && pf::files::fileExists(cached.fsPath())) {
        try {
            auto root = readManifest(cached);
            validateManifest(pf::Value(root));
            rootConfig_ = std::move(root);
            return;
        } catch (const std::exception& error) {
            // A damaged download must not stop every later build: the shipped copy still works.
            Logger::log(fmt::format("Cached config at {} is unusable ({}); using the bundled one", cached.path(),
                                    error.what()));
        }
    }
    Logger::log("FALLEN BACK TO CONFIG FROM BUNDLE");
    rootConfig_ = readBundleManifest();
}

ConfigFile::ConfigFile(pf::Dictionary rootConfig) : rootConfig_(std::move(rootConfig)) {}

void ConfigFile::readBundleCopy() { (void)readBundleManifest(); }

std::string_view ConfigFile::manifestKey(AssetManifestType type) {
    switch (type) {
    case AssetManifestType::iosIcon: return "iosIcon";
    case AssetManifestType::osxIcon: return "osxIcon";
    case AssetManifestType::iosSplash: return "iosSplash";
    case AssetManifestType::watchIcon: return "watchIcon";
    case AssetManifestType::complicationIcons: return "complicationIcons";
    case AssetManifestType::messageIcon: return "messageIcon";
    case AssetManifestType::tvOSBrandAssets: return "tvOSBrandAssets";
    case AssetManifestType::tvOSSplash: return "tvOSSplash";
    case AssetManifestType::tvOSLeaderboard: return "tvOSLeaderboard";
    case AssetManifestType::tvOSDashboard: return "tvOSDashboard";
    }
    pf::fatalError(fmt::format("Unknown AssetManifestType {}", static_cast<int>(type)), "ConfigFile");
}

const std::array<ConfigFile::AssetManifestType, ConfigFile::kAssetManifestTypeCount>&
ConfigFile::allAssetManifestTypes() {
    static const auto all = [] {
        std::array<AssetManifestType, kAssetManifestTypeCount> types{};
        for (std::size_t i = 0; i < kAssetManifestTypeCount; ++i) types[i] = static_cast<AssetManifestType>(i);
        return types;
    }();
    return all;
}

std::vector<ConfigFile::AssetManifestType> ConfigFile::assetManifestTypes(ConversionOutputType type) {
    using T = ConversionOutputType;
    using M = AssetManifestType;
    switch (type) {
    case T::iOSIcon: return {M::iosIcon};
    case T::macOSIcon: return {M::osxIcon};
    case T::asset: return {};
    case T::iOSSplash: return {M::iosSplash};
    case T::watchIcon: return {M::watchIcon};
    case T::complicationIcon: return {M::complicationIcons};
    case T::iMessageIcon: return {M::messageIcon};
    case T::tvOSIcon:
    case T::tvOSTopShelf:
    case T::tvOSTopShelfWide: return {M::tvOSBrandAssets};
    case T::tvOSSplash: return {M::tvOSSplash};
    case T::tvOSLeaderboard: return {M::tvOSLeaderboard};
    case T::tvOSGameCenterDashboard: return {M::tvOSDashboard};
    case T::catalyst: return {M::iosIcon, M::osxIcon};
    }
    pf::fatalError(fmt::format("Unknown ConversionOutputType {}", static_cast<std::int64_t>(type)), "ConfigFile");
}

ConfigFile::ConfigFolderDefinition ConfigFile::assetManifest(AssetManifestType type) const {
    const auto key = manifestKey(type);
    const auto* manifests = member(rootConfig_, kAssetManifestsKey).asDictionary();
    const pf::Dictionary* entry = nullptr;
    if (manifests) {
        auto found = manifests->find(key);
        if (found != manifests->end()) entry = found->second.asDictionary();
    }
    if (!entry) pf::fatalError("Unknown assetManifests contents", "ConfigFile");
    try {
        return configFolderDefinition(*entry);
    } catch (const ConfigError& error) {
        pf::fatalError(error.what(), "ConfigFile");
    }
}

ConfigFile::ConfigFolderDefinition ConfigFile::configFolderDefinition(const pf::Dictionary& entry) {
    const auto& folder = entry;
    const auto* fileName = member(folder, "filename").asString();
    if (!fileName) throw ConfigError(ConfigErrorCode::unrecognisedDictionaryContents);

    ConfigFolderDefinition result;
    result.fileName = *fileName;
    result.metaData = dictionaryValue(member(folder, "metaData"));
    result.properties = dictionaryValue(member(folder, "properties"));
    for (const auto* image : dictionaryList(member(folder, "images"))) {
        result.imageDefinitions.push_back(configImageDefinition(*image));
    }
    for (const auto* subfolder : dictionaryList(member(folder, "assets"))) {
        result.folderDefinitions.push_back(configFolderDefinition(*subfolder));
    }
    return result;
}

ConfigFile::ConfigImageDefinition ConfigFile::configImageDefinition(const pf::Dictionary& entry) {
    const auto& image = entry;
    const auto* fileName = member(image, "filename").asString();
    if (!fileName) throw ConfigError(ConfigErrorCode::unrecognisedDictionaryContents);
    const auto* metaData = member(image, "metaData").asDictionary();
    if (!metaData) throw ConfigError(ConfigErrorCode::unrecognisedDictionaryContents);
    const auto width = numberValue(member(image, "width"));
    if (!width) throw ConfigError(ConfigErrorCode::unrecognisedDictionaryContents);
    const auto height = numberValue(member(image, "height")).value_or(*width);

    return ConfigImageDefinition{*fileName, *metaData, {throughSinglePrecision(*width), throughSinglePrecision(height)}};
}

platform::graphics::Size ConfigFile::canvasSize(const std::optional<pf::Dictionary>& properties) {
    if (!properties) return {};
    for (const auto& [key, value] : *properties) {
        const auto* inner = value.asDictionary();
        if (!inner) return {};
        for (const auto& [innerKey, innerValue] : *inner) {
            if (!innerValue.isInteger()) return {};
        }
    }
    auto canvas = properties->find("canvasSize");
    if (canvas == properties->end()) return {};
    const auto width = canvas->second["width"].asInteger();
    const auto height = canvas->second["height"].asInteger();
    if (!width || !height) return {};
    return {static_cast<double>(*width), static_cast<double>(*height)};
}

pf::Array ConfigFile::assetPresetSizesArray() const {
    pf::Array presets;
    for (const auto* preset : dictionaryList(member(rootConfig_, kAssetSizePresetsKey))) {
        presets.emplace_back(*preset);
    }
    return presets;
}

const pf::URL& ConfigFile::cachedConfigURL() {
    static const pf::URL url = [] {
        const auto folder = pf::files::applicationSupportDirectory(pf::Bundle::main().bundleIdentifier());
        if (folder.empty()) pf::fatalError("No Application Support directory", "ConfigFile");
        return pf::URL::fileURL(folder / std::string(kFileName), false);
    }();
    return url;
}

pf::URL ConfigFile::bundleConfigURL() {
    const auto path = pf::Bundle::main().pathForResource(kFileName, "");
    if (!path) pf::fatalError(fmt::format("The bundle has no {}", kFileName), "ConfigFile");
    return pf::URL::fileURL(*path, false);
}

std::optional<pf::URL> ConfigFile::downloadURL() {
    const auto value = pf::Bundle::main().objectForInfoDictionaryKey(kDownloadFolderInfoKey);
    const auto* text = value.asString();
    if (!text || text->empty()) return std::nullopt;
    auto folder = pf::URL::fromString(*text);
    if (!folder || (folder->scheme() != "https" && folder->scheme() != "http")) return std::nullopt;
    return folder->appendingPathComponent(kFileName, false);
}

void ConfigFile::validateManifest(const pf::Value& root) {
    if (!root.isDictionary()) throw ConfigError(ConfigErrorCode::unrecognisedTypeOfDictionary);
    const auto* manifests = root[kAssetManifestsKey].asDictionary();
    if (!manifests) throw ConfigError(ConfigErrorCode::unrecognisedDictionaryContents);
    for (auto type : allAssetManifestTypes()) {
        auto found = manifests->find(manifestKey(type));
        if (found == manifests->end() || !found->second.isDictionary()) {
            throw ConfigError(ConfigErrorCode::unrecognisedDictionaryContents);
        }
        configFolderDefinition(*found->second.asDictionary());
    }
}

void ConfigFile::downloadLatestConfig(DownloadCompletion completion) {
    auto finish = [completion](std::exception_ptr error) {
        if (completion) completion(error);
    };
    const auto source = downloadURL();
    if (!source) {
        Logger::log("No manifest download location is configured; the manifest refresh is skipped");
        finish(std::make_exception_ptr(pf::Error(std::string(net::kURLErrorDomain),
                                                 static_cast<int>(net::URLErrorCode::badURL),
                                                 "no manifest download location is configured")));
        return;
    }

    auto configuration = net::URLSessionConfiguration::defaultConfiguration();
    configuration.requestCachePolicy = net::RequestCachePolicy::reloadIgnoringLocalCacheData;
    const net::URLSession session(configuration);
    const auto destination = cachedConfigURL();
    session.dataTask(*source, [finish, destination](const net::DataTaskResult& result) {
        // The outcome is handed on only after the exception handling here is over, so the
        // caller's thread never shares an exception that is still being caught.
        std::exception_ptr failure;
        try {
            if (result.error) throw *result.error;
            if (!result.response || !result.response->isSuccess()) {
                throw ConfigError(ConfigErrorCode::unexpectedStatusCode);
            }
            if (!result.data) throw ConfigError(ConfigErrorCode::unrecognisedTypeOfDictionary);
            const auto root = pf::plist::parse(*result.data);
            // Only a manifest every builder can use may replace the one we have.
            validateManifest(root);
            const auto xml = pf::plist::serialize(root, pf::plist::Format::xml);
            pf::files::createDirectories(destination.fsPath().parent_path());
            pf::files::writeAtomically(destination.fsPath(), xml);
        } catch (...) {
            failure = std::current_exception();
        }
        finish(failure);
    });
}

std::vector<std::string> ConfigFile::launchArguments() {
    std::lock_guard lock(argumentsMutex());
    if (argumentsOverride()) return *argumentsOverride();
    return argumentsOfThisProcess();
}

void ConfigFile::setLaunchArguments(std::optional<std::vector<std::string>> arguments) {
    std::lock_guard lock(argumentsMutex());
    argumentsOverride() = std::move(arguments);
}

}  // namespace gw
