#include "platform/foundation/url.hpp"

#include <cctype>
#include <system_error>

namespace platform::foundation {

namespace fs = std::filesystem;

std::string percentEncodePath(std::string_view path) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : path) {
        if (std::isalnum(c) || std::string_view("-._~/!$&'()*+,;=:@").find(static_cast<char>(c)) != std::string_view::npos) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 0xF]);
        }
    }
    return out;
}

std::string percentDecode(std::string_view text) {
    auto hexval = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() + 0 && hexval(text[i + 1]) >= 0 && hexval(text[i + 2]) >= 0) {
            out.push_back(static_cast<char>(hexval(text[i + 1]) * 16 + hexval(text[i + 2])));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

URL URL::fileURL(const fs::path& path, std::optional<bool> isDirectory) {
    URL url;
    url.scheme_ = "file";
    fs::path p = path;
    if (p.is_relative()) {
        std::error_code ec;
        p = fs::current_path(ec) / p;
    }
    std::string s = p.lexically_normal().string();
    if (s.empty()) s = "/";
    bool dir = isDirectory ? *isDirectory : [&] {
        std::error_code ec;
        return fs::is_directory(p, ec);
    }();
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    if (dir && s != "/") s.push_back('/');
    url.rawPath_ = s;
    return url;
}

std::optional<URL> URL::fromString(std::string_view text) {
    for (unsigned char c : text) {
        if (c <= 0x20 || c == 0x7F) return std::nullopt;
    }
    auto colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0) return std::nullopt;
    URL url;
    for (std::size_t i = 0; i < colon; ++i) {
        char c = text[i];
        bool ok = std::isalpha(static_cast<unsigned char>(c)) ||
                  (i > 0 && (std::isdigit(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.'));
        if (!ok) return std::nullopt;
        url.scheme_.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
    std::string_view rest = text.substr(colon + 1);
    if (auto hash = rest.find('#'); hash != std::string_view::npos) {
        url.fragment_ = std::string(rest.substr(hash + 1));
        rest = rest.substr(0, hash);
    }
    if (auto q = rest.find('?'); q != std::string_view::npos) {
        url.query_ = std::string(rest.substr(q + 1));
        rest = rest.substr(0, q);
    }
    if (rest.substr(0, 2) == "//") {
        rest = rest.substr(2);
        auto slash = rest.find('/');
        std::string_view authority = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
        if (auto at = authority.rfind('@'); at != std::string_view::npos) {
            url.userInfo_ = std::string(authority.substr(0, at));
            authority = authority.substr(at + 1);
        }
        auto portColon = authority.rfind(':');
        if (portColon != std::string_view::npos && authority.find(']') == std::string_view::npos) {
            std::string_view portText = authority.substr(portColon + 1);
            authority = authority.substr(0, portColon);
            if (!portText.empty()) {
                int port = 0;
                for (char c : portText) {
                    if (!std::isdigit(static_cast<unsigned char>(c)) || port > 65535) return std::nullopt;
                    port = port * 10 + (c - '0');
                }
                if (port > 65535) return std::nullopt;
                url.port_ = port;
            }
        }
        url.host_ = std::string(authority);
        for (auto& c : url.host_) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    url.rawPath_ = percentDecode(rest);
    if (url.isFileURL() && url.rawPath_.empty()) url.rawPath_ = "/";
    return url;
}

std::string URL::path() const {
    std::string p = rawPath_;
    if (p.size() > 1 && p.back() == '/') p.pop_back();
    return p;
}

bool URL::hasDirectoryPath() const { return !rawPath_.empty() && rawPath_.back() == '/'; }

std::string URL::absoluteString() const {
    if (scheme_.empty()) return {};
    std::string out = scheme_ + ":";
    bool hasAuthority = !host_.empty() || isFileURL() || userInfo_ || port_;
    if (hasAuthority) {
        out += "//";
        if (userInfo_) out += *userInfo_ + "@";
        out += host_;
        if (port_) out += ":" + std::to_string(*port_);
    }
    out += percentEncodePath(rawPath_);
    if (query_) out += "?" + *query_;
    if (fragment_) out += "#" + *fragment_;
    return out;
}

std::string URL::lastPathComponent() const {
    std::string p = path();
    if (p == "/" || p.empty()) return p;
    return p.substr(p.rfind('/') + 1);
}

std::string URL::pathExtension() const {
    std::string last = lastPathComponent();
    auto dot = last.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == last.size()) return {};
    return last.substr(dot + 1);
}

URL URL::appendingPathComponent(std::string_view component, std::optional<bool> isDirectory) const {
    URL out = *this;
    std::string base = rawPath_;
    if (base.empty() || base.back() != '/') base.push_back('/');
    std::string comp(component);
    while (!comp.empty() && comp.front() == '/') comp.erase(comp.begin());
    bool dir = false;
    if (isDirectory) {
        dir = *isDirectory;
    } else if (isFileURL()) {
        std::error_code ec;
        dir = fs::is_directory(fs::path(base + comp), ec);
    }
    while (!comp.empty() && comp.back() == '/') {
        comp.pop_back();
        dir = true;
    }
    out.rawPath_ = base + comp + (dir && !comp.empty() ? "/" : "");
    return out;
}

URL URL::appendingPathExtension(std::string_view extension) const {
    URL out = *this;
    bool dir = hasDirectoryPath();
    std::string p = path();
    if (p.empty() || p == "/" || extension.empty()) return out;
    p += "." + std::string(extension);
    out.rawPath_ = p + (dir ? "/" : "");
    return out;
}

URL URL::deletingLastPathComponent() const {
    URL out = *this;
    std::string p = path();
    if (p.empty() || p == "/") {
        out.rawPath_ = isFileURL() ? "/" : p;
        return out;
    }
    auto slash = p.rfind('/');
    out.rawPath_ = slash == std::string::npos ? std::string("./") : p.substr(0, slash + 1);
    return out;
}

URL URL::deletingPathExtension() const {
    std::string ext = pathExtension();
    if (ext.empty()) return *this;
    URL out = *this;
    bool dir = hasDirectoryPath();
    std::string p = path();
    p.resize(p.size() - ext.size() - 1);
    out.rawPath_ = p + (dir ? "/" : "");
    return out;
}

}  // namespace platform::foundation
