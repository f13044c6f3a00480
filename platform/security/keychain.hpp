#pragma once
// Generic-password items by service and account; stands in for the platform keychain.
// Each service is one binary property list (account → value bytes) in
// "$XDG_DATA_HOME/<bundle id>/Keychains/" (folder 0700, files 0600). Every change is an
// atomic rewrite made under an exclusive flock shared by all processes of the user, so
// two processes never lose each other's items. Statuses are the platform's numbers.
#include "platform/foundation/value.hpp"

#include <filesystem>
#include <functional>
#include <string>

namespace platform::security::keychain {

inline constexpr int kStatusSuccess = 0;
inline constexpr int kStatusIO = -36;
inline constexpr int kStatusDuplicateItem = -25299;
inline constexpr int kStatusItemNotFound = -25300;

// The folder of the stores, from the main bundle's identifier and the XDG data home
// at the time of the call.
std::filesystem::path directory();
std::filesystem::path storePath(const std::string& service);

// Adds the item; kStatusDuplicateItem when the account already has one.
int add(const std::string& service, const std::string& account, const foundation::Data& value);
// The item's bytes into `value` (when given); kStatusItemNotFound when absent.
int copyMatching(const std::string& service, const std::string& account, foundation::Data* value);
// kStatusItemNotFound when absent.
int remove(const std::string& service, const std::string& account);
// Every item of the service; kStatusItemNotFound when there was none.
int removeAll(const std::string& service);

// Runs `body` holding the service's exclusive lock, so a read followed by an add is one
// step for every process. Re-entrant on the calling thread (the operations above take
// the same lock). kStatusIO when the lock cannot be taken (body not run), else success.
int withExclusiveLock(const std::string& service, const std::function<void()>& body);

}  // namespace platform::security::keychain
