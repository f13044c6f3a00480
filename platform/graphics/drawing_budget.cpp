#include "platform/graphics/drawing_budget.hpp"

#include <cairo.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace platform::graphics {

namespace {

std::mutex gMutex;
std::condition_variable gReleased;
uint64_t gHeld = 0;

}  // namespace

DrawingBudget::Claim DrawingBudget::claim(uint64_t bytes) {
    if (bytes == 0) return Claim();
    bytes = std::min(bytes, kBytes);
    std::unique_lock lock(gMutex);
    gReleased.wait(lock, [&] { return gHeld + bytes <= kBytes; });
    gHeld += bytes;
    return Claim(bytes);
}

std::optional<DrawingBudget::Claim> DrawingBudget::claimUnless(uint64_t bytes, const std::function<bool()>& stopped) {
    if (bytes == 0) return Claim();
    bytes = std::min(bytes, kBytes);
    std::unique_lock lock(gMutex);
    while (gHeld + bytes > kBytes) {
        if (stopped()) return std::nullopt;
        gReleased.wait_for(lock, std::chrono::milliseconds(50));
    }
    gHeld += bytes;
    return Claim(bytes);
}

uint64_t DrawingBudget::held() {
    std::lock_guard lock(gMutex);
    return gHeld;
}

double devicePixels(cairo_t* cr, double x, double y, double width, double height) {
    double xs[4] = {x, x + width, x, x + width}, ys[4] = {y, y, y + height, y + height};
    for (int i = 0; i < 4; ++i) cairo_user_to_device(cr, &xs[i], &ys[i]);
    double left = std::min({xs[0], xs[1], xs[2], xs[3]}), right = std::max({xs[0], xs[1], xs[2], xs[3]});
    double top = std::min({ys[0], ys[1], ys[2], ys[3]}), bottom = std::max({ys[0], ys[1], ys[2], ys[3]});
    cairo_surface_t* target = cairo_get_group_target(cr);
    if (cairo_surface_get_type(target) == CAIRO_SURFACE_TYPE_IMAGE) {
        double ox = 0, oy = 0;
        cairo_surface_get_device_offset(target, &ox, &oy);
        left = std::max(left, -ox);
        top = std::max(top, -oy);
        right = std::min(right, cairo_image_surface_get_width(target) - ox);
        bottom = std::min(bottom, cairo_image_surface_get_height(target) - oy);
    }
    if (!(right > left && bottom > top)) return 0;
    return (right - left) * (bottom - top);
}

DrawingBudget::Claim::~Claim() {
    if (bytes_ == 0) return;
    {
        std::lock_guard lock(gMutex);
        gHeld -= bytes_;
    }
    gReleased.notify_all();
}

}  // namespace platform::graphics
