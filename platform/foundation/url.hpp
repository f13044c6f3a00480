#pragma once
// A URL: file URLs for paths on disk and network URLs (scheme, host, port, path,
// query); stands in for the platform's URL value.
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace platform::foundation {

class URL {
public:
    URL() = default;

    // A file URL for a path; a relative path is made absolute against the current
    // folder. `isDirectory` none asks the disk (an existing folder is a directory URL).
    static URL fileURL(const std::filesystem::path& path, std::optional<bool> isDirectory = std::nullopt);
    // Parses an absolute URL ("scheme:..."); text without a scheme, or with spaces or
    // control characters, gives none.
    static std::optional<URL> fromString(std::string_view text);

    bool isEmpty() const { return scheme_.empty(); }
    bool isFileURL() const { return scheme_ == "file"; }
    const std::string& scheme() const { return scheme_; }
    const std::string& host() const { return host_; }
    std::optional<int> port() const { return port_; }
    // Percent-decoded path ("/a b/c.png"); a directory URL's path has no trailing "/"
    // except for the root.
    std::string path() const;
    std::filesystem::path fsPath() const { return std::filesystem::path(path()); }
    const std::optional<std::string>& query() const { return query_; }
    bool hasDirectoryPath() const;
    // The full text, percent-encoded ("file:///a%20b/c.png").
    std::string absoluteString() const;

    std::string lastPathComponent() const;
    std::string pathExtension() const;
    URL appendingPathComponent(std::string_view component, std::optional<bool> isDirectory = false) const;
    URL appendingPathExtension(std::string_view extension) const;
    URL deletingLastPathComponent() const;
    URL deletingPathExtension() const;

    friend bool operator==(const URL& a, const URL& b) { return a.absoluteString() == b.absoluteString(); }
    friend bool operator<(const URL& a, const URL& b) { return a.absoluteString() < b.absoluteString(); }

private:
    std::string scheme_;
    std::string host_;
    std::optional<int> port_;
    std::string rawPath_;  // decoded; "/" separated; trailing "/" marks a directory
    std::optional<std::string> query_;  // as written (encoded)
    std::optional<std::string> fragment_;
    std::optional<std::string> userInfo_;
};

std::string percentEncodePath(std::string_view path);
std::string percentDecode(std::string_view text);

}  // namespace platform::foundation

template <>
struct std::hash<platform::foundation::URL> {
    std::size_t operator()(const platform::foundation::URL& url) const noexcept {
        return std::hash<std::string>()(url.absoluteString());
    }
};
