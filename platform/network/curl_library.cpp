#include "platform/network/curl_library.hpp"

#include <dlfcn.h>

#include <fmt/format.h>

#include <type_traits>

namespace platform::network::detail {

namespace {

struct Loaded {
    CurlFunctions functions;
    bool ok = false;
    std::string error;
};

// The library stays open for the life of the process: curl_global_cleanup is not safe
// while any other thread may still use it.
Loaded load() {
    Loaded loaded;
    void* handle = dlopen(GW_CURL_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* why = dlerror();
        loaded.error = fmt::format("cannot open {}: {}", GW_CURL_LIBRARY, why != nullptr ? why : "unknown error");
        return loaded;
    }
    std::string missing;
    auto find = [&](auto& slot, const char* name) {
        slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(dlsym(handle, name));
        if (slot == nullptr) missing += (missing.empty() ? "" : ", ") + std::string(name);
    };
    auto& f = loaded.functions;
    find(f.globalInit, "curl_global_init");
    find(f.easyInit, "curl_easy_init");
    find(f.easySetopt, "curl_easy_setopt");
    find(f.easyGetinfo, "curl_easy_getinfo");
    find(f.easyCleanup, "curl_easy_cleanup");
    find(f.easyStrerror, "curl_easy_strerror");
    find(f.slistAppend, "curl_slist_append");
    find(f.slistFreeAll, "curl_slist_free_all");
    find(f.multiInit, "curl_multi_init");
    find(f.multiSetopt, "curl_multi_setopt");
    find(f.multiCleanup, "curl_multi_cleanup");
    find(f.multiAddHandle, "curl_multi_add_handle");
    find(f.multiRemoveHandle, "curl_multi_remove_handle");
    find(f.multiPerform, "curl_multi_perform");
    find(f.multiInfoRead, "curl_multi_info_read");
    find(f.multiPoll, "curl_multi_poll");
    find(f.multiWakeup, "curl_multi_wakeup");
    if (!missing.empty()) {
        loaded.error = fmt::format("{} lacks {}", GW_CURL_LIBRARY, missing);
        return loaded;
    }
    if (const CURLcode code = f.globalInit(CURL_GLOBAL_DEFAULT); code != CURLE_OK) {
        loaded.error = fmt::format("{} could not be initialised ({})", GW_CURL_LIBRARY, static_cast<int>(code));
        return loaded;
    }
    loaded.ok = true;
    return loaded;
}

}  // namespace

const CurlFunctions* curlFunctions(std::string* error) {
    static const Loaded loaded = load();
    if (loaded.ok) return &loaded.functions;
    if (error != nullptr) *error = loaded.error;
    return nullptr;
}

}  // namespace platform::network::detail
