#pragma once
// Classifying HTTP outcomes and masking secrets for logs; the SDK's error domain.
#include "platform/foundation/error.hpp"

#include <string>

namespace rddi {

inline constexpr const char* kRDDIErrorDomain = "com.Ridevedod.DezIdedev.ErrorDomain";
inline constexpr int kRDDIInvalidContainerErrorCode = 1;
inline constexpr int kRDDICanceledErrorCode = 2;
inline constexpr int kRDDIDisabledErrorCode = 3;
inline constexpr const char* kRDDIInvalidContainerErrorDesc = "Invalid log container.";
inline constexpr const char* kRDDICanceledErrorDesc = "The operation was canceled.";
inline constexpr const char* kRDDIDisabledErrorDesc = "The service is disabled.";

// An error of kRDDIErrorDomain with its localized description.
platform::foundation::Error makeRDDIError(int code, const std::string& description);

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
