#include "telemetry/pipeline/rddi_http_util.hpp"

#include "platform/network/url_session.hpp"

namespace rddi {

bool RDDIHttpUtil::isRecoverableError(long statusCode) {
    return statusCode == 0 || statusCode == 408 || statusCode == 429 || statusCode >= 500;
}

bool RDDIHttpUtil::isSuccessStatusCode(long statusCode) { return statusCode >= 200 && statusCode <= 299; }

bool RDDIHttpUtil::isNoInternetConnectionError(const platform::foundation::Error& error) {
    using platform::network::URLErrorCode;
    return error.domain() == platform::network::kURLErrorDomain &&
           (error.code() == static_cast<int>(URLErrorCode::notConnectedToInternet) ||
            error.code() == static_cast<int>(URLErrorCode::networkConnectionLost));
}

bool RDDIHttpUtil::isSSLConnectionError(const platform::foundation::Error& error) {
    return error.domain() == platform::network::kURLErrorDomain && error.code() >= -2000 && error.code() <= -1200;
}

std::string RDDIHttpUtil::hideSecret(const std::string& secret) {
    constexpr std::size_t kVisible = 8;
    if (secret.size() <= kVisible) return std::string(secret.size(), '*');
    return std::string(secret.size() - kVisible, '*') + secret.substr(secret.size() - kVisible);
}

std::string RDDIHttpUtil::hideSecretInString(const std::string& string, const std::string& secret) {
    if (secret.empty()) return string;
    const auto hidden = hideSecret(secret);
    std::string out;
    std::size_t from = 0;
    for (auto at = string.find(secret); at != std::string::npos; at = string.find(secret, from)) {
        out.append(string, from, at - from).append(hidden);
        from = at + secret.size();
    }
    return out.append(string, from);
}

}  // namespace rddi
