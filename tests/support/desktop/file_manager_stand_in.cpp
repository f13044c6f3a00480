#include "support/desktop/file_manager_stand_in.hpp"

#include "support/desktop/bus_name_owner.hpp"

#include <condition_variable>
#include <mutex>

namespace gwtest::desktop {

namespace {

constexpr const char* kIntrospection =
    "<node>"
    "  <interface name='org.freedesktop.FileManager1'>"
    "    <method name='ShowFolders'><arg type='as' name='URIs' direction='in'/>"
    "      <arg type='s' name='StartupId' direction='in'/></method>"
    "    <method name='ShowItems'><arg type='as' name='URIs' direction='in'/>"
    "      <arg type='s' name='StartupId' direction='in'/></method>"
    "    <method name='ShowItemProperties'><arg type='as' name='URIs' direction='in'/>"
    "      <arg type='s' name='StartupId' direction='in'/></method>"
    "  </interface>"
    "</node>";

}  // namespace

struct FileManagerStandIn::State {
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::vector<ShowItemsCall> calls;
    std::unique_ptr<BusNameOwner> owner;  // last: its thread stops before the calls go
};

namespace {

// On the bus thread.
void onMethodCall(FileManagerStandIn::State* state, const char* method, GVariant* parameters,
                  GDBusMethodInvocation* invocation) {
    if (g_strcmp0(method, "ShowItems") == 0) {
        ShowItemsCall call;
        GVariantIter* uris = nullptr;
        const gchar* startup = nullptr;
        g_variant_get(parameters, "(as&s)", &uris, &startup);
        const gchar* uri = nullptr;
        while (g_variant_iter_next(uris, "&s", &uri)) call.uris.emplace_back(uri);
        g_variant_iter_free(uris);
        call.startupId = startup ? startup : "";
        std::lock_guard lock(state->mutex);
        state->calls.push_back(std::move(call));
        state->changed.notify_all();
    }
    g_dbus_method_invocation_return_value(invocation, nullptr);
}

}  // namespace

FileManagerStandIn::FileManagerStandIn(const std::string& address) : state_(std::make_shared<State>()) {
    auto* state = state_.get();
    state_->owner = std::make_unique<BusNameOwner>(
        address, "org.freedesktop.FileManager1", "/org/freedesktop/FileManager1", kIntrospection,
        [state](const char* method, GVariant* parameters, GDBusMethodInvocation* invocation) {
            onMethodCall(state, method, parameters, invocation);
        },
        "the file manager stand-in");
}

FileManagerStandIn::~FileManagerStandIn() { state_->owner.reset(); }

std::vector<ShowItemsCall> FileManagerStandIn::showItemsCalls() const {
    std::lock_guard lock(state_->mutex);
    return state_->calls;
}

bool FileManagerStandIn::waitForShowItems(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, timeout, [&] { return state_->calls.size() >= count; });
}

}  // namespace gwtest::desktop
