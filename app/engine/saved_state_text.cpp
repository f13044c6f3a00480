#include "app/engine/saved_state_text.hpp"

#include "platform/foundation/json.hpp"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <utility>
#include <vector>

namespace gw::saved_state {

namespace pf = platform::foundation;

namespace {

constexpr auto npos = std::string_view::npos;

// A picture's form nests three levels (a layer frame's size in the frame, in the picture);
// text nested deeper is no picture. Looked at no deeper than this, a picture's shape nested
// in itself (each level a place the reading tries as a picture's start) is read a bounded
// number of times over, not once for each level around it.
constexpr int kPictureDepth = 8;

std::optional<pf::Value> parsed(std::string_view text) {
    try {
        return pf::json::parse(text);
    } catch (...) {
        return std::nullopt;
    }
}

// Where something that starts at a place of the text reaches (one past its end, or the
// bracket it runs to; npos when the text ends first) and how many levels it nests (up to
// 255: a picture nests far fewer), in one word. Damaged text has such a place every few
// bytes, and the memory they take is most of the cost of following it.
class Reach {
public:
    Reach() = default;
    Reach(std::size_t at, int depth) : word_(at | (static_cast<std::size_t>(std::clamp(depth, 0, 255)) << 56)) {}
    std::size_t at() const { return word_ == npos ? npos : word_ & kAt; }
    int depth() const { return static_cast<int>(word_ >> 56); }

private:
    static_assert(sizeof(std::size_t) == 8);
    static constexpr std::size_t kAt = (std::size_t{1} << 56) - 1;
    std::size_t word_ = npos;
};

// Follows JSON text by its strings and brackets only, without reading values: a place
// where the text breaks off or stops being JSON's shape is found without holding more
// than the parts before it.
class Structure {
public:
    explicit Structure(std::string_view text) : t_(text) {}

    std::size_t size() const { return t_.size(); }
    const char* data() const { return t_.data(); }
    char at(std::size_t p) const { return p < t_.size() ? t_[p] : '\0'; }
    std::string_view slice(std::size_t from, std::size_t to) const { return t_.substr(from, to - from); }

    std::size_t skipSpace(std::size_t p) const {
        while (p < t_.size() && (t_[p] == ' ' || t_[p] == '\t' || t_[p] == '\n' || t_[p] == '\r')) ++p;
        return p;
    }

    // One past the closing quote of the string opening at `p`; npos when the text ends first.
    // `escapes` is set when a quote inside it is escaped.
    std::size_t stringEnd(std::size_t p, bool* escapes = nullptr) const {
        // A picture's text is hundreds of megabytes without an escape: found by memchr.
        for (std::size_t from = p + 1; from < t_.size();) {
            const auto* quote = static_cast<const char*>(std::memchr(t_.data() + from, '"', t_.size() - from));
            if (!quote) return npos;
            const auto q = static_cast<std::size_t>(quote - t_.data());
            if (!escaped(q, p + 1)) return q + 1;
            if (escapes) *escapes = true;
            from = q + 1;
        }
        return npos;
    }

    // How many levels the object or list opening at `p` nests (itself one), known once its
    // end was found; none when it does not end.
    std::optional<int> depthOf(std::size_t p) const {
        if (containerEnd(p) == npos) return std::nullopt;
        return ends_.at(p).depth();
    }

    // Whether the character at `q` follows an odd run of backslashes (which starts no
    // earlier than `from`).
    bool escaped(std::size_t q, std::size_t from) const {
        std::size_t backslashes = 0;
        while (q - backslashes > from && t_[q - backslashes - 1] == '\\') ++backslashes;
        return backslashes % 2 == 1;
    }

    // One past the value starting at `p`; npos when the text ends within it or no value
    // starts there.
    std::size_t valueEnd(std::size_t p) const {
        p = skipSpace(p);
        if (p >= t_.size()) return npos;
        const char c = t_[p];
        if (c == '"') return stringEnd(p);
        if (c == '{' || c == '[') return containerEnd(p);

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
    // One past the object or list opening at `p`, npos when the text ends within it. Where
    // it ends is the same whoever asks, and so is where each object or list met inside it
    // (outside its strings) ends: all are kept, so that damaged text, where the reading
    // tries many places as a picture's start, is followed once, not once per place.
    //
    // Followed from different places, the text may pair its quotes differently: a quote
    // that is escaped inside a string opens one when met outside. Two such readings meet
    // again only at the end of a string that holds an escaped quote, or opens with one;
    // from there on they read alike, up to the bracket that closes what that string is in.
    // That bracket is kept for each such end too: otherwise a quote escaped again and
    // again, hiding every later brace in a string, had each place followed to the end.
    //
    // How deep each one nests is kept with its end, and how deep what follows each such
    // string end nests with the bracket: a place tried as a picture's start learns its
    // depth without following the text again to its end.
    std::size_t containerEnd(std::size_t p) const {
        if (const auto known = ends_.find(p); known != ends_.end()) return known->second.at();
        struct Open {
            std::size_t at;
            // Where its meetings (the ends of the strings directly inside it where
            // readings may meet) start in `meetings`.
            std::size_t firstMeeting;
            // How deep what opens inside it nests.
            int inside = 0;
        };
        struct Meeting {
            std::size_t at;
            // How deep what opens after it, up to the next meeting, nests.
            int deeper = 0;
        };
        std::vector<Open> open;
        std::vector<Meeting> meetings;
        // What nests `depth` levels was met directly inside the innermost one open.
        const auto nests = [&](int depth) {
            auto& in = open.back();
            in.inside = std::max(in.inside, depth);
            if (meetings.size() > in.firstMeeting) meetings.back().deeper = std::max(meetings.back().deeper, depth);
        };
        for (std::size_t q = p; q < t_.size();) {
            const char d = t_[q];
            if (d == '"') {
                bool meets = escaped(q, 0);
                const std::size_t end = stringEnd(q, &meets);
                if (end == npos) break;
                if (meets) {
                    if (const auto known = closers_.find(end); known != closers_.end()) {
                        if (known->second.at() == npos) break;
                        nests(known->second.depth());
                        q = known->second.at();
                        continue;
                    }
                    meetings.push_back({end});
                }
                q = end;
                continue;
            }
            if (d == '{' || d == '[') {
                if (q != p) {
                    if (const auto known = ends_.find(q); known != ends_.end()) {
                        if (known->second.at() == npos) break;
                        nests(known->second.depth());
                        q = known->second.at();
                        continue;
                    }
                }
                open.push_back({q, meetings.size()});
            } else if (d == '}' || d == ']') {
                const Open closed = open.back();
                open.pop_back();
                int after = 0;
                while (meetings.size() > closed.firstMeeting) {
                    after = std::max(after, meetings.back().deeper);
                    closers_[meetings.back().at] = Reach(q, after);
                    meetings.pop_back();
                }
                ends_[closed.at] = Reach(q + 1, closed.inside + 1);
                if (open.empty()) return q + 1;
                nests(closed.inside + 1);
            }
            ++q;
        }
        // The text ends inside every one still open.
        for (const auto& unclosed : open) ends_[unclosed.at] = Reach();
        for (const auto& meeting : meetings) closers_[meeting.at] = Reach();
        ends_[p] = Reach();
        return npos;
    }

    std::string_view t_;
    mutable std::unordered_map<std::size_t, Reach> ends_;
    // For the end of a string where readings may meet: the bracket that closes what it is
    // in, and how deep what lies between nests.
    mutable std::unordered_map<std::size_t, Reach> closers_;
};

// The string value of the member `wanted` of the object opening at `p`, as far as that
// object can be followed, and where that value starts; empty when there is none. A
// picture's name and id come before its bytes.
struct MemberText {
    std::string text;
    std::size_t at = npos;
};
MemberText memberTextAt(const Structure& text, std::size_t p, std::string_view wanted) {
    MemberText found;
    if (text.at(p) != '{') return found;
    text.members(p, [&](const std::string& key, std::size_t start, std::size_t end) {
        if (key != wanted || end == npos || found.at != npos) return;
        if (const auto value = parsed(text.slice(start, end)); value && value->asString()) {
            found = {*value->asString(), start};
        }
    });
    return found;
}

// Whether the object opening at `p` has a member `wanted` (followed no further than that).
bool hasMember(const Structure& text, std::size_t p, std::string_view wanted) {
    bool found = false;
    if (text.at(p) != '{') return false;
    text.members(p, [&](const std::string& key, std::size_t, std::size_t end) {
        if (key == wanted && end != npos) found = true;
    });
    return found;
}

// What a walk over a list of pictures hands on: each picture whose text ends, to be read
// (false when it does not read, and is then lost), and each picture found damaged (the
// caller says what was lost).
struct PictureVisitor {
    std::function<bool(std::size_t position, std::size_t begin, std::size_t end)> read;
    std::function<void(std::size_t position, std::string name)> lost;
};

struct ListWalk {
    bool breaksOff = false;
    bool placesUncertain = false;
    std::vector<std::string> problems;
};

// Follows the list of pictures opening at `open`. Where its text stops being a list of
// whole pictures (a picture damaged inside, a separator missing or damaged), the walk
// picks up again at the next picture that reads whole, so that damage between two
// pictures, or inside one, costs no picture after it; pictures met damaged on the way are
// told by name, as far as their names can be read.
ListWalk walkPictures(const Structure& text, std::size_t open, const PictureVisitor& visit) {
    ListWalk walk;
    std::size_t position = 0;
    // A picture's text: an object with its bytes under "imageWrapper", nested no deeper
    // than a picture's form.
    const auto pictureEnd = [&](std::size_t p) {
        if (text.at(p) != '{') return npos;
        const std::size_t end = text.valueEnd(p);
        if (end == npos || text.depthOf(p).value_or(kPictureDepth + 1) > kPictureDepth) return npos;
        return hasMember(text, p, "imageWrapper") ? end : npos;
    };
    // From `from` on, where the next picture whose text ends starts, passing over the
    // damaged text before it; the pictures whose names are found in that text are told
    // as lost (but the one whose name starts at `toldAt`, told already). npos when the
    // text ends first.
    const auto resume = [&](std::size_t from, std::size_t toldAt) -> std::size_t {
        walk.placesUncertain = true;
        std::size_t next = npos;
        for (std::size_t q = from; q < text.size(); ++q) {
            const auto* brace = static_cast<const char*>(std::memchr(text.data() + q, '{', text.size() - q));
            if (!brace) break;
            q = static_cast<std::size_t>(brace - text.data());
            if (text.at(q + 1) == '"' && pictureEnd(q) != npos) {
                next = q;
                break;
            }
        }
        // A picture's name is a member of its own object only: found in damaged text,
        // it stands for a picture whose start may be gone with the damage.
        constexpr std::string_view key = "\"imageName\":";
        const auto skipped = text.slice(from, next == npos ? text.size() : next);
        for (auto at = skipped.find(key); at != std::string_view::npos; at = skipped.find(key, at + key.size())) {
            const std::size_t value = from + at + key.size();
            if (value == toldAt || text.at(value) != '"') continue;
            const std::size_t end = text.stringEnd(value);
            const auto name = end == npos ? std::nullopt : parsed(text.slice(value, end));
            if (name && name->asString()) visit.lost(position++, *name->asString());
        }
        if (next == npos) walk.breaksOff = true;
        return next;
    };
    std::size_t p = text.skipSpace(open + 1);
    if (text.at(p) == ']') return walk;
    while (p != npos) {
        if (p >= text.size()) {
            walk.breaksOff = true;
            break;
        }
        if (text.at(p) == ',') {
            walk.problems.emplace_back("an extra comma in the list of pictures");
            p = text.skipSpace(p + 1);
            continue;
        }
        if (text.at(p) != '{') {
            walk.problems.push_back(fmt::format("the list of pictures is damaged after picture {}", position));
            p = resume(p, npos);
            continue;
        }
        const std::size_t end = pictureEnd(p);
        if (end == npos || !visit.read(position, p, end)) {
            // Its extent cannot be trusted: a damaged string or bracket may run into the
            // pictures after it.
            const auto name = memberTextAt(text, p, "imageName");
            visit.lost(position++, name.text);
            p = resume(p + 1, name.at);
            continue;
        }
        ++position;
        p = text.skipSpace(end);
        if (text.at(p) == ']') break;
        if (text.at(p) == ',') {
            p = text.skipSpace(p + 1);
            if (text.at(p) == ']') {
                walk.problems.emplace_back("an extra comma in the list of pictures");
                break;
            }
        } else if (text.at(p) == '{') {
            walk.problems.push_back(fmt::format("no comma after picture {}", position));
        } else if (p < text.size()) {
            walk.problems.push_back(fmt::format("the list of pictures is damaged after picture {}", position));
            p = resume(p, npos);
        }
    }
    if (walk.breaksOff) walk.problems.emplace_back("the list of pictures breaks off");
    return walk;
}

// Where the state's object opens, past a byte-order mark and white space; npos when it
// does not start like one.
std::size_t stateObjectAt(const Structure& structure, std::string_view text) {
    std::size_t p = text.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
    p = structure.skipSpace(p);
    return structure.at(p) == '{' ? p : npos;
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
    const std::size_t p = stateObjectAt(structure, text);
    if (p == npos) return state;
    structure.members(p, [&](const std::string& key, std::size_t start, std::size_t end) {
        if (key == "imageInputs" && structure.at(start) == '[' && !state.pictures) {
            auto& pictures = state.pictures.emplace();
            PictureVisitor visit;
            visit.read = [&](std::size_t position, std::size_t begin, std::size_t finish) {
                auto form = parsed(structure.slice(begin, finish));
                if (!form || !form->asDictionary()) return false;
                pictures.push_back(StoredPicture{position, std::move(form), {}});
                return true;
            };
            visit.lost = [&](std::size_t position, std::string name) {
                pictures.push_back(StoredPicture{position, std::nullopt, std::move(name)});
            };
            auto walk = walkPictures(structure, start, visit);
            state.picturesBreakOff = walk.breaksOff;
            state.placesUncertain = walk.placesUncertain;
            for (auto& found : walk.problems) state.problems.push_back(std::move(found));
        } else if (end != npos && key == "imageInputCollectionType") {
            state.collectionType = parsed(structure.slice(start, end));
        } else if (end != npos && key == "selectionIndexes") {
            state.selection = parsed(structure.slice(start, end));
        }
    });
    return state;
}

std::optional<PictureTexts> pictureTexts(std::string_view text) {
    const Structure structure(text);
    const std::size_t p = stateObjectAt(structure, text);
    if (p == npos) return std::nullopt;
    std::optional<PictureTexts> found;
    std::optional<std::int64_t> collectionType;
    const std::size_t end = structure.members(p, [&](const std::string& key, std::size_t start, std::size_t finish) {
        if (key == "imageInputCollectionType" && finish != npos) {
            if (const auto value = parsed(structure.slice(start, finish))) collectionType = value->asInteger();
        }
        if (key != "imageInputs" || structure.at(start) != '[' || found) return;
        auto& texts = found.emplace();
        PictureVisitor visit;
        visit.read = [&](std::size_t, std::size_t begin, std::size_t finish) {
            const auto slice = structure.slice(begin, finish);
            if (!nlohmann::json::accept(slice)) return false;
            texts.pictures.push_back(PictureText{begin, finish, memberTextAt(structure, begin, "id").text});
            return true;
        };
        visit.lost = [&](std::size_t, std::string) { texts.whole = false; };
        const auto walk = walkPictures(structure, start, visit);
        if (!walk.problems.empty()) texts.whole = false;
    });
    if (!found) return found;
    found->collectionType = collectionType;
    if (end == npos || structure.skipSpace(end) != text.size()) found->whole = false;
    return found;
}

}  // namespace gw::saved_state
