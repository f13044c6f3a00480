#include "support/temp_dir.hpp"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace gwtest {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "gwtest-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
}

ScopedEnv::ScopedEnv(std::string name, const std::optional<std::string>& value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) previous_ = old;
    if (value) ::setenv(name_.c_str(), value->c_str(), 1);
    else ::unsetenv(name_.c_str());
}

ScopedEnv::~ScopedEnv() {
    if (previous_) ::setenv(name_.c_str(), previous_->c_str(), 1);
    else ::unsetenv(name_.c_str());
}

ScopedXdgHome::ScopedXdgHome()
    : config_("XDG_CONFIG_HOME", (dir_.path() / "config").string()),
      data_("XDG_DATA_HOME", (dir_.path() / "data").string()),
      cache_("XDG_CACHE_HOME", (dir_.path() / "cache").string()) {}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeFile(const std::filesystem::path& path, const std::string& contents) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::set<std::string> namesIn(const std::filesystem::path& folder) {
    std::set<std::string> names;
    std::error_code error;
    for (std::filesystem::directory_iterator entry(folder, error), end; !error && entry != end; entry.increment(error)) {
        names.insert(entry->path().filename().string());
    }
    return names;
}

}  // namespace gwtest
