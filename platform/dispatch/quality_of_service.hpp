#pragma once
// How urgent a piece of work is; stands in for the platform's quality-of-service
// classes. The raw values are the platform's, so a value stored or compared as a
// number (user-initiated is 25) keeps its meaning.
#include <string_view>

namespace platform::dispatch {

enum class QualityOfService : int {
    userInteractive = 0x21,
    userInitiated = 0x19,
    utility = 0x11,
    background = 0x09,
    // No class of its own: work runs between user-initiated and utility.
    defaultLevel = -1,
};

// "user-interactive", "user-initiated", "default", "utility", "background".
std::string_view qualityOfServiceName(QualityOfService qos);

// Scheduling rank: larger runs first when work competes for threads.
int qualityOfServiceRank(QualityOfService qos);

}  // namespace platform::dispatch
