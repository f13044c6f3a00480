#pragma once
// Change observation of an object's properties by key, for the windows and the engine
// to bind to (the part of key-value observing the model needs). Observers are told on
// the thread that changes the property; a handler may add or remove observers.
// Subclasses that can be edited through bindings also answer valueForKey and
// setValueForKey for the keys they bind.
#include "platform/appkit/key_value.hpp"
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace platform::appkit {

struct PropertyChange {
    std::string_view key;
    // True for the notice sent before the value changes (only to observers that asked
    // for prior notices), false for the one sent after it.
    bool isPrior = false;
};

class PropertyObservable : public KeyValueCoding {
public:
    using Token = std::uint64_t;
    using Handler = std::function<void(const PropertyChange&)>;

    PropertyObservable() = default;
    virtual ~PropertyObservable() = default;
    // Observers belong to the object they were added to; a copy starts without any.
    PropertyObservable(const PropertyObservable&) : KeyValueCoding() {}
    PropertyObservable& operator=(const PropertyObservable&) { return *this; }

    // Calls `handler` after every change of `key` (and, with `wantsPrior`, also before
    // it). An empty key observes every key.
    Token addObserver(std::string key, Handler handler, bool wantsPrior = false);
    void removeObserver(Token token);
    std::size_t observerCount() const;
    // Observers of exactly `key` (not those of every key).
    std::size_t observerCount(std::string_view key) const;

    // KeyValueCoding
    Token addKeyObserver(std::string key, ChangeHandler handler) override;
    void removeKeyObserver(Token token) override { removeObserver(token); }

    // Announce a change by hand. Every key that depends on `key` is announced with it.
    void willChangeValueForKey(std::string_view key);
    void didChangeValueForKey(std::string_view key);

protected:
    // Declares that `dependent` changes whenever one of `affecting` changes.
    void setKeysAffectingValueForKey(std::string dependent, std::vector<std::string> affecting);

private:
    struct Observation {
        Token token;
        std::string key;
        Handler handler;
        bool wantsPrior;
    };
    void notify(std::string_view key, bool isPrior);

    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<Observation>> observations_;
    std::map<std::string, std::vector<std::string>, std::less<>> dependents_;  // affecting -> dependents
    Token nextToken_ = 1;
};

}  // namespace platform::appkit
