#include "telemetry/core/rddi_utility.hpp"

#include "telemetry/core/rddi_constants.hpp"
#include "telemetry/core/rddi_logger.hpp"

#include <algorithm>
#include <vector>

namespace rddi {

namespace {

std::vector<std::string> components(std::string_view text) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (true) {
        const auto end = text.find(';', start);
        parts.emplace_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    return parts;
}

bool contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

std::string removingAll(std::string text, std::string_view part) {
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at)) text.erase(at, part.size());
    return text;
}

constexpr std::string_view kAppSecretKey = "appsecret=";
constexpr std::string_view kTargetKey = "target=";
constexpr std::string_view kPlatformKey = "macos=";

}  // namespace

std::optional<std::string> RDDIUtility::appSecretFrom(const std::optional<std::string>& startString) {
    if (!startString) return std::nullopt;
    const bool platformKeyed = contains(*startString, kPlatformKey);
    for (const auto& component : components(*startString)) {
        if (component.empty() || contains(component, kTargetKey)) continue;
        std::string secret;
        if (platformKeyed) {
            if (!contains(component, kPlatformKey)) continue;
            secret = removingAll(component, kPlatformKey);
        } else if (!contains(component, kAppSecretKey) && !contains(component, "=")) {
            secret = component;
        } else {
            secret = removingAll(component, kAppSecretKey);
        }
        if (!secret.empty()) return secret;
    }
    return std::nullopt;
}

std::optional<std::string> RDDIUtility::transmissionTargetTokenFrom(const std::optional<std::string>& startString) {
    if (!startString) return std::nullopt;
    for (const auto& component : components(*startString)) {
        if (component.empty() || !contains(component, kTargetKey)) continue;
        std::string token = removingAll(component, kTargetKey);
        if (token.empty()) return std::nullopt;
        return token;
    }
    return std::nullopt;
}

namespace {

// Byte length of the UTF-8 sequence starting with `lead`, and the UTF-16 units it takes.
std::pair<std::size_t, std::size_t> sequenceAt(std::string_view text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    std::size_t bytes = 1;
    if (lead >= 0xF0) bytes = 4;
    else if (lead >= 0xE0) bytes = 3;
    else if (lead >= 0xC0) bytes = 2;
    bytes = std::min(bytes, text.size() - at);
    return {bytes, bytes == 4 ? 2u : 1u};
}

}  // namespace

std::size_t RDDIUTF16Length(std::string_view text) {
    std::size_t units = 0;
    for (std::size_t at = 0; at < text.size();) {
        const auto [bytes, width] = sequenceAt(text, at);
        units += width;
        at += bytes;
    }
    return units;
}

std::string RDDITruncateToUTF16Length(std::string_view text, std::size_t limit) {
    std::size_t units = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        const auto [bytes, width] = sequenceAt(text, at);
        if (units + width > limit) break;
        units += width;
        at += bytes;
    }
    return std::string(text.substr(0, at));
}

std::map<std::string, std::string> RDDIUtility::validateProperties(const std::map<std::string, std::string>& properties,
                                                                  const std::string& logName, const std::string& type) {
    constexpr std::size_t kMaxProperties = 20;
    constexpr std::size_t kMaxLength = 125;
    std::map<std::string, std::string> result;
    for (const auto& [key, value] : properties) {
        if (result.size() >= kMaxProperties) {
            RDDILogWarning(kRDDILogTag, "{} '{}' : properties cannot contain more than {} items. Skipping other properties.",
                           type, logName, kMaxProperties);
            break;
        }
        if (key.empty()) {
            RDDILogWarning(kRDDILogTag, "{} '{}' : a property key cannot be null or empty. Property will be skipped.",
                           type, logName);
            continue;
        }
        std::string validKey = key;
        if (RDDIUTF16Length(key) > kMaxLength) {
            RDDILogWarning(kRDDILogTag,
                           "{} '{}' : property {} : property key length cannot be longer than {} characters. Property "
                           "key will be truncated.",
                           type, logName, key, kMaxLength);
            validKey = RDDITruncateToUTF16Length(key, kMaxLength);
        }
        std::string validValue = value;
        if (RDDIUTF16Length(value) > kMaxLength) {
            RDDILogWarning(kRDDILogTag,
                           "{} '{}' : property '{}' : property value cannot be longer than {} characters. Property "
                           "value will be truncated.",
                           type, logName, key, kMaxLength);
            validValue = RDDITruncateToUTF16Length(value, kMaxLength);
        }
        result[validKey] = std::move(validValue);
    }
    return result;
}

}  // namespace rddi
