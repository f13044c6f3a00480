#pragma once
// The symbol a lookup named, as its callback reports it.
#include <cstdint>
#include <string>

#include "crashreporter/async.hpp"

namespace symbol_support {

struct Found {
    std::uint64_t address = 0;
    std::string name;
};

// The lookups' callback: `ctx` is the Found to fill.
inline void remember(lvcrash::lvcrash_vm_address_t address, const char* name, void* ctx) {
    auto* found = static_cast<Found*>(ctx);
    found->address = address;
    found->name = name;
}

}  // namespace symbol_support
