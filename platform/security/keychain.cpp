#include "platform/security/keychain.hpp"

#include "platform/foundation/bundle.hpp"
#include "platform/foundation/files.hpp"
#include "platform/foundation/plist.hpp"
#include "platform/log/system_log.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <optional>
#include <system_error>

namespace platform::security::keychain {

namespace fs = std::filesystem;
namespace pf = platform::foundation;

namespace {

const log::SystemLog& diagnostics() {
    static const log::SystemLog systemLog(std::string(pf::kDefaultBundleIdentifier), "keychain");
    return systemLog;
}

std::string fileNameForService(const std::string& service) {
    std::string name = service.empty() ? std::string("default") : service;
    for (auto& c : name) {
        if (c == '/' || c == '\0') c = '_';
    }
    if (name == "." || name == "..") name = "_" + name;
    return name;
}

// Lock depth per service held by this thread: flock locks of two descriptors of one
// process exclude each other, so a nested take must not open a second descriptor.
thread_local std::map<std::string, int> heldLocks;

bool ensureDirectory(const fs::path& folder) {
    std::error_code error;
    fs::create_directories(folder, error);
    if (!fs::is_directory(folder, error)) return false;
    ::chmod(folder.c_str(), 0700);
    return true;
}

// The items; a file that is not a dictionary of data is moved aside and read as empty,
// so one damaged file never blocks the store for good.
std::optional<pf::Dictionary> load(const fs::path& path) {
    std::error_code error;
    if (!fs::exists(path, error)) return pf::Dictionary{};
    pf::Data bytes;
    try {
        bytes = pf::files::readData(path);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    try {
        auto value = pf::plist::parse(bytes);
        if (const auto* items = value.asDictionary()) {
            bool wellFormed = true;
            for (const auto& [account, item] : *items) wellFormed = wellFormed && item.isData();
            if (wellFormed) return *items;
        }
    } catch (const std::exception&) {
    }
    const fs::path aside = path.string() + ".corrupt";
    fs::rename(path, aside, error);
    diagnostics().error("The keychain file " + path.string() + " is unreadable; moved aside as " + aside.string() +
                        (error ? " failed: " + error.message() : std::string()));
    if (error) return std::nullopt;
    return pf::Dictionary{};
}

bool save(const fs::path& path, const pf::Dictionary& items) {
    try {
        if (items.empty()) {
            std::error_code error;
            fs::remove(path, error);
            return !error;
        }
        pf::files::writeAtomically(path, pf::plist::serialize(pf::Value(items), pf::plist::Format::binary), 0600);
        return true;
    } catch (const std::exception& e) {
        diagnostics().error(std::string("The keychain file could not be written: ") + e.what());
        return false;
    }
}

// Runs `change` on the service's items under the lock and writes them back when it
// answers success and `writes` is true.
int update(const std::string& service, bool writes, const std::function<int(pf::Dictionary&)>& change) {
    int status = kStatusIO;
    const int lockStatus = withExclusiveLock(service, [&] {
        const auto path = storePath(service);
        auto items = load(path);
        if (!items) return;
        status = change(*items);
        if (status == kStatusSuccess && writes && !save(path, *items)) status = kStatusIO;
    });
    return lockStatus == kStatusSuccess ? status : lockStatus;
}

}  // namespace

fs::path directory() {
    return pf::files::applicationSupportDirectory(pf::Bundle::main().bundleIdentifier()) / "Keychains";
}

fs::path storePath(const std::string& service) { return directory() / (fileNameForService(service) + ".plist"); }

int withExclusiveLock(const std::string& service, const std::function<void()>& body) {
    auto& depth = heldLocks[service];
    if (depth > 0) {
        struct Nested {
            int& depth;
            ~Nested() { --depth; }
        };
        ++depth;
        Nested nested{depth};
        body();
        return kStatusSuccess;
    }
    const auto folder = directory();
    if (!ensureDirectory(folder)) return kStatusIO;
    const auto lockPath = folder / (fileNameForService(service) + ".lock");
    const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return kStatusIO;
    int locked;
    do {
        locked = ::flock(fd, LOCK_EX);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) {
        ::close(fd);
        return kStatusIO;
    }
    struct Release {
        int fd;
        int& depth;
        ~Release() {
            --depth;
            ::flock(fd, LOCK_UN);
            ::close(fd);
        }
    };
    ++depth;
    Release release{fd, depth};
    body();
    return kStatusSuccess;
}

int add(const std::string& service, const std::string& account, const pf::Data& value) {
    return update(service, true, [&](pf::Dictionary& items) {
        if (items.contains(account)) return kStatusDuplicateItem;
        items[account] = pf::Value(value);
        return kStatusSuccess;
    });
}

int copyMatching(const std::string& service, const std::string& account, pf::Data* value) {
    return update(service, false, [&](pf::Dictionary& items) {
        const auto found = items.find(account);
        if (found == items.end()) return kStatusItemNotFound;
        if (value) *value = *found->second.asData();
        return kStatusSuccess;
    });
}

int remove(const std::string& service, const std::string& account) {
    return update(service, true, [&](pf::Dictionary& items) {
        if (items.erase(account) == 0) return kStatusItemNotFound;
        return kStatusSuccess;
    });
}

int removeAll(const std::string& service) {
    return update(service, true, [&](pf::Dictionary& items) {
        if (items.empty()) return kStatusItemNotFound;
        items.clear();
        return kStatusSuccess;
    });
}

}  // namespace platform::security::keychain
