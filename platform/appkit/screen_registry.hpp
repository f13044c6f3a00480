#pragma once
// The screens the window system reports, reduced to what the program asks of them:
// the primary screen's size in device-independent pixels. The window-toolkit layer
// fills it; without a display it stays empty.
#include <mutex>
#include <optional>

namespace platform::appkit {

struct ScreenSize {
    int width = 0;
    int height = 0;
    friend bool operator==(const ScreenSize&, const ScreenSize&) = default;
};

class ScreenRegistry {
public:
    static ScreenRegistry& shared();

    // None without a display.
    std::optional<ScreenSize> primaryScreenSize() const;
    // None: the display went away.
    void setPrimaryScreenSize(std::optional<ScreenSize> size);

private:
    mutable std::mutex mutex_;
    std::optional<ScreenSize> primary_;
};

}  // namespace platform::appkit
