#pragma once
// Classifying HTTP outcomes and masking secrets for logs.
#include "platform/foundation/error.hpp"
#include "telemetry/core/rddi_errors.hpp"

#include <string>

namespace rddi {

class RDDIHttpUtil {
public:
    RDDIHttpUtil() = delete;

    // 0 (no answer), 408, 429 and every 5xx.
    static bool isRecoverableError(long statusCode);
    static bool isSuccessStatusCode(long statusCode);
    // Not connected or connection lost.
    static bool isNoInternetConnectionError(const platform::foundation::Error& error);
    static bool isSSLConnectionError(const platform::foundation::Error& error);
    // All but the last 8 characters as "*"; 8 or fewer: all of them.
    static std::string hideSecret(const std::string& secret);
    static std::string hideSecretInString(const std::string& string, const std::string& secret);
};

}  // namespace rddi
