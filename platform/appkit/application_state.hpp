#pragma once
// The application object's state as the rest of the program sees it, without any
// window system: whether an application object exists (none on the command line),
// and its hidden and active flags. The window-toolkit layer sets them. A change of the
// active flag is posted on the default notification centre (the two names below): the
// will-become-active notice before the flag is set, the did-resign notice after it is
// cleared.
#include <atomic>

namespace platform::appkit {

inline constexpr const char* kApplicationWillBecomeActiveNotification = "NSApplicationWillBecomeActiveNotification";
inline constexpr const char* kApplicationDidResignActiveNotification = "NSApplicationDidResignActiveNotification";

class ApplicationState {
public:
    // The process's one state, made on first use.
    static ApplicationState& shared();

    bool hasApplication() const { return hasApplication_.load(); }
    void setHasApplication(bool value) { hasApplication_.store(value); }
    bool isHidden() const { return hidden_.load(); }
    void setHidden(bool value) { hidden_.store(value); }
    bool isActive() const { return active_.load(); }
    void setActive(bool value);

    // Back to "no application": not hidden, not active (tests).
    void reset();

private:
    std::atomic<bool> hasApplication_{false};
    std::atomic<bool> hidden_{false};
    std::atomic<bool> active_{false};
};

}  // namespace platform::appkit
