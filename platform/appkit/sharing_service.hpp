#pragma once
// Stands in for the platform's sharing services; only composing an e-mail exists here.
// The desktop offers it exactly when it names a handler for mailto links
// (`xdg-mime query default x-scheme-handler/mailto`); performing it hands the message to
// that program through `xdg-email`.
#include <memory>
#include <string>
#include <vector>

namespace platform::appkit {

class SharingService {
public:
    enum class Name { composeEmail };

    // The service when the desktop offers it; null otherwise.
    static std::unique_ptr<SharingService> named(Name name);

    Name name() const { return name_; }
    std::vector<std::string> recipients;
    std::string subject;

    // Starts the mail program with the recipients, the subject and the items (text, one
    // per line) as the body; does not wait for it. False when it could not be started.
    bool perform(const std::vector<std::string>& items) const;

private:
    explicit SharingService(Name name) : name_(name) {}
    Name name_;
};

}  // namespace platform::appkit
