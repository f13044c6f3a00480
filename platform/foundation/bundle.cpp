#include "platform/foundation/bundle.hpp"
#include "platform/foundation/utf8.hpp"

#include "platform/foundation/error.hpp"
#include "platform/foundation/files.hpp"
#include "platform/foundation/plist.hpp"

#include <fmt/format.h>

#include <cctype>
#include <cstdlib>
#include <vector>

#ifndef GW_DEFAULT_RESOURCES_DIR
#define GW_DEFAULT_RESOURCES_DIR "resources"
#endif

namespace platform::foundation {

namespace fs = std::filesystem;

namespace {

Dictionary readInfo(const fs::path& root) {
    fs::path info = root / "Info.plist";
    if (!files::fileExists(info)) return {};
    Value v = plist::readFile(info);
    if (auto d = v.asDictionary()) return *d;
    throw Error(FoundationErrorCode::propertyListReadCorrupt, "Info.plist is not a dictionary: " + info.string());
}

std::mutex& mainMutex() {
    static std::mutex m;
    return m;
}
std::unique_ptr<Bundle>& mainSlot() {
    static std::unique_ptr<Bundle> b;
    return b;
}
// Replaced main bundles stay alive: callers may still hold references to them.
std::vector<std::unique_ptr<Bundle>>& retiredBundles() {
    static std::vector<std::unique_ptr<Bundle>> v;
    return v;
}


class StringsParser {
public:
    explicit StringsParser(std::string_view text) : s_(text) {
        if (s_.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;
    }

    std::map<std::string, std::string> run() {
        std::map<std::string, std::string> out;
        for (;;) {
            skipSpace();
            if (pos_ >= s_.size()) break;
            std::string key = token();
            skipSpace();
            if (peek() == ';') {  // "key"; means the value is the key
                ++pos_;
                out.insert_or_assign(key, key);
                continue;
            }
            expect('=');
            skipSpace();
            std::string value = token();
            skipSpace();
            expect(';');
            out.insert_or_assign(std::move(key), std::move(value));
        }
        return out;
    }

private:
    char peek() const { return pos_ < s_.size() ? s_[pos_] : '\0'; }

    [[noreturn]] void fail(const std::string& why) const {
        std::size_t line = 1;
        for (std::size_t i = 0; i < pos_ && i < s_.size(); ++i) line += s_[i] == '\n';
        throw Error(FoundationErrorCode::propertyListReadCorrupt, fmt::format("Strings file: {} on line {}", why, line));
    }

    void expect(char c) {
        if (peek() != c) fail(fmt::format("expected '{}'", c));
        ++pos_;
    }

    void skipSpace() {
        while (pos_ < s_.size()) {
            char c = s_[pos_];
            if (std::isspace(static_cast<unsigned char>(c))) {
                ++pos_;
            } else if (s_.substr(pos_, 2) == "/*") {
                auto end = s_.find("*/", pos_ + 2);
                if (end == std::string_view::npos) fail("unterminated comment");
                pos_ = end + 2;
            } else if (s_.substr(pos_, 2) == "//") {
                auto end = s_.find('\n', pos_);
                pos_ = end == std::string_view::npos ? s_.size() : end + 1;
            } else {
                break;
            }
        }
    }

    std::string token() {
        if (peek() == '"') return quoted();
        std::string out;
        while (pos_ < s_.size()) {
            char c = s_[pos_];
            if (std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.' || c == '-' || c == '$' ||
                c == '/' || c == ':') {
                out.push_back(c);
                ++pos_;
            } else {
                break;
            }
        }
        if (out.empty()) fail("expected a string");
        return out;
    }

    std::uint32_t hex4() {
        if (pos_ + 4 > s_.size()) fail("short \\U escape");
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            char c = s_[pos_++];
            v <<= 4;
            if (c >= '0' && c <= '9') v |= static_cast<std::uint32_t>(c - '0');
            else if (c >= 'a' && c <= 'f') v |= static_cast<std::uint32_t>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F') v |= static_cast<std::uint32_t>(c - 'A' + 10);
            else fail("bad \\U escape");
        }
        return v;
    }

    std::string quoted() {
        ++pos_;  // opening quote
        std::string out;
        for (;;) {
            if (pos_ >= s_.size()) fail("unterminated string");
            char c = s_[pos_++];
            if (c == '"') break;
            if (c != '\\') {
                out.push_back(c);
                continue;
            }
            if (pos_ >= s_.size()) fail("unterminated string");
            char e = s_[pos_++];
            switch (e) {
            case 'n': out.push_back('\n'); break;
            case 't': out.push_back('\t'); break;
            case 'r': out.push_back('\r'); break;
            case '0': out.push_back('\0'); break;
            case 'U':
            case 'u': {
                std::uint32_t cp = hex4();
                if (cp >= 0xD800 && cp < 0xDC00 && s_.substr(pos_, 2) == "\\U") {
                    pos_ += 2;
                    std::uint32_t lo = hex4();
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                }
                appendUTF8(out, cp);
                break;
            }
            default: out.push_back(e); break;  // \" \\ \' and anything else stand for themselves
            }
        }
        return out;
    }

    std::string_view s_;
    std::size_t pos_ = 0;
};

}  // namespace

std::map<std::string, std::string> parseStringsFile(std::string_view text) { return StringsParser(text).run(); }

Bundle::Bundle(fs::path resourcesPath) : root_(std::move(resourcesPath)), info_(readInfo(root_)) {}

Bundle::Bundle(fs::path resourcesPath, Dictionary infoValues)
    : root_(std::move(resourcesPath)), info_(std::move(infoValues)) {}

Bundle& Bundle::main() {
    std::lock_guard lock(mainMutex());
    auto& slot = mainSlot();
    if (!slot) {
        const char* env = std::getenv("GW_RESOURCES_DIR");
        slot = std::make_unique<Bundle>(env && *env ? fs::path(env) : fs::path(GW_DEFAULT_RESOURCES_DIR));
    }
    return *slot;
}

void Bundle::setMain(std::unique_ptr<Bundle> bundle) {
    std::lock_guard lock(mainMutex());
    if (mainSlot()) retiredBundles().push_back(std::move(mainSlot()));
    mainSlot() = std::move(bundle);
}

std::string Bundle::bundleIdentifier() const {
    auto it = info_.find("CFBundleIdentifier");
    if (it != info_.end() && it->second.isString() && !it->second.asString()->empty()) return *it->second.asString();
    return std::string(kDefaultBundleIdentifier);
}

Value Bundle::objectForInfoDictionaryKey(std::string_view key) const {
    auto it = info_.find(key);
    return it == info_.end() ? Value() : it->second;
}

std::optional<fs::path> Bundle::pathForResource(std::string_view name, std::string_view extension,
                                                std::string_view subdirectory) const {
    std::string file(name);
    if (!extension.empty()) {
        std::string ext(extension);
        if (ext.front() == '.') ext.erase(ext.begin());
        file += "." + ext;
    }
    if (file.empty() || file.find("..") != std::string::npos) return std::nullopt;
    fs::path base = subdirectory.empty() ? root_ : root_ / std::string(subdirectory);
    for (const fs::path& dir : {base, base / "en.lproj", base / "Base.lproj"}) {
        fs::path candidate = dir / file;
        if (files::fileExists(candidate)) return candidate;
    }
    return std::nullopt;
}

const std::map<std::string, std::string>& Bundle::table(const std::string& name) const {
    auto it = tables_.find(name);
    if (it != tables_.end()) return it->second;
    std::map<std::string, std::string> entries;
    if (auto path = pathForResource(name, "strings")) {
        entries = parseStringsFile(files::readString(*path));
    }
    return tables_.emplace(name, std::move(entries)).first->second;
}

std::string Bundle::localizedString(std::string_view key, std::string_view value, std::string_view tableName) const {
    std::string name = tableName.empty() ? "Localizable" : std::string(tableName);
    std::lock_guard lock(mutex_);
    const auto& entries = table(name);
    auto it = entries.find(std::string(key));
    if (it != entries.end()) return it->second;
    return value.empty() ? std::string(key) : std::string(value);
}

}  // namespace platform::foundation
