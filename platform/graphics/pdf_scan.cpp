#include "platform/graphics/pdf_scan.hpp"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <fmt/format.h>

#include "platform/graphics/decoded_bitmap.hpp"
#include "platform/graphics/pdf_stream_costs.hpp"

namespace platform::graphics {

namespace {

// Arrays and dictionaries nested deeper than this are not read.
constexpr int kMaxObjectDepth = 64;
// Cross-reference sections chained by /Prev, and levels of the page tree.
constexpr int kMaxChain = 256;
// The graphics states saved at once that are tracked (deeper saves share the last).
constexpr size_t kMaxSavedStates = 1024;

bool isWhite(uint8_t c) { return c == 0 || c == 9 || c == 10 || c == 12 || c == 13 || c == 32; }
bool isDelimiter(uint8_t c) {
    return c == '(' || c == ')' || c == '<' || c == '>' || c == '[' || c == ']' || c == '{' || c == '}' || c == '/' ||
           c == '%';
}
bool isRegular(uint8_t c) { return !isWhite(c) && !isDelimiter(c); }

// Just past the literal string that opens at `open`, its nested parentheses and escapes
// included; npos when the text ends first.
size_t literalStringEnd(std::string_view text, size_t open) {
    int nesting = 0;
    for (size_t i = open + 1; i < text.size(); ++i) {
        if (text[i] == '\\')
            ++i;
        else if (text[i] == '(')
            ++nesting;
        else if (text[i] == ')' && nesting-- == 0)
            return i + 1;
    }
    return std::string_view::npos;
}

// A number of the file as a count or offset: numbers past any file's size (or below
// nothing) are held to the range, not turned into nonsense.
template <typename Integer>
Integer whole(double value, double most = 1e15) {
    return static_cast<Integer>(std::clamp(value, 0.0, most));
}

// --- objects -------------------------------------------------------------------------

struct Object {
    enum class Type : uint8_t { none, null, boolean, number, string, name, array, dict, ref, keyword };
    Type type = Type::none;
    double number = 0;
    uint32_t num = 0;  // of a reference
    std::string text;  // a name, string or keyword
    std::vector<Object> items;
    std::vector<std::pair<std::string, Object>> entries;
    // A stream: where its data lies in the file.
    bool isStream = false;
    size_t streamStart = 0;
    size_t streamLength = 0;

    const Object* get(std::string_view key) const {
        for (const auto& [name, value] : entries) {
            if (name == key) return &value;
        }
        return nullptr;
    }
    bool is(Type t) const { return type == t; }
    bool isName(std::string_view name) const { return type == Type::name && text == name; }
};

const Object kNull{Object::Type::null};

// Objects read from one document: a file of millions of tiny objects is refused before
// reading it takes gigabytes.
struct ObjectBudget {
    uint64_t left = uint64_t{4} << 20;
    bool exhausted = false;
};

// Reads objects from bytes: the file, an object stream, or a content stream's operands.
class Lexer {
public:
    explicit Lexer(std::string_view text, size_t at = 0, ObjectBudget* budget = nullptr)
        : text_(text), at_(at), budget_(budget) {}
    size_t at() const { return at_; }
    void seek(size_t at) { at_ = std::min(at, text_.size()); }

    void skipWhite() {
        while (at_ < text_.size()) {
            const auto c = uint8_t(text_[at_]);
            if (isWhite(c)) {
                ++at_;
            } else if (c == '%') {
                while (at_ < text_.size() && text_[at_] != '\n' && text_[at_] != '\r') ++at_;
            } else {
                break;
            }
        }
    }

    // One object; an integer followed by another and R makes a reference. None at the
    // end, on a closing delimiter, or past the nesting limit.
    std::optional<Object> object(int depth = 0) {
        skipWhite();
        if (at_ >= text_.size() || depth > kMaxObjectDepth) return std::nullopt;
        if (budget_ != nullptr) {
            if (budget_->left == 0) {
                budget_->exhausted = true;
                return std::nullopt;
            }
            --budget_->left;
        }
        const char c = text_[at_];
        Object out;
        if (c == '/') {
            out.type = Object::Type::name;
            ++at_;
            while (at_ < text_.size() && isRegular(uint8_t(text_[at_]))) {
                if (text_[at_] == '#' && at_ + 2 < text_.size()) {
                    const std::string hex(text_.substr(at_ + 1, 2));
                    out.text += char(std::strtol(hex.c_str(), nullptr, 16));
                    at_ += 3;
                } else {
                    out.text += text_[at_++];
                }
            }
            return out;
        }
        if (c == '(') {
            out.type = Object::Type::string;
            at_ = std::min(literalStringEnd(text_, at_), text_.size());
            return out;
        }
        if (c == '<' && at_ + 1 < text_.size() && text_[at_ + 1] == '<') {
            at_ += 2;
            out.type = Object::Type::dict;
            while (true) {
                skipWhite();
                if (at_ + 1 < text_.size() && text_[at_] == '>' && text_[at_ + 1] == '>') {
                    at_ += 2;
                    break;
                }
                // Anything but a name where a key belongs is passed over, a stray closing
                // delimiter too, as poppler does; the end of the text ends the dictionary.
                const size_t before = at_;
                auto key = object(depth + 1);
                if (!key && at_ == before) return out;  // unterminated: what was read
                if (!key || !key->is(Object::Type::name)) continue;
                const size_t afterKey = at_;
                auto value = object(depth + 1);
                if (!value && at_ == afterKey) return out;
                if (!value) continue;
                out.entries.emplace_back(std::move(key->text), std::move(*value));
            }
            return out;
        }
        if (c == '<') {
            out.type = Object::Type::string;
            const size_t close = text_.find('>', at_);
            at_ = close == std::string_view::npos ? text_.size() : close + 1;
            return out;
        }
        if (c == '[') {
            ++at_;
            out.type = Object::Type::array;
            while (true) {
                skipWhite();
                if (at_ < text_.size() && text_[at_] == ']') {
                    ++at_;
                    break;
                }
                const size_t before = at_;
                auto item = object(depth + 1);
                if (!item && at_ == before) return out;
                if (item) out.items.push_back(std::move(*item));
            }
            return out;
        }
        if (c == ']' || c == '>' || c == ')' || c == '{' || c == '}') {
            ++at_;
            return std::nullopt;
        }
        const size_t start = at_;
        while (at_ < text_.size() && isRegular(uint8_t(text_[at_]))) ++at_;
        const std::string_view word = text_.substr(start, at_ - start);
        if (isNumber(word)) {
            out.type = Object::Type::number;
            out.number = toNumber(word);
            // "num gen R"
            const size_t after = at_;
            if (word.find_first_of(".+-") == std::string_view::npos) {
                skipWhite();
                const size_t genStart = at_;
                while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') ++at_;
                if (at_ > genStart && at_ - genStart < 8) {
                    skipWhite();
                    if (at_ < text_.size() && text_[at_] == 'R' &&
                        (at_ + 1 == text_.size() || !isRegular(uint8_t(text_[at_ + 1])))) {
                        ++at_;
                        out.type = Object::Type::ref;
                        out.num = whole<uint32_t>(out.number, 4e9);
                        return out;
                    }
                }
            }
            at_ = after;
            return out;
        }
        if (word.empty()) {
            ++at_;  // a stray delimiter
            return std::nullopt;
        }
        if (word == "true" || word == "false") {
            out.type = Object::Type::boolean;
            out.number = word == "true";
        } else if (word == "null") {
            out.type = Object::Type::null;
        } else {
            out.type = Object::Type::keyword;
            out.text = word;
        }
        return out;
    }

    static bool isNumber(std::string_view word) {
        if (word.empty()) return false;
        bool digit = false;
        for (size_t i = 0; i < word.size(); ++i) {
            const char c = word[i];
            if (c >= '0' && c <= '9')
                digit = true;
            else if (!(c == '.' || ((c == '-' || c == '+') && i == 0)))
                return false;
        }
        return digit;
    }
    static double toNumber(std::string_view word) {
        const std::string copy(word.substr(0, 40));
        return std::strtod(copy.c_str(), nullptr);
    }

private:
    std::string_view text_;
    size_t at_;
    ObjectBudget* budget_;
};

// --- stream filters ------------------------------------------------------------------

// Receives decoded bytes; false stops the decoding.
using Sink = std::function<bool(std::string_view)>;

enum class Decoded { ok, overBudget, unreadable };
// What decoding does at a filter meant for images, which we do not decode: refuse the
// stream, or hand on the data that filter would decode.
enum class CodecData { refuse, pass };

}  // namespace

bool inflateStream(std::string_view in, const std::function<bool(std::string_view)>& out) {
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK) return true;
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    stream.avail_in = static_cast<uInt>(std::min<size_t>(in.size(), UINT32_MAX));
    std::array<char, 64 * 1024> chunk;
    bool going = true;
    while (going) {
        stream.next_out = reinterpret_cast<Bytef*>(chunk.data());
        stream.avail_out = chunk.size();
        const int status = inflate(&stream, Z_NO_FLUSH);
        const size_t produced = chunk.size() - stream.avail_out;
        if (produced > 0 && !out(std::string_view(chunk.data(), produced))) going = false;
        if (status != Z_OK || produced == 0) break;
    }
    inflateEnd(&stream);
    return going;
}

namespace {

// Hands decoded bytes on in pieces of 64 KiB: false when the sink wants no more.
bool passFull(std::string& buffer, const Sink& out) {
    if (buffer.size() < 64 * 1024) return true;
    const bool more = out(buffer);
    buffer.clear();
    return more;
}

// Decoders stop at damaged data, as poppler's do: what came before it is the stream.
bool lzwTo(std::string_view in, bool earlyChange, const Sink& out) {
    std::vector<std::string> table;
    auto reset = [&] {
        table.assign(258, std::string());
        for (int i = 0; i < 256; ++i) table[size_t(i)] = std::string(1, char(i));
    };
    reset();
    uint32_t bits = 0;
    int count = 0, width = 9;
    size_t at = 0;
    std::string previous, buffer;
    uint64_t tableBytes = 0;
    while (true) {
        while (count < width && at < in.size()) {
            bits = bits << 8 | uint8_t(in[at++]);
            count += 8;
        }
        if (count < width) break;
        const uint32_t code = (bits >> (count - width)) & ((1u << width) - 1);
        count -= width;
        if (code == 256) {
            reset();
            width = 9;
            previous.clear();
            tableBytes = 0;
            continue;
        }
        if (code == 257) break;
        std::string entry;
        if (code < table.size())
            entry = table[code];
        else if (code == table.size() && !previous.empty())
            entry = previous + previous[0];
        else
            break;
        if (!previous.empty() && table.size() < 4096) {
            table.push_back(previous + entry[0]);
            tableBytes += table.back().size();
        }
        // A table of long entries is itself a bomb: its codes are what repeats.
        if (tableBytes > (uint64_t{64} << 20)) break;
        previous = entry;
        buffer += entry;
        if (!passFull(buffer, out)) return false;
        const size_t next = table.size() + (earlyChange ? 1 : 0);
        width = next > 2048 ? 12 : next > 1024 ? 11 : next > 512 ? 10 : 9;
    }
    return buffer.empty() || out(buffer);
}

bool asciiHexTo(std::string_view in, const Sink& out) {
    std::string buffer;
    int high = -1;
    for (const char c : in) {
        int value = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
        if (c == '>') break;
        if (value < 0) continue;
        if (high < 0) {
            high = value;
        } else {
            buffer += char(high * 16 + value);
            high = -1;
        }
        if (!passFull(buffer, out)) return false;
    }
    if (high >= 0) buffer += char(high * 16);
    return out(buffer);
}

bool ascii85To(std::string_view in, const Sink& out) {
    std::string buffer;
    uint64_t group = 0;
    int count = 0;
    for (size_t i = 0; i < in.size(); ++i) {
        const char c = in[i];
        if (c == '~') break;
        if (c == 'z' && count == 0) {
            buffer.append(4, '\0');
            continue;
        }
        if (c < '!' || c > 'u') continue;
        group = group * 85 + uint64_t(c - '!');
        if (++count == 5) {
            for (int s = 24; s >= 0; s -= 8) buffer += char(group >> s);
            group = 0;
            count = 0;
        }
        if (!passFull(buffer, out)) return false;
    }
    if (count > 1) {
        for (int k = count; k < 5; ++k) group = group * 85 + 84;
        for (int k = 0; k < count - 1; ++k) buffer += char(group >> (24 - 8 * k));
    }
    return out(buffer);
}

bool runLengthTo(std::string_view in, const Sink& out) {
    std::string buffer;
    for (size_t i = 0; i < in.size();) {
        const uint8_t length = uint8_t(in[i++]);
        if (length == 128) break;
        if (length < 128) {
            const size_t n = std::min<size_t>(length + 1, in.size() - i);
            buffer.append(in.substr(i, n));
            i += n;
        } else if (i < in.size()) {
            buffer.append(size_t(257 - length), in[i++]);
        }
        if (!passFull(buffer, out)) return false;
    }
    return out(buffer);
}

// PNG and TIFF predictors, undone row by row as the decoded bytes arrive.
Sink unpredicting(int predictor, int colors, int bits, int columns, Sink out) {
    const size_t pixelBytes = std::max<size_t>(1, size_t(std::max(1, colors)) * std::max(1, bits) / 8);
    const size_t rowBytes = (size_t(std::max(1, colors)) * std::max(1, bits) * size_t(std::max(1, columns)) + 7) / 8;
    struct State {
        std::string row, previous;
    };
    auto state = std::make_shared<State>();
    state->previous.assign(rowBytes, '\0');
    const bool png = predictor >= 10;
    return [=](std::string_view data) {
        for (const char c : data) {
            state->row += c;
            if (state->row.size() < rowBytes + (png ? 1 : 0)) continue;
            std::string decoded;
            if (png) {
                const uint8_t type = uint8_t(state->row[0]);
                decoded.assign(state->row.begin() + 1, state->row.end());
                for (size_t i = 0; i < rowBytes; ++i) {
                    const uint8_t a = i >= pixelBytes ? uint8_t(decoded[i - pixelBytes]) : 0;
                    const uint8_t b = uint8_t(state->previous[i]);
                    const uint8_t cc = i >= pixelBytes ? uint8_t(state->previous[i - pixelBytes]) : 0;
                    uint8_t add = 0;
                    if (type == 1)
                        add = a;
                    else if (type == 2)
                        add = b;
                    else if (type == 3)
                        add = uint8_t((int(a) + int(b)) / 2);
                    else if (type == 4) {
                        const int p = int(a) + int(b) - int(cc);
                        const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - cc);
                        add = pa <= pb && pa <= pc ? a : pb <= pc ? b : cc;
                    }
                    decoded[i] = char(uint8_t(decoded[i]) + add);
                }
            } else {
                decoded = state->row;
                if (bits == 8) {
                    for (size_t i = pixelBytes; i < rowBytes; ++i) {
                        decoded[i] = char(uint8_t(decoded[i]) + uint8_t(decoded[i - pixelBytes]));
                    }
                }
            }
            state->previous = decoded;
            state->row.clear();
            if (!out(decoded)) return false;
        }
        return true;
    };
}

// --- the file --------------------------------------------------------------------------

class PdfFile {
public:
    PdfFile(std::string_view text, uint64_t budget, double crossReferences)
        : text_(text), budget_(budget), crossReferenceLimit_(crossReferences) {}

    std::string why;
    PictureProblem problem = PictureProblem::none;

    bool fail(PictureProblem kind, std::string text) {
        if (problem == PictureProblem::none) {
            problem = kind;
            why = std::move(text);
        }
        return false;
    }

    // Reads the cross-reference sections as poppler does, or every object in the file
    // when they are broken; then the trailer.
    bool load() {
        if (!readCrossReferences() || !trailer_.get("Root")) rebuild();
        if (tooManyObjects_) {
            return fail(PictureProblem::tooDemanding,
                        fmt::format("the PDF document's cross-references list more objects than the limit of {}",
                                    crossReferenceLimit_));
        }
        if (trailer_.get("Encrypt") != nullptr && !trailer_.get("Encrypt")->is(Object::Type::null)) {
            return fail(PictureProblem::encrypted,
                        "the PDF document is encrypted: its contents cannot be checked before they are drawn");
        }
        return true;
    }

    const Object& trailer() const { return trailer_; }

    // Forgets the cross-reference sections and reads every object in the file instead,
    // as poppler does when they lead nowhere.
    void rebuild() {
        entries_.clear();
        freed_.clear();
        cache_.clear();
        objectStreams_.clear();
        trailer_ = Object{};
        reconstruct();
    }

    std::string_view raw(const Object& stream) const { return text_.substr(stream.streamStart, stream.streamLength); }

    bool exhausted() {
        return objects_.exhausted && !fail(PictureProblem::tooDemanding, "the PDF document holds too many objects");
    }

    // The object a value refers to (the value itself when it is no reference); null for
    // a reference to nothing or into a loop of references.
    const Object& resolve(const Object& value, int depth = 0) {
        if (!value.is(Object::Type::ref)) return value;
        if (depth > 8) return kNull;
        const Object& target = objectNumbered(value.num);
        return resolve(target, depth + 1);
    }
    const Object& resolve(const Object* value) { return value ? resolve(*value) : kNull; }

    // Decodes a stream through its filters into `out`, counting against the budget.
    Decoded decode(const Object& stream, const Sink& out, CodecData codecs = CodecData::refuse) {
        if (!stream.isStream) return Decoded::ok;
        std::vector<std::string> filters;
        std::vector<const Object*> parameters;
        const Object& filter = resolve(stream.get("Filter"));
        const Object& parms = resolve(stream.get("DecodeParms"));
        if (filter.is(Object::Type::name)) {
            filters.push_back(filter.text);
            parameters.push_back(&parms);
        } else if (filter.is(Object::Type::array)) {
            for (size_t i = 0; i < filter.items.size(); ++i) {
                const Object& item = resolve(filter.items[i]);
                if (!item.is(Object::Type::name)) continue;
                filters.push_back(item.text);
                parameters.push_back(parms.is(Object::Type::array) && i < parms.items.size() ? &resolve(parms.items[i])
                                                                                             : &kNull);
            }
        }
        std::string_view data = text_.substr(stream.streamStart, stream.streamLength);
        bool overBudget = false;
        const Sink counted = [&](std::string_view chunk) {
            if (chunk.size() > budget_) {
                overBudget = true;
                return false;
            }
            budget_ -= chunk.size();
            return out(chunk);
        };
        std::string staged;
        for (size_t i = 0; i < filters.size(); ++i) {
            const bool last = i + 1 == filters.size();
            std::string next;
            const Sink into = last ? counted : Sink([&](std::string_view chunk) {
                if (chunk.size() > budget_ - std::min(budget_, next.size())) {
                    overBudget = true;
                    return false;
                }
                next.append(chunk);
                return true;
            });
            const Object& p = *parameters[i];
            Sink sink = into;
            const double predictor = number(p.get("Predictor"), 1);
            if (predictor >= 2) {
                sink = unpredicting(whole<int>(predictor, 15), whole<int>(number(p.get("Colors"), 1), 32),
                                    whole<int>(number(p.get("BitsPerComponent"), 8), 16),
                                    whole<int>(number(p.get("Columns"), 1), 1 << 16), into);
            }
            const std::string& name = filters[i];
            if (name == "FlateDecode" || name == "Fl")
                inflateStream(data, sink);
            else if (name == "LZWDecode" || name == "LZW")
                lzwTo(data, number(p.get("EarlyChange"), 1) != 0, sink);
            else if (name == "ASCIIHexDecode" || name == "AHx")
                asciiHexTo(data, sink);
            else if (name == "ASCII85Decode" || name == "A85")
                ascii85To(data, sink);
            else if (name == "RunLengthDecode" || name == "RL")
                runLengthTo(data, sink);
            else if (name == "Crypt")
                sink(data);
            else if (codecs == CodecData::pass && last)
                break;
            else
                return Decoded::unreadable;
            if (overBudget) return Decoded::overBudget;
            if (last) return Decoded::ok;
            staged = std::move(next);
            data = staged;
        }
        // Unfiltered data goes on in pieces too: readers keep what they are given.
        for (size_t at = 0; at < data.size() && !overBudget; at += 64 * 1024) {
            if (!counted(data.substr(at, 64 * 1024))) break;
        }
        return overBudget ? Decoded::overBudget : Decoded::ok;
    }

    double number(const Object* value, double fallback) {
        const Object& resolved = resolve(value);
        return resolved.is(Object::Type::number) ? resolved.number : fallback;
    }

private:
    struct Entry {
        size_t offset = 0;
        uint32_t stream = 0;  // of an object in an object stream
        uint32_t index = 0;
        bool compressed = false;
    };

    const Object& objectNumbered(uint32_t num) {
        if (const auto cached = cache_.find(num); cached != cache_.end())
            return cached->second ? *cached->second : kNull;
        cache_[num] = nullptr;  // a loop back to it finds nothing
        auto object = std::make_unique<Object>();
        if (const auto entry = entries_.find(num); entry != entries_.end()) {
            if (entry->second.compressed) {
                if (auto found = fromObjectStream(entry->second.stream, entry->second.index))
                    *object = std::move(*found);
            } else if (auto found = objectAt(entry->second.offset, num)) {
                *object = std::move(*found);
            }
        }
        const Object& kept = *object;
        cache_[num] = std::move(object);
        return kept;
    }

    // "num gen obj" at `offset`, and its value (with its stream's place).
    std::optional<Object> objectAt(size_t offset, std::optional<uint32_t> expected) {
        Lexer lexer(text_, offset, &objects_);
        const auto num = lexer.object();
        const auto gen = lexer.object();
        const auto keyword = lexer.object();
        if (!num || !num->is(Object::Type::number) || !gen || !gen->is(Object::Type::number) || !keyword ||
            !keyword->is(Object::Type::keyword) || keyword->text != "obj") {
            return std::nullopt;
        }
        if (expected && whole<uint32_t>(num->number, 4e9) != *expected) return std::nullopt;
        auto value = lexer.object();
        if (!value) return std::nullopt;
        if (value->is(Object::Type::dict)) {
            const size_t afterDict = lexer.at();
            const auto next = lexer.object();
            if (next && next->is(Object::Type::keyword) && next->text == "stream")
                placeStream(*value, lexer.at());
            else
                lexer.seek(afterDict);
        }
        return value;
    }

    // The stream's data starts after the end of line that follows "stream" and runs for
    // its /Length when "endstream" follows there, else up to the next "endstream".
    void placeStream(Object& dict, size_t at) {
        if (at < text_.size() && text_[at] == '\r') ++at;
        if (at < text_.size() && text_[at] == '\n') ++at;
        dict.isStream = true;
        dict.streamStart = at;
        const Object* declared = dict.get("Length");
        double length = -1;
        if (declared && declared->is(Object::Type::number))
            length = declared->number;
        else if (declared && declared->is(Object::Type::ref)) {
            const Object& resolved = resolve(*declared);
            if (resolved.is(Object::Type::number)) length = resolved.number;
        }
        if (length >= 0 && length <= double(text_.size() - at)) {
            Lexer after(text_, at + size_t(length));
            after.skipWhite();
            if (text_.substr(after.at(), 9) == "endstream") {
                dict.streamLength = size_t(length);
                return;
            }
        }
        const size_t end = text_.find("endstream", at);
        dict.streamLength = (end == std::string_view::npos ? text_.size() : end) - at;
    }

    std::optional<Object> fromObjectStream(uint32_t streamNum, uint32_t index) {
        auto& stream = objectStreams_[streamNum];
        if (!stream.loaded) {
            stream.loaded = true;
            const Object& holder = objectNumbered(streamNum);
            if (!holder.isStream) return std::nullopt;
            if (decode(holder, [&](std::string_view chunk) {
                    stream.data.append(chunk);
                    return true;
                }) != Decoded::ok) {
                return std::nullopt;
            }
            stream.first = whole<size_t>(number(holder.get("First"), 0));
            const size_t count = size_t(std::clamp(number(holder.get("N"), 0), 0.0, 1e6));
            Lexer header(stream.data);
            for (size_t i = 0; i < count; ++i) {
                const auto num = header.object();
                const auto offset = header.object();
                if (!num || !offset || !offset->is(Object::Type::number)) break;
                stream.offsets.push_back(whole<size_t>(offset->number));
            }
        }
        if (index >= stream.offsets.size()) return std::nullopt;
        Lexer lexer(stream.data, stream.first + stream.offsets[index], &objects_);
        return lexer.object();
    }

    bool readCrossReferences() {
        const size_t mark = text_.rfind("startxref");
        if (mark == std::string_view::npos) return false;
        Lexer lexer(text_, mark + 9);
        const auto offset = lexer.object();
        if (!offset || !offset->is(Object::Type::number)) return false;
        std::set<size_t> seen;
        std::vector<size_t> pending{whole<size_t>(offset->number)};
        bool first = true;
        while (!pending.empty() && seen.size() < kMaxChain) {
            const size_t at = pending.back();
            pending.pop_back();
            if (at >= text_.size() || !seen.insert(at).second) continue;
            Object trailer;
            if (!section(at, trailer)) return false;
            if (first) trailer_ = trailer;
            first = false;
            // A hybrid file's cross-reference stream comes before its /Prev.
            if (const Object* previous = trailer.get("Prev"); previous && previous->is(Object::Type::number)) {
                pending.push_back(whole<size_t>(previous->number));
            }
            if (const Object* hybrid = trailer.get("XRefStm"); hybrid && hybrid->is(Object::Type::number)) {
                pending.push_back(whole<size_t>(hybrid->number));
            }
        }
        return !first;
    }

    // One cross-reference section (a table and its trailer, or a stream); entries of
    // newer sections, read first, are kept.
    bool section(size_t at, Object& trailer) {
        Lexer lexer(text_, at);
        lexer.skipWhite();
        if (text_.substr(lexer.at(), 4) == "xref") {
            lexer.seek(lexer.at() + 4);
            while (true) {
                const auto start = lexer.object();
                if (start && start->is(Object::Type::keyword) && start->text == "trailer") break;
                const auto count = lexer.object();
                if (!start || !count || !start->is(Object::Type::number) || !count->is(Object::Type::number) ||
                    count->number < 0 || count->number > 1e7) {
                    return false;
                }
                for (uint32_t i = 0; i < uint32_t(count->number); ++i) {
                    const auto offset = lexer.object();
                    const auto gen = lexer.object();
                    const auto kind = lexer.object();
                    if (!offset || !gen || !kind || !kind->is(Object::Type::keyword)) return false;
                    const uint32_t num = whole<uint32_t>(start->number, 4e9) + i;
                    const bool listed = kind->text == "n"
                                            ? list(num, Entry{whole<size_t>(offset->number), 0, 0, false})
                                            : list(num, std::nullopt);
                    if (!listed) return false;
                }
            }
            const auto dict = lexer.object();
            if (!dict || !dict->is(Object::Type::dict)) return false;
            trailer = *dict;
            return true;
        }
        auto stream = objectAt(at, std::nullopt);
        if (!stream || !stream->isStream || !stream->get("Type") || !stream->get("Type")->isName("XRef")) return false;
        const Object* widths = stream->get("W");
        if (!widths || !widths->is(Object::Type::array) || widths->items.size() < 3) return false;
        std::array<size_t, 3> w{};
        for (size_t i = 0; i < 3; ++i) w[i] = size_t(std::clamp(widths->items[i].number, 0.0, 8.0));
        const size_t rowSize = w[0] + w[1] + w[2];
        if (rowSize == 0) return false;
        std::vector<std::pair<uint32_t, uint32_t>> ranges;
        if (const Object* index = stream->get("Index"); index && index->is(Object::Type::array)) {
            for (size_t i = 0; i + 1 < index->items.size(); i += 2) {
                ranges.emplace_back(whole<uint32_t>(index->items[i].number, 4e9),
                                    uint32_t(std::clamp(index->items[i + 1].number, 0.0, 1e7)));
            }
        } else {
            ranges.emplace_back(0, uint32_t(std::clamp(number(stream->get("Size"), 0), 0.0, 1e7)));
        }
        // Read row by row as the stream is decoded: a stream of a few bytes a row may list
        // millions of entries.
        auto range = ranges.begin();
        uint32_t inRange = 0;
        auto take = [&](const char* row) {
            while (range != ranges.end() && inRange >= range->second) {
                ++range;
                inRange = 0;
            }
            if (range == ranges.end()) return false;  // rows past the ranges list nothing
            auto field = [&](size_t offset, size_t width, uint64_t fallback) {
                if (width == 0) return fallback;
                uint64_t value = 0;
                for (size_t k = 0; k < width; ++k) value = value << 8 | uint8_t(row[offset + k]);
                return value;
            };
            const uint64_t type = field(0, w[0], 1);
            const uint64_t second = field(w[0], w[1], 0);
            const uint64_t third = field(w[0] + w[1], w[2], 0);
            const uint32_t num = range->first + inRange++;
            if (type == 1) return list(num, Entry{size_t(second), 0, 0, false});
            if (type == 2) return list(num, Entry{0, uint32_t(second), uint32_t(third), true});
            return list(num, std::nullopt);
        };
        std::string carry;
        bool more = true;
        const Decoded decoded = decode(*stream, [&](std::string_view chunk) {
            size_t at = 0;
            if (!carry.empty()) {
                at = std::min(chunk.size(), rowSize - carry.size());
                carry.append(chunk.substr(0, at));
                if (carry.size() < rowSize) return true;
                if (!(more = take(carry.data()))) return false;
                carry.clear();
            }
            for (; at + rowSize <= chunk.size(); at += rowSize) {
                if (!(more = take(chunk.data() + at))) return false;
            }
            carry.assign(chunk.substr(at));
            return true;
        });
        if (tooManyObjects_ || (decoded != Decoded::ok && more)) return false;
        trailer = *stream;
        return true;
    }

    // As poppler does with a broken file: every "num gen obj" in it, the last of a
    // number holding, and the last trailer (or cross-reference stream) naming a root.
    void reconstruct() {
        for (size_t at = text_.find("obj"); at != std::string_view::npos; at = text_.find("obj", at + 3)) {
            if (at + 3 < text_.size() && isRegular(uint8_t(text_[at + 3]))) continue;
            size_t start = at;
            while (start > 0 && isWhite(uint8_t(text_[start - 1]))) --start;
            size_t digits = start;
            while (digits > 0 && text_[digits - 1] >= '0' && text_[digits - 1] <= '9') --digits;
            if (digits == start) continue;
            start = digits;
            while (start > 0 && isWhite(uint8_t(text_[start - 1]))) --start;
            digits = start;
            while (digits > 0 && text_[digits - 1] >= '0' && text_[digits - 1] <= '9') --digits;
            if (digits == start || (digits > 0 && isRegular(uint8_t(text_[digits - 1])))) continue;
            const std::string numText(text_.substr(digits, start - digits));
            const uint32_t num = uint32_t(std::strtoul(numText.c_str(), nullptr, 10));
            entries_[num] = Entry{digits, 0, 0, false};
            if (double(entries_.size()) > crossReferenceLimit_) {
                tooManyObjects_ = true;
                return;
            }
        }
        for (size_t at = text_.find("trailer"); at != std::string_view::npos; at = text_.find("trailer", at + 7)) {
            Lexer lexer(text_, at + 7);
            if (auto dict = lexer.object(); dict && dict->is(Object::Type::dict) && dict->get("Root")) trailer_ = *dict;
        }
        if (trailer_.get("Root")) return;
        for (const auto& [num, entry] : entries_) {
            const Object& object = objectNumbered(num);
            if (object.get("Type") && object.get("Type")->isName("Catalog")) {
                trailer_ = Object{Object::Type::dict};
                Object root{Object::Type::ref};
                root.num = num;
                trailer_.entries.emplace_back("Root", root);
                return;
            }
        }
    }

    // Notes entry `num` of a section as poppler keeps it: in use, or free (none); a newer
    // section's entry, read first, holds. Free entries are kept as runs of numbers, in
    // use ones each; false once the sections list more entries than the limit.
    bool list(uint32_t num, std::optional<Entry> entry) {
        if (++listed_ > crossReferenceLimit_) {
            tooManyObjects_ = true;
            return false;
        }
        if (entries_.count(num) != 0) return true;
        auto after = freed_.upper_bound(num);
        if (after != freed_.begin()) {
            auto run = std::prev(after);
            if (num < run->second) return true;
            if (!entry && run->second == num) {
                run->second = num + 1;
                return true;
            }
        }
        if (entry) entries_.emplace(num, *entry);
        else freed_.emplace(num, num + 1);
        return true;
    }

    struct ObjectStream {
        bool loaded = false;
        std::string data;
        size_t first = 0;
        std::vector<size_t> offsets;
    };

    std::string_view text_;
    uint64_t budget_;
    double crossReferenceLimit_;
    double listed_ = 0;
    bool tooManyObjects_ = false;
    std::unordered_map<uint32_t, Entry> entries_;
    // Runs of numbers [first, end) newer sections list as free.
    std::map<uint32_t, uint32_t> freed_;
    std::unordered_map<uint32_t, std::unique_ptr<Object>> cache_;
    std::unordered_map<uint32_t, ObjectStream> objectStreams_;
    Object trailer_;
    ObjectBudget objects_;
};

// --- the page ------------------------------------------------------------------------

// A number of a content stream, read without strtod: a page holds hundreds of thousands
// of them, and a PDF number is only a sign, digits and a point.
double contentNumber(std::string_view text) {
    size_t i = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) i = 1;
    double value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) value = value * 10 + (text[i] - '0');
    if (i < text.size() && text[i] == '.') {
        double place = 0.1;
        for (++i; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, place *= 0.1) value += (text[i] - '0') * place;
    }
    return negative ? -value : value;
}

// The affine maps of PDF ([a b c d e f]: x' = a x + c y + e, y' = b x + d y + f).
struct Matrix {
    double a = 1, b = 0, c = 0, d = 1, e = 0, f = 0;

    // This map, then `outer`.
    Matrix then(const Matrix& outer) const {
        return Matrix{a * outer.a + b * outer.c,         a * outer.b + b * outer.d,
                      c * outer.a + d * outer.c,         c * outer.b + d * outer.d,
                      e * outer.a + f * outer.c + outer.e, e * outer.b + f * outer.d + outer.f};
    }
    std::pair<double, double> apply(double x, double y) const { return {a * x + c * y + e, b * x + d * y + f}; }
    // How much the map scales areas.
    double areaScale() const { return std::fabs(a * d - b * c); }
};

// An axis-aligned box; empty until a point is added.
struct Box {
    double left = INFINITY, bottom = INFINITY, right = -INFINITY, top = -INFINITY;

    bool empty() const { return !(right >= left && top >= bottom); }
    double width() const { return empty() ? 0 : right - left; }
    double height() const { return empty() ? 0 : top - bottom; }
    double area() const { return empty() ? 0 : (right - left) * (top - bottom); }
    void add(double x, double y) {
        left = std::min(left, x);
        right = std::max(right, x);
        bottom = std::min(bottom, y);
        top = std::max(top, y);
    }
    void add(const Matrix& m, double x, double y) {
        const auto [tx, ty] = m.apply(x, y);
        add(tx, ty);
    }
    Box meet(const Box& other) const {
        return Box{std::max(left, other.left), std::max(bottom, other.bottom), std::min(right, other.right),
                   std::min(top, other.top)};
    }
    // The box around this one mapped by `m`.
    Box mapped(const Matrix& m) const {
        Box out;
        if (empty()) return out;
        out.add(m, left, bottom);
        out.add(m, right, bottom);
        out.add(m, left, top);
        out.add(m, right, top);
        return out;
    }
};

// Sums of costs that can grow past any double (a stitching function holding itself
// twice over, two thousand deep) stay at the largest one instead.
double sum(double a, double b) { return std::min(a + b, 1e300); }
double product(double a, double b) { return a == 0 || b == 0 ? 0 : std::min(a * b, 1e300); }

// The costs of drawing one content stream, in the units of its own space (the page's
// default space for the page, a form's or pattern's own space for those): the shadings'
// weighted area and the weights added up (no paint covers more than the whole space it
// is drawn in), and the largest repeated tile's area and the narrowest tile's side in
// place of the page's shares.
struct Cost : PdfPageCosts {
    Cost() { finestTile = INFINITY; }
    double shadingArea = 0;
    double shadingWeight = 0;
};

// What `drawn` costs, added to `cost` `times` more, drawn with its space's areas scaled
// by `scale` into one of `room` in all; the depths are the caller's to settle.
void add(Cost& cost, const Cost& drawn, double times = 1, double scale = 1, double room = INFINITY) {
    cost.operators = sum(cost.operators, product(drawn.operators, times));
    cost.paints = sum(cost.paints, product(drawn.paints, times));
    cost.imagePixels = sum(cost.imagePixels, product(drawn.imagePixels, times));
    cost.groups = sum(cost.groups, product(drawn.groups, times));
    cost.shadingPaints = sum(cost.shadingPaints, product(drawn.shadingPaints, times));
    cost.functionWork = sum(cost.functionWork, product(drawn.functionWork, times));
    cost.meshElements = sum(cost.meshElements, product(drawn.meshElements, times));
    cost.tintWork = sum(cost.tintWork, product(drawn.tintWork, times));
    cost.dashedSegments = sum(cost.dashedSegments, product(drawn.dashedSegments, times));
    const double area = std::min(product(drawn.shadingArea, scale), product(drawn.shadingWeight, room));
    cost.shadingArea = sum(cost.shadingArea, product(area, times));
    cost.shadingWeight = sum(cost.shadingWeight, product(drawn.shadingWeight, times));
    cost.largestImage = std::max(cost.largestImage, drawn.largestImage);
    cost.largestMesh = std::max(cost.largestMesh, drawn.largestMesh);
    cost.largestTile = std::max(cost.largestTile, product(drawn.largestTile, scale));
    if (std::isfinite(drawn.finestTile)) {
        cost.finestTile = std::min(cost.finestTile, drawn.finestTile * std::sqrt(scale));
    }
}

// Reads one content stream's operators as they are decoded, whatever the chunks.
class ContentReader {
public:
    using Operator = std::function<void(std::string_view, const std::vector<Object>&)>;
    explicit ContentReader(Operator onOperator) : onOperator_(std::move(onOperator)) {}

    void feed(std::string_view chunk) {
        carry_.append(chunk);
        std::string_view text = carry_;
        size_t at = 0;
        while (at < text.size()) {
            if (inlineData_) {
                // Binary data up to "EI" standing alone.
                const size_t end = findInlineEnd(text, at);
                if (end == std::string_view::npos) {
                    const size_t kept = std::max(at, text.size() - std::min<size_t>(text.size(), 4));
                    keepInline(text.substr(at, kept - at));
                    at = kept;
                    break;
                }
                inlineData_ = false;
                keepInline(text.substr(at, end - at));
                at = end + 2;
                onOperator_("EI", operands_);
                inline_.clear();
                operands_.clear();
                continue;
            }
            const auto c = uint8_t(text[at]);
            if (isWhite(c)) {
                ++at;
                continue;
            }
            // Everything but the last token of the chunk is whole; the last may go on.
            const size_t end = tokenEnd(text, at);
            if (end == std::string_view::npos) break;
            token(text.substr(at, end - at));
            at = end;
        }
        carry_.erase(0, at);
        // A token no real content has (a string or name of megabytes) is let go.
        if (carry_.size() > (1u << 20)) carry_.clear();
    }

    // The data of the inline image whose "EI" is being reported (its first MiB).
    std::string_view inlineImage() const { return inline_; }

    void finish() {
        if (!carry_.empty() && !inlineData_) {
            const std::string rest = carry_ + " ";
            carry_.clear();
            feed(rest);
        }
        carry_.clear();
    }

private:
    void keepInline(std::string_view data) {
        // Skips the one white-space character after "ID".
        if (inline_.empty() && !startedInline_ && !data.empty()) {
            data.remove_prefix(1);
            startedInline_ = true;
        }
        if (inline_.size() < (1u << 20)) inline_.append(data.substr(0, (1u << 20) - inline_.size()));
    }

    static size_t findInlineEnd(std::string_view text, size_t from) {
        for (size_t i = from; i + 2 <= text.size(); ++i) {
            if (text[i] == 'E' && text[i + 1] == 'I' && (i == 0 || isWhite(uint8_t(text[i - 1]))) &&
                (i + 2 == text.size() ? false : !isRegular(uint8_t(text[i + 2])))) {
                return i;
            }
        }
        return std::string_view::npos;
    }

    // Where the token at `at` ends, or npos when it may go on past the text.
    static size_t tokenEnd(std::string_view text, size_t at) {
        const char c = text[at];
        if (c == '%') {
            const size_t end = text.find_first_of("\r\n", at);
            return end;
        }
        if (c == '(') return literalStringEnd(text, at);
        if (c == '<' || c == '>') {
            if (at + 1 >= text.size()) return std::string_view::npos;
            if (text[at + 1] == c) return at + 2;
            if (c == '>') return at + 1;
            const size_t end = text.find('>', at);
            return end == std::string_view::npos ? end : end + 1;
        }
        if (c == '[' || c == ']' || c == '{' || c == '}' || c == ')') return at + 1;
        size_t i = at + 1;
        while (i < text.size() && isRegular(uint8_t(text[i]))) ++i;
        return i == text.size() ? std::string_view::npos : i;
    }

    void token(std::string_view text) {
        const char c = text[0];
        if (c == '%') return;
        Object operand;
        if (c == '/') {
            operand.type = Object::Type::name;
            operand.text = text.substr(1);
        } else if (c == '(' || (c == '<' && text.size() > 1 && text[1] != '<')) {
            operand.type = Object::Type::string;
            operand.number = double(text.size());
        } else if (Lexer::isNumber(text)) {
            operand.type = Object::Type::number;
            operand.number = contentNumber(text);
        } else if (isRegular(uint8_t(c))) {
            if (text == "true" || text == "false" || text == "null") {
                operand.type = Object::Type::null;
            } else {
                if (text == "ID") {
                    inlineData_ = true;
                    startedInline_ = false;
                }
                onOperator_(text, operands_);
                if (text != "ID") operands_.clear();
                return;
            }
        } else {
            operand.type = Object::Type::none;  // array and dictionary brackets
        }
        // Operands past any operator's needs are dropped.
        if (operands_.size() >= 64) operands_.erase(operands_.begin());
        operands_.push_back(std::move(operand));
    }

    Operator onOperator_;
    std::string carry_;
    std::vector<Object> operands_;
    bool inlineData_ = false;
    bool startedInline_ = false;
    std::string inline_;
};

// A matrix given as an array of six numbers; the identity otherwise.
Matrix matrixOf(PdfFile& file, const Object* value) {
    const Object& array = file.resolve(value);
    if (!array.is(Object::Type::array) || array.items.size() < 6) return Matrix{};
    double m[6];
    for (size_t i = 0; i < 6; ++i) m[i] = file.number(&array.items[i], i == 0 || i == 3 ? 1 : 0);
    return Matrix{m[0], m[1], m[2], m[3], m[4], m[5]};
}

// A rectangle given as an array of four numbers, its corners in any order; empty
// otherwise.
Box boxOf(PdfFile& file, const Object* value) {
    const Object& array = file.resolve(value);
    Box box;
    if (!array.is(Object::Type::array) || array.items.size() < 4) return box;
    double v[4];
    for (size_t i = 0; i < 4; ++i) v[i] = file.number(&array.items[i], NAN);
    if (!std::isfinite(v[0] + v[1] + v[2] + v[3])) return box;
    box.add(v[0], v[1]);
    box.add(v[2], v[3]);
    return box;
}

// Where glyph procedures of a font whose box is unknown may draw: everywhere.
const Box kEverywhere{-1e9, -1e9, 1e9, 1e9};

// Where a content's names are looked up: its own resources, then those of each content
// drawing it, out to the page's, as poppler looks them up. A form whose own resources
// lack a name still draws what the page's name.
struct Resources {
    const Object* own = &kNull;
    const Resources* outer = nullptr;
    int depth = 0;    // levels from the page's resources
    uint32_t id = 0;  // the same for the same resources met through the same ones
};

class PageScanner {
public:
    PageScanner(PdfFile& file, const PdfScanLimits& limits) : file_(file), limits_(limits) {}

    // The page's resources, where every lookup ends.
    Resources pageResources(const Object& own) {
        Resources page;
        page.own = &own;
        page.id = chainId(&own, 0);
        return page;
    }

    // The cost of drawing a content stream (or several, one after another) with
    // `resources` into a space of which `room` shows; false with the file's reason when
    // it cannot be read.
    bool content(const std::vector<const Object*>& streams, const Resources& resources, int depth, const Box& room,
                 Cost& out) {
        if (depth > kMaxPdfFormDepth) {
            return file_.fail(PictureProblem::tooDemanding,
                              fmt::format("the PDF page nests forms more than {} deep", kMaxPdfFormDepth));
        }
        Cost cost;
        Frame frame;
        frame.room = room;
        frame.states.push_back(State{Matrix{}, room, Paint{}, Paint{}});
        bool ok = true;
        ContentReader* self = nullptr;
        ContentReader reader([&](std::string_view op, const std::vector<Object>& operands) {
            inlineImage_ = self->inlineImage();
            if (ok) ok = operation(op, operands, resources, depth, frame, cost);
        });
        self = &reader;
        for (const Object* stream : streams) {
            const Decoded decoded = file_.decode(*stream, [&](std::string_view chunk) {
                reader.feed(chunk);
                return ok;
            });
            if (!ok) return false;
            if (decoded == Decoded::overBudget) {
                return file_.fail(PictureProblem::tooDemanding, "the PDF page's contents decode to too much data");
            }
            if (decoded == Decoded::unreadable) {
                return file_.fail(PictureProblem::damaged, "the PDF page's contents use a filter meant for images");
            }
            reader.feed(" ");
        }
        reader.finish();
        if (!ok) return false;
        out = cost;
        return true;
    }

    // The page's annotations, which poppler draws over the page when printing: each
    // appearance as a form stretched onto the annotation's rectangle. Every one is
    // counted, shown or hidden, in whatever state it is in when it has no state chosen.
    bool annotations(const Object& page, const Resources& resources, const Box& room, Cost& cost) {
        for (const Object& item : file_.resolve(page.get("Annots")).items) {
            const Object& annotation = file_.resolve(item);
            const Object& normal = file_.resolve(file_.resolve(annotation.get("AP")).get("N"));
            std::vector<const Object*> appearances;
            if (normal.isStream) {
                appearances.push_back(&normal);
            } else if (const Object* state = annotation.get("AS"); state && normal.get(file_.resolve(state).text)) {
                appearances.push_back(&file_.resolve(normal.get(file_.resolve(state).text)));
            } else {
                for (const auto& [name, value] : normal.entries) appearances.push_back(&file_.resolve(value));
            }
            const Box rectangle = boxOf(file_, annotation.get("Rect"));
            for (const Object* appearance : appearances) {
                if (!appearance->isStream) continue;
                Cost drawn;
                if (!form(*appearance, resources, 0, drawn)) return false;
                const Box shown = boxOf(file_, appearance->get("BBox")).mapped(matrixOf(file_, appearance->get("Matrix")));
                const double scale = shown.area() > 0 ? rectangle.area() / shown.area() : 0;
                add(cost, drawn, 1, scale, room.area());
                cost.groupDepth = std::max(cost.groupDepth, drawn.groupDepth);
                if (!withinLimits(cost)) return false;
            }
        }
        return true;
    }

private:
    // What filling or stroking paints with: a colour, a tiling pattern or a shading.
    struct Paint {
        enum class Kind : uint8_t { colour, tiling, shading };
        Kind kind = Kind::colour;
        Matrix matrix;  // from the pattern's space to the content's
        // A tiling pattern: what one tile draws, its box, its steps, and whether cairo
        // repeats one tile's surface (a tile as large as its steps) or poppler draws
        // every tile.
        Cost tile;
        Box box;
        double xStep = 0, yStep = 0;
        bool repeated = false;
        const Object* shading = nullptr;
    };
    struct Function {
        double parse = 0, evaluate = 0;
    };
    struct State {
        Matrix ctm;  // to the content's own space
        Box clip;    // in the content's own space
        Paint fill, stroke;
        // The tint transforms of the fill and stroke colour spaces, when they have one.
        Function fillTint, strokeTint;
        // Lines are stroked with dashes.
        bool dashed = false;
    };
    struct Frame {
        std::vector<State> states;
        Box room;
        Box path;  // the path being built, in the content's own space
        double points = 0;  // its points
        bool clipping = false;
    };
    // What painting a shading costs each time, whatever its clip.
    struct Shading {
        bool drawn = false;
        double weight = 0;
        double work = 0;      // of its functions
        double elements = 0;  // patches or triangles of a mesh
        double area = 0;      // a mesh's elements' boxes, in the shading's space
        double bytes = 0;     // held while a mesh is drawn
        bool mesh = false;
        Box box;  // its own clip, when it has one
    };
    // The object `name` stands for in `category`, from the first resources along the
    // chain that have it; how far the lookup went is noted for the form being measured.
    const Object& resource(const Resources& resources, std::string_view category, const Object* name) {
        if (!name || !name->is(Object::Type::name)) return kNull;
        for (const Resources* at = &resources; at != nullptr; at = at->outer) {
            const Object& found = file_.resolve(file_.resolve(at->own->get(category)).get(name->text));
            if (!found.is(Object::Type::null) && !found.is(Object::Type::none)) {
                reach_ = std::min(reach_, at->depth);
                return found;
            }
        }
        reach_ = 0;  // missing everywhere: any resources on the way could have had it
        return kNull;
    }

    // Resources `own` met within `outer`.
    Resources within(const Resources& outer, const Object& own) {
        Resources inner;
        inner.own = &own;
        inner.outer = &outer;
        inner.depth = outer.depth + 1;
        inner.id = chainId(&own, outer.id);
        return inner;
    }

    uint32_t chainId(const Object* own, uint32_t outer) {
        return chains_.try_emplace(std::make_pair(own, outer), uint32_t(chains_.size() + 1)).first->second;
    }

    static const Object* lastOf(const std::vector<Object>& operands, Object::Type type) {
        for (auto at = operands.rbegin(); at != operands.rend(); ++at) {
            if (at->is(type)) return &*at;
        }
        return nullptr;
    }

    // The last `count` operands, when they are all numbers.
    static bool numbers(const std::vector<Object>& operands, size_t count, double* out) {
        if (operands.size() < count) return false;
        for (size_t i = 0; i < count; ++i) {
            const Object& operand = operands[operands.size() - count + i];
            if (!operand.is(Object::Type::number)) return false;
            out[i] = operand.number;
        }
        return true;
    }

    bool operation(std::string_view op, const std::vector<Object>& operands, const Resources& resources, int depth,
                   Frame& frame, Cost& cost) {
        // What a part of the page costs, the whole page costs at least.
        return operate(op, operands, resources, depth, frame, cost) && withinLimits(cost);
    }

    // False with the file's reason when a count passes its limit.
    bool withinLimits(const Cost& cost) {
        if (cost.operators > limits_.operators || cost.paints > limits_.paints) {
            return file_.fail(PictureProblem::tooDemanding,
                              fmt::format("drawing the PDF page runs more than {} operators or {} painting ones, "
                                          "counting every use of its forms",
                                          limits_.operators, limits_.paints));
        }
        if (cost.imagePixels > limits_.imagePixels) {
            return file_.fail(PictureProblem::tooDemanding,
                              fmt::format("drawing the PDF page decodes more than {} image pixels, counting every use",
                                          limits_.imagePixels));
        }
        if (cost.shadingPaints > limits_.shadingPaints) {
            return file_.fail(PictureProblem::tooDemanding,
                              fmt::format("drawing the PDF page paints shadings more than {} times, counting every "
                                          "use of its forms and patterns",
                                          limits_.shadingPaints));
        }
        if (cost.functionWork > limits_.functionWork) {
            return file_.fail(PictureProblem::tooDemanding,
                              fmt::format("drawing the PDF page's shadings takes more than {} steps of their "
                                          "functions, counting every paint",
                                          limits_.functionWork));
        }
        if (cost.tintWork > limits_.tintWork) {
            return file_.fail(PictureProblem::tooDemanding,
                              fmt::format("drawing the PDF page takes more than {} steps of the tint transforms of "
                                          "its colours and of its transfer functions, counting every use",
                                          limits_.tintWork));
        }
        if (cost.meshElements > limits_.meshElements) {
            return file_.fail(PictureProblem::tooDemanding,
                              fmt::format("drawing the PDF page's mesh shadings draws more than {} patches or "
                                          "triangles, counting every paint",
                                          limits_.meshElements));
        }
        return true;
    }

    // An operator of up to three characters as one number, to switch on: a page runs
    // hundreds of thousands of them.
    static constexpr uint32_t code(std::string_view op) {
        if (op.empty() || op.size() > 3) return 0;
        uint32_t packed = 0;
        for (const char c : op) packed = packed << 8 | uint8_t(c);
        return packed;
    }

    bool operate(std::string_view op, const std::vector<Object>& operands, const Resources& resources, int depth,
                 Frame& frame, Cost& cost) {
        cost.operators += 1;
        State& state = frame.states.back();
        double n[6];
        switch (code(op)) {
            case code("q"):
                if (frame.states.size() < kMaxSavedStates) frame.states.push_back(state);
                break;
            case code("Q"):
                if (frame.states.size() > 1) frame.states.pop_back();
                break;
            case code("cm"):
                if (numbers(operands, 6, n)) state.ctm = Matrix{n[0], n[1], n[2], n[3], n[4], n[5]}.then(state.ctm);
                break;
            case code("m"):
            case code("l"):
                if (numbers(operands, 2, n)) frame.path.add(state.ctm, n[0], n[1]);
                frame.points += 1;
                break;
            case code("d"): {
                // Dashes cut every segment into as many pieces as fit, at any size drawn.
                const Object* dashes = operands.empty() ? nullptr : &operands.front();
                state.dashed = dashes != nullptr && dashes->is(Object::Type::array) &&
                               std::ranges::any_of(dashes->items, [](const Object& item) {
                                   return item.is(Object::Type::number) && item.number > 0;
                               });
                break;
            }
            case code("c"):
            case code("v"):
            case code("y"): {
                const size_t count = op == "c" ? 6 : 4;
                if (numbers(operands, count, n)) {
                    for (size_t i = 0; i < count; i += 2) frame.path.add(state.ctm, n[i], n[i + 1]);
                }
                frame.points += 1;
                break;
            }
            case code("re"):
                if (numbers(operands, 4, n)) {
                    frame.path.add(state.ctm, n[0], n[1]);
                    frame.path.add(state.ctm, n[0] + n[2], n[1]);
                    frame.path.add(state.ctm, n[0], n[1] + n[3]);
                    frame.path.add(state.ctm, n[0] + n[2], n[1] + n[3]);
                }
                frame.points += 4;
                break;
            case code("W"):
            case code("W*"):
                frame.clipping = true;
                break;
            case code("f"):
            case code("F"):
            case code("f*"):
            case code("B"):
            case code("B*"):
            case code("b"):
            case code("b*"): {
                cost.paints += 1;
                const Box painted = frame.path.meet(state.clip);
                if (!paint(state.fill, painted, frame, cost)) return false;
                if ((op[0] == 'B' || op[0] == 'b') && !paint(state.stroke, painted, frame, cost)) return false;
                if ((op[0] == 'B' || op[0] == 'b') && state.dashed) cost.dashedSegments += frame.points;
                endPath(frame, state);
                break;
            }
            case code("S"):
            case code("s"):
                cost.paints += 1;
                if (!paint(state.stroke, frame.path.meet(state.clip), frame, cost)) return false;
                if (state.dashed) cost.dashedSegments += frame.points;
                endPath(frame, state);
                break;
            case code("n"):
                endPath(frame, state);
                break;
            case code("sh"): {
                cost.paints += 1;
                const Object& shading = resource(resources, "Shading", lastOf(operands, Object::Type::name));
                return paintShading(shading, state.ctm, state.clip, frame, cost);
            }
            case code("Tj"):
            case code("TJ"):
            case code("'"):
            case code("\""):
                cost.paints += 1;
                return paint(state.fill, state.clip, frame, cost);
            case code("Do"):
                return drawObject(resource(resources, "XObject", lastOf(operands, Object::Type::name)), resources,
                                  depth, state, cost);
            case code("gs"): {
                const Object& graphicsState = resource(resources, "ExtGState", lastOf(operands, Object::Type::name));
                for (const char* key : {"TR", "TR2"}) {
                    if (!transfer(graphicsState.get(key), cost)) return false;
                }
                const Object& mask = file_.resolve(graphicsState.get("SMask"));
                if (!mask.is(Object::Type::dict)) break;
                if (!transfer(mask.get("TR"), cost)) return false;
                const Object& group = file_.resolve(mask.get("G"));
                if (!group.isStream) break;
                Cost drawn;
                if (!form(group, resources, depth, drawn)) return false;
                add(cost, drawn, 1, matrixOf(file_, group.get("Matrix")).then(state.ctm).areaScale(),
                    state.clip.area());
                cost.groups += 1;
                cost.groupDepth = std::max(cost.groupDepth, drawn.groupDepth + 1);
                break;
            }
            case code("g"):
            case code("rg"):
            case code("k"):
                state.fill = Paint{};
                state.fillTint = Function{};
                break;
            case code("G"):
            case code("RG"):
            case code("K"):
                state.stroke = Paint{};
                state.strokeTint = Function{};
                break;
            case code("cs"):
            case code("CS"): {
                // The space, and its tint transform, is parsed anew at each use.
                Function& tint = op == "cs" ? state.fillTint : state.strokeTint;
                (op == "cs" ? state.fill : state.stroke) = Paint{};
                const Object* name = lastOf(operands, Object::Type::name);
                const Object& named = resource(resources, "ColorSpace", name);
                if (!tintOf(named, tint)) return false;
                cost.tintWork = sum(cost.tintWork, tint.parse);
                break;
            }
            case code("sc"):
            case code("SC"):
                // Each colour set is turned into the device's colours once.
                state.fill = op == "sc" ? Paint{} : state.fill;
                state.stroke = op == "SC" ? Paint{} : state.stroke;
                cost.tintWork = sum(cost.tintWork, (op == "sc" ? state.fillTint : state.strokeTint).evaluate);
                break;
            case code("scn"):
            case code("SCN"): {
                Paint& paint = op == "scn" ? state.fill : state.stroke;
                if (!lastOf(operands, Object::Type::name)) {
                    paint = Paint{};
                    cost.tintWork = sum(cost.tintWork, (op == "scn" ? state.fillTint : state.strokeTint).evaluate);
                    break;
                }
                if (!pattern(resource(resources, "Pattern", lastOf(operands, Object::Type::name)), resources, depth,
                             paint)) {
                    return false;
                }
                cost.groupDepth = std::max(cost.groupDepth, paint.tile.groupDepth);
                break;
            }
            case code("Tf"): {
                const Object* name = nullptr;
                for (const auto& operand : operands) {
                    if (operand.is(Object::Type::name)) name = &operand;
                }
                const Object& font = resource(resources, "Font", name);
                if (font.get("Subtype") && file_.resolve(font.get("Subtype")).isName("Type3")) {
                    return type3Font(font, resources, depth, state, cost);
                }
                break;
            }
            case code("EI"): {
                // An inline image: its dictionary's keys came as operands, its data
                // after them.
                double width = 0, height = 0, bits = 8;
                bool jbig2 = false;
                const Object* space = nullptr;
                for (size_t i = 0; i < operands.size(); ++i) {
                    const Object& key = operands[i];
                    jbig2 = jbig2 || key.isName("JBIG2Decode");
                    if (i + 1 >= operands.size()) continue;
                    if (key.isName("W") || key.isName("Width")) width = operands[i + 1].number;
                    if (key.isName("H") || key.isName("Height")) height = operands[i + 1].number;
                    if (key.isName("BPC") || key.isName("BitsPerComponent")) bits = operands[i + 1].number;
                    if (key.isName("CS") || key.isName("ColorSpace")) space = &operands[i + 1];
                }
                double pixels = std::max(0.0, width) * std::max(0.0, height);
                if (jbig2) {
                    const auto declared = jbig2Pixels(std::string(), inlineImage_);
                    if (!declared) return false;
                    pixels = std::max(pixels, *declared);
                }
                if (space != nullptr && space->is(Object::Type::name)) {
                    Function tint;
                    const Object& named = resource(resources, "ColorSpace", space);
                    if (!tintOf(named, tint)) return false;
                    if (!tinted(tint, named, pixels, bits, cost)) return false;
                }
                image(pixels, 1, cost);
                break;
            }
            default:
                break;
        }
        return true;
    }

    // A path painted or given up: a clip it was meant for now applies.
    static void endPath(Frame& frame, State& state) {
        if (frame.clipping) state.clip = state.clip.meet(frame.path);
        frame.path = Box{};
        frame.points = 0;
        frame.clipping = false;
    }

    // What `scn` sets: a tiling pattern's tile measured once, or a shading pattern.
    bool pattern(const Object& object, const Resources& resources, int depth, Paint& paint) {
        paint = Paint{};
        const double type = file_.number(object.get("PatternType"), 0);
        paint.matrix = matrixOf(file_, object.get("Matrix"));
        if (type == 2) {
            paint.kind = Paint::Kind::shading;
            paint.shading = &file_.resolve(object.get("Shading"));
            return true;
        }
        if (type != 1 || !object.isStream) return true;
        paint.kind = Paint::Kind::tiling;
        // What poppler takes for a box or step that is missing or not a number.
        paint.box = boxOf(file_, object.get("BBox"));
        if (paint.box.empty()) paint.box = Box{0, 0, 1, 1};
        paint.xStep = std::fabs(file_.number(object.get("XStep"), 1));
        paint.yStep = std::fabs(file_.number(object.get("YStep"), 1));
        paint.repeated = paint.xStep == paint.box.width() && paint.yStep == paint.box.height();
        return form(object, resources, depth, paint.tile);
    }

    // Filling or stroking `painted` (in the content's space) with `paint`.
    bool paint(const Paint& paint, const Box& painted, const Frame& frame, Cost& cost) {
        if (paint.kind == Paint::Kind::shading) return paintShading(*paint.shading, paint.matrix, painted, frame, cost);
        if (paint.kind != Paint::Kind::tiling) return true;
        const Matrix& m = paint.matrix;
        const double scale = m.areaScale();
        // A pattern poppler cannot invert is not drawn.
        if (!(scale > 0) || !(paint.xStep > 0) || !(paint.yStep > 0)) return true;
        // Each paint draws its tiles into a surface of its own.
        cost.groups += 1;
        if (paint.repeated) {
            add(cost, paint.tile, 1, scale);
            cost.largestTile = std::max(cost.largestTile, paint.box.area() * scale);
            // The cell's narrower side: its area over its longer edge.
            const double across = std::hypot(m.a, m.b) * paint.xStep, up = std::hypot(m.c, m.d) * paint.yStep;
            cost.finestTile = std::min(cost.finestTile, scale * paint.xStep * paint.yStep / std::max(across, up));
            return true;
        }
        // Poppler draws every tile that meets what is painted, one after another.
        const double det = m.a * m.d - m.b * m.c;
        const Matrix inverse{m.d / det, -m.b / det, -m.c / det, m.a / det, (m.c * m.f - m.d * m.e) / det,
                             (m.b * m.e - m.a * m.f) / det};
        const Box inPattern = painted.mapped(inverse);
        if (inPattern.empty()) return true;
        const double tiles = product(inPattern.width() / paint.xStep + 1, inPattern.height() / paint.yStep + 1);
        add(cost, paint.tile, tiles, scale);
        cost.operators = sum(cost.operators, product(tiles, 4));
        return true;
    }

    // Painting `object` (a shading) over `painted`, the shading's space mapped into the
    // content's by `toContent`.
    bool paintShading(const Object& object, const Matrix& toContent, const Box& painted, const Frame& frame,
                      Cost& cost) {
        const Shading* shading = measure(object);
        if (shading == nullptr) return false;
        if (!shading->drawn) return true;
        Box covered = painted.meet(frame.room);
        if (!shading->box.empty()) covered = covered.meet(shading->box.mapped(toContent));
        double area = covered.area();
        if (shading->mesh) area = std::min(product(shading->area, toContent.areaScale()), product(area, shading->elements));
        cost.shadingPaints += 1;
        cost.shadingArea = sum(cost.shadingArea, product(shading->weight, area));
        cost.shadingWeight = sum(cost.shadingWeight, product(shading->weight, std::max(1.0, shading->elements)));
        cost.functionWork = sum(cost.functionWork, shading->work);
        cost.meshElements = sum(cost.meshElements, shading->elements);
        cost.largestMesh = std::max(cost.largestMesh, shading->bytes);
        return true;
    }

    // What painting a shading costs each time, measured once; null with the file's
    // reason when that is beyond the limits.
    const Shading* measure(const Object& object) {
        if (const auto known = shadings_.find(&object); known != shadings_.end()) return &known->second;
        Shading shading;
        const int type = int(file_.number(object.get("ShadingType"), 0));
        Function function;
        if (object.is(Object::Type::dict) && type >= 1 && type <= 7) {
            if (const Object* functions = object.get("Function");
                functions && !this->function(file_.resolve(functions), 0, function)) {
                return nullptr;
            }
            shading.drawn = true;
            shading.box = boxOf(file_, object.get("BBox"));
            double evaluations = type == 1 ? ShadingEvaluations::functionBased
                                 : type == 2 ? ShadingEvaluations::axial
                                             : ShadingEvaluations::radial;
            shading.weight = type == 1 ? ShadingPixelWeights::functionBased
                             : type == 2 ? ShadingPixelWeights::axial
                             : type == 3 ? ShadingPixelWeights::radial
                                         : ShadingPixelWeights::mesh;
            if (type >= 4) {
                if (!mesh(object, type, object.get("Function") != nullptr, shading)) return nullptr;
                evaluations = object.get("Function") ? product(shading.elements, type <= 5 ? 3 : 4) : 0;
            }
            shading.work = sum(function.parse, product(evaluations, function.evaluate));
            // Each colour it makes goes through its space's tint transform.
            Function tint;
            if (!tintOf(file_.resolve(object.get("ColorSpace")), tint)) return nullptr;
            const double colours =
                type >= 4 && !object.get("Function") ? product(shading.elements, type <= 5 ? 3 : 4) : evaluations;
            shading.work = sum(shading.work, sum(tint.parse, product(colours, tint.evaluate)));
        }
        return &shadings_.emplace(&object, shading).first->second;
    }

    // A mesh shading's patches or triangles and the area they cover, read from its data
    // as it is decoded; false with the file's reason when there are too many.
    bool mesh(const Object& object, int type, bool parametric, Shading& out) {
        out.mesh = true;
        if (!object.isStream) return true;
        MeshLayout layout;
        layout.type = type;
        layout.flagBits = whole<int>(file_.number(object.get("BitsPerFlag"), 8), 32);
        layout.coordinateBits = whole<int>(file_.number(object.get("BitsPerCoordinate"), 8), 32);
        layout.componentBits = whole<int>(file_.number(object.get("BitsPerComponent"), 8), 32);
        layout.verticesPerRow = whole<int>(file_.number(object.get("VerticesPerRow"), 2), 1 << 30);
        layout.components = parametric ? 1 : colourComponents(file_.resolve(object.get("ColorSpace")));
        const Object& decode = file_.resolve(object.get("Decode"));
        if (decode.is(Object::Type::array) && decode.items.size() >= 4) {
            layout.xMin = file_.number(&decode.items[0], 0);
            layout.xMax = file_.number(&decode.items[1], 1);
            layout.yMin = file_.number(&decode.items[2], 0);
            layout.yMax = file_.number(&decode.items[3], 1);
        }
        MeshMeasure measure(layout);
        const Decoded decoded = file_.decode(object, [&](std::string_view chunk) {
            measure.feed(chunk);
            return measure.elements() <= limits_.meshElements;
        });
        if (decoded == Decoded::overBudget) {
            return file_.fail(PictureProblem::tooDemanding, "the PDF page's mesh shading decodes to too much data");
        }
        if (measure.elements() > limits_.meshElements) {
            return file_.fail(PictureProblem::tooDemanding,
                              fmt::format("the PDF page draws a mesh shading of more than {} patches or triangles",
                                          limits_.meshElements));
        }
        out.elements = measure.elements();
        out.area = measure.area();
        // Poppler keeps each vertex with room for 32 colour components, each patch with
        // sixteen points and four such colours, in arrays it doubles as they fill; cairo
        // keeps each element once more as a patch of its own.
        const double held = type <= 5 ? measure.vertices() * 144 + out.elements * 12 : out.elements * 1300;
        out.bytes = held * 2 + out.elements * 400;
        return true;
    }

    int colourComponents(const Object& space) {
        const Object& family = space.is(Object::Type::array) && !space.items.empty() ? file_.resolve(space.items[0])
                                                                                     : space;
        if (family.isName("DeviceRGB") || family.isName("RGB") || family.isName("CalRGB") || family.isName("Lab")) {
            return 3;
        }
        if (family.isName("DeviceCMYK") || family.isName("CMYK")) return 4;
        if (family.isName("ICCBased") && space.items.size() > 1) {
            return whole<int>(file_.number(file_.resolve(space.items[1]).get("N"), 1), 32);
        }
        if (family.isName("DeviceN") && space.items.size() > 1) {
            return std::max<int>(1, int(std::min<size_t>(32, file_.resolve(space.items[1]).items.size())));
        }
        return 1;
    }

    // What parsing a function costs, and evaluating it once (every function a stitching
    // one holds counted, as often as it is held); false with the file's reason when it
    // nests too deeply or holds too many samples.
    bool function(const Object& object, int depth, Function& out) {
        out = Function{};
        if (object.is(Object::Type::array)) {
            for (const Object& item : object.items) {
                Function one;
                if (!function(file_.resolve(item), depth, one)) return false;
                out.parse = sum(out.parse, one.parse);
                out.evaluate = sum(out.evaluate, one.evaluate);
            }
            return true;
        }
        if (!object.is(Object::Type::dict)) return true;
        if (depth > kMaxPdfFunctionDepth) {
            return file_.fail(PictureProblem::tooDemanding,
                              fmt::format("the PDF page's shading functions nest more than {} deep",
                                          kMaxPdfFunctionDepth));
        }
        if (const auto known = functions_.find(&object); known != functions_.end()) {
            out = known->second;
            return true;
        }
        // A function holding itself is refused by poppler: it costs nothing.
        if (!measuring_.insert(&object).second) return true;
        const int type = int(file_.number(object.get("FunctionType"), -1));
        constexpr double kCall = 8;
        bool ok = true;
        if (type == 0) {
            const Object& size = file_.resolve(object.get("Size"));
            const double outputs = double(file_.resolve(object.get("Range")).items.size() / 2);
            double samples = outputs;
            for (const Object& side : size.items) samples = product(samples, std::max(0.0, file_.number(&side, 0)));
            if (samples > limits_.functionSamples) {
                ok = file_.fail(PictureProblem::tooDemanding,
                                fmt::format("the PDF page's shadings use a sampled function of {} samples", samples));
            }
            out = Function{samples, sum(product(std::ldexp(1.0, int(std::min<size_t>(size.items.size(), 64))), outputs),
                                        kCall)};
        } else if (type == 2) {
            out = Function{kCall, kCall + double(file_.resolve(object.get("C0")).items.size())};
        } else if (type == 3) {
            out = Function{kCall, kCall};
            for (const Object& item : file_.resolve(object.get("Functions")).items) {
                Function one;
                if (!(ok = function(file_.resolve(item), depth + 1, one))) break;
                out.parse = sum(out.parse, one.parse);
                out.evaluate = sum(out.evaluate, one.evaluate);
            }
        } else if (type == 4 && object.isStream) {
            double tokens = 0;
            const Decoded decoded = file_.decode(object, [&](std::string_view chunk) {
                tokens += calculatorTokens(chunk);
                return true;
            });
            if (decoded == Decoded::overBudget) {
                ok = file_.fail(PictureProblem::tooDemanding, "the PDF page's shading function decodes to too much data");
            }
            out = Function{tokens, tokens + kCall};
        }
        measuring_.erase(&object);
        if (ok) functions_.emplace(&object, out);
        return ok;
    }

    void image(double width, double height, Cost& cost) {
        const double pixels = std::max(0.0, width) * std::max(0.0, height);
        cost.paints += 1;
        cost.imagePixels += pixels;
        cost.largestImage = std::max(cost.largestImage, int64_t(std::min(pixels, 9e18)));
    }

    // The pixels an image stream decodes to: what its dictionary says, or what its own
    // codec's header says when that is larger (the codec allocates by its header). None,
    // with the file's reason, when its codec would allocate beyond the pixel limits.
    std::optional<double> imagePixels(const Object& stream) {
        double width = file_.number(stream.get("Width"), 0), height = file_.number(stream.get("Height"), 0);
        const Object& filter = file_.resolve(stream.get("Filter"));
        const Object& codec = filter.is(Object::Type::array) && !filter.items.empty()
                                  ? file_.resolve(filter.items.back())
                                  : filter;
        if (codec.isName("JPXDecode")) {
            // The codestream's size marker: its width and height less their offsets.
            const std::string_view data = file_.raw(stream).substr(0, 4096);
            if (const size_t siz = data.find("\xFF\x51"); siz != std::string_view::npos && siz + 22 <= data.size()) {
                auto be32 = [&](size_t at) {
                    return double(uint32_t(uint8_t(data[at])) << 24 | uint32_t(uint8_t(data[at + 1])) << 16 |
                                  uint32_t(uint8_t(data[at + 2])) << 8 | uint32_t(uint8_t(data[at + 3])));
                };
                width = std::max(width, be32(siz + 6) - be32(siz + 14));
                height = std::max(height, be32(siz + 10) - be32(siz + 18));
            }
        }
        double pixels = std::max(0.0, width) * std::max(0.0, height);
        if (codec.isName("JBIG2Decode")) {
            // The decoder allocates the page its segments declare, and each region.
            auto bytesOf = [&](const Object& of) {
                std::string data;
                file_.decode(of, [&](std::string_view chunk) {
                    data.append(chunk);
                    return true;
                }, CodecData::pass);
                return data;
            };
            const Object& parms = file_.resolve(stream.get("DecodeParms"));
            const Object& last = parms.is(Object::Type::array) && !parms.items.empty()
                                     ? file_.resolve(parms.items.back())
                                     : parms;
            const Object& globals = file_.resolve(last.get("JBIG2Globals"));
            const auto declared = jbig2Pixels(globals.isStream ? bytesOf(globals) : std::string(), bytesOf(stream));
            if (!declared) return std::nullopt;
            pixels = std::max(pixels, *declared);
        }
        return pixels;
    }

    // The most pixels JBIG2 data makes its decoder allocate at once; none, with the
    // file's reason, beyond the pixel limits.
    std::optional<double> jbig2Pixels(std::string_view globals, std::string_view data) {
        const Jbig2Bitmaps bitmaps = jbig2Bitmaps(globals, data);
        if (bitmaps.widest > uint64_t(kMaxImageSide) || bitmaps.tallest > uint64_t(kMaxImageSide) ||
            bitmaps.pixels > double(kMaxImagePixels)) {
            file_.fail(PictureProblem::tooLarge,
                       fmt::format("the PDF page's JBIG2 image declares a bitmap of {} x {} pixels (at most {} "
                                   "per side and {} in all)",
                                   bitmaps.width, bitmaps.height, kMaxImageSide, kMaxImagePixels));
            return std::nullopt;
        }
        return bitmaps.pixels;
    }

    // The tint transform of a colour space (Separation, DeviceN, or an indexed or
    // pattern space over one); none for the others. False with the file's reason when
    // its function cannot be measured.
    bool tintOf(const Object& space, Function& out, int depth = 0) {
        out = Function{};
        if (!space.is(Object::Type::array) || space.items.empty() || depth > 4) return true;
        const Object& family = file_.resolve(space.items[0]);
        if ((family.isName("Separation") || family.isName("DeviceN")) && space.items.size() > 3) {
            return function(file_.resolve(space.items[3]), 0, out);
        }
        if ((family.isName("Indexed") || family.isName("I") || family.isName("Pattern")) && space.items.size() > 1) {
            return tintOf(file_.resolve(space.items[1]), out, depth + 1);
        }
        return true;
    }

    // An image of `pixels` in `space`, whose tint transform poppler evaluates for every
    // pixel, or once for every value a single component of `bits` bits can take.
    bool tinted(const Function& tint, const Object& space, double pixels, double bits, Cost& cost) {
        if (tint.evaluate <= 0) return true;
        const bool single = space.is(Object::Type::array) && !space.items.empty() &&
                            !file_.resolve(space.items[0]).isName("DeviceN");
        const double evaluations = single ? std::min(pixels, std::ldexp(1.0, int(std::clamp(bits, 1.0, 16.0))))
                                          : pixels;
        cost.tintWork = sum(cost.tintWork, sum(tint.parse, product(evaluations, tint.evaluate)));
        return withinLimits(cost);
    }

    // A transfer function set by a graphics state or soft mask (a function, or one for
    // each colour): parsed at each use, and evaluated for a table of 256 values.
    bool transfer(const Object* value, Cost& cost) {
        if (value == nullptr) return true;
        Function transfer;
        if (!function(file_.resolve(value), 0, transfer)) return false;
        cost.tintWork = sum(cost.tintWork, sum(transfer.parse, product(256, transfer.evaluate)));
        return true;
    }

    bool drawObject(const Object& object, const Resources& resources, int depth, const State& state, Cost& cost) {
        if (!object.isStream) return true;
        const Object& subtype = file_.resolve(object.get("Subtype"));
        if (subtype.isName("Image")) {
            auto pixels = imagePixels(object);
            if (!pixels) return false;
            // Masks are images of their own, decoded with it.
            for (const char* key : {"SMask", "Mask"}) {
                const Object& mask = file_.resolve(object.get(key));
                if (!mask.isStream) continue;
                const auto maskPixels = imagePixels(mask);
                if (!maskPixels) return false;
                *pixels += *maskPixels;
            }
            const Object& space = file_.resolve(object.get("ColorSpace"));
            Function tint;
            if (!tintOf(space, tint) ||
                !tinted(tint, space, file_.number(object.get("Width"), 0) * file_.number(object.get("Height"), 0),
                        file_.number(object.get("BitsPerComponent"), 8), cost)) {
                return false;
            }
            image(*pixels, 1, cost);
            return true;
        }
        if (!subtype.isName("Form")) return true;
        Cost drawn;
        if (!form(object, resources, depth, drawn)) return false;
        add(cost, drawn, 1, matrixOf(file_, object.get("Matrix")).then(state.ctm).areaScale(), state.clip.area());
        const Object& group = file_.resolve(object.get("Group"));
        if (group.is(Object::Type::dict)) {
            cost.groups += 1;
            cost.groupDepth = std::max(cost.groupDepth, drawn.groupDepth + 1);
        } else {
            cost.groupDepth = std::max(cost.groupDepth, drawn.groupDepth);
        }
        return true;
    }

    // A form (or tiling pattern, or glyph procedure), in its own space clipped to its
    // box; a form drawn within itself is not drawn again (as poppler does not). Its cost
    // is worked out once for its own resources when nothing it draws looks a name up
    // past them, else once for each chain of resources it is drawn within.
    bool form(const Object& stream, const Resources& outer, int depth, Cost& out, const Box* room = nullptr) {
        const Resources resources = within(outer, file_.resolve(stream.get("Resources")));
        auto known = forms_.find(std::make_tuple(&stream, resources.own, 0u));
        if (known == forms_.end()) known = forms_.find(std::make_tuple(&stream, resources.own, resources.id));
        if (known != forms_.end()) {
            out = known->second.cost;
            reach_ = std::min(reach_, resources.depth - known->second.above);
            return true;
        }
        if (!drawing_.insert(&stream).second) {
            out = Cost{};
            return true;
        }
        // Chains of resources can be made to multiply as forms nest, each a drawing of its
        // own: past a bound the measuring itself would take seconds.
        if (!measured_.insert(&stream).second && ++remeasured_ > kMaxFormRemeasures) {
            return file_.fail(PictureProblem::tooDemanding,
                              fmt::format("the PDF page draws its forms within more than {} different chains of "
                                          "resources",
                                          kMaxFormRemeasures));
        }
        const int outerReach = reach_;
        reach_ = resources.depth;
        const bool ok =
            content({&stream}, resources, depth + 1, room != nullptr ? *room : boxOf(file_, stream.get("BBox")), out);
        const int above = resources.depth - reach_;
        reach_ = std::min(outerReach, reach_);
        drawing_.erase(&stream);
        if (ok) {
            forms_.emplace(std::make_tuple(&stream, resources.own, above > 0 ? resources.id : 0u), Measured{out, above});
        }
        return ok;
    }

    // A Type 3 font's glyphs are drawn by procedures of their own, once each for a
    // font and size: counted once per font.
    bool type3Font(const Object& font, const Resources& outer, int depth, const State& state, Cost& cost) {
        if (!fonts_.insert(&font).second) return true;
        const Object& procedures = file_.resolve(font.get("CharProcs"));
        const Resources resources = within(outer, file_.resolve(font.get("Resources")));
        const Box fontBox = boxOf(file_, font.get("FontBBox"));
        const Box room = fontBox.area() > 0 ? fontBox : kEverywhere;
        for (const auto& [name, procedure] : procedures.entries) {
            const Object& stream = file_.resolve(procedure);
            if (!stream.isStream) continue;
            Cost drawn;
            if (!form(stream, resources, depth, drawn, &room)) return false;
            add(cost, drawn, 1, 1, state.clip.area());
            cost.groupDepth = std::max(cost.groupDepth, drawn.groupDepth);
        }
        return true;
    }

    PdfFile& file_;
    const PdfScanLimits& limits_;
    std::string_view inlineImage_;
    // A form's cost, and how many levels of resources past its own it looked names up in.
    struct Measured {
        Cost cost;
        int above = 0;
    };
    // By the form, its own resources and the chain it was met in (0: any chain).
    std::map<std::tuple<const Object*, const Object*, uint32_t>, Measured> forms_;
    std::map<std::pair<const Object*, uint32_t>, uint32_t> chains_;
    int reach_ = 0;
    static constexpr int kMaxFormRemeasures = 1 << 14;
    std::unordered_set<const Object*> measured_;
    int remeasured_ = 0;
    std::unordered_set<const Object*> drawing_;
    std::unordered_set<const Object*> fonts_;
    std::unordered_map<const Object*, Shading> shadings_;
    std::unordered_map<const Object*, Function> functions_;
    std::unordered_set<const Object*> measuring_;
};

// The page `index` in the page tree's order, with the resources it inherits.
const Object* findPage(PdfFile& file, const Object& node, int& index, const Object*& resources, int depth,
                       std::unordered_set<const Object*>& seen) {
    if (depth > kMaxChain || !seen.insert(&node).second) return nullptr;
    const Object* inherited = resources;
    if (const Object* own = node.get("Resources")) resources = &file.resolve(own);
    const Object& kids = file.resolve(node.get("Kids"));
    const bool isPage =
        node.get("Type") ? file.resolve(node.get("Type")).isName("Page") : !kids.is(Object::Type::array);
    if (isPage) {
        if (index-- == 0) return &node;
    } else {
        for (const Object& kid : kids.items) {
            const Object& child = file.resolve(kid);
            if (!child.is(Object::Type::dict)) continue;
            if (const Object* page = findPage(file, child, index, resources, depth + 1, seen)) return page;
        }
    }
    resources = inherited;
    return nullptr;
}

// The part of the page that shows: its crop box within its media box, each inherited
// from the page tree when the page has none; a US Letter page when it has neither.
Box visiblePart(PdfFile& file, const Object& page) {
    const Object* media = nullptr;
    const Object* crop = nullptr;
    const Object* node = &page;
    for (int i = 0; i < kMaxChain && node->is(Object::Type::dict); ++i) {
        if (media == nullptr) media = node->get("MediaBox");
        if (crop == nullptr) crop = node->get("CropBox");
        node = &file.resolve(node->get("Parent"));
    }
    Box box = boxOf(file, media);
    if (box.area() <= 0) box = Box{0, 0, 612, 792};
    if (const Box cropped = box.meet(boxOf(file, crop)); cropped.area() > 0) box = cropped;
    return box;
}

}  // namespace

std::optional<PdfPageCosts> scanPdfPage(std::span<const uint8_t> bytes, int pageIndex, const PdfScanLimits& limits,
                                        std::string* error, PictureProblem* problem) {
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    PdfFile file(text, limits.decodedBytes, limits.crossReferences > 0 ? limits.crossReferences : 1e300);
    auto failed = [&]() -> std::optional<PdfPageCosts> {
        noteProblem(error, problem, file.problem == PictureProblem::none ? PictureProblem::damaged : file.problem,
                    file.why.empty() ? "the PDF document cannot be read" : file.why);
        return std::nullopt;
    };
    if (!file.load()) return failed();
    const Object* resources = &kNull;
    auto pageOf = [&]() -> const Object* {
        const Object& catalog = file.resolve(file.trailer().get("Root"));
        const Object& pages = file.resolve(catalog.get("Pages"));
        resources = &kNull;
        int index = pageIndex;
        std::unordered_set<const Object*> seen;
        return pages.is(Object::Type::dict) ? findPage(file, pages, index, resources, 0, seen) : nullptr;
    };
    const Object* page = pageOf();
    if (page == nullptr) {
        file.rebuild();
        page = pageOf();
    }
    if (file.exhausted()) return failed();
    if (page == nullptr) {
        file.fail(PictureProblem::damaged,
                  fmt::format("the PDF document has no page {} that can be read", pageIndex + 1));
        return failed();
    }
    std::vector<const Object*> streams;
    const Object& contents = file.resolve(page->get("Contents"));
    if (contents.isStream) streams.push_back(&contents);
    for (const Object& item : contents.items) {
        const Object& stream = file.resolve(item);
        if (stream.isStream) streams.push_back(&stream);
    }
    PageScanner scanner(file, limits);
    const Box visible = visiblePart(file, *page);
    const Resources pageResources = scanner.pageResources(*resources);
    Cost cost;
    if (!scanner.content(streams, pageResources, 0, visible, cost) ||
        !scanner.annotations(*page, pageResources, visible, cost) ||
        file.exhausted()) {
        return failed();
    }
    const double area = visible.area(), side = std::max(visible.width(), visible.height());
    PdfPageCosts out = cost;
    out.shadingCover = std::min(cost.shadingArea, product(cost.shadingWeight, area)) / area;
    out.largestTile = cost.largestTile / area;
    out.finestTile = std::min(1.0, cost.finestTile / side);
    if (out.finestTile * limits.tilesAcross < 1) {
        file.fail(PictureProblem::tooDemanding,
                  fmt::format("the PDF page tiles a pattern more than {} times across its side", limits.tilesAcross));
        return failed();
    }
    return out;
}

}  // namespace platform::graphics
