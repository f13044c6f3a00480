#include "telemetry/core/rddi_delegate_forwarder.hpp"

#include "platform/foundation/bundle.hpp"
#include "telemetry/core/rddi_logger.hpp"

#include <algorithm>

namespace rddi {

namespace pf = platform::foundation;

namespace {

constexpr const char* kTag = "DezIdedev";

struct TraceBuffer {
    std::mutex mutex;
    std::optional<std::vector<std::function<void()>>> actions{std::in_place};
    bool announced = false;
};

TraceBuffer& traceBuffer() {
    static TraceBuffer buffer;
    return buffer;
}

// The buffer exists from process load: traces made before main() wait like the others.
[[maybe_unused]] const bool gTraceBufferCreated = (traceBuffer(), true);

// Forwarded calls are serialised across every forwarder, as they were per class.
std::recursive_mutex& forwardingLock() {
    static std::recursive_mutex lock;
    return lock;
}

bool endsWith(const std::string& text, std::string_view suffix) { return text.ends_with(suffix); }

std::mutex gSharedLock;
std::shared_ptr<RDDIAppDelegateForwarder> gShared;

}  // namespace

RDDIDelegateForwarder::RDDIDelegateForwarder() = default;

void RDDIDelegateForwarder::setEnabled(bool isEnabled) {
    std::lock_guard lock(lock_);
    enabled_.store(isEnabled);
    if (!isEnabled) delegates_.clear();
}

void RDDIDelegateForwarder::setEnabledFromPlistForKey(const std::string& key) {
    const pf::Value value = pf::Bundle::main().objectForInfoDictionaryKey(key);
    const bool enabled = value.isNull() ? true : value.boolValue();
    setEnabled(enabled);
    addTraceBlock([key, enabled] {
        if (enabled) {
            RDDILogDebug(kTag, "Delegate forwarder for info.plist key '{}' enabled. It may use swizzling.", key);
        } else {
            RDDILogDebug(kTag, "Delegate forwarder for info.plist key '{}' disabled. It won't use swizzling.", key);
        }
    });
}

void RDDIDelegateForwarder::addDelegate(const std::shared_ptr<RDDICustomDelegate>& delegate) {
    std::lock_guard lock(lock_);
    if (!enabled_.load() || !delegate) return;
    std::erase_if(delegates_, [](const auto& weak) { return weak.expired(); });
    for (const auto& weak : delegates_) {
        if (weak.lock() == delegate) return;
    }
    delegates_.push_back(delegate);
}

void RDDIDelegateForwarder::removeDelegate(const std::shared_ptr<RDDICustomDelegate>& delegate) {
    std::lock_guard lock(lock_);
    if (!enabled_.load()) return;
    std::erase_if(delegates_, [&](const auto& weak) { return weak.expired() || weak.lock() == delegate; });
}

std::size_t RDDIDelegateForwarder::delegateCount() const {
    std::lock_guard lock(lock_);
    return static_cast<std::size_t>(
        std::count_if(delegates_.begin(), delegates_.end(), [](const auto& weak) { return !weak.expired(); }));
}

void RDDIDelegateForwarder::setDeprecatedSelectors(std::map<std::string, std::string> selectors) {
    std::lock_guard lock(lock_);
    deprecatedSelectors_ = std::move(selectors);
}

void RDDIDelegateForwarder::addDelegateSelectorToSwizzle(const std::string& name) {
    if (!enabled_.load()) return;
    observeDelegateInstallation();
    std::lock_guard lock(lock_);
    selectorsToSwizzle_.insert(name);
}

void RDDIDelegateForwarder::swizzleOriginalDelegate(const platform::appkit::ApplicationDelegate& delegate) {
    const auto callbacks = delegate.forwardedCallbacks();
    const std::string className = delegate.delegateClassName();
    const auto forwards = [&](const std::string& name) {
        return std::find(callbacks.begin(), callbacks.end(), name) != callbacks.end();
    };
    std::lock_guard lock(lock_);
    for (const auto& name : selectorsToSwizzle_) {
        if (forwards(name)) {
            forwarded_.insert(name);
            addTraceBlock([name, className] {
                RDDILogDebug(kTag, "Selector '{}' of class '{}' is swizzled.", name, className);
            });
            continue;
        }
        const auto predecessor = deprecatedSelectors_.find(name);
        if (predecessor != deprecatedSelectors_.end() && forwards(predecessor->second)) {
            addTraceBlock([name, className, old = predecessor->second] {
                RDDILogWarning(kTag,
                               "Cannot swizzle selector '{}' of class '{}'. No implementation found for this "
                               "selector, though an implementation of its deprecated API '{}' exists.",
                               name, className, old);
            });
            continue;
        }
        const bool isPredecessor = std::any_of(deprecatedSelectors_.begin(), deprecatedSelectors_.end(),
                                               [&](const auto& entry) { return entry.second == name; });
        if (isPredecessor) continue;
        // Nothing can be added to the delegate from outside: it has to forward the call itself.
        addTraceBlock([name, className] {
            RDDILogError(kTag,
                         "Cannot swizzle selector '{}' of class '{}'. You need to explicitly call the Dez Idedev API "
                         "from your app delegate implementation.",
                         name, className);
        });
    }
    selectorsToSwizzle_.clear();
}

bool RDDIDelegateForwarder::isForwarding(const std::string& name) const {
    std::lock_guard lock(lock_);
    return forwarded_.contains(name);
}

void RDDIDelegateForwarder::forwardInvocation(const std::string& name, const RDDIForwardedArguments& arguments) {
    if (!isForwarding(name)) return;
    std::vector<std::shared_ptr<RDDICustomDelegate>> observers;
    {
        std::lock_guard lock(lock_);
        for (const auto& weak : delegates_) {
            if (auto strong = weak.lock()) observers.push_back(std::move(strong));
        }
    }
    std::lock_guard lock(forwardingLock());
    for (const auto& observer : observers) {
        if (observer->respondsToCallback(name)) observer->handleCallback(name, arguments);
    }
}

std::any RDDIDelegateForwarder::forwardInvocationReturning(const std::string& name, std::any original,
                                                           RDDIForwardedArguments arguments) {
    if (!isForwarding(name) || !endsWith(name, kReturnedValueSuffix)) return original;
    std::vector<std::shared_ptr<RDDICustomDelegate>> observers;
    {
        std::lock_guard lock(lock_);
        for (const auto& weak : delegates_) {
            if (auto strong = weak.lock()) observers.push_back(std::move(strong));
        }
    }
    std::lock_guard lock(forwardingLock());
    // The value so far rides as the last argument; each answer replaces it.
    arguments.push_back(std::move(original));
    for (const auto& observer : observers) {
        if (!observer->respondsToCallback(name)) continue;
        std::any answer = observer->handleCallback(name, arguments);
        if (answer.has_value()) arguments.back() = std::move(answer);
    }
    return std::move(arguments.back());
}

void RDDIDelegateForwarder::addTraceBlock(std::function<void()> action) {
    auto& buffer = traceBuffer();
    {
        std::lock_guard lock(buffer.mutex);
        if (buffer.actions) {
            if (!buffer.announced) {
                buffer.announced = true;
                buffer.actions->push_back([] { RDDILogVerbose(kTag, "Start buffering traces."); });
            }
            buffer.actions->push_back(std::move(action));
            return;
        }
    }
    action();
}

void RDDIDelegateForwarder::flushTraceBuffer() {
    auto& buffer = traceBuffer();
    std::lock_guard lock(buffer.mutex);
    if (!buffer.actions) return;
    for (const auto& action : *buffer.actions) action();
    buffer.actions.reset();
    RDDILogVerbose(kTag, "Stop buffering traces, flushed.");
}

void RDDIDelegateForwarder::resetTraceBufferForTesting() {
    auto& buffer = traceBuffer();
    std::lock_guard lock(buffer.mutex);
    buffer.actions.emplace();
    buffer.announced = false;
}

std::shared_ptr<RDDIAppDelegateForwarder> RDDIAppDelegateForwarder::sharedInstance() {
    std::shared_ptr<RDDIAppDelegateForwarder> created;
    {
        std::lock_guard lock(gSharedLock);
        if (gShared) return gShared;
        gShared = std::make_shared<RDDIAppDelegateForwarder>();
        created = gShared;
    }
    // Read when first needed rather than at load, so a host that names its bundle at
    // start-up is read from its own Info values.
    created->setEnabledFromPlistForKey(kEnabledKey);
    return created;
}

void RDDIAppDelegateForwarder::resetSharedInstance() {
    std::lock_guard lock(gSharedLock);
    gShared.reset();
}

void RDDIAppDelegateForwarder::observeDelegateInstallation() {
    // Once per process, as the delegate setter would be replaced once: the first delegate
    // the application model reports afterwards is looked at by the forwarder then current.
    static std::once_flag once;
    std::call_once(once, [] {
        static std::once_flag delegateOnce;
        platform::appkit::ApplicationDelegateRegistry::addObserver(
            [](const std::shared_ptr<platform::appkit::ApplicationDelegate>& delegate) {
                std::call_once(delegateOnce, [&] { sharedInstance()->swizzleOriginalDelegate(*delegate); });
            });
    });
}

}  // namespace rddi
