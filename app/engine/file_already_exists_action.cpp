#include "app/engine/file_already_exists_action.hpp"

#include "app/foundation/user_defaults_key.hpp"
#include "platform/foundation/user_defaults.hpp"

#include <limits>

namespace gw {

namespace pf = platform::foundation;

namespace {

FileAlreadyExistsAction readAction(UserDefaultsKey key) {
    return storedFileAlreadyExistsAction(pf::UserDefaults::standard().integerForKey(rawValue(key)));
}

void writeAction(UserDefaultsKey key, FileAlreadyExistsAction action) {
    pf::UserDefaults::standard().setInteger(static_cast<std::int64_t>(action), rawValue(key));
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Where the run of digits that ends the text begins; text.size() when there is none.
std::size_t trailingDigitsStart(std::string_view text) {
    std::size_t start = text.size();
    while (start > 0 && isDigit(text[start - 1])) --start;
    return start;
}

}  // namespace

std::optional<FileAlreadyExistsAction> fileAlreadyExistsActionFromRawValue(std::int64_t raw) {
    if (raw < 0 || raw > 4) return std::nullopt;
    return static_cast<FileAlreadyExistsAction>(raw);
}

FileAlreadyExistsAction storedFileAlreadyExistsAction(std::int64_t raw) {
    return fileAlreadyExistsActionFromRawValue(raw).value_or(FileAlreadyExistsAction::ask);
}

FileAlreadyExistsAction UserDefaultsCatalogExistsActionProvider::fileAlreadyExistsAction() const {
    return readAction(UserDefaultsKey::catalogExistsAction);
}

void UserDefaultsCatalogExistsActionProvider::setFileAlreadyExistsAction(FileAlreadyExistsAction action) {
    writeAction(UserDefaultsKey::catalogExistsAction, action);
}

FileAlreadyExistsAction UserDefaultsCatalogContentExistsActionProvider::fileAlreadyExistsAction() const {
    return readAction(UserDefaultsKey::catalogContentExistsAction);
}

void UserDefaultsCatalogContentExistsActionProvider::setFileAlreadyExistsAction(FileAlreadyExistsAction action) {
    writeAction(UserDefaultsKey::catalogContentExistsAction, action);
}

std::optional<std::int64_t> trailingNumber(std::string_view text) {
    const auto start = trailingDigitsStart(text);
    if (start == text.size()) return std::nullopt;
    std::int64_t value = 0;
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    for (auto c : text.substr(start)) {
        const int digit = c - '0';
        if (value > (kMax - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

void replaceTrailingNumber(std::string& text, std::optional<std::int64_t> number) {
    const auto start = trailingDigitsStart(text);
    text.erase(start);
    if (number) text += std::to_string(*number);
}

}  // namespace gw
