#pragma once
// The memory that drawings of documents hold while they draw, shared by the whole
// process. A page or drawing is drawn in one call that cannot be stopped, and its
// pictures, masks and groups take pixel surfaces of their own: many drawn at once (an
// icon set draws every size in parallel) would together hold many times what one
// needs. Each drawing claims what it will hold first and waits while others hold the
// rest.
#include <cstdint>
#include <functional>
#include <optional>

typedef struct _cairo cairo_t;

namespace platform::graphics {

class DrawingBudget {
public:
    // Beside the pictures being drawn into and encoded: one conversion stays under a
    // GiB with this much drawn at once.
    static constexpr uint64_t kBytes = uint64_t{512} << 20;

    class Claim {
    public:
        Claim() = default;
        Claim(Claim&& other) noexcept : bytes_(other.bytes_) { other.bytes_ = 0; }
        Claim& operator=(Claim&&) = delete;
        ~Claim();

    private:
        friend class DrawingBudget;
        explicit Claim(uint64_t bytes) : bytes_(bytes) {}
        uint64_t bytes_ = 0;
    };

    // Waits until `bytes` are free and holds them until the claim ends. A claim of
    // more than the whole budget waits until nothing else is held and then holds it
    // all. A claim of nothing holds nothing and does not wait.
    static Claim claim(uint64_t bytes);
    // The same, unless `stopped` says while it waits that the drawing is no longer
    // wanted: none then.
    static std::optional<Claim> claimUnless(uint64_t bytes, const std::function<bool()>& stopped);
    // Held now (tests).
    static uint64_t held();
};

// The device pixels that drawing the user-space rectangle (x, y, width, height) covers
// on the context's target, as far as a pixel target reaches.
double devicePixels(cairo_t* cr, double x, double y, double width, double height);

}  // namespace platform::graphics
