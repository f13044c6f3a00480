#pragma once
// The Google Analytics tracker interface the application sends its hits through. The
// tracker framework the application was written against does not exist on Linux: this is
// our own small stand-in for it. A builder makes each hit as a dictionary, the one shared
// tracker (absent until one is installed) hands it to its transport, and the default
// transport writes the hit to the system log.
#include "platform/foundation/value.hpp"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace gw {

// Builds one hit. Event hits carry "hitType" = "event", "category", "action", "label" and
// "value"; screen views carry "hitType" = "screenview" and "screenName".
class KKGADictionaryBuilder {
public:
    static std::unique_ptr<KKGADictionaryBuilder> createEventWithCategory(const std::string& category,
                                                                          const std::string& action,
                                                                          const std::string& label,
                                                                          std::optional<std::int64_t> value);
    static std::unique_ptr<KKGADictionaryBuilder> createScreenView(const std::string& screenName);

    // The hit; none when it lacks its hit type.
    std::optional<platform::foundation::Dictionary> build() const;

private:
    platform::foundation::Dictionary fields_;
};

// Where a tracker's hits go.
class KKGATransport {
public:
    virtual ~KKGATransport() = default;
    virtual void sendHit(const platform::foundation::Dictionary& hit) = 0;
};

// Writes each hit as one line to the system log.
class KKGALogTransport final : public KKGATransport {
public:
    void sendHit(const platform::foundation::Dictionary& hit) override;
};

class KKGATracker {
public:
    explicit KKGATracker(std::shared_ptr<KKGATransport> transport = std::make_shared<KKGALogTransport>());

    // The property identifier; set once at launch, before anything is sent.
    void setTrackingID(const std::string& trackingID);
    std::string trackingID() const;

    // Hands the hit, stamped with the tracking identifier, to the transport.
    void send(const platform::foundation::Dictionary& hit);

private:
    mutable std::mutex mutex_;
    std::shared_ptr<KKGATransport> transport_;
    std::string trackingID_;
};

// The shared tracker, or none when nothing installed one; callers then stop quietly.
std::shared_ptr<KKGATracker> KKGAI();
// Installs (or, with null, removes) the shared tracker.
void KKGASetSharedTracker(std::shared_ptr<KKGATracker> tracker);

}  // namespace gw
