#include "app/definitions/conversion_output_type.hpp"

#include "app/foundation/localized_string.hpp"
#include "platform/foundation/error.hpp"

#include <fmt/format.h>

namespace gw {

namespace {

struct TypeInfo {
    ConversionOutputType type;
    std::string_view name;
    Platform platform;
    std::string_view displayNameKey;
    const std::string& (*displayName)();
};

// Raw-value order; the index is the raw value.
const std::array<TypeInfo, ConversionOutputTypes::kCount>& typeTable() {
    using T = ConversionOutputType;
    using P = Platform;
    namespace L = LocalizedString;
    static const std::array<TypeInfo, ConversionOutputTypes::kCount> table{{
        {T::iOSIcon, "iOSIcon", P::iOS, "ResizeType.display-name.iOSIcons", &L::resizeTypeDisplayNameIOSIcons},
        {T::macOSIcon, "macOSIcon", P::macOS, "ResizeType.display-name.osxIcons", &L::resizeTypeDisplayNameOsxIcons},
        {T::asset, "asset", P::universal, "ResizeType.display-name.assets", &L::resizeTypeDisplayNameAssets},
        {T::iOSSplash, "iOSSplash", P::iOS, "ResizeType.display-name.iOSSplash", &L::resizeTypeDisplayNameIOSSplash},
        {T::watchIcon, "watchIcon", P::watchOS, "ResizeType.display-name.watchIcons",
         &L::resizeTypeDisplayNameWatchIcons},
        {T::complicationIcon, "complicationIcon", P::watchOS, "ResizeType.display-name.complicationIcons",
         &L::resizeTypeDisplayNameComplicationIcons},
        {T::iMessageIcon, "iMessageIcon", P::iOS, "ResizeType.display-name.iMessageIcons",
         &L::resizeTypeDisplayNameIMessageIcons},
        {T::tvOSIcon, "tvOSIcon", P::tvOS, "ResizeType.display-name.tvOSIcon", &L::resizeTypeDisplayNameTvOSIcon},
        {T::tvOSSplash, "tvOSSplash", P::tvOS, "ResizeType.display-name.tvOSSplash",
         &L::resizeTypeDisplayNameTvOSSplash},
        {T::tvOSTopShelf, "tvOSTopShelf", P::tvOS, "ResizeType.display-name.tvOSTopShelf",
         &L::resizeTypeDisplayNameTvOSTopShelf},
        {T::tvOSTopShelfWide, "tvOSTopShelfWide", P::tvOS, "ResizeType.display-name.tvOSTopShelfWide",
         &L::resizeTypeDisplayNameTvOSTopShelfWide},
        {T::tvOSLeaderboard, "tvOSLeaderboard", P::tvOSGameCenter, "ResizeType.display-name.tvOSLeaderboard",
         &L::resizeTypeDisplayNameTvOSLeaderboard},
        {T::tvOSGameCenterDashboard, "tvOSGameCenterDashboard", P::tvOSGameCenter,
         "ResizeType.display-name.tvOSGameCenterDashboard", &L::resizeTypeDisplayNameTvOSGameCenterDashboard},
        {T::catalyst, "catalyst", P::universal, "ResizeType.display-name.catalyst",
         &L::resizeTypeDisplayNameCatalyst},
    }};
    return table;
}

const TypeInfo& info(ConversionOutputType type) {
    const auto raw = static_cast<std::uint64_t>(type);
    if (raw >= ConversionOutputTypes::kCount) {
        ::platform::foundation::fatalError(fmt::format("Unknown ConversionOutputType {}", static_cast<std::int64_t>(type)));
    }
    return typeTable()[raw];
}

struct PlatformInfo {
    std::string_view displayNameKey;
    const std::string& (*displayName)();
};

const PlatformInfo& info(Platform platform) {
    namespace L = LocalizedString;
    static const std::array<PlatformInfo, Platforms::kCount> table{{
        {"platform.display-name.iOS", &L::platformDisplayNameIOS},
        {"platform.display-name.tvOS", &L::platformDisplayNameTvOS},
        {"platform.display-name.tvOSGameCenter", &L::platformDisplayNameTvOSGameCenter},
        {"platform.display-name.watchOS", &L::platformDisplayNameWatchOS},
        {"platform.display-name.macOS", &L::platformDisplayNameMacOS},
        {"platform.display-name.universal", &L::platformDisplayNameUniversal},
    }};
    const auto raw = static_cast<std::uint64_t>(platform);
    if (raw >= Platforms::kCount) {
        ::platform::foundation::fatalError(fmt::format("Unknown Platform {}", static_cast<std::int64_t>(platform)));
    }
    return table[raw];
}

}  // namespace

namespace ConversionOutputTypes {

std::optional<ConversionOutputType> fromRawValue(std::int64_t rawValue) {
    // Compared as unsigned, so every negative value falls outside the range too.
    if (static_cast<std::uint64_t>(rawValue) >= kCount) return std::nullopt;
    return static_cast<ConversionOutputType>(rawValue);
}

const std::array<ConversionOutputType, kCount>& allCases() {
    static const auto cases = [] {
        std::array<ConversionOutputType, kCount> all{};
        for (std::size_t i = 0; i < kCount; ++i) all[i] = static_cast<ConversionOutputType>(i);
        return all;
    }();
    return cases;
}

std::optional<ConversionOutputType> fromCommandLineName(std::string_view name) {
    for (const auto& entry : typeTable()) {
        if (entry.name == name) return entry.type;
    }
    return std::nullopt;
}

std::string_view commandLineName(ConversionOutputType type) { return info(type).name; }

Platform platform(ConversionOutputType type) { return info(type).platform; }

std::string_view typeDisplayNameKey(ConversionOutputType type) { return info(type).displayNameKey; }

const std::string& typeDisplayName(ConversionOutputType type) { return info(type).displayName(); }

std::string displayName(ConversionOutputType type) {
    return fmt::format("{} {}", Platforms::displayName(platform(type)), typeDisplayName(type));
}

std::vector<ConversionOutputType> allCasesByPlatform() {
    std::vector<ConversionOutputType> result;
    for (auto p : Platforms::allCases()) {
        auto types = Platforms::outputTypes(p);
        result.insert(result.end(), types.begin(), types.end());
    }
    return result;
}

}  // namespace ConversionOutputTypes

namespace Platforms {

std::optional<Platform> fromRawValue(std::int64_t rawValue) {
    if (static_cast<std::uint64_t>(rawValue) >= kCount) return std::nullopt;
    return static_cast<Platform>(rawValue);
}

const std::array<Platform, kCount>& allCases() {
    static const std::array<Platform, kCount> cases{Platform::iOS,     Platform::tvOS,  Platform::tvOSGameCenter,
                                                    Platform::watchOS, Platform::macOS, Platform::universal};
    return cases;
}

std::string_view displayNameKey(Platform platform) { return info(platform).displayNameKey; }

const std::string& displayName(Platform platform) { return info(platform).displayName(); }

std::vector<ConversionOutputType> outputTypes(Platform platform) {
    using T = ConversionOutputType;
    switch (platform) {
    case Platform::iOS: return {T::iOSIcon, T::iOSSplash, T::iMessageIcon};
    case Platform::tvOS: return {T::tvOSIcon, T::tvOSSplash, T::tvOSTopShelf, T::tvOSTopShelfWide};
    case Platform::tvOSGameCenter: return {T::tvOSLeaderboard, T::tvOSGameCenterDashboard};
    case Platform::watchOS: return {T::watchIcon, T::complicationIcon};
    case Platform::macOS: return {T::macOSIcon};
    case Platform::universal: return {T::asset, T::catalyst};
    }
    ::platform::foundation::fatalError(fmt::format("Unknown Platform {}", static_cast<std::int64_t>(platform)));
}

}  // namespace Platforms

}  // namespace gw
