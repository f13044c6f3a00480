#include "platform/foundation/string_format.hpp"

#include <fmt/format.h>

#include <cctype>
#include <cstdio>
#include <cstring>

namespace platform::foundation {

namespace {

std::string asText(const FormatArgument& arg) {
    if (auto s = std::get_if<std::string>(&arg)) return *s;
    if (auto i = std::get_if<std::int64_t>(&arg)) return fmt::format("{}", *i);
    return fmt::format("{}", std::get<double>(arg));
}

std::int64_t asInteger(const FormatArgument& arg) {
    if (auto i = std::get_if<std::int64_t>(&arg)) return *i;
    if (auto d = std::get_if<double>(&arg)) return static_cast<std::int64_t>(*d);
    return std::strtoll(std::get<std::string>(arg).c_str(), nullptr, 10);
}

double asDouble(const FormatArgument& arg) {
    if (auto d = std::get_if<double>(&arg)) return *d;
    if (auto i = std::get_if<std::int64_t>(&arg)) return static_cast<double>(*i);
    return std::strtod(std::get<std::string>(arg).c_str(), nullptr);
}

std::string pad(std::string text, const std::string& flags, int width) {
    if (width <= 0 || static_cast<int>(text.size()) >= width) return text;
    std::string fill(static_cast<std::size_t>(width) - text.size(), ' ');
    return flags.find('-') != std::string::npos ? text + fill : fill + text;
}

}  // namespace

std::string formatString(std::string_view f, const std::vector<FormatArgument>& args) {
    std::string out;
    std::size_t next = 0;  // next sequential argument
    std::size_t i = 0;
    while (i < f.size()) {
        char c = f[i];
        if (c != '%') {
            out.push_back(c);
            ++i;
            continue;
        }
        std::size_t start = i++;
        if (i < f.size() && f[i] == '%') {
            out.push_back('%');
            ++i;
            continue;
        }
        // %[n$][flags][width][.precision][length]conversion
        std::size_t position = 0;
        std::size_t save = i;
        while (i < f.size() && std::isdigit(static_cast<unsigned char>(f[i]))) position = position * 10 + static_cast<std::size_t>(f[i++] - '0');
        if (i < f.size() && f[i] == '$' && position > 0) {
            ++i;
        } else {
            position = 0;
            i = save;
        }
        std::string flags;
        while (i < f.size() && std::strchr("-+ #0'", f[i])) flags.push_back(f[i++]);
        int width = 0;
        while (i < f.size() && std::isdigit(static_cast<unsigned char>(f[i]))) width = width * 10 + (f[i++] - '0');
        int precision = -1;
        if (i < f.size() && f[i] == '.') {
            ++i;
            precision = 0;
            while (i < f.size() && std::isdigit(static_cast<unsigned char>(f[i]))) precision = precision * 10 + (f[i++] - '0');
        }
        while (i < f.size() && std::strchr("hlqLzjt", f[i])) ++i;
        if (i >= f.size()) {
            out.append(f.substr(start));
            break;
        }
        char conv = f[i++];
        std::size_t index = position > 0 ? position - 1 : next++;
        std::string_view written = f.substr(start, i - start);
        if (index >= args.size() || !std::strchr("@sdiuxXoDUOcfFeEgGaA", conv)) {
            out.append(written);
            continue;
        }
        const FormatArgument& arg = args[index];
        std::string cflags = flags;
        std::erase(cflags, '\'');
        std::string directive = "%" + cflags + (width > 0 ? std::to_string(width) : "") +
                           (precision >= 0 ? "." + std::to_string(precision) : "");
        char buf[512];
        switch (conv) {
        case '@':
        case 's': {
            std::string text = asText(arg);
            if (precision >= 0 && conv == 's' && static_cast<std::size_t>(precision) < text.size()) text.resize(static_cast<std::size_t>(precision));
            out += pad(std::move(text), flags, width);
            break;
        }
        case 'c': out += pad(std::string(1, static_cast<char>(asInteger(arg))), flags, width); break;
        case 'd': case 'i': case 'D':
            std::snprintf(buf, sizeof buf, (directive + "lld").c_str(), static_cast<long long>(asInteger(arg)));
            out += buf;
            break;
        case 'u': case 'U': case 'x': case 'X': case 'o': case 'O': {
            char lc = conv == 'U' ? 'u' : conv == 'O' ? 'o' : conv;
            std::snprintf(buf, sizeof buf, (directive + "ll" + lc).c_str(), static_cast<unsigned long long>(asInteger(arg)));
            out += buf;
            break;
        }
        default: {  // floating point
            int n = std::snprintf(buf, sizeof buf, (directive + conv).c_str(), asDouble(arg));
            if (n >= static_cast<int>(sizeof buf)) {
                std::string big(static_cast<std::size_t>(n) + 1, '\0');
                std::snprintf(big.data(), big.size(), (directive + conv).c_str(), asDouble(arg));
                big.resize(static_cast<std::size_t>(n));
                out += big;
            } else {
                out += buf;
            }
            break;
        }
        }
    }
    return out;
}

}  // namespace platform::foundation
