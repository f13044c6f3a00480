#pragma once
// The address space the renderer helpers may take at once, shared by the whole process.
// Each helper draws under a hard address-space limit, sized for the drawing from what
// the page scan says it holds; the limits of the drawings under way add up to at most
// kBytes, and a drawing waits while its limit does not fit beside them. A batch of
// pages that get past the scan then takes at most kBytes of helpers, not one helper's
// largest limit for every processor. A page whose drawing was stopped at a limit below
// the largest is drawn once more at the largest with no other drawing beside it, so that
// no page is refused for its neighbours' sake.
#include <cstdint>
#include <functional>

#include "platform/graphics/render_protocol.hpp"

namespace platform::graphics {

class RendererBudget {
public:
    static constexpr uint64_t kBytes = uint64_t{768} << 20;
    // The largest limit a drawing gets.
    static constexpr uint64_t kLargestLimit = render::kAddressSpaceBytes;
    // What a helper's own mappings take before it draws anything (some 30 MiB with the
    // fonts of a page), with room to spare.
    static constexpr uint64_t kBaseBytes = uint64_t{64} << 20;
    // What an SVG document's drawing maps beside (render::kSvgLibraryBytes). Those
    // mappings are the libraries' files, shared by every drawing: the budget does not
    // count them.
    static constexpr uint64_t kSvgBaseBytes = kBaseBytes + render::kSvgLibraryBytes;
    static uint64_t baseBytes(render::Kind kind) { return kind == render::Kind::svg ? kSvgBaseBytes : kBaseBytes; }
    // The largest limit a drawing of a document of either kind gets.
    static uint64_t largestLimit(render::Kind) { return kLargestLimit; }

    class Grant {
    public:
        Grant() = default;
        Grant(Grant&& other) noexcept : limit_(other.limit_), held_(other.held_) { other.limit_ = other.held_ = 0; }
        Grant& operator=(Grant&&) = delete;
        ~Grant();
        // The helper's address-space limit for the drawing; 0 when the wait was stopped.
        uint64_t limit() const { return limit_; }
        explicit operator bool() const { return limit_ != 0; }

    private:
        friend class RendererBudget;
        Grant(uint64_t limit, uint64_t held) : limit_(limit), held_(held) {}
        uint64_t limit_ = 0;
        uint64_t held_ = 0;
    };

    // The limit of a drawing that holds some `bytes` while it draws, by the scan's
    // measure: the base, and half as much again as the measure for what it misses.
    static uint64_t limitFor(double bytes, render::Kind kind = render::Kind::pdf);
    // Waits until `limit` fits beside the drawings under way and no drawing waits to be
    // drawn alone, and holds it (less `shared`, what of it the helper's libraries map).
    // An empty grant when the thread's work is stopped meanwhile (interruption.hpp), or
    // `stopped` says the drawing is no longer wanted.
    static Grant admit(uint64_t limit, const std::function<bool()>& stopped = {}, uint64_t shared = 0);
    // Waits until no drawing is under way and holds the whole budget, for a drawing at
    // the largest limit. An empty grant when the work is stopped meanwhile.
    static Grant alone(const std::function<bool()>& stopped = {});
    // Held by drawings under way now (tests).
    static uint64_t held();
};

}  // namespace platform::graphics
