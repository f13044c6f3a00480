#include "app/shell/command_line_controller.hpp"

#include "app/definitions/config_file.hpp"
#include "app/definitions/conversion_output_type.hpp"
#include "app/definitions/folder_definition_builder_factory.hpp"
#include "app/engine/conversion_warning.hpp"
#include "app/engine/folder_creation_operation.hpp"
#include "app/engine/image_creation_operation.hpp"
#include "app/engine/writing_boundary.hpp"
#include "app/engine/writing_intents.hpp"
#include "app/foundation/file_categories.hpp"
#include "app/foundation/image_input.hpp"
#include "app/foundation/folder_scanning.hpp"
#include "app/foundation/image_input_collection.hpp"
#include "app/foundation/localized_string.hpp"
#include "app/foundation/user_defaults_cloud_sync.hpp"
#include "platform/foundation/error.hpp"
#include "platform/foundation/url.hpp"
#include "platform/foundation/user_defaults.hpp"
#include "platform/foundation/utf8.hpp"
#include "platform/graphics/render_client.hpp"
#include "platform/log/system_log.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace gw {

namespace pf = platform::foundation;
namespace seq = TerminalSequence;

namespace {

const std::thread::id mainThread = std::this_thread::get_id();

// Shortest text that reads back as the same float, always with a fractional part.
std::string progressText(float percent) {
    std::string text = fmt::format("{}", percent);
    if (text.find_first_of(".eninf") == std::string::npos) text += ".0";
    return text;
}

std::string failureMessage(std::string_view prefix, CommandLineController::Option option) {
    return fmt::format("{}{}", prefix, CommandLineController::caseName(option));
}

std::string unableToUnderstand(CommandLineController::Option option) {
    return failureMessage("Unable to understand the ", option);
}

// The reason line under "Unable to open images at …".
std::string unableToOpenReason(const std::exception_ptr& error, const pf::URL& url) {
    try {
        std::rethrow_exception(error);
    } catch (const AddImageAlertError& alert) {
        return pictureLoadFailureReason(alert.reason(), url);
    } catch (...) {
        return pictureLoadFailureReason(std::current_exception(), url);
    }
}

// Pictures whose names another picture of the run already had are converted under a
// numbered name: each is said, with the picture that kept the name.
void warnOfRenamedPictures(const std::vector<ImageInputPtr>& inputs) {
    for (const auto& input : inputs) {
        if (!input->imageURL() || input->imageNameIsFileName()) continue;
        const auto name = fileName(*input->imageURL());
        if (!name) continue;
        const auto keeper = std::find_if(inputs.begin(), inputs.end(), [&](const ImageInputPtr& other) {
            return other != input && other->imageName() == *name && other->imageURL();
        });
        if (keeper == inputs.end()) continue;
        ConsoleIO::writeError(fmt::format(
            "{}Warning: {}\n", ConsoleIO::colour(ConsoleStream::err, TerminalSequence::yellow),
            LocalizedString::text("command-line.warning.renamed",
                                  {input->imageURL()->path(), input->imageName(), (*keeper)->imageURL()->path(), *name})));
    }
}

// A single-picture run converts the one picture it was given; given a folder of several, it
// converts the last in name order and says which it used and which it left out.
void warnOfPicturesLeftOut(const Glyphwright& engine) {
    const auto inputs = engine.imageInputs();
    const auto selected = engine.selectedImageInputs();
    if (inputs.size() < 2 || selected.empty() || !selected.front()->imageURL()) return;
    std::string leftOut;
    for (const auto& input : inputs) {
        if (input == selected.front() || !input->imageURL()) continue;
        leftOut += (leftOut.empty() ? "" : ", ") + input->imageURL()->path();
    }
    ConsoleIO::writeError(fmt::format("{}Warning: {}\n", ConsoleIO::colour(ConsoleStream::err, TerminalSequence::yellow),
                                      LocalizedString::text("command-line.warning.single-picture",
                                                            selected.front()->imageURL()->path(), leftOut)));
}

// Each picture of a batch names a set of its own. One that no set can be named after (its
// file name is not UTF-8 text, or too long for the set's files) is passed over and said,
// as a picture that cannot be read is, so that it does not cost the others their sets.
// The plans are dry ones: nothing is set aside or written for them. (In the window, where
// the pictures are in view and can be taken out, the run still stops and names it.)
void passOverPicturesNoSetCanBeNamedAfter(Glyphwright& engine, const pf::URL& outputURL,
                                          ConversionOutputType outputType) {
    const auto dryRun = std::make_shared<FakeWritingIntentFactory>();
    std::vector<platform::appkit::ArrayController::Element> passedOver;
    for (const auto& input : engine.imageInputs()) {
        try {
            for (const auto& builder : FolderDefinitionBuilderFactory().makeBuilders(
                     {input}, {input}, CollectionType::batch, outputURL, outputType, dryRun)) {
                auto plan = builder->build();
                prepareForWriting(plan);
            }
        } catch (const FolderCreationError& failure) {
            if (failure.errorCase() == FolderCreationError::Case::pathOutsideFolder || !input->imageURL()) continue;
            reportSkippedPicture(*input->imageURL(), LocalizedString::text("folder-scan.warning.no-set-name",
                                                                           input->imageURL()->path(), failure.what()));
            passedOver.push_back(platform::appkit::ArrayController::Element::of(input));
        } catch (...) {
            // Anything else is the run's to find and report.
        }
    }
    if (!passedOver.empty()) engine.collectionViewArrayController()->removeObjects(passedOver);
}

// Types that take only a folder of layers say how to give them one.
std::string readinessFailure(const std::exception_ptr& error) {
    std::string message = "Unable to create asset catalog. Error " + errorDescription(error);
    try {
        std::rethrow_exception(error);
    } catch (const FolderDefinitionBuilderFactory::FolderDefinitionBuilderFactoryError& failure) {
        if (failure.errorCase() ==
            FolderDefinitionBuilderFactory::FolderDefinitionBuilderFactoryError::Case::singleImageModeNotSupported) {
            message += "\n" + LocalizedString::text("command-line.hint.layers");
        }
    } catch (...) {
    }
    return message;
}

// Colours for each stream, only where they mean something.
std::string_view onOut(std::string_view sequence) { return ConsoleIO::colour(ConsoleStream::out, sequence); }
std::string_view onErr(std::string_view sequence) { return ConsoleIO::colour(ConsoleStream::err, sequence); }

}  // namespace

// --- options ----------------------------------------------------------------------

std::string_view CommandLineController::rawValue(Option option) {
    switch (option) {
    case Option::help: return "-help";
    case Option::inputPath: return "-inputPath";
    case Option::outputPath: return "-outputPath";
    case Option::assetType: return "-assetType";
    case Option::collectionType: return "-collectionType";
    case Option::assetExistsAction: return "-assetExistsAction";
    case Option::assetCatalogExistsAction: return "-assetCatalogExistsAction";
    }
    return {};
}

std::string_view CommandLineController::caseName(Option option) { return rawValue(option).substr(1); }

std::optional<CommandLineController::Option> CommandLineController::optionFromRawValue(std::string_view text) {
    for (const auto option : allOptions) {
        if (rawValue(option) == text) return option;
    }
    return std::nullopt;
}

std::string_view CommandLineController::rawValue(AlreadyExistsAction action) {
    switch (action) {
    case AlreadyExistsAction::increment: return "increment";
    case AlreadyExistsAction::overwrite: return "overwrite";
    case AlreadyExistsAction::append: return "append";
    case AlreadyExistsAction::cancel: return "cancel";
    }
    return {};
}

std::optional<CommandLineController::AlreadyExistsAction> CommandLineController::alreadyExistsActionFromRawValue(
    std::string_view text) {
    for (const auto action : allAlreadyExistsActions) {
        if (rawValue(action) == text) return action;
    }
    return std::nullopt;
}

FileAlreadyExistsAction CommandLineController::fileAlreadyExistsAction(AlreadyExistsAction action) {
    return static_cast<FileAlreadyExistsAction>(static_cast<int>(action) + 1);
}

// --- the controller ---------------------------------------------------------------

std::shared_ptr<CommandLineController> CommandLineController::make(std::vector<std::string> arguments) {
    return std::shared_ptr<CommandLineController>(new CommandLineController(std::move(arguments)));
}

CommandLineController::CommandLineController(std::vector<std::string> arguments) : arguments_(std::move(arguments)) {}

bool CommandLineController::shouldRun() const { return arguments_.size() > 1; }

std::optional<std::optional<std::string>> CommandLineController::lookup(Option option) const {
    const auto found = std::find(arguments_.begin(), arguments_.end(), rawValue(option));
    if (found == arguments_.end()) return std::nullopt;
    if (std::next(found) == arguments_.end()) return std::optional<std::string>();
    return std::optional<std::string>(*std::next(found));
}

bool CommandLineController::isGiven(Option option) const { return lookup(option).has_value(); }

std::optional<std::string> CommandLineController::unexpectedArgument() const {
    for (std::size_t i = 1; i < arguments_.size(); ++i) {
        const auto& argument = arguments_[i];
        if (optionFromRawValue(argument)) continue;
        // The value of the option before it, whatever it looks like.
        const auto previous = optionFromRawValue(arguments_[i - 1]);
        if (previous && *previous != Option::help) continue;
        return argument;
    }
    return std::nullopt;
}

Glyphwright& CommandLineController::glyphwright() {
    if (!glyphwright_) {
        glyphwright_ = Glyphwright::make();
        auto wrapper = std::make_shared<WeakGlyphwrightDelegateWrapper>();
        wrapper->value = weak_from_this();
        glyphwright_->appendDelegate(std::move(wrapper));
        // Judged once the run is under way (see run()): the corner of a vector picture
        // waits for its drawing at full size, which the other sizes are drawn beside.
        glyphwright_->setVectorCornerChecksDeferred(true);
        setSkippedPictureHandler([](const pf::URL&, const std::string& why) {
            ConsoleIO::writeError(fmt::format("{}Warning: {}\n", onErr(seq::yellow), why));
        });
    }
    return *glyphwright_;
}

std::shared_ptr<FileAlreadyExistsActionProvider> CommandLineController::actionProvider(Option option) {
    auto action = FileAlreadyExistsAction::overwrite;
    if (const auto given = lookup(option)) {
        const auto parsed = *given ? alreadyExistsActionFromRawValue(**given) : std::nullopt;
        if (!parsed) complete(unableToUnderstand(option));
        action = fileAlreadyExistsAction(*parsed);
    }
    return std::make_shared<CommandLineOptionActionProvider>(action);
}

void CommandLineController::requireInsideRoot(const WritingBoundary& root, const pf::URL& location) {
    try {
        if (root.contains(location.fsPath())) return;
    } catch (const pf::Error& failure) {
        // Without a descriptor left, nothing is known of where it leads: not "outside".
        if (pf::isOutOfFileDescriptors(failure)) {
            complete(LocalizedString::text("command-line.unusable", location.path(), failure.what()));
        }
    }
    complete(LocalizedString::text("command-line.outside-root", location.path(), root.root().string()));
}

void CommandLineController::run() {
    // Diagnostic lines would only get in the way of what the terminal shows.
    platform::log::setLoggingEnabled(false);

    if (isGiven(Option::help)) {
        consoleIO_.printUsage(arguments_);
        return;
    }
    // A mistyped option or a stray word would otherwise be passed over and a default
    // used in its place.
    if (const auto unexpected = unexpectedArgument()) {
        std::string options;
        for (const auto option : allOptions) options += (options.empty() ? "" : ", ") + std::string(rawValue(option));
        const bool looksLikeOption = unexpected->size() > 1 && unexpected->front() == '-';
        complete(LocalizedString::text(looksLikeOption ? "command-line.unknown-option" : "command-line.unexpected-argument",
                                       *unexpected, options));
    }
    // What the program itself ships is read before a renderer starting beside it can take
    // the descriptors it would need under a low limit of open files.
    ConfigFile::readBundleCopy();
    // A document's renderer starts while the settings and the picture are read.
    if (const auto input = lookup(Option::inputPath); input && *input) {
        platform::graphics::RenderClient::prepareFor(**input);
    }
    // The same default settings as the desktop application, so that both make the same
    // catalog from the same settings. Nothing is mirrored to the cloud from here.
    UserDefaultsCloudSync defaultSettings(nullptr, pf::UserDefaults::standard());
    commandLineEnabledController_.emplace();

    if (!commandLineEnabledController_->isCommandLineInterfaceEnabled()) {
        // Without a descriptor left to open the root, nothing is known of the grant.
        const auto& problem = commandLineEnabledController_->grantProblem();
        if (problem && problem->kind == CommandLineEnabledController::GrantProblem::Kind::unusable &&
            pf::isOutOfFileDescriptors(problem->error)) {
            complete(LocalizedString::text("command-line.unusable", problem->folder, problem->reason));
        }
        std::string message;
        // An unreadable settings file took the grant with it: say so, and where it went.
        if (const auto aside = pf::UserDefaults::standard().setAsideStore()) {
            message += LocalizedString::text("command-line.settings-unreadable", aside->original.string(), aside->reason);
            message += "\n";
            message += aside->leftInPlace      ? LocalizedString::text("command-line.settings-left")
                       : aside->movedTo.empty() ? LocalizedString::text("command-line.settings-not-moved")
                                                : LocalizedString::text("command-line.settings-moved", aside->movedTo.string());
            // Not read for want of descriptors or memory, the grant is still in it: nothing
            // is to be enabled again.
            if (aside->leftInPlace) complete(message);
            message += "\n";
        }
        // A grant that no longer names the folder granted says so, and which.
        if (problem) message += CommandLineEnabledController::describe(*problem) + "\n";
        complete(message +
                 "Due to sandboxing restrictions you need to enabled the command line interface in the app before "
                 "it's available for use. Please open the app and enable this in the app's preferences.");
    }
    const auto input = lookup(Option::inputPath);
    // An empty value is no value: it would name the current folder.
    if (!input || !*input || (*input)->empty()) {
        complete(input ? unableToUnderstand(Option::inputPath) : failureMessage("Please specify the ", Option::inputPath));
    }
    const std::string& inputPath = **input;
    std::error_code error;
    const bool inputIsFolder =
        std::filesystem::is_directory(inputPath, error) || (!inputPath.empty() && inputPath.back() == '/');
    const pf::URL inputURL = pf::URL::fileURL(inputPath, inputIsFolder);

    pf::URL outputURL = inputURL.deletingLastPathComponent();
    if (const auto output = lookup(Option::outputPath)) {
        if (!*output || (*output)->empty()) complete(unableToUnderstand(Option::outputPath));
        outputURL = pf::URL::fileURL(**output, true);
    }

    auto outputType = ConversionOutputType::iOSIcon;
    if (const auto given = lookup(Option::assetType)) {
        const auto parsed = *given ? ConversionOutputTypes::fromCommandLineName(**given) : std::nullopt;
        if (!parsed) complete(unableToUnderstand(Option::assetType));
        outputType = *parsed;
    }

    auto collectionType = CollectionType::single;
    if (const auto given = lookup(Option::collectionType)) {
        const auto parsed = *given ? collectionTypeFromString(**given) : std::nullopt;
        if (!parsed) complete(unableToUnderstand(Option::collectionType));
        collectionType = *parsed;
    }
    if (collectionType != CollectionType::single && !inputURL.hasDirectoryPath()) {
        complete(fmt::format("Using {} {} requires you to select a directory as the {}",
                             collectionTypeText(collectionType), caseName(Option::collectionType),
                             caseName(Option::inputPath)));
    }

    // Each option answers for what its name and the usage text say: an existing asset,
    // an existing catalog.
    auto catalogContentsExistsActionProvider = actionProvider(Option::assetExistsAction);
    auto catalogExistsActionProvider = actionProvider(Option::assetCatalogExistsAction);

    // Nothing outside the granted root folder is read or written, also not through a
    // link met on the way. The root is the folder the grant was checked against, held
    // open since: never looked up again by its path.
    const auto root = std::make_shared<WritingBoundary>(commandLineEnabledController_->rootHandle());
    // A run that must wait for another run into the same folder (one stopped with Ctrl+Z
    // waits for good) says so once, naming that run.
    root->setLockWaitNotice([](const std::filesystem::path& folder, const pf::files::LockHolder& holder) {
        std::string who = LocalizedString::text("command-line.lock-holder.unknown");
        if (holder.process > 0) {
            const auto number = std::to_string(holder.process);
            const auto name = holder.name.empty() ? std::string("?") : pf::escapedForDisplay(holder.name);
            who = holder.stopped ? LocalizedString::text("command-line.lock-holder.stopped", {number, name, number})
                                 : LocalizedString::text("command-line.lock-holder", number, name);
        }
        ConsoleIO::writeError(
            LocalizedString::text("command-line.waiting-for-lock", pf::escapedForDisplay(folder.string()), who) + "\n");
    });
    requireInsideRoot(*root, inputURL);
    requireInsideRoot(*root, outputURL);

    auto& engine = glyphwright();
    engine.setWritingBoundary(root);
    try {
        // A missing folder would otherwise be listed as an empty one.
        std::error_code missing;
        if (!std::filesystem::exists(std::filesystem::symlink_status(inputURL.fsPath(), missing))) {
            throw GlyphwrightError(GlyphwrightError::Case::unableToOpenImageFromURL, inputURL);
        }
        // A catalog written inside the input folder earlier is not read back as pictures.
        engine.addImagesFromFileOrFolder(inputURL, {outputURL});
    } catch (...) {
        // The path itself, as every other message shows one: a URL's
        // percent-encoding would turn an accented letter into "%C3%A9".
        complete(fmt::format("Unable to open images at {}\n{}", pf::escapedForDisplay(inputURL.path()),
                             unableToOpenReason(std::current_exception(), inputURL)));
    }
    // Pictures of one name would otherwise write one set, the last over the others.
    engine.makeImageNamesUnique();
    if (collectionType == CollectionType::batch) passOverPicturesNoSetCanBeNamedAfter(engine, outputURL, outputType);
    warnOfRenamedPictures(engine.imageInputs());

    engine.setOutputDirectory(outputURL);
    engine.setResizeType(outputType);
    engine.setImageInputCollectionType(collectionType);
    engine.setCatalogExistsActionProvider(std::move(catalogExistsActionProvider));
    engine.setCatalogContentsExistsActionProvider(std::move(catalogContentsExistsActionProvider));
    engine.setProgressUpdateHandler([weak = weak_from_this()](float) {
        auto self = weak.lock();
        if (!self) return;
        {
            std::lock_guard lock(self->mutex_);
            self->progressChanged_ = true;
        }
        self->changed_.notify_all();
    });

    // Without the vector corners: they decide no failure, only a warning.
    if (const auto readyState = engine.readyState(); readyState.stateCase() == ReadyState::Case::error) {
        complete(readinessFailure(readyState.errorValue()));
    }
    if (collectionType == CollectionType::single) warnOfPicturesLeftOut(engine);

    // The run starts before its warnings are known in full; nothing it prints comes
    // before the start line, and the warnings come before that.
    std::exception_ptr notCreated;
    try {
        engine.createAssetCatalog();
    } catch (...) {
        notCreated = std::current_exception();
    }
    if (const auto readyState = engine.completeReadyState(); readyState.stateCase() == ReadyState::Case::warnings) {
        for (const auto& warning : readyState.warningList()) {
            ConsoleIO::writeError(fmt::format("{}Warning: {}\n", onErr(seq::yellow), errorDescription(warning)));
        }
    }
    // Also the end of a run that would have had to ask in a window: there is none here.
    if (notCreated) complete("Unable to create asset catalog. Error " + errorDescription(notCreated));

    {
        std::lock_guard output(outputMutex_);
        ConsoleIO::printLine(fmt::format("{}Conversion starting", onOut(seq::reset)));
        startLinePrinted_ = true;
    }
    startLineShown_.notify_all();
    pollProgressUntilComplete();
}

void CommandLineController::waitForStartLine(std::unique_lock<std::mutex>& output) {
    // The main thread prints it, and never waits for itself.
    if (std::this_thread::get_id() == mainThread) return;
    startLineShown_.wait(output, [&] { return startLinePrinted_; });
}

void CommandLineController::showProgress() {
    std::unique_lock lock(outputMutex_);
    waitForStartLine(lock);
    const float progress = glyphwright_->progress();
    if (std::isnan(progress) || progress == lastShownProgress_) return;
    // On a terminal a progress line rewrites the line above it, unless that is a
    // folder's result, which must stay on the screen; a pipe or a file gets each line.
    const bool rewrites = !folderLineSinceProgress_ && ConsoleIO::isTerminal(ConsoleStream::out);
    const std::string_view rewrite = rewrites ? seq::cursorUp : std::string_view();
    const std::string_view clear = rewrites ? seq::clearLine : std::string_view();
    ConsoleIO::printLine(fmt::format("{}{}{}% complete", rewrite, clear, progressText(progress * 100.0f)));
    std::fflush(stdout);
    folderLineSinceProgress_ = false;
    lastShownProgress_ = progress;
}

void CommandLineController::pollProgressUntilComplete() {
    std::unique_lock lock(mutex_);
    while (keepRunning_) {
        progressChanged_ = false;
        lock.unlock();
        showProgress();
        lock.lock();
        // Woken by every progress report of the engine; the timeout only covers a
        // report that arrives between the read above and this wait.
        changed_.wait_for(lock, std::chrono::milliseconds(50), [&] { return !keepRunning_ || progressChanged_; });
    }
    lock.unlock();
    // The last value, so that the line always ends at what the run reached.
    showProgress();
    // Every folder operation's line is printed before the engine reports the end;
    // the count makes sure of it before the process goes.
    const std::size_t folders = glyphwright_->allOperations().empty() ? 0 : glyphwright_->allOperations().size() - 1;
    lock.lock();
    changed_.wait(lock, [&] { return foldersReported_ >= folders; });
    const auto errorMessage = errorMessage_;
    lock.unlock();
    finish(errorMessage);
}

void CommandLineController::complete(std::optional<std::string> errorMessage) {
    std::optional<std::string> outcome;
    {
        std::lock_guard lock(mutex_);
        // The first ending decides the outcome.
        if (keepRunning_) errorMessage_ = std::move(errorMessage);
        keepRunning_ = false;
        outcome = errorMessage_;
    }
    if (std::this_thread::get_id() == mainThread) finish(outcome);
    // Operation threads never end the process themselves: the main thread still reads
    // the engine's state, and the other operations may still be writing their lines.
    changed_.notify_all();
}

void CommandLineController::finish(const std::optional<std::string>& errorMessage) {
    bool folderFailed = false;
    {
        std::lock_guard lock(mutex_);
        folderFailed = folderFailed_;
    }
    if (errorMessage) {
        ConsoleIO::writeError(fmt::format("{}{}\n", onErr(seq::red), *errorMessage));
    } else {
        // The run went to its end; a folder that failed still makes it a failure, for
        // the scripts and build steps that only see the status.
        ConsoleIO::writeError(fmt::format("{}Conversion Complete\n", onErr(folderFailed ? seq::red : seq::green)));
    }
    if (ConsoleIO::isColoured(ConsoleStream::out)) ConsoleIO::printLine(seq::reset);
    std::fflush(stdout);
    std::fflush(stderr);
    std::exit(errorMessage || folderFailed ? 1 : 0);
}

void CommandLineController::glyphwrightDidFinishFolder(Glyphwright&, const GlyphwrightResult& result) {
    // The progress this folder reached goes above its result.
    showProgress();
    std::unique_lock output(outputMutex_);
    waitForStartLine(output);
    if (result.isSuccess()) {
        ConsoleIO::printLine(fmt::format("{}Catalog created at: {}", onOut(seq::reset),
                                         pf::escapedForDisplay(result.successValue().definition.outputDirectory.path())));
    } else {
        const std::string failure = "Catalog creation failed. Error " + errorDescription(result.error());
        ConsoleIO::printLine(fmt::format("{}{}", onOut(seq::reset), failure));
        // Where a script looks for what went wrong.
        std::fflush(stdout);
        ConsoleIO::writeError(fmt::format("{}{}\n", onErr(seq::red), failure));
    }
    std::fflush(stdout);
    folderLineSinceProgress_ = true;
    output.unlock();
    {
        std::lock_guard lock(mutex_);
        ++foldersReported_;
        if (!result.isSuccess()) folderFailed_ = true;
    }
    changed_.notify_all();
}

void CommandLineController::glyphwrightDidKeepReplacedItem(Glyphwright&, const ReplacedItem& item) {
    std::unique_lock output(outputMutex_);
    waitForStartLine(output);
    // Not what the run was asked to do, but what an earlier, killed one left behind.
    if (item.isFromAnInterruptedRun()) {
        ConsoleIO::writeError(fmt::format("{}Warning: {}\n", onErr(seq::yellow), item.description()));
        return;
    }
    ConsoleIO::printLine(fmt::format("{}{}", onOut(seq::reset), item.description()));
    std::fflush(stdout);
    folderLineSinceProgress_ = true;
}

void CommandLineController::glyphwrightDidFinishAllOperations(Glyphwright&) { complete(std::nullopt); }

}  // namespace gw
