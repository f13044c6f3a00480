#pragma once
// The Mach-O fixtures built at build time and their llvm-nm listings.
#include <cstdint>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace fixtures {

inline std::string macho_path(const std::string& name) {
    return std::string(GW_BINARY_DIR) + "/fixtures/macho/" + name + ".dylib";
}

struct NmSymbol {
    std::uint64_t value;
    char type;
    std::string name;
};

// `llvm-nm -n` lines: "<hex value> <type> <name>"; undefined symbols have no value.
inline std::vector<NmSymbol> nm_listing(const std::string& name) {
    std::ifstream in(std::string(GW_BINARY_DIR) + "/fixtures/macho/" + name + ".nm");
    std::vector<NmSymbol> out;
    std::string line;
    while (std::getline(in, line)) {
        if (line.size() < 20 || line[0] == ' ') continue;
        NmSymbol s;
        s.value = std::stoull(line.substr(0, line.find(' ')), nullptr, 16);
        const auto type_at = line.find(' ') + 1;
        s.type = line[type_at];
        s.name = line.substr(type_at + 2);
        out.push_back(s);
    }
    return out;
}

inline bool is_function(const NmSymbol& s) { return s.type == 'T' || s.type == 't'; }

// Names per address, for listings where several names share one address.
inline std::map<std::uint64_t, std::set<std::string>> names_by_value(const std::vector<NmSymbol>& symbols) {
    std::map<std::uint64_t, std::set<std::string>> out;
    for (const auto& s : symbols) out[s.value].insert(s.name);
    return out;
}

// A value from `llvm-objdump --macho --private-headers`: the first "<key> <value>" after
// a line containing `after`.
inline std::string header_value(const std::string& name, const std::string& after, const std::string& key) {
    std::ifstream in(std::string(GW_BINARY_DIR) + "/fixtures/macho/" + name + ".headers");
    std::string line;
    bool armed = false;
    while (std::getline(in, line)) {
        if (!armed && line.find(after) != std::string::npos) armed = true;
        if (!armed) continue;
        std::istringstream words(line);
        std::string k, v;
        words >> k >> v;
        if (k == key) return v;
    }
    return {};
}

}  // namespace fixtures
