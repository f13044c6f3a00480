#pragma once
// Test helpers: a scratch folder removed at the end of the test, and scoped
// environment variables (XDG folders point into the scratch folder).
#include <filesystem>
#include <optional>
#include <set>
#include <string>

namespace gwtest {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

class ScopedEnv {
public:
    ScopedEnv(std::string name, const std::optional<std::string>& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> previous_;
};

// Points XDG_CONFIG_HOME, XDG_DATA_HOME and XDG_CACHE_HOME into a fresh scratch folder.
class ScopedXdgHome {
public:
    ScopedXdgHome();
    const std::filesystem::path& root() const { return dir_.path(); }

private:
    TempDir dir_;
    ScopedEnv config_;
    ScopedEnv data_;
    ScopedEnv cache_;
};

std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& contents);
// The names in a folder, sorted; none where there is no folder.
std::set<std::string> namesIn(const std::filesystem::path& folder);

}  // namespace gwtest
