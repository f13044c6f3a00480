#include "platform/appkit/user_notification.hpp"

#include "platform/appkit/session_bus.hpp"

#include "platform/dispatch/dispatch_queue.hpp"
#include "platform/graphics/bitmap.hpp"
#include "platform/log/system_log.hpp"

#include <gio/gio.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>

namespace platform::appkit {

namespace {

constexpr const char* kName = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";
constexpr const char* kDefaultAction = "default";
constexpr const char* kButtonAction = "action-button";

const log::SystemLog& notificationLog() {
    // Lines may still be written while the process exits (see deliverInBackground).
    static const auto* log = new log::SystemLog("Glyphwright", "UserNotifications");
    return *log;
}

}  // namespace

std::optional<NotificationImageData> notificationImageData(const graphics::Image& image) {
    // The picture's own pixels when it is small enough, else drawn at the largest size
    // that fits.
    const auto& reps = image.representations();
    const bool ofPixels = !reps.empty() && reps.front()->kind() == graphics::ImageRep::Kind::bitmap;
    const double width = ofPixels ? reps.front()->pixelsWide() : image.size().width;
    const double height = ofPixels ? reps.front()->pixelsHigh() : image.size().height;
    graphics::BitmapPtr pixels;
    if (width <= kNotificationImageSide && height <= kNotificationImageSide) {
        const auto rep = image.renderedBitmap();
        if (rep) pixels = rep->bitmap();
    } else {
        const double scale = kNotificationImageSide / std::max(width, height);
        pixels = image.renderBitmap(std::max(1, int(std::lround(width * scale))),
                                    std::max(1, int(std::lround(height * scale))));
    }
    if (!pixels) return std::nullopt;
    const auto& bitmap = *pixels;
    if (bitmap.width() <= 0 || bitmap.height() <= 0) return std::nullopt;
    NotificationImageData data;
    data.width = bitmap.width();
    data.height = bitmap.height();
    data.rowStride = data.width * 4;
    data.rgba.resize(static_cast<std::size_t>(data.rowStride) * static_cast<std::size_t>(data.height));
    auto* out = data.rgba.data();
    for (int y = 0; y < data.height; ++y) {
        for (int x = 0; x < data.width; ++x) {
            const auto word = bitmap.pixelAt(x, y);
            const unsigned a = word >> 24;
            auto channel = [a](unsigned premultiplied) -> std::uint8_t {
                if (a == 0) return 0;
                return static_cast<std::uint8_t>(std::min(255u, (premultiplied * 255u + a / 2) / a));
            };
            *out++ = channel((word >> 16) & 0xff);
            *out++ = channel((word >> 8) & 0xff);
            *out++ = channel(word & 0xff);
            *out++ = static_cast<std::uint8_t>(a);
        }
    }
    return data;
}

struct UserNotificationCenter::State {
    dispatch::DispatchQueue background{"com.norvane.glyphwright.notifications"};
    mutable std::mutex mutex;
    std::weak_ptr<UserNotificationCenterDelegate> delegate;
    std::map<std::uint32_t, UserNotification> delivered;

    // The bus side; touched under `busMutex` only.
    std::mutex busMutex;
    GDBusConnection* connection = nullptr;
    std::unique_ptr<BusLoopThread> loop;
    guint subscription = 0;
    // Once set, what still waits for its turn is dropped.
    std::atomic<bool> centreGone{false};

    bool deliver(UserNotification notification);
    bool connectLocked();
    void disconnectLocked();
    void signalArrived(const gchar* signal, GVariant* parameters);
};

namespace {

void onSignal(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* signal, GVariant* parameters,
              gpointer data) {
    static_cast<UserNotificationCenter::State*>(data)->signalArrived(signal, parameters);
}

}  // namespace

bool UserNotificationCenter::State::connectLocked() {
    if (connection && !g_dbus_connection_is_closed(connection)) return true;
    disconnectLocked();
    const auto address = sessionBusAddress();
    if (address.empty()) return false;
    GError* error = nullptr;
    connection = connectToBus(address, &error);
    if (!connection) {
        notificationLog().error(std::string("No session bus for notifications: ") +
                                (error ? error->message : "unknown error"));
        g_clear_error(&error);
        return false;
    }
    // The signals are dispatched in a context of our own, served by our own thread, so
    // a click is noticed whether or not the main thread runs a GLib loop.
    loop = std::make_unique<BusLoopThread>();
    subscription = loop->withContext([&] {
        return g_dbus_connection_signal_subscribe(connection, nullptr, kName, nullptr, kPath, nullptr,
                                                  G_DBUS_SIGNAL_FLAGS_NONE, onSignal, this, nullptr);
    });
    loop->start();
    return true;
}

void UserNotificationCenter::State::disconnectLocked() {
    if (loop) loop->stop();
    if (connection) {
        if (subscription != 0) g_dbus_connection_signal_unsubscribe(connection, subscription);
        g_dbus_connection_close_sync(connection, nullptr, nullptr);
        g_object_unref(connection);
    }
    loop.reset();
    connection = nullptr;
    subscription = 0;
}

void UserNotificationCenter::State::signalArrived(const gchar* signal, GVariant* parameters) {
    if (g_strcmp0(signal, "ActionInvoked") == 0 && g_variant_is_of_type(parameters, G_VARIANT_TYPE("(us)"))) {
        guint32 id = 0;
        const gchar* action = nullptr;
        g_variant_get(parameters, "(u&s)", &id, &action);
        UserNotification notification;
        std::weak_ptr<UserNotificationCenterDelegate> target;
        {
            std::lock_guard lock(mutex);
            const auto found = delivered.find(id);
            if (found == delivered.end()) return;  // another program's notification
            notification = found->second;
            target = delegate;
        }
        dispatch::DispatchQueue::main().async([notification = std::move(notification), target] {
            if (auto strong = target.lock()) strong->userNotificationCenterDidActivate(notification);
        });
    } else if (g_strcmp0(signal, "NotificationClosed") == 0 &&
               g_variant_is_of_type(parameters, G_VARIANT_TYPE("(uu)"))) {
        guint32 id = 0;
        guint32 reason = 0;
        g_variant_get(parameters, "(uu)", &id, &reason);
        std::lock_guard lock(mutex);
        delivered.erase(id);
    }
}

UserNotificationCenter::UserNotificationCenter() : state_(std::make_shared<State>()) {}

UserNotificationCenter::~UserNotificationCenter() {
    // The connection goes after what waits, on the queue: the end of the process waits
    // neither for a picture to be scaled nor for a server's answer.
    state_->centreGone = true;
    state_->background.async([state = state_] {
        std::lock_guard lock(state->busMutex);
        state->disconnectLocked();
    });
}

UserNotificationCenter& UserNotificationCenter::defaultCenter() {
    static UserNotificationCenter center;
    return center;
}

void UserNotificationCenter::setDelegate(std::weak_ptr<UserNotificationCenterDelegate> delegate) {
    std::lock_guard lock(state_->mutex);
    state_->delegate = std::move(delegate);
}

bool UserNotificationCenter::deliver(UserNotification notification) { return state_->deliver(std::move(notification)); }

bool UserNotificationCenter::State::deliver(UserNotification notification) {
    std::lock_guard busLock(busMutex);
    if (centreGone) {
        notificationLog().error("Notification dropped: the program ends: " + notification.title);
        return false;
    }
    if (!connectLocked()) {
        notificationLog().error("Notification dropped: no session bus: " + notification.title);
        return false;
    }
    GVariantBuilder actions;
    g_variant_builder_init(&actions, G_VARIANT_TYPE("as"));
    // "default" is a click on the notification itself, which activates it like the button.
    g_variant_builder_add(&actions, "s", kDefaultAction);
    g_variant_builder_add(&actions, "s",
                          (notification.hasActionButton ? notification.actionButtonTitle : notification.title).c_str());
    if (notification.hasActionButton) {
        g_variant_builder_add(&actions, "s", kButtonAction);
        g_variant_builder_add(&actions, "s", notification.actionButtonTitle.c_str());
    }
    GVariantBuilder hints;
    g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
    if (notification.contentImage) {
        if (const auto data = notificationImageData(*notification.contentImage)) {
            GVariant* bytes = g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, data->rgba.data(), data->rgba.size(), 1);
            g_variant_builder_add(&hints, "{sv}", "image-data",
                                  g_variant_new("(iiibii@ay)", data->width, data->height, data->rowStride,
                                                static_cast<gboolean>(data->hasAlpha), 8, 4, bytes));
        }
    }
    if (!notification.soundName.empty())
        g_variant_builder_add(&hints, "{sv}", "sound-name", g_variant_new_string(notification.soundName.c_str()));
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(
        connection, kName, kPath, kName, "Notify",
        g_variant_new("(susssasa{sv}i)", "Glyphwright", 0u, "", notification.title.c_str(),
                      notification.subtitle.c_str(), &actions, &hints, -1),
        G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 25'000, nullptr, &error);
    if (!reply) {
        notificationLog().error("Notification dropped: " + std::string(error ? error->message : "no answer") + ": " +
                                notification.title);
        g_clear_error(&error);
        return false;
    }
    guint32 id = 0;
    g_variant_get(reply, "(u)", &id);
    g_variant_unref(reply);
    notification.identifier = id;
    std::lock_guard lock(mutex);
    delivered[id] = std::move(notification);
    return true;
}

void UserNotificationCenter::deliverInBackground(UserNotification notification) {
    // The work holds the state, not the centre: the process's centre goes as the process
    // ends, while what waits for its turn may still run (a quit right after a conversion).
    state_->background.async([state = state_, notification = std::move(notification)]() mutable {
        state->deliver(std::move(notification));
    });
}

void UserNotificationCenter::waitUntilDelivered() { state_->background.sync([] {}); }

std::vector<UserNotification> UserNotificationCenter::deliveredNotifications() const {
    std::lock_guard lock(state_->mutex);
    std::vector<UserNotification> result;
    for (const auto& [id, notification] : state_->delivered) result.push_back(notification);
    return result;
}

void UserNotificationCenter::reset() {
    {
        std::lock_guard busLock(state_->busMutex);
        state_->disconnectLocked();
    }
    std::lock_guard lock(state_->mutex);
    state_->delivered.clear();
    state_->delegate.reset();
}

}  // namespace platform::appkit
