#pragma once
// The SDK's network watcher is the platform's (rtnetlink) reachability watcher; this
// adds the status rule over the platform's flag bits.
#include "platform/network/reachability.hpp"

#include <cstdint>

namespace rddi {

using RDDI_Reachability = platform::network::ReachabilityWatcher;
using RDDINetworkStatus = platform::network::NetworkStatus;

inline constexpr std::uint32_t kRDDIReachabilityReachable = 2;
inline constexpr std::uint32_t kRDDIReachabilityConnectionRequired = 4;
inline constexpr std::uint32_t kRDDIReachabilityConnectionOnTraffic = 8;
inline constexpr std::uint32_t kRDDIReachabilityInterventionRequired = 16;
inline constexpr std::uint32_t kRDDIReachabilityConnectionOnDemand = 32;

inline RDDINetworkStatus networkStatusForFlags(std::uint32_t flags) {
    if (!(flags & kRDDIReachabilityReachable)) return RDDINetworkStatus::notReachable;
    if ((flags & (kRDDIReachabilityConnectionOnTraffic | kRDDIReachabilityConnectionOnDemand)) &&
        !(flags & kRDDIReachabilityInterventionRequired)) {
        return RDDINetworkStatus::reachable;
    }
    return (flags & kRDDIReachabilityConnectionRequired) ? RDDINetworkStatus::notReachable : RDDINetworkStatus::reachable;
}

}  // namespace rddi
