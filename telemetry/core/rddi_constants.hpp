#pragma once
// Names shared across the telemetry SDK.
#include <cstdint>

namespace rddi {

// Log tags of the core and of the two services.
inline constexpr const char* kRDDILogTag = "DezIdedev";
inline constexpr const char* kRDDIAnalyticsLogTag = "DezIdedevAnalytics";
inline constexpr const char* kRDDICrashesLogTag = "DezIdedevCrashes";

// Persistence flags passed with every log; the low byte is the storage priority.
using RDDIFlags = std::uint64_t;
inline constexpr RDDIFlags RDDIFlagsNone = 0;
inline constexpr RDDIFlags RDDIFlagsNormal = 1;
inline constexpr RDDIFlags RDDIFlagsCritical = 2;
inline constexpr RDDIFlags RDDIFlagsPersistenceMask = 0xFF;
inline constexpr RDDIFlags RDDIFlagsDefault = RDDIFlagsNormal;

}  // namespace rddi
