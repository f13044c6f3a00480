#include "app/engine/saved_state_text.hpp"

#include "platform/foundation/json.hpp"

#include <cstring>
#include <utility>

namespace gw::saved_state {

namespace pf = platform::foundation;

namespace {

constexpr auto npos = std::string_view::npos;

std::optional<pf::Value> parsed(std::string_view text) {
    try {
        return pf::json::parse(text);
    } catch (...) {
        return std::nullopt;
    }
}

// Follows JSON text by its strings and brackets only, without reading values: a place
// where the text breaks off or stops being JSON's shape is found without holding more
// than the parts before it.
class Structure {
public:
    explicit Structure(std::string_view text) : t_(text) {}

    std::size_t size() const { return t_.size(); }
    char at(std::size_t p) const { return p < t_.size() ? t_[p] : '\0'; }
    std::string_view slice(std::size_t from, std::size_t to) const { return t_.substr(from, to - from); }

    std::size_t skipSpace(std::size_t p) const {
        while (p < t_.size() && (t_[p] == ' ' || t_[p] == '\t' || t_[p] == '\n' || t_[p] == '\r')) ++p;
        return p;
    }

    // One past the closing quote of the string opening at `p`; npos when the text ends first.
    std::size_t stringEnd(std::size_t p) const {
        // A picture's text is hundreds of megabytes without an escape: found by memchr.
        for (std::size_t from = p + 1; from < t_.size();) {
            const auto* quote = static_cast<const char*>(std::memchr(t_.data() + from, '"', t_.size() - from));
            if (!quote) return npos;
            const auto q = static_cast<std::size_t>(quote - t_.data());
            std::size_t backslashes = 0;
            while (q - backslashes > p + 1 && t_[q - backslashes - 1] == '\\') ++backslashes;
            if (backslashes % 2 == 0) return q + 1;
            from = q + 1;
        }
        return npos;
    }

    // One past the value starting at `p`; npos when the text ends within it or no value
    // starts there.
    std::size_t valueEnd(std::size_t p) const {
        p = skipSpace(p);
        if (p >= t_.size()) return npos;
        const char c = t_[p];
        if (c == '"') return stringEnd(p);
        if (c == '{' || c == '[') {
            int depth = 0;
            for (std::size_t q = p; q < t_.size();) {
                const char d = t_[q];
                if (d == '"') {
                    q = stringEnd(q);
                    if (q == npos) return npos;
                    continue;
                }
                if (d == '{' || d == '[') {
                    ++depth;
                } else if ((d == '}' || d == ']') && --depth == 0) {
                    return q + 1;
                }
                ++q;
            }
            return npos;
        }
        if (c == ',' || c == ':' || c == '}' || c == ']') return npos;
        // A number or a literal; one the text's end cuts may have been longer.
        std::size_t q = p;
        while (q < t_.size() && !std::strchr(",:]} \t\r\n", t_[q])) ++q;
        return q == t_.size() ? npos : q;
    }

    // Calls visit(key, valueStart, valueEnd) for each member of the object opening at
    // `p`, in order, valueEnd npos for a member the object breaks off in, the last one
    // visited. One past the object, or npos when it breaks off.
    template <class Visit>
    std::size_t members(std::size_t p, const Visit& visit) const {
        p = skipSpace(p + 1);
        if (at(p) == '}') return p + 1;
        for (;;) {
            if (at(p) != '"') return npos;
            const std::size_t keyEnd = stringEnd(p);
            const auto key = keyEnd == npos ? std::nullopt : parsed(slice(p, keyEnd));
            if (!key || !key->asString()) return npos;
            p = skipSpace(keyEnd);
            if (at(p) != ':') return npos;
            const std::size_t start = skipSpace(p + 1);
            const std::size_t end = valueEnd(start);
            visit(*key->asString(), start, end);
            if (end == npos) return npos;
            p = skipSpace(end);
            if (at(p) == ',') {
                p = skipSpace(p + 1);
                continue;
            }
            return at(p) == '}' ? p + 1 : npos;
        }
    }

private:
    std::string_view t_;
};

// The "imageName" of the picture whose text starts at `p`, as far as that text can be
// followed: the name comes before the picture's bytes.
std::string nameOfPictureAt(const Structure& text, std::size_t p) {
    std::string name;
    if (text.at(p) != '{') return name;
    text.members(p, [&](const std::string& key, std::size_t start, std::size_t end) {
        if (key != "imageName" || end == npos) return;
        if (const auto value = parsed(text.slice(start, end)); value && value->asString()) name = *value->asString();
    });
    return name;
}

std::vector<StoredPicture> picturesAt(const Structure& text, std::size_t p, bool& breaksOff) {
    std::vector<StoredPicture> found;
    breaksOff = true;
    p = text.skipSpace(p + 1);
    if (text.at(p) == ']') {
        breaksOff = false;
        return found;
    }
    for (std::size_t position = 0; p < text.size(); ++position) {
        const std::size_t end = text.valueEnd(p);
        StoredPicture picture{position, std::nullopt, {}};
        if (end != npos) picture.form = parsed(text.slice(p, end));
        if (!picture.form) picture.name = nameOfPictureAt(text, p);
        found.push_back(std::move(picture));
        if (end == npos) return found;
        p = text.skipSpace(end);
        if (text.at(p) == ']') {
            breaksOff = false;
            return found;
        }
        if (text.at(p) != ',') return found;
        p = text.skipSpace(p + 1);
    }
    return found;
}

}  // namespace

StoredState storedStateOf(pf::Value&& whole) {
    StoredState state;
    auto* object = whole.asDictionary();
    if (!object) {
        state.problems.emplace_back("the saved state is not an object");
        return state;
    }
    const auto take = [&](const char* key) -> std::optional<pf::Value> {
        const auto entry = object->find(key);
        if (entry == object->end()) {
            state.problems.push_back(std::string("no \"") + key + "\"");
            return std::nullopt;
        }
        return std::move(entry->second);
    };
    state.collectionType = take("imageInputCollectionType");
    if (auto list = take("imageInputs")) {
        if (auto* items = list->asArray()) {
            state.pictures.emplace();
            state.pictures->reserve(items->size());
            // Moved, not copied: the pictures' text is most of a saved state.
            for (std::size_t i = 0; i < items->size(); ++i) {
                state.pictures->push_back(StoredPicture{i, std::move((*items)[i]), {}});
            }
        } else {
            state.problems.emplace_back("\"imageInputs\" is not a list");
        }
    }
    state.selection = take("selectionIndexes");
    return state;
}

StoredState salvagedState(std::string_view text, std::string problem) {
    StoredState state;
    state.problems.push_back(std::move(problem));
    const Structure structure(text);
    std::size_t p = text.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
    p = structure.skipSpace(p);
    if (structure.at(p) != '{') return state;
    structure.members(p, [&](const std::string& key, std::size_t start, std::size_t end) {
        if (key == "imageInputs" && structure.at(start) == '[') {
            state.pictures = picturesAt(structure, start, state.picturesBreakOff);
        } else if (end != npos && key == "imageInputCollectionType") {
            state.collectionType = parsed(structure.slice(start, end));
        } else if (end != npos && key == "selectionIndexes") {
            state.selection = parsed(structure.slice(start, end));
        }
    });
    return state;
}

}  // namespace gw::saved_state
