#include "definitions_support.hpp"

#include "app/definitions/config_file.hpp"
#include "app/foundation/image_wrapper.hpp"
#include "app/foundation/user_defaults_key.hpp"
#include "platform/foundation/bundle.hpp"
#include "platform/foundation/user_defaults.hpp"
#include "platform/graphics/bitmap.hpp"
#include "platform/graphics/image.hpp"

#include <cstdlib>
#include <stdexcept>

namespace gwtest {

namespace pf = platform::foundation;
namespace pg = platform::graphics;

namespace {

// Set before any test runs, so that everything fixed once per process lands here.
struct ProcessXdgHome {
    std::filesystem::path root;
    ProcessXdgHome() {
        std::string pattern = (std::filesystem::temp_directory_path() / "gw-definitions-XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        root = pattern;
        for (auto [name, folder] : {std::pair{"XDG_CONFIG_HOME", "config"}, std::pair{"XDG_DATA_HOME", "data"},
                                    std::pair{"XDG_CACHE_HOME", "cache"}}) {
            std::filesystem::create_directories(root / folder);
            setenv(name, (root / folder).c_str(), 1);
        }
        unsetenv("GW_RESOURCES_DIR");
    }
    ~ProcessXdgHome() {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
};

ProcessXdgHome& processHome() {
    static ProcessXdgHome home;
    return home;
}

// Make the folders before main() runs any test.
[[maybe_unused]] const auto& kEarlyHome = processHome();

class AlwaysAllowValidator : public gw::FileWritingIntentValidator {
public:
    gw::FileWritingIntentValidatorResult validate(const gw::FileWritingIntent& intent) override {
        return gw::FileWritingIntentValidatorResult::appendableURL(intent.intendedDirectory());
    }
};

class StoredAnswerValidator : public gw::FileWritingIntentValidator {
public:
    explicit StoredAnswerValidator(StoredAnswerTestFactory::Answer answer) : answer_(std::move(answer)) {}
    gw::FileWritingIntentValidatorResult validate(const gw::FileWritingIntent& intent) override {
        if (answer_.cancel) throw gw::FileWritingIntentError::userCancelled();
        if (answer_.redirect) return gw::FileWritingIntentValidatorResult::overwritableURL(*answer_.redirect);
        return gw::FileWritingIntentValidatorResult::appendableURL(intent.intendedDirectory());
    }

private:
    StoredAnswerTestFactory::Answer answer_;
};

}  // namespace

const std::filesystem::path& processXdgRoot() { return processHome().root; }

gw::ImageInputPtr pictureOfSize(int width, int height, const std::string& name) {
    std::vector<uint8_t> pixels(static_cast<size_t>(width) * height * 4, 0xFF);
    auto bitmap = pg::makeSharedBitmap(pg::Bitmap(width, height, width * 4, std::move(pixels), false));
    auto picture = gw::ImageInput::make();
    picture->setImageWrapper(gw::ImageWrapper::make(pg::Image::withBitmap(bitmap)));
    picture->setImageName(name);
    return picture;
}

void resetDefinitionsState() {
    processXdgRoot();
    gw::ConfigFile::setLaunchArguments(std::vector<std::string>{"app_definitions_tests"});
    pf::Bundle::setMain(std::make_unique<pf::Bundle>(std::filesystem::path(GW_SOURCE_DIR) / "resources"));
    auto& defaults = pf::UserDefaults::standard();
    for (auto key : gw::allUserDefaultsKeys()) defaults.removeObject(gw::rawValue(key));
    std::error_code ignored;
    std::filesystem::remove(gw::ConfigFile::cachedConfigURL().fsPath(), ignored);
}

std::shared_ptr<gw::FileWritingIntent> RecordingFactory::make(const pf::URL& directory, gw::WritingIntentKind kind,
                                                              const std::vector<gw::FileWritingIntent::Options>& options) {
    {
        std::lock_guard lock(mutex_);
        requests_.push_back({directory, kind, options});
    }
    return std::make_shared<gw::FileWritingIntent>(directory, kind, options, validatorFor(kind));
}

std::vector<IntentRequest> RecordingFactory::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::shared_ptr<gw::FileWritingIntentValidator> AlwaysAllowTestFactory::validatorFor(gw::WritingIntentKind) {
    return std::make_shared<AlwaysAllowValidator>();
}

std::shared_ptr<gw::FileWritingIntentValidator> StoredAnswerTestFactory::validatorFor(gw::WritingIntentKind kind) {
    auto found = answers_.find(kind);
    if (found == answers_.end()) return std::make_shared<AlwaysAllowValidator>();
    return std::make_shared<StoredAnswerValidator>(found->second);
}

}  // namespace gwtest
