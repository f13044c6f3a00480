#pragma once
// libcurl is opened when the first request is made, not when the program starts: it
// brings a dozen libraries of its own (TLS, name lookup, compression, directories), and
// a conversion that never sends telemetry paid for them in every start-up.
#include <curl/curl.h>

#include <string>

namespace platform::network::detail {

struct CurlFunctions {
    decltype(&curl_global_init) globalInit = nullptr;
    decltype(&curl_easy_init) easyInit = nullptr;
    decltype(&curl_easy_setopt) easySetopt = nullptr;
    decltype(&curl_easy_getinfo) easyGetinfo = nullptr;
    decltype(&curl_easy_cleanup) easyCleanup = nullptr;
    decltype(&curl_easy_strerror) easyStrerror = nullptr;
    decltype(&curl_slist_append) slistAppend = nullptr;
    decltype(&curl_slist_free_all) slistFreeAll = nullptr;
    decltype(&curl_multi_init) multiInit = nullptr;
    decltype(&curl_multi_setopt) multiSetopt = nullptr;
    decltype(&curl_multi_cleanup) multiCleanup = nullptr;
    decltype(&curl_multi_add_handle) multiAddHandle = nullptr;
    decltype(&curl_multi_remove_handle) multiRemoveHandle = nullptr;
    decltype(&curl_multi_perform) multiPerform = nullptr;
    decltype(&curl_multi_info_read) multiInfoRead = nullptr;
    decltype(&curl_multi_poll) multiPoll = nullptr;
    decltype(&curl_multi_wakeup) multiWakeup = nullptr;
};

// libcurl's functions, opened and globally initialised on the first call (once per
// process, from any thread). Null, with the reason in *error, when the library or one
// of its functions is missing or it cannot be initialised.
const CurlFunctions* curlFunctions(std::string* error = nullptr);

}  // namespace platform::network::detail
