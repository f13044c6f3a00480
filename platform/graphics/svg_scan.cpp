#include "platform/graphics/svg_scan.hpp"

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <fmt/format.h>

#include "platform/graphics/decoded_bitmap.hpp"
#include "platform/graphics/image_io.hpp"

namespace platform::graphics {

bool isXmlSpace(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

std::string_view trimXmlSpace(std::string_view text) {
    while (!text.empty() && isXmlSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && isXmlSpace(text.back())) text.remove_suffix(1);
    return text;
}

namespace {

// The XML parser under the renderer refuses elements nested deeper than this.
constexpr size_t kMaxElementDepth = 256;
// Element nesting and references followed from one element to the next.
constexpr int kMaxReferenceDepth = 512;
constexpr int kMaxEntityDepth = 8;
// An SVG document embedded in another, embedded in the document.
constexpr int kMaxNestedDocuments = 2;
// Effects a style sheet applies, element by element.
constexpr size_t kMaxStyledEffects = 1u << 21;

enum class Ref : uint8_t { content, mask, clip, filter, paint, marker };

struct Reference {
    Ref kind;
    std::string target;
};

struct Element {
    uint32_t parent = UINT32_MAX;
    std::string name;
    std::string id;
    std::string classes;
    std::vector<Reference> refs;
    std::vector<uint32_t> children;
    double text = 0;        // characters, of a text element: all below it
    double passes = 0;      // of a filter primitive
    double morphology = 0;  // of a morphology primitive, at one pixel per user unit
    double vertices = 0;    // of a shape: where markers are drawn
    bool surface = false;   // drawn through a surface of its own (opacity, blending)
    bool dashed = false;    // stroked with dashes (stroke-dasharray), by itself or a parent
    int embedded = -1;      // an embedded picture, by index
    // The attributes filter primitives are weighed by.
    double octaves = 1, orderX = 3, orderY = 3, radiusX = 0, radiusY = 0;
};

struct Cost {
    double drawn = 0, text = 0, passes = 0, morphology = 0, pixels = 0, depth = 0, vertices = 0, dashed = 0;
    void add(const Cost& other, double times = 1) {
        drawn += other.drawn * times;
        vertices += other.vertices * times;
        dashed += other.dashed * times;
        text += other.text * times;
        passes += other.passes * times;
        morphology += other.morphology * times;
        pixels += other.pixels * times;
    }
};

struct Embedded {
    int64_t pixels = 0;
    Cost nested;  // of an SVG document
};

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

// The leading number of an attribute, as the renderer reads it; huge when it is not
// finite (the renderer then works with its largest integer).
double number(std::string_view text, double fallback) {
    text = trimXmlSpace(text);
    if (text.empty()) return fallback;
    const std::string copy(text.substr(0, 64));
    char* end = nullptr;
    const double value = std::strtod(copy.c_str(), &end);
    if (end == copy.c_str()) return fallback;
    return std::isfinite(value) ? value : 1e18;
}

// How many numbers a list (path data, points) holds.
double numbersIn(std::string_view text) {
    double count = 0;
    bool inNumber = false;
    for (const char c : text) {
        const bool digit = (c >= '0' && c <= '9') || c == '.';
        if (digit && !inNumber) ++count;
        inNumber = digit || ((c == 'e' || c == 'E') && inNumber);
    }
    return count;
}

// The "#id" of url(#id), bare or quoted; empty when there is none.
std::string urlTarget(std::string_view value) {
    const size_t at = value.find("url(");
    if (at == std::string_view::npos) return {};
    size_t i = at + 4;
    while (i < value.size() && (isXmlSpace(value[i]) || value[i] == '"' || value[i] == '\'')) ++i;
    if (i >= value.size() || value[i] != '#') return {};
    const size_t end = value.find_first_of(")\"' \t\n", i + 1);
    return std::string(value.substr(i + 1, (end == std::string_view::npos ? value.size() : end) - i - 1));
}

bool startsWith(std::string_view text, size_t at, std::string_view prefix) {
    return text.size() >= at + prefix.size() && text.compare(at, prefix.size(), prefix) == 0;
}

// Elements drawn only where something refers to them.
bool drawnByReferenceOnly(std::string_view name) {
    static const std::string_view names[] = {"defs",      "symbol",         "clipPath",       "mask",       "pattern",
                                             "marker",    "linearGradient", "radialGradient", "filter",     "style",
                                             "script",    "title",          "desc",           "metadata",   "font",
                                             "font-face", "glyph",          "missing-glyph",  "solidcolor", "hatch"};
    if (name.starts_with("fe")) return true;
    return std::find(std::begin(names), std::end(names), name) != std::end(names);
}

bool isShape(std::string_view name) {
    static const std::string_view names[] = {"rect",    "circle", "ellipse", "line",  "polyline",
                                             "polygon", "path",   "text",    "tspan", "textPath"};
    return std::find(std::begin(names), std::end(names), name) != std::end(names);
}

std::optional<std::vector<uint8_t>> fromBase64(std::string_view text) {
    std::vector<uint8_t> out;
    out.reserve(text.size() / 4 * 3);
    uint32_t bits = 0;
    int count = 0;
    for (const char c : text) {
        int value;
        if (c >= 'A' && c <= 'Z')
            value = c - 'A';
        else if (c >= 'a' && c <= 'z')
            value = c - 'a' + 26;
        else if (c >= '0' && c <= '9')
            value = c - '0' + 52;
        else if (c == '+' || c == '-')
            value = 62;
        else if (c == '/' || c == '_')
            value = 63;
        else if (c == '=' || isXmlSpace(c) || c == '%')
            continue;  // padding, wrapped lines, an escaped newline
        else
            return std::nullopt;
        bits = bits << 6 | uint32_t(value);
        if ((count += 6) >= 8) {
            count -= 8;
            out.push_back(uint8_t(bits >> count));
        }
    }
    return out;
}

std::vector<uint8_t> percentDecoded(std::string_view text) {
    std::vector<uint8_t> out;
    out.reserve(text.size());
    auto hex = [](char c) {
        return c >= '0' && c <= '9'   ? c - '0'
               : c >= 'a' && c <= 'f' ? c - 'a' + 10
               : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                      : -1;
    };
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 && hex(text[i + 2]) >= 0) {
            out.push_back(uint8_t(hex(text[i + 1]) * 16 + hex(text[i + 2])));
            i += 2;
        } else {
            out.push_back(uint8_t(text[i]));
        }
    }
    return out;
}

// Whether the picture loader the renderer asks for a labelled picture takes that label
// for the format the data is in.
bool loaderTakes(ImageFormat format, const std::string& mime) {
    GSList* formats = gdk_pixbuf_get_formats();
    bool takes = false;
    for (GSList* at = formats; at != nullptr && !takes; at = at->next) {
        auto* candidate = static_cast<GdkPixbufFormat*>(at->data);
        gchar* name = gdk_pixbuf_format_get_name(candidate);
        if (name != nullptr && std::string_view(name) == formatName(format)) {
            gchar** types = gdk_pixbuf_format_get_mime_types(candidate);
            for (gchar** type = types; type != nullptr && *type != nullptr; ++type) {
                if (lower(*type) == mime) takes = true;
            }
            g_strfreev(types);
        }
        g_free(name);
    }
    g_slist_free(formats);
    return takes;
}

class Scanner {
public:
    Scanner(const SvgScanLimits& limits, int nesting) : limits_(limits), nesting_(nesting) {}

    std::optional<SvgCosts> run(std::string_view document) {
        if (!content(document, 0)) return std::nullopt;
        if (elements_.empty()) return SvgCosts{};
        for (uint32_t i = 0; i < elements_.size(); ++i) {
            if (!elements_[i].id.empty()) ids_.emplace(elements_[i].id, i);
        }
        if (!applyStyleSheets()) return std::nullopt;
        countBelow();
        memo_.assign(elements_.size(), Cost{});
        state_.assign(elements_.size(), 0);
        Cost total;
        if (!cost(0, 0, total)) return std::nullopt;
        SvgCosts costs;
        costs.elements = elements_.size();
        costs.drawnElements = total.drawn;
        costs.drawnVertices = total.vertices;
        costs.dashedVertices = total.dashed;
        costs.textCharacters = total.text;
        for (const auto& element : elements_) costs.longestText = std::max(costs.longestText, element.text);
        costs.effectPasses = total.passes;
        costs.morphologyPasses = total.morphology;
        costs.effectDepth = total.depth;
        costs.embeddedPixels = embeddedPixels_;
        costs.embeddedPixelsDrawn = total.pixels;
        return costs;
    }

    std::string why;
    PictureProblem problem = PictureProblem::none;

private:
    bool fail(PictureProblem kind, std::string text) {
        problem = kind;
        why = std::move(text);
        return false;
    }

    // --- markup -----------------------------------------------------------------

    bool content(std::string_view text, int entityDepth) {
        size_t at = 0;
        while (at < text.size()) {
            const char c = text[at];
            if (c == '<') {
                if (startsWith(text, at, "<!--")) {
                    at = skipPast(text, at + 4, "-->");
                } else if (startsWith(text, at, "<![CDATA[")) {
                    const size_t end = text.find("]]>", at + 9);
                    characters(text.substr(at + 9, (end == std::string_view::npos ? text.size() : end) - at - 9));
                    at = end == std::string_view::npos ? text.size() : end + 3;
                } else if (startsWith(text, at, "<!DOCTYPE")) {
                    if (!doctype(text, at)) return false;
                } else if (startsWith(text, at, "<?")) {
                    at = skipPast(text, at + 2, "?>");
                } else if (startsWith(text, at, "</")) {
                    if (!open_.empty()) close();
                    at = skipPast(text, at + 2, ">");
                } else if (startsWith(text, at, "<!")) {
                    at = skipPast(text, at + 2, ">");
                } else if (!startTag(text, at, entityDepth)) {
                    return false;
                }
            } else if (c == '&') {
                const size_t end = text.find(';', at);
                if (end == std::string_view::npos || end - at > 128) {
                    characters(text.substr(at, 1));
                    ++at;
                    continue;
                }
                const std::string_view name = text.substr(at + 1, end - at - 1);
                at = end + 1;
                if (name.starts_with("#") || name == "lt" || name == "gt" || name == "amp" || name == "apos" ||
                    name == "quot") {
                    characters("x");
                    continue;
                }
                const auto entity = entities_.find(std::string(name));
                if (entity == entities_.end()) continue;  // undeclared: the parser refuses the document
                if (!enterEntity(entity->second, entityDepth)) return false;
                if (!content(entity->second, entityDepth + 1)) return false;
            } else {
                const size_t next = std::min(text.find_first_of("<&", at), text.size());
                characters(text.substr(at, next - at));
                at = next;
            }
        }
        return true;
    }

    static size_t skipPast(std::string_view text, size_t from, std::string_view end) {
        const size_t at = text.find(end, from);
        return at == std::string_view::npos ? text.size() : at + end.size();
    }

    bool enterEntity(const std::string& replacement, int entityDepth) {
        if (entityDepth >= kMaxEntityDepth) {
            return fail(
                PictureProblem::tooDemanding,
                fmt::format("the SVG document's entities refer to each other more than {} deep", kMaxEntityDepth));
        }
        expanded_ += replacement.size();
        if (expanded_ > limits_.expandedBytes) {
            return fail(
                PictureProblem::tooDemanding,
                fmt::format("the SVG document's entities expand to more than {} MiB", limits_.expandedBytes >> 20));
        }
        return true;
    }

    // The internal subset: entity declarations; parameter entities could declare more
    // out of sight, so a document using them is not read.
    bool doctype(std::string_view text, size_t& at) {
        size_t i = at + 9;
        while (i < text.size() && text[i] != '[' && text[i] != '>') {
            if (text[i] == '"' || text[i] == '\'') i = std::min(text.find(text[i], i + 1), text.size());
            ++i;
        }
        if (i >= text.size() || text[i] == '>') {
            at = std::min(i + 1, text.size());
            return true;
        }
        ++i;
        while (i < text.size() && text[i] != ']') {
            if (startsWith(text, i, "<!--")) {
                i = skipPast(text, i + 4, "-->");
            } else if (startsWith(text, i, "<!ENTITY")) {
                if (!entityDeclaration(text, i)) return false;
            } else if (text[i] == '%') {
                return fail(PictureProblem::tooDemanding, "the SVG document uses parameter entities");
            } else if (text[i] == '<') {
                // Other declarations; quoted texts may hold '>'.
                ++i;
                while (i < text.size() && text[i] != '>') {
                    if (text[i] == '"' || text[i] == '\'') {
                        const size_t close = text.find(text[i], i + 1);
                        i = close == std::string_view::npos ? text.size() : close;
                    }
                    ++i;
                }
                ++i;
            } else {
                ++i;
            }
        }
        at = skipPast(text, i, ">");
        return true;
    }

    bool entityDeclaration(std::string_view text, size_t& i) {
        i += 8;
        while (i < text.size() && isXmlSpace(text[i])) ++i;
        if (i < text.size() && text[i] == '%') {
            return fail(PictureProblem::tooDemanding, "the SVG document declares parameter entities");
        }
        const size_t nameEnd = std::min(text.size(), text.find_first_of(" \t\r\n>", i));
        const std::string name(text.substr(i, nameEnd - i));
        i = nameEnd;
        while (i < text.size() && isXmlSpace(text[i])) ++i;
        std::string replacement;  // external entities are not loaded: nothing
        if (i < text.size() && (text[i] == '"' || text[i] == '\'')) {
            const size_t close = text.find(text[i], i + 1);
            if (close == std::string_view::npos) {
                i = text.size();
                return true;
            }
            // Character references are replaced when the entity is declared; entity
            // references when it is used.
            const std::string_view value = text.substr(i + 1, close - i - 1);
            for (size_t k = 0; k < value.size(); ++k) {
                if (startsWith(value, k, "&#")) {
                    const size_t end = value.find(';', k);
                    if (end != std::string_view::npos) {
                        const bool hex = startsWith(value, k, "&#x");
                        const std::string digits(value.substr(k + (hex ? 3 : 2), end - k - (hex ? 3 : 2)));
                        const unsigned long code = std::strtoul(digits.c_str(), nullptr, hex ? 16 : 10);
                        replacement += code < 0x80 ? char(code) : 'x';
                        k = end;
                        continue;
                    }
                }
                if (value[k] == '%') {
                    return fail(PictureProblem::tooDemanding, "the SVG document uses parameter entities");
                }
                replacement += value[k];
            }
            i = close + 1;
        }
        i = skipPast(text, i, ">");
        // The first declaration of a name holds.
        entities_.emplace(name, std::move(replacement));
        return true;
    }

    bool startTag(std::string_view text, size_t& at, int entityDepth) {
        size_t i = at + 1;
        const size_t nameEnd = std::min(text.size(), text.find_first_of(" \t\r\n/>", i));
        std::string_view name = text.substr(i, nameEnd - i);
        if (const size_t colon = name.find(':'); colon != std::string_view::npos) name.remove_prefix(colon + 1);
        if (open_.size() >= kMaxElementDepth) {
            return fail(PictureProblem::tooDemanding,
                        fmt::format("the SVG document nests elements more than {} deep", kMaxElementDepth));
        }
        if (elements_.size() >= limits_.elements) {
            return fail(PictureProblem::tooDemanding,
                        fmt::format("the SVG document holds more than {} elements", limits_.elements));
        }
        const auto index = static_cast<uint32_t>(elements_.size());
        elements_.emplace_back();
        elements_.back().name = name;
        if (!open_.empty()) {
            elements_.back().parent = open_.back();
            elements_[open_.back()].children.push_back(index);
        }
        i = nameEnd;
        bool selfClosing = false;
        while (i < text.size()) {
            while (i < text.size() && isXmlSpace(text[i])) ++i;
            if (i >= text.size()) break;
            if (text[i] == '>') {
                ++i;
                break;
            }
            if (text[i] == '/') {
                selfClosing = true;
                ++i;
                continue;
            }
            const size_t attributeEnd = std::min(text.size(), text.find_first_of(" \t\r\n=/>", i));
            std::string_view attribute = text.substr(i, attributeEnd - i);
            i = attributeEnd;
            while (i < text.size() && isXmlSpace(text[i])) ++i;
            if (i >= text.size() || text[i] != '=') continue;
            ++i;
            while (i < text.size() && isXmlSpace(text[i])) ++i;
            if (i >= text.size() || (text[i] != '"' && text[i] != '\'')) continue;
            const size_t close = text.find(text[i], i + 1);
            if (close == std::string_view::npos) {
                i = text.size();
                break;
            }
            std::string value;
            if (!expandAttribute(text.substr(i + 1, close - i - 1), value, entityDepth)) return false;
            i = close + 1;
            if (const size_t colon = attribute.find(':'); colon != std::string_view::npos && attribute != "xml:space") {
                attribute.remove_prefix(colon + 1);
            }
            if (!setAttribute(index, attribute, value)) return false;
        }
        at = i;
        weighPrimitive(elements_[index]);
        open_.push_back(index);
        if (elements_[index].name == "text") texts_.push_back(index);
        if (elements_[index].name == "style") styleSheets_.emplace_back();
        if (selfClosing) close();
        return true;
    }

    void close() {
        if (elements_[open_.back()].name == "text" && !texts_.empty()) texts_.pop_back();
        open_.pop_back();
    }

    bool expandAttribute(std::string_view raw, std::string& out, int entityDepth) {
        for (size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] != '&') {
                out += raw[i];
                continue;
            }
            const size_t end = raw.find(';', i);
            if (end == std::string_view::npos) {
                out += raw[i];
                continue;
            }
            const std::string name(raw.substr(i + 1, end - i - 1));
            i = end;
            if (name.starts_with("#")) {
                out += 'x';
                continue;
            }
            const auto entity = entities_.find(name);
            if (entity == entities_.end()) continue;
            if (!enterEntity(entity->second, entityDepth)) return false;
            if (!expandAttribute(entity->second, out, entityDepth + 1)) return false;
        }
        return true;
    }

    void characters(std::string_view text) {
        if (!open_.empty() && elements_[open_.back()].name == "style" && !styleSheets_.empty()) {
            styleSheets_.back().append(text);
        }
        if (texts_.empty()) return;
        double count = 0;
        for (const char c : text) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
        elements_[texts_.back()].text += count;
    }

    // --- attributes and properties -------------------------------------------------

    bool setAttribute(uint32_t index, std::string_view attribute, std::string_view value) {
        Element& element = elements_[index];
        if (attribute == "id") {
            element.id = value;
        } else if (attribute == "class") {
            element.classes = value;
        } else if (attribute == "href") {
            if (value.starts_with("#")) {
                if (element.name == "use" || element.name == "tref" || element.name == "feImage" ||
                    element.name == "pattern") {
                    element.refs.push_back({Ref::content, std::string(value.substr(1))});
                }
            } else if (value.starts_with("data:") && (element.name == "image" || element.name == "feImage")) {
                return embed(index, value);
            } else if (!trimXmlSpace(value).empty() && (element.name == "image" || element.name == "feImage")) {
                // Other files are never read, so the picture would be missing from the drawing.
                return fail(PictureProblem::incompleteRender,
                            "the drawing shows a picture from another file (" + std::string(value.substr(0, 200)) +
                                "), and other files are not read");
            }
        } else if (attribute == "style") {
            declarations(element, value);
        } else if (attribute == "numOctaves") {
            element.octaves = number(value, 1);
        } else if (attribute == "order") {
            element.orderX = number(value, 3);
            const size_t space = trimXmlSpace(value).find_first_of(" ,");
            element.orderY =
                space == std::string_view::npos ? element.orderX : number(trimXmlSpace(value).substr(space + 1), 3);
        } else if (attribute == "radius") {
            element.radiusX = number(value, 0);
            const size_t space = trimXmlSpace(value).find_first_of(" ,");
            element.radiusY =
                space == std::string_view::npos ? element.radiusX : number(trimXmlSpace(value).substr(space + 1), 0);
        } else if (attribute == "d" || attribute == "points") {
            element.vertices = numbersIn(value) / 2;
        } else {
            property(element, attribute, value);
        }
        return true;
    }

    // "name: value; ..." of a style attribute or a style sheet's rule.
    static void declarations(Element& element, std::string_view text) {
        size_t at = 0;
        while (at < text.size()) {
            const size_t end = std::min(text.size(), text.find(';', at));
            const std::string_view declaration = text.substr(at, end - at);
            if (const size_t colon = declaration.find(':'); colon != std::string_view::npos) {
                property(element, trimXmlSpace(declaration.substr(0, colon)), declaration.substr(colon + 1));
            }
            at = end + 1;
        }
    }

    static void property(Element& element, std::string_view name, std::string_view value) {
        if (name == "stroke-dasharray") {
            const std::string_view dashes = trimXmlSpace(value);
            element.dashed = !dashes.empty() && dashes != "none" && dashes != "inherit" && numbersIn(dashes) > 0;
            return;
        }
        if (name == "opacity") {
            element.surface = element.surface || number(value, 1) < 1;
            return;
        }
        if ((name == "mix-blend-mode" && trimXmlSpace(value) != "normal") ||
            (name == "isolation" && trimXmlSpace(value) == "isolate")) {
            element.surface = true;
            return;
        }
        Ref kind;
        if (name == "mask")
            kind = Ref::mask;
        else if (name == "clip-path")
            kind = Ref::clip;
        else if (name == "filter")
            kind = Ref::filter;
        else if (name == "fill" || name == "stroke")
            kind = Ref::paint;
        else if (name == "marker" || name == "marker-start" || name == "marker-mid" || name == "marker-end")
            kind = Ref::marker;
        else
            return;
        std::string target = urlTarget(value);
        if (!target.empty()) element.refs.push_back({kind, std::move(target)});
    }

    // The passes a filter primitive makes over its surface, in the work of a plain one.
    static void weighPrimitive(Element& element) {
        const std::string& name = element.name;
        if (!name.starts_with("fe") || name.starts_with("feFunc") || name == "feMergeNode" ||
            name == "feDistantLight" || name == "fePointLight" || name == "feSpotLight") {
            return;
        }
        element.passes = 1;
        if (name == "feGaussianBlur") element.passes = 3;
        if (name == "feDropShadow" || name == "feDiffuseLighting" || name == "feSpecularLighting") element.passes = 4;
        // Noise is computed octave by octave for every pixel: each octave is the work of
        // some fifty plain passes.
        if (name == "feTurbulence") element.passes = 64 * std::max(1.0, element.octaves);
        if (name == "feConvolveMatrix") element.passes = std::max(1.0, element.orderX * element.orderY / 4);
        // Each pixel visits every pixel of its radius.
        if (name == "feMorphology") {
            element.morphology = (2 * std::fabs(element.radiusX) + 1) * (2 * std::fabs(element.radiusY) + 1) / 4;
        }
    }

    // --- embedded pictures ----------------------------------------------------------

    bool embed(uint32_t index, std::string_view url) {
        const auto known = embeddedByUrl_.find(std::string(url));
        if (known != embeddedByUrl_.end()) {
            elements_[index].embedded = known->second;
            return true;
        }
        const size_t comma = url.find(',');
        if (comma == std::string_view::npos) {
            return fail(PictureProblem::damaged, "an embedded picture's data cannot be read: it has no data");
        }
        const std::string meta = lower(url.substr(5, comma - 5));
        const bool base64 = meta.ends_with(";base64");
        const std::string mime(trimXmlSpace(std::string_view(meta).substr(0, meta.find(';'))));
        std::optional<std::vector<uint8_t>> bytes =
            base64 ? fromBase64(url.substr(comma + 1)) : percentDecoded(url.substr(comma + 1));
        if (!bytes) return fail(PictureProblem::damaged, "an embedded picture's data is not valid Base64");
        Embedded embedded;
        const ImageFormat format = detectImageFormat(*bytes);
        const std::string_view start =
            trimXmlSpace(std::string_view(reinterpret_cast<const char*>(bytes->data()), std::min<size_t>(bytes->size(), 256)));
        if (mime == "image/svg+xml" || (mime.empty() && format == ImageFormat::unknown && start.starts_with("<"))) {
            if (nesting_ >= kMaxNestedDocuments) {
                return fail(PictureProblem::tooDemanding,
                            "the SVG document embeds SVG documents in each other too deeply");
            }
            Scanner nested(limits_, nesting_ + 1);
            const auto costs =
                nested.run(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
            if (!costs) return fail(nested.problem, "an embedded SVG document: " + nested.why);
            embedded.nested = Cost{costs->drawnElements,    costs->textCharacters,      costs->effectPasses,
                                   costs->morphologyPasses, costs->embeddedPixelsDrawn, costs->effectDepth};
            embedded.pixels = costs->embeddedPixels;
        } else {
            static const ImageFormat drawable[] = {ImageFormat::png,  ImageFormat::jpeg, ImageFormat::gif,
                                                   ImageFormat::webp, ImageFormat::bmp,  ImageFormat::ico,
                                                   ImageFormat::tiff};
            if (std::find(std::begin(drawable), std::end(drawable), format) == std::end(drawable)) {
                return fail(PictureProblem::notAPicture,
                            "an embedded picture is not in a format that can be drawn (PNG, JPEG, GIF, WebP, BMP, "
                            "ICO or TIFF)");
            }
            if (!mime.empty() && !loaderTakes(format, mime)) {
                return fail(PictureProblem::damaged,
                            fmt::format("an embedded picture labelled {} holds {} data", mime, formatName(format)));
            }
            std::string why;
            PictureProblem kind = PictureProblem::none;
            const int64_t left = std::max<int64_t>(0, limits_.embeddedPixels - embeddedPixels_);
            const auto decoded = decodeBitmapFile(*bytes, &why, &kind, left);
            if (!decoded && kind == PictureProblem::tooDemanding) {
                return fail(kind, fmt::format("the pictures the SVG document embeds hold more than the limit of {} "
                                              "pixels ({})",
                                              limits_.embeddedPixels, why));
            }
            if (!decoded) {
                return fail(kind == PictureProblem::none ? PictureProblem::damaged : kind,
                            "an embedded picture: " + why);
            }
            embedded.pixels = int64_t(decoded->width) * decoded->height;
            embedded.nested.pixels = double(embedded.pixels);
        }
        embeddedPixels_ += embedded.pixels;
        if (embeddedPixels_ > limits_.embeddedPixels) {
            return fail(
                PictureProblem::tooDemanding,
                fmt::format("the pictures the SVG document embeds hold more than the limit of {} pixels",
                            limits_.embeddedPixels));
        }
        elements_[index].embedded = static_cast<int>(embedded_.size());
        embeddedByUrl_.emplace(std::string(url), elements_[index].embedded);
        embedded_.push_back(embedded);
        return true;
    }

    // --- style sheets -----------------------------------------------------------------

    // Rules of <style> elements that apply effects: each element a selector may match
    // (by its last part: an id, a class, an element name, or anything) gets them.
    bool applyStyleSheets() {
        size_t applied = 0;
        for (std::string sheet : styleSheets_) {
            for (size_t comment = sheet.find("/*"); comment != std::string::npos; comment = sheet.find("/*", comment)) {
                const size_t end = sheet.find("*/", comment + 2);
                sheet.erase(comment, end == std::string::npos ? std::string::npos : end + 2 - comment);
            }
            size_t boundary = 0;
            for (size_t brace = sheet.find('{'); brace != std::string::npos; brace = sheet.find('{', boundary)) {
                const std::string_view selectors = trimXmlSpace(std::string_view(sheet).substr(boundary, brace - boundary));
                if (selectors.starts_with("@")) {
                    boundary = brace + 1;
                    continue;
                }
                const size_t close = std::min(sheet.size(), sheet.find('}', brace));
                const std::string_view block = std::string_view(sheet).substr(brace + 1, close - brace - 1);
                boundary = std::min(sheet.size(), close + 1);
                Element effects;
                declarations(effects, block);
                std::erase_if(effects.refs, [&](const Reference& ref) {
                    const auto target = ids_.find(ref.target);
                    return target == ids_.end() ||
                           (ref.kind == Ref::paint && elements_[target->second].name != "pattern");
                });
                if (effects.refs.empty() && !effects.surface) continue;
                size_t from = 0;
                while (from <= selectors.size()) {
                    const size_t comma = std::min(selectors.size(), selectors.find(',', from));
                    std::string_view selector = trimXmlSpace(selectors.substr(from, comma - from));
                    from = comma + 1;
                    const size_t last = selector.find_last_of(" >+~");
                    if (last != std::string_view::npos) selector.remove_prefix(last + 1);
                    selector = selector.substr(0, selector.find_first_of(":["));
                    for (auto& element : elements_) {
                        if (!matches(element, selector)) continue;
                        if (++applied > kMaxStyledEffects) {
                            return fail(PictureProblem::tooDemanding,
                                        "the SVG document's style sheet applies effects to too many elements");
                        }
                        element.surface = element.surface || effects.surface;
                        element.refs.insert(element.refs.end(), effects.refs.begin(), effects.refs.end());
                    }
                }
            }
        }
        return true;
    }

    static bool matches(const Element& element, std::string_view selector) {
        if (const size_t hash = selector.find('#'); hash != std::string_view::npos) {
            return element.id == selector.substr(hash + 1);
        }
        if (const size_t dot = selector.rfind('.'); dot != std::string_view::npos) {
            const std::string_view wanted = selector.substr(dot + 1);
            std::string_view classes = element.classes;
            while (!classes.empty()) {
                const size_t space = std::min(classes.size(), classes.find_first_of(" \t\n"));
                if (classes.substr(0, space) == wanted) return true;
                classes.remove_prefix(std::min(classes.size(), space + 1));
            }
            return false;
        }
        return selector.empty() || selector == "*" || element.name == selector;
    }

    // --- costs ----------------------------------------------------------------------

    // Shapes below each element (itself included), which an inherited pattern fills
    // one by one, and their vertices, where inherited markers are drawn.
    void countBelow() {
        shapesBelow_.assign(elements_.size(), 0);
        verticesBelow_.assign(elements_.size(), 0);
        // Dashes are inherited: a parent comes before its children.
        for (Element& element : elements_) {
            if (element.parent != UINT32_MAX && elements_[element.parent].dashed) element.dashed = true;
        }
        for (size_t i = elements_.size(); i-- > 0;) {
            const Element& element = elements_[i];
            if (isShape(element.name)) shapesBelow_[i] += 1;
            verticesBelow_[i] += shapeVertices(element);
            if (element.parent != UINT32_MAX) {
                shapesBelow_[element.parent] += shapesBelow_[i];
                verticesBelow_[element.parent] += verticesBelow_[i];
            }
        }
    }

    static double shapeVertices(const Element& element) {
        return element.name == "line" ? 2 : element.name == "rect" ? 4 : element.vertices;
    }

    // What drawing element `index` costs, every reference followed as often as it is
    // drawn. A reference back into an element being drawn is not followed (the
    // renderer does not follow it either).
    bool cost(uint32_t index, int depth, Cost& out) {
        if (state_[index] == 2) {
            out = memo_[index];
            return true;
        }
        out = Cost{};
        if (state_[index] == 1) return true;
        if (depth > kMaxReferenceDepth) {
            return fail(
                PictureProblem::tooDemanding,
                fmt::format("the SVG document's elements and references nest more than {} deep", kMaxReferenceDepth));
        }
        state_[index] = 1;
        const Element& element = elements_[index];
        Cost total;
        total.drawn = 1;
        total.text = element.name == "text" ? element.text : 0;
        total.passes = element.passes;
        total.morphology = element.morphology;
        total.vertices = shapeVertices(element);
        total.dashed = element.dashed ? total.vertices : 0;
        double inner = 0, own = 0;
        auto follow = [&](uint32_t target, double times, Cost& got) {
            if (!cost(target, depth + 1, got)) return false;
            total.add(got, times);
            inner = std::max(inner, got.depth);
            return true;
        };
        Cost got;
        for (const uint32_t child : element.children) {
            if (drawnByReferenceOnly(elements_[child].name) && element.name != "filter") continue;
            if (!follow(child, 1, got)) return false;
        }
        for (const Reference& ref : element.refs) {
            const auto found = ids_.find(ref.target);
            if (found == ids_.end()) continue;
            const uint32_t target = found->second;
            switch (ref.kind) {
                case Ref::content:
                case Ref::clip:
                    if (!follow(target, 1, got)) return false;
                    break;
                case Ref::mask:
                    if (!follow(target, 1, got)) return false;
                    total.passes += 2;
                    own += 2;
                    break;
                case Ref::filter:
                    // A filter holds the source and every primitive's result at once.
                    if (!follow(target, 1, got)) return false;
                    own += 1 + double(elements_[target].children.size());
                    break;
                case Ref::paint:
                    if (elements_[target].name != "pattern") break;
                    if (!follow(target, shapesBelow_[index], got)) return false;
                    total.passes += shapesBelow_[index];
                    inner = std::max(inner, got.depth + 1);
                    break;
                case Ref::marker:
                    if (!follow(target, std::max(1.0, verticesBelow_[index]), got)) return false;
                    break;
            }
        }
        // Opacity draws the element into a surface of its own and that onto the drawing:
        // a whole pass for a group, measured at about a quarter of one for a single
        // shape, whose surface covers little.
        if (element.surface) {
            total.passes += !element.children.empty() || element.name == "use" ? 1 : 0.25;
            own += 1;
        }
        if (element.embedded >= 0) {
            const Embedded& embedded = embedded_[static_cast<size_t>(element.embedded)];
            total.add(embedded.nested);
            inner = std::max(inner, embedded.nested.depth);
        }
        total.depth = own + inner;
        memo_[index] = total;
        state_[index] = 2;
        out = total;
        return true;
    }

    const SvgScanLimits& limits_;
    int nesting_;
    std::vector<Element> elements_;
    std::vector<uint32_t> open_;
    std::vector<uint32_t> texts_;
    std::vector<std::string> styleSheets_;
    std::unordered_map<std::string, std::string> entities_;
    uint64_t expanded_ = 0;
    std::vector<Embedded> embedded_;
    std::unordered_map<std::string, int> embeddedByUrl_;
    int64_t embeddedPixels_ = 0;
    std::unordered_map<std::string_view, uint32_t> ids_;
    std::vector<double> shapesBelow_, verticesBelow_;
    std::vector<Cost> memo_;
    std::vector<uint8_t> state_;
};

}  // namespace

std::optional<SvgCosts> scanSvg(std::span<const uint8_t> bytes, const SvgScanLimits& limits, std::string* error,
                                PictureProblem* problem) {
    Scanner scanner(limits, 0);
    auto costs = scanner.run(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    if (!costs) noteProblem(error, problem, scanner.problem, scanner.why);
    return costs;
}

}  // namespace platform::graphics
