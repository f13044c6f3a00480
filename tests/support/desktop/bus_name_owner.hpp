#pragma once
// What every stand-in service on a (private) session bus shares: a connection of its own
// on a thread of its own, one object registered from introspection XML, and a well-known
// name owned before the constructor returns. Method calls are handed to the stand-in on
// that thread; signals may be emitted from any thread.
#include <gio/gio.h>

#include <functional>
#include <memory>
#include <string>

namespace gwtest::desktop {

class BusNameOwner {
public:
    using MethodHandler = std::function<void(const char* method, GVariant* parameters, GDBusMethodInvocation*)>;

    // Connects to the bus at `address`, registers `introspection`'s first interface at
    // `objectPath` and owns `name`; throws (naming `service`) when any of it fails within
    // a generous deadline. `handler` runs on the bus thread until the owner is destroyed.
    BusNameOwner(const std::string& address, const std::string& name, const std::string& objectPath,
                 const char* introspection, MethodHandler handler, const std::string& service);
    ~BusNameOwner();
    BusNameOwner(const BusNameOwner&) = delete;
    BusNameOwner& operator=(const BusNameOwner&) = delete;

    // Emits `signal` of the interface named like the bus name, from the object, and
    // flushes it; takes `parameters` (floating) even when the connection is gone.
    void emitSignal(const char* signal, GVariant* parameters);

    struct State;

private:
    std::shared_ptr<State> state_;
};

}  // namespace gwtest::desktop
