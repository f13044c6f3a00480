#pragma once
// Lets SDK services see the callbacks the platform makes on the application's delegate,
// without replacing methods at run time: the delegate names the callbacks it forwards,
// and inside each of them calls the forwarder (forward(), or forwardReturning() for a
// "returnedValue:" callback, whose answer observers may replace in turn). A service asks
// for a callback with addDelegateSelectorToSwizzle(); when the application model reports
// the installed delegate, each asked-for callback is looked up among those it forwards.
// The forwarder's own traces wait in a buffer until the host first sets a log level.
#include "platform/appkit/application_delegate.hpp"

#include <any>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace rddi {

using RDDIForwardedArguments = std::vector<std::any>;

// An SDK observer of forwarded callbacks.
class RDDICustomDelegate {
public:
    virtual ~RDDICustomDelegate() = default;
    virtual bool respondsToCallback(const std::string& name) const = 0;
    // For a "returnedValue:" callback the last argument holds the value so far, and the
    // answer becomes the value the next observer sees; other answers are ignored.
    virtual std::any handleCallback(const std::string& name, const RDDIForwardedArguments& arguments) = 0;
};

class RDDICustomApplicationDelegate : public RDDICustomDelegate {};

class RDDIDelegateForwarder {
public:
    static constexpr const char* kReturnedValueSuffix = "returnedValue:";

    RDDIDelegateForwarder();
    virtual ~RDDIDelegateForwarder() = default;

    bool isEnabled() const { return enabled_.load(); }
    // Disabling drops every observer.
    void setEnabled(bool isEnabled);
    // Absent means enabled; logs (through the trace buffer) which way it went.
    void setEnabledFromPlistForKey(const std::string& key);

    // Held weakly; refused while disabled.
    void addDelegate(const std::shared_ptr<RDDICustomDelegate>& delegate);
    void removeDelegate(const std::shared_ptr<RDDICustomDelegate>& delegate);
    std::size_t delegateCount() const;

    // Asks for the callback to reach the observers once the application delegate is installed.
    void addDelegateSelectorToSwizzle(const std::string& name);
    // Looks every asked-for callback up among those the delegate forwards; logs each outcome.
    void swizzleOriginalDelegate(const platform::appkit::ApplicationDelegate& delegate);
    // Callbacks whose forwarding reached the observers.
    bool isForwarding(const std::string& name) const;

    // Hands a callback to every observer that answers it.
    void forwardInvocation(const std::string& name, const RDDIForwardedArguments& arguments);
    // The same for a "returnedValue:" callback: `original` is what the delegate itself
    // answered; each answering observer may replace it; with none it comes back unchanged.
    std::any forwardInvocationReturning(const std::string& name, std::any original, RDDIForwardedArguments arguments);

    // Deprecated predecessor of a callback name, set by a subclass.
    void setDeprecatedSelectors(std::map<std::string, std::string> selectors);

    // Runs the action now once the buffer was flushed, else keeps it for the flush.
    static void addTraceBlock(std::function<void()> action);
    // Runs the kept actions in order and ends buffering for good.
    static void flushTraceBuffer();
    // A fresh buffer, as at process start (tests).
    static void resetTraceBufferForTesting();

protected:
    // Where the application model's delegate reports are heard; once per subclass.
    virtual void observeDelegateInstallation() {}

private:
    std::atomic<bool> enabled_{true};
    mutable std::mutex lock_;
    std::vector<std::weak_ptr<RDDICustomDelegate>> delegates_;
    std::set<std::string> selectorsToSwizzle_;
    std::set<std::string> forwarded_;
    std::map<std::string, std::string> deprecatedSelectors_;
};

class RDDIAppDelegateForwarder final : public RDDIDelegateForwarder {
public:
    static constexpr const char* kEnabledKey = "DezIdedevAppDelegateForwarderEnabled";

    static std::shared_ptr<RDDIAppDelegateForwarder> sharedInstance();
    // A new instance; the delegate reports already heard are not heard again.
    static void resetSharedInstance();
    static const char* enabledKey() { return kEnabledKey; }

    // What the application delegate calls inside a forwarded callback.
    template <typename... Args>
    static void forward(const std::string& name, Args&&... args) {
        sharedInstance()->forwardInvocation(name, {std::any(std::forward<Args>(args))...});
    }
    template <typename R, typename... Args>
    static R forwardReturning(const std::string& name, R original, Args&&... args) {
        std::any answer = sharedInstance()->forwardInvocationReturning(
            name, std::any(original), {std::any(std::forward<Args>(args))...});
        if (const R* value = std::any_cast<R>(&answer)) return *value;
        return original;
    }

protected:
    void observeDelegateInstallation() override;
};

}  // namespace rddi
