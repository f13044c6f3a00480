#pragma once
// The application's delegate as components outside the application see it, without any
// window system: it names the callbacks whose calls it forwards to interested parties,
// and the application model reports the delegate when one is installed.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform::appkit {

class ApplicationDelegate {
public:
    virtual ~ApplicationDelegate() = default;
    // The demangled name of the delegate's dynamic type unless overridden.
    virtual std::string delegateClassName() const;
    // The callback names (e.g. "applicationDidFinishLaunching:") inside which the
    // delegate hands the call on.
    virtual std::vector<std::string> forwardedCallbacks() const = 0;
};

class ApplicationDelegateRegistry {
public:
    using Observer = std::function<void(const std::shared_ptr<ApplicationDelegate>& delegate)>;
    using Token = std::uint64_t;

    ApplicationDelegateRegistry() = delete;

    // The application model installs its delegate here; observers hear it on this thread.
    static void setDelegate(std::shared_ptr<ApplicationDelegate> delegate);
    static std::shared_ptr<ApplicationDelegate> delegate();

    static Token addObserver(Observer observer);
    static void removeObserver(Token token);
    // No delegate and no observers (tests).
    static void reset();
};

}  // namespace platform::appkit
