#pragma once
// Writing intents: a folder a builder means to write, and the answer to whether and
// where it may be written. The engine gives each intent a validator by its kind;
// the validator may ask the user when something already stands at the URL.
#include "app/foundation/image_input.hpp"
#include "app/foundation/localized_string.hpp"
#include "platform/foundation/url.hpp"

#include <memory>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

namespace gw {

// Which validator the prompting factory gives an intent.
enum class WritingIntentKind : int {
    catalog = 0,    // the "Assets.xcassets" folder
    asset = 1,      // the asset folder that receives new pictures; may prompt
    overwrite = 2,  // what stands at the URL is removed first; never prompts
    append = 3,     // the URL is used unchanged; never prompts
};

// Thrown when the user cancels an already-exists prompt, or the stored answer is "cancel".
// The window stops silently on it; the command line shows it, so it says in words what
// was in the way, when that is known.
class FileWritingIntentError : public std::runtime_error {
public:
    enum class Case : int { userCancelled = 0 };
    explicit FileWritingIntentError(Case errorCase = Case::userCancelled,
                                    std::optional<platform::foundation::URL> existing = std::nullopt)
        : std::runtime_error(existing ? LocalizedString::text("error.description.userCancelled", existing->path())
                                      : LocalizedString::text("error.description.userCancelled.generic")),
          case_(errorCase),
          existing_(std::move(existing)) {}
    Case errorCase() const noexcept { return case_; }
    // What already stood where the intent meant to write.
    const std::optional<platform::foundation::URL>& existing() const noexcept { return existing_; }
    static FileWritingIntentError userCancelled(std::optional<platform::foundation::URL> existing = std::nullopt) {
        return FileWritingIntentError(Case::userCancelled, std::move(existing));
    }

private:
    Case case_;
    std::optional<platform::foundation::URL> existing_;
};

// The validator's answer: write into the existing folder and keep what its
// Contents.json lists (appendable), or write the folder new (overwritable).
class FileWritingIntentValidatorResult {
public:
    enum class Case : int { appendableURL = 0, overwritableURL = 1 };

    static FileWritingIntentValidatorResult appendableURL(platform::foundation::URL url) {
        return {Case::appendableURL, std::move(url)};
    }
    static FileWritingIntentValidatorResult overwritableURL(platform::foundation::URL url) {
        return {Case::overwritableURL, std::move(url)};
    }

    Case resultCase() const { return case_; }
    const platform::foundation::URL& url() const { return url_; }
    bool isAppendable() const { return case_ == Case::appendableURL; }

    friend bool operator==(const FileWritingIntentValidatorResult&, const FileWritingIntentValidatorResult&) = default;

private:
    FileWritingIntentValidatorResult(Case c, platform::foundation::URL url) : case_(c), url_(std::move(url)) {}
    Case case_;
    platform::foundation::URL url_;
};

class FileWritingIntent;

// Decides where an intent may write; may show a prompt (on the main thread) and may
// throw FileWritingIntentError.
class FileWritingIntentValidator {
public:
    virtual ~FileWritingIntentValidator() = default;
    virtual FileWritingIntentValidatorResult validate(const FileWritingIntent& intent) = 0;
};

class FileWritingIntent {
public:
    // One option of an intent: the picture the folder is made from (the prompt shows
    // it), or the mark that the folder may be appended to.
    class Options {
    public:
        static Options imageInput(ImageInputPtr input) { return Options(std::move(input), false); }
        static Options appendable() { return Options(nullptr, true); }

        bool isImageInput() const { return !appendable_; }
        bool isAppendable() const { return appendable_; }
        // The picture of an imageInput option; null for appendable.
        const ImageInputPtr& imageInputValue() const { return imageInput_; }

        // Options of the same case are equal; the pictures of two imageInput options are
        // not compared.
        friend bool operator==(const Options& a, const Options& b) { return a.appendable_ == b.appendable_; }

    private:
        Options(ImageInputPtr input, bool appendable) : imageInput_(std::move(input)), appendable_(appendable) {}
        ImageInputPtr imageInput_;
        bool appendable_;
    };

    FileWritingIntent(platform::foundation::URL intendedDirectory, WritingIntentKind kind, std::vector<Options> options,
                      std::shared_ptr<FileWritingIntentValidator> validator)
        : intendedDirectory_(std::move(intendedDirectory)),
          kind_(kind),
          options_(std::move(options)),
          validator_(std::move(validator)) {}
    virtual ~FileWritingIntent() = default;

    const platform::foundation::URL& intendedDirectory() const { return intendedDirectory_; }
    WritingIntentKind kind() const { return kind_; }
    const std::vector<Options>& options() const { return options_; }
    bool hasAppendableOption() const {
        for (const auto& option : options_) {
            if (option.isAppendable()) return true;
        }
        return false;
    }
    // The picture of the first imageInput option; null when there is none.
    ImageInputPtr imageInput() const {
        for (const auto& option : options_) {
            if (option.isImageInput()) return option.imageInputValue();
        }
        return nullptr;
    }

    const std::optional<FileWritingIntentValidatorResult>& validationResult() const { return validationResult_; }

    // The validator is asked once; its answer is kept and later calls return it. When
    // it throws, nothing is kept and the error passes on.
    platform::foundation::URL validatedURL() {
        if (!validationResult_) validationResult_ = validator_->validate(*this);
        return validationResult_->url();
    }

private:
    platform::foundation::URL intendedDirectory_;
    WritingIntentKind kind_;
    std::vector<Options> options_;
    std::shared_ptr<FileWritingIntentValidator> validator_;
    std::optional<FileWritingIntentValidatorResult> validationResult_;
};

// Makes writing intents with the validator the factory's owner chooses per kind.
// A builder factory hands one factory unchanged to every builder it makes.
class FileWritingIntentFactory {
public:
    virtual ~FileWritingIntentFactory() = default;

    // A new intent, not yet validated (nothing is asked here).
    virtual std::shared_ptr<FileWritingIntent> make(const platform::foundation::URL& directory, WritingIntentKind kind,
                                                    const std::vector<FileWritingIntent::Options>& options) = 0;

    // Makes an intent and returns its validated URL; throws what its validator throws.
    platform::foundation::URL validatedURL(const platform::foundation::URL& directory, WritingIntentKind kind,
                                           const std::vector<FileWritingIntent::Options>& options) {
        return make(directory, kind, options)->validatedURL();
    }
};

using FileWritingIntentFactoryPtr = std::shared_ptr<FileWritingIntentFactory>;

}  // namespace gw
