#include "app/shell/version_checker.hpp"

#include "app/definitions/config_file.hpp"
#include "app/foundation/logger.hpp"
#include "platform/dispatch/dispatch_queue.hpp"
#include "platform/foundation/bundle.hpp"
#include "platform/network/url_session.hpp"

#include <nlohmann/json.hpp>

#include <cctype>
#include <cstdlib>
#include <memory>

namespace gw {

namespace pf = platform::foundation;
namespace net = platform::network;

float floatValue(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    const std::size_t start = i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    const auto digits = [&] {
        const std::size_t from = i;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
        return i - from;
    };
    std::size_t mantissa = digits();
    if (i < text.size() && text[i] == '.') {
        ++i;
        mantissa += digits();
    }
    if (mantissa == 0) return 0.0f;
    std::size_t end = i;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
        if (digits() > 0) end = i;
    }
    const std::string number(text.substr(start, end - start));
    return std::strtof(number.c_str(), nullptr);
}

namespace {

pf::Error checkerError(OLVVersionChecker::ErrorCode code, const std::string& description) {
    return pf::Error(std::string(OLVVersionChecker::kErrorDomain), static_cast<int>(code), description);
}

float infoFloat(std::string_view key) {
    const auto value = pf::Bundle::main().objectForInfoDictionaryKey(key);
    if (const auto* text = value.asString()) return floatValue(*text);
    if (const auto number = value.asDouble()) return static_cast<float>(*number);
    return 0.0f;
}

float numberAsFloat(const nlohmann::json& value) {
    if (value.is_number()) return value.get<float>();
    if (value.is_boolean()) return value.get<bool>() ? 1.0f : 0.0f;
    if (value.is_string()) return floatValue(value.get_ref<const std::string&>());
    return 0.0f;
}

// A text read as a Boolean the lenient way settings stores read it: "YES", "true", a
// non-zero number.
bool textAsBool(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    while (i < text.size() && text[i] == '0') ++i;
    if (i >= text.size()) return false;
    const char c = text[i];
    return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

bool valueAsBool(const nlohmann::json& value) {
    if (value.is_boolean()) return value.get<bool>();
    if (value.is_number()) return value.get<double>() != 0.0;
    if (value.is_string()) return textAsBool(value.get_ref<const std::string&>());
    return false;
}

// Content types a JSON body may come with; none given is taken as JSON too.
bool acceptableContentType(const std::optional<std::string>& header) {
    if (!header) return true;
    std::string type = header->substr(0, header->find(';'));
    while (!type.empty() && std::isspace(static_cast<unsigned char>(type.back()))) type.pop_back();
    for (auto& c : type) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return type == "application/json" || type == "text/json" || type == "text/javascript";
}

std::optional<pf::URL> recordURL() {
    const auto value = pf::Bundle::main().objectForInfoDictionaryKey(ConfigFile::kDownloadFolderInfoKey);
    const auto* text = value.asString();
    if (!text || text->empty()) return std::nullopt;
    const auto folder = pf::URL::fromString(*text);
    if (!folder || (folder->scheme() != "https" && folder->scheme() != "http")) return std::nullopt;
    return folder->appendingPathComponent(OLVVersionChecker::kRecordFileName, false);
}

}  // namespace

void OLVVersionChecker::checkIfCurrentVersion(Success success, Failure failure) const {
    const auto main = platform::dispatch::DispatchQueue::main();
    const auto url = recordURL();
    if (!url) {
        main.async([failure] {
            if (failure) {
                failure(checkerError(ErrorCode::noDownloadFolder,
                                     "No version record location is configured (Info value " +
                                         std::string(ConfigFile::kDownloadFolderInfoKey) + " is missing or not an http(s) URL)"));
            }
        });
        return;
    }
    auto configuration = net::URLSessionConfiguration::defaultConfiguration();
    configuration.requestCachePolicy = net::RequestCachePolicy::reloadIgnoringLocalCacheData;
    configuration.delegateQueue = main;
    const net::URLSession session(configuration);
    net::URLRequest request(*url);
    request.cachePolicy = net::RequestCachePolicy::reloadIgnoringLocalCacheData;
    session.dataTask(request, [success, failure](const net::DataTaskResult& result) {
        const auto fail = [&](const pf::Error& error) {
            if (failure) failure(error);
        };
        if (result.error) return fail(*result.error);
        if (!result.response) {
            return fail(pf::Error(std::string(net::kURLErrorDomain), static_cast<int>(net::URLErrorCode::badServerResponse),
                                  "No response from the server"));
        }
        const auto& response = *result.response;
        if (!response.isSuccess()) {
            return fail(pf::Error(std::string(net::kURLErrorDomain), static_cast<int>(net::URLErrorCode::badServerResponse),
                                  "Request failed: status " + std::to_string(response.statusCode)));
        }
        const auto contentType = response.valueForHeader("content-type");
        if (!acceptableContentType(contentType)) {
            return fail(checkerError(ErrorCode::unacceptableContentType,
                                     "Request failed: unacceptable content-type: " + contentType.value_or("")));
        }
        const std::string body = result.data ? pf::stringFromData(*result.data) : std::string();
        const auto record = nlohmann::json::parse(body, nullptr, false);
        if (record.is_discarded()) return fail(checkerError(ErrorCode::invalidRecord, "The version record is not valid JSON"));
        // Only an object has the members we read; any other JSON value is no record at all.
        if (!record.is_object()) {
            return fail(checkerError(ErrorCode::invalidRecord, "The version record is not a JSON object"));
        }
        Logger::log("Latest version info downloaded: " + record.dump());
        const float latestBuild = record.contains("latestBuildVersion") ? numberAsFloat(record["latestBuildVersion"]) : 0.0f;
        std::optional<std::string> display;
        if (const auto found = record.find("latestVersionDisplayString"); found != record.end() && found->is_string()) {
            display = found->get<std::string>();
        }
        const bool force = record.contains("forceUpdate") && valueAsBool(record["forceUpdate"]);
        if (success) success(latestBuild, display, force);
    });
}

float OLVVersionChecker::currentAppVersion() { return infoFloat("CFBundleShortVersionString"); }

float OLVVersionChecker::currentAppBuild() { return infoFloat("CFBundleVersion"); }

}  // namespace gw
