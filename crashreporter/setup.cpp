// Set-up-time helpers: these allocate and must not run on the crash path.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "crashreporter/async.hpp"
#include "platform/darwin/sysctl.hpp"

namespace lvcrash {

char* lvcrash_sysctl_string(const char* name) {
    for (;;) {
        std::size_t size = 0;
        if (platform::darwin::sysctl_by_name(name, nullptr, &size) != 0) return nullptr;
        char* value = static_cast<char*>(std::malloc(size == 0 ? 1 : size));
        if (!value) return nullptr;
        if (platform::darwin::sysctl_by_name(name, value, &size) == 0) return value;
        const int saved = errno;
        std::free(value);
        errno = saved;
        if (saved != ENOMEM) return nullptr;  // else the value grew between the two calls: ask again
    }
}

bool lvcrash_sysctl_int(const char* name, std::int32_t* result) {
    std::size_t size = sizeof *result;
    return platform::darwin::sysctl_by_name(name, result, &size) == 0;
}

std::size_t lvcrash_utf8_valid_prefix_length(const char* bytes, std::size_t length) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes);
    std::size_t i = 0;
    if (length >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) i = 3;
    while (i < length) {
        const unsigned char lead = p[i];
        if (lead == 0) break;
        std::size_t follow;
        if (lead < 0x80) follow = 0;
        else if ((lead & 0xE0) == 0xC0) follow = 1;
        else if ((lead & 0xF0) == 0xE0) follow = 2;
        else if ((lead & 0xF8) == 0xF0) follow = 3;
        else break;
        if (follow > length - i - 1) break;
        bool ok = true;
        for (std::size_t k = 1; k <= follow; ++k)
            if ((p[i + k] & 0xC0) != 0x80) ok = false;
        if (!ok) break;
        i += follow + 1;
    }
    return i;
}

}  // namespace lvcrash

namespace lvcrash {

char* lvcrash_setup_strdup(const char* text) { return text ? strdup(text) : nullptr; }

void lvcrash_setup_strfree(char* text) { std::free(text); }

}  // namespace lvcrash
