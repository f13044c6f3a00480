#pragma once
// Shared pieces of the app/definitions tests: pictures of a given pixel size, the
// process-wide scratch XDG home, and two writing-intent factories that stand in for
// the engine's (test doubles of the conversion engine's factories).
#include "app/engine/contracts/file_writing_intent.hpp"
#include "app/foundation/image_input.hpp"
#include "platform/foundation/url.hpp"

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace gwtest {

// Where the builders under test are told to write (nothing is written there).
inline const platform::foundation::URL kOutput = platform::foundation::URL::fileURL("/tmp/gw-out", true);

// A picture whose image is an opaque bitmap of width x height pixels.
gw::ImageInputPtr pictureOfSize(int width, int height, const std::string& name = "Icon");

// The scratch folder that XDG_CONFIG_HOME, XDG_DATA_HOME and XDG_CACHE_HOME point
// into for the whole test process (the cached manifest's place is fixed per process).
const std::filesystem::path& processXdgRoot();

// Settings, launch arguments, bundle and cached manifest back to a clean state.
void resetDefinitionsState();

// One call to a factory's make operation.
struct IntentRequest {
    platform::foundation::URL url;
    gw::WritingIntentKind kind;
    std::vector<gw::FileWritingIntent::Options> options;
};

// Records every make call; subclasses decide the validator.
class RecordingFactory : public gw::FileWritingIntentFactory {
public:
    std::shared_ptr<gw::FileWritingIntent> make(const platform::foundation::URL& directory, gw::WritingIntentKind kind,
                                                const std::vector<gw::FileWritingIntent::Options>& options) override;
    std::vector<IntentRequest> requests() const;

protected:
    virtual std::shared_ptr<gw::FileWritingIntentValidator> validatorFor(gw::WritingIntentKind kind) = 0;

private:
    mutable std::mutex mutex_;
    std::vector<IntentRequest> requests_;
};

// Like the engine's readiness factory: every intent is allowed as it is, nothing is asked.
class AlwaysAllowTestFactory : public RecordingFactory {
protected:
    std::shared_ptr<gw::FileWritingIntentValidator> validatorFor(gw::WritingIntentKind kind) override;
};

// Answers each kind from a stored answer, as the prompting factory does with the
// user's remembered choice: another folder, or cancel. Kinds without an answer are
// allowed as they are.
class StoredAnswerTestFactory : public RecordingFactory {
public:
    struct Answer {
        bool cancel = false;
        std::optional<platform::foundation::URL> redirect;  // answered as overwritable
    };
    void setAnswer(gw::WritingIntentKind kind, Answer answer) { answers_[kind] = std::move(answer); }

protected:
    std::shared_ptr<gw::FileWritingIntentValidator> validatorFor(gw::WritingIntentKind kind) override;

private:
    std::map<gw::WritingIntentKind, Answer> answers_;
};

}  // namespace gwtest
