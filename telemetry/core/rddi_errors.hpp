#pragma once
// The SDK's error domain and codes, shared by the log pipeline and the services.
#include "platform/foundation/error.hpp"

#include <string>

namespace rddi {

inline constexpr const char* kRDDIErrorDomain = "com.Ridevedod.DezIdedev.ErrorDomain";
inline constexpr int kRDDIInvalidContainerErrorCode = 1;
inline constexpr int kRDDICanceledErrorCode = 2;
inline constexpr int kRDDIDisabledErrorCode = 3;
inline constexpr int kRDDIConnectionPausedErrorCode = 100;
inline constexpr int kRDDIStoreCannotWriteErrorCode = 101;
inline constexpr int kRDDILogRefusedErrorCode = 102;
inline constexpr int kRDDILogNotStoredErrorCode = 103;
inline constexpr int kRDDINoAppSecretErrorCode = 104;
inline constexpr const char* kRDDIInvalidContainerErrorDesc = "Invalid log container.";
inline constexpr const char* kRDDICanceledErrorDesc = "The operation was canceled.";
inline constexpr const char* kRDDIDisabledErrorDesc = "The service is disabled.";
inline constexpr const char* kRDDIConnectionPausedErrorDesc = "Canceled, connection paused with log deletion.";
inline constexpr const char* kRDDIStoreCannotWriteErrorDesc =
    "The log could not be stored: the log store cannot be written.";
inline constexpr const char* kRDDILogRefusedErrorDesc =
    "The log was refused: a property key or value holds a NUL character.";
inline constexpr const char* kRDDILogNotStoredErrorDesc =
    "The log could not be stored: it is larger than the log store, no stored log of its priority or lower could make "
    "room for it, or it holds text that could not be read back.";
inline constexpr const char* kRDDINoAppSecretErrorDesc =
    "The log cannot be sent: Dez Idedev was started without an app secret.";

// An error of kRDDIErrorDomain with its localized description.
inline platform::foundation::Error makeRDDIError(int code, const std::string& description) {
    return platform::foundation::Error(kRDDIErrorDomain, code, description);
}

}  // namespace rddi
