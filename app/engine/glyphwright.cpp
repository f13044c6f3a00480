#include "app/engine/glyphwright.hpp"
#include "app/engine/memory_budget.hpp"
#include "app/engine/run_progress.hpp"

#include "app/definitions/folder_definition_builder_factory.hpp"
#include "app/engine/catalog_search.hpp"
#include "app/engine/definition_validators.hpp"
#include "app/engine/event_logger.hpp"
#include "app/engine/folder_creation_operation.hpp"
#include "app/engine/image_creation_operation.hpp"
#include "app/engine/interrupted_writing.hpp"
#include "app/engine/loading_in_windows.hpp"
#include "app/engine/saved_state_text.hpp"
#include "app/definitions/leaderboard_builder.hpp"
#include "app/foundation/folder_scanning.hpp"
#include "app/foundation/localized_string.hpp"
#include "app/foundation/logger.hpp"
#include "app/foundation/usage_events.hpp"
#include "platform/foundation/atomic_file.hpp"
#include "platform/foundation/base64.hpp"
#include "platform/foundation/bundle.hpp"
#include "platform/foundation/date.hpp"
#include "platform/foundation/files.hpp"
#include "platform/foundation/folder_swap.hpp"
#include "platform/foundation/json.hpp"
#include "platform/foundation/utf8.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>

#include <algorithm>
#include <deque>
#include <future>
#include <system_error>

#include <cmath>
#include <cstring>
#include <limits>

namespace gw {

namespace pf = platform::foundation;
using platform::appkit::ArrayController;

namespace {

// The image pipeline's usage events go out through the application's facade.
class EventLoggerUsageEventSink : public UsageEventSink {
public:
    void log(const std::string& event, const std::optional<UsageEventProperties>& properties) override {
        if (!properties) {
            EventLogger().log(event);
            return;
        }
        pf::Dictionary dictionary;
        for (const auto& [key, value] : *properties) dictionary.emplace(key, pf::Value(value));
        EventLogger().log(event, dictionary);
    }
};

}  // namespace

namespace {

std::string glyphwrightErrorDescription(GlyphwrightError::Case errorCase, const std::optional<pf::URL>& url) {
    if (!url) return LocalizedString::text("add-image.alert.message-Text");
    if (errorCase == GlyphwrightError::Case::unableToOpenImageFromURL)
        return LocalizedString::text("error.description.unableToOpenImageFromURL", url->path());
    const auto extension = url->pathExtension();
    const auto what = extension.empty()
                          ? LocalizedString::text("error.description.unsupportedFileType.noExtension", url->path())
                          : LocalizedString::text("error.description.unsupportedFileType", url->path(), extension);
    return what + " " +
           LocalizedString::text("error.description.unsupportedFileType.supported", supportedImageFileExtensionsText());
}

}  // namespace

GlyphwrightError::GlyphwrightError(Case errorCase, const std::optional<pf::URL>& url)
    : std::runtime_error(glyphwrightErrorDescription(errorCase, url)), case_(errorCase) {}

AddImageAlertError::AddImageAlertError(std::string messageText, std::string informativeText,
                                       std::exception_ptr reason)
    : std::runtime_error(messageText + " " + informativeText),
      messageText_(std::move(messageText)),
      informativeText_(std::move(informativeText)),
      reason_(std::move(reason)) {}

Glyphwright::StorageError::StorageError(Case errorCase)
    : std::runtime_error(LocalizedString::text(errorCase == Case::decodingFailed
                                                   ? "error.description.savedState.decodingFailed"
                                                   : "error.description.savedState.encodingFailed")),
      case_(errorCase) {}

const ConversionWarnings& ReadyState::warningList() const {
    static const ConversionWarnings none;
    const auto* warnings = std::get_if<ConversionWarnings>(&value_);
    return warnings ? *warnings : none;
}

std::exception_ptr ReadyState::errorValue() const {
    const auto* error = std::get_if<std::exception_ptr>(&value_);
    return error ? *error : nullptr;
}

Glyphwright::Glyphwright()
    : collectionViewArrayController_(std::make_shared<ArrayController>()),
      catalogExistsActionProvider_(std::make_shared<UserDefaultsCatalogExistsActionProvider>()),
      catalogContentsExistsActionProvider_(std::make_shared<UserDefaultsCatalogContentExistsActionProvider>()),
      fakeWritingIntentFactory_(std::make_shared<FakeWritingIntentFactory>()),
      operationsQueue_(std::make_shared<platform::dispatch::OperationQueue>()) {
    operationsQueue_->setQualityOfService(platform::dispatch::QualityOfService::userInitiated);
}

std::shared_ptr<Glyphwright> Glyphwright::make() {
    // The builders' dry runs warn through the engine's validator, and the image
    // pipeline's usage events leave through the engine's facade.
    registerFolderDefinitionValidator();
    setUsageEventSink(std::make_shared<EventLoggerUsageEventSink>());
    return std::shared_ptr<Glyphwright>(new Glyphwright());
}

Glyphwright::~Glyphwright() { removeObservations(); }

// --- delegates ---

void Glyphwright::tellDelegates(const std::function<void(GlyphwrightDelegate&)>& call) {
    for (const auto& wrapper : delegates()) {
        if (!wrapper) continue;
        if (auto delegate = wrapper->value.lock()) call(*delegate);
    }
}

void Glyphwright::appendDelegate(std::shared_ptr<WeakGlyphwrightDelegateWrapper> wrapper) {
    std::lock_guard lock(mutex_);
    delegates_.push_back(std::move(wrapper));
}

void Glyphwright::addDelegate(const std::shared_ptr<GlyphwrightDelegate>& delegate) {
    auto wrapper = std::make_shared<WeakGlyphwrightDelegateWrapper>();
    wrapper->value = delegate;
    appendDelegate(std::move(wrapper));
}

std::vector<std::shared_ptr<WeakGlyphwrightDelegateWrapper>> Glyphwright::delegates() const {
    std::lock_guard lock(mutex_);
    return delegates_;
}

// --- state and change hooks ---

std::optional<pf::URL> Glyphwright::outputDirectory() const {
    std::lock_guard lock(mutex_);
    return outputDirectory_;
}

void Glyphwright::setOutputDirectory(std::optional<pf::URL> url) {
    assignAndAnnounce(outputDirectory_, std::move(url), [this](GlyphwrightDelegate& d, const auto& stored) {
        d.glyphwrightOutputDirectoryDidChange(*this, stored);
    });
}

ConversionOutputType Glyphwright::resizeType() const {
    std::lock_guard lock(mutex_);
    return resizeType_;
}

void Glyphwright::setResizeType(ConversionOutputType type) {
    assignAndAnnounce(resizeType_, type, [this](GlyphwrightDelegate& d, const auto& stored) {
        d.glyphwrightOutputTypeDidChange(*this, stored);
    });
}

CollectionType Glyphwright::imageInputCollectionType() const {
    std::lock_guard lock(mutex_);
    return imageInputCollectionType_;
}

void Glyphwright::setImageInputCollectionType(CollectionType type) {
    assignAndAnnounce(imageInputCollectionType_, type, [this](GlyphwrightDelegate& d, const auto& stored) {
        d.glyphwrightCollectionTypeDidChange(*this, stored);
    });
}

ReadyState Glyphwright::readyState() const {
    std::lock_guard lock(mutex_);
    return readyState_;
}

void Glyphwright::setAssetCatalogFolderAlreadyExistsWindow(std::weak_ptr<AssetCatalogAlreadyExistsPrompting> window) {
    assetCatalogFolderAlreadyExistsWindow_ = std::move(window);
}

void Glyphwright::setAssetFolderAlreadyExistsWindow(std::weak_ptr<AssetAlreadyExistsPrompting> window) {
    assetFolderAlreadyExistsWindow_ = std::move(window);
}

void Glyphwright::setCatalogExistsActionProvider(std::shared_ptr<FileAlreadyExistsActionProvider> provider) {
    catalogExistsActionProvider_ = std::move(provider);
}

void Glyphwright::setCatalogContentsExistsActionProvider(std::shared_ptr<FileAlreadyExistsActionProvider> provider) {
    catalogContentsExistsActionProvider_ = std::move(provider);
}

void Glyphwright::setImageLoadAlertHandler(ImageLoadAlertHandler handler) { imageLoadAlertHandler_ = std::move(handler); }

void Glyphwright::setWritingBoundary(std::optional<std::filesystem::path> root) {
    setWritingBoundary(root ? std::make_shared<const WritingBoundary>(*root) : nullptr);
}

void Glyphwright::setWritingBoundary(WritingBoundaryPtr boundary) {
    std::lock_guard lock(mutex_);
    writingBoundary_ = std::move(boundary);
}

void Glyphwright::setOutputTypeSelectionHandler(std::shared_ptr<OutputTypeSelecting> handler) {
    outputTypeSelectionHandler_ = std::move(handler);
    if (!outputTypeSelectionHandler_) return;
    outputTypeSelectionHandler_->setDelegate(weak_from_this());
    outputTypeSelectionHandler_->updateMenu();
    setResizeType(outputTypeSelectionHandler_->currentResizeType());
}

void Glyphwright::outputTypeSelectionHandler(OutputTypeSelecting&, ConversionOutputType outputType) {
    setResizeType(outputType);
}

std::vector<ImageInputPtr> Glyphwright::imageInputs() const {
    if (!collectionViewArrayController_) return {};
    return collectionViewArrayController_->arrangedObjectsAs<ImageInput>().value_or(std::vector<ImageInputPtr>{});
}

std::vector<ImageInputPtr> Glyphwright::selectedImageInputs() const {
    if (!collectionViewArrayController_) return {};
    return collectionViewArrayController_->selectedObjectsAs<ImageInput>().value_or(std::vector<ImageInputPtr>{});
}

// --- observation ---

void Glyphwright::setCollectionViewArrayController(ArrayControllerPtr controller) {
    if (!controller) {
        // Keeps the previous controller: the engine always has somewhere to hold pictures.
        return;
    }
    auto previous = collectionViewArrayController_;
    removeObservations();
    collectionViewArrayController_ = std::move(controller);
    if (previous && previous != collectionViewArrayController_) {
        collectionViewArrayController_->addObjects(previous->arrangedObjects());
        collectionViewArrayController_->setSelectionIndexes(previous->selectionIndexes());
    }
    installObservations();
    // The pictures already arranged are observed from now on.
    observeArrangedInputs();
}

void Glyphwright::installObservations() {
    std::weak_ptr<Glyphwright> weak = weak_from_this();
    auto& controller = *collectionViewArrayController_;
    selectedObjectsObservation_ = controller.addObserver(ArrayController::Key::selectedObjects, [weak] {
        if (auto self = weak.lock()) self->selectedObjectsDidChange();
    });
    arrangedObjectsObservation_ = controller.addObserver(ArrayController::Key::arrangedObjects, [weak] {
        if (auto self = weak.lock()) self->arrangedObjectsDidChange();
    });
    // The observations of the pictures' point sizes and names. A change of the list is
    // also a change of those key paths of the list: it runs the readiness check and the
    // name check once more. Registered last, so it runs after the handler above.
    arrangedInputsObservation_ = controller.addObserver(ArrayController::Key::arrangedObjects, [weak] {
        auto self = weak.lock();
        if (!self) return;
        self->observeArrangedInputs();
        self->updateReadyState();
        self->makeImageNamesUnique();
    });
}

void Glyphwright::removeObservations() {
    if (collectionViewArrayController_) {
        for (auto* token : {&selectedObjectsObservation_, &arrangedObjectsObservation_, &arrangedInputsObservation_}) {
            if (*token) collectionViewArrayController_->removeObserver(**token);
            token->reset();
        }
    }
    for (auto& [raw, entry] : inputObservations_) {
        for (auto token : entry.second) entry.first->removeObserver(token);
    }
    inputObservations_.clear();
}

void Glyphwright::observeArrangedInputs() {
    if (!arrangedObjectsObservation_) return;
    const auto inputs = imageInputs();
    std::map<ImageInput*, std::pair<ImageInputPtr, std::vector<PropertyObservable::Token>>> next;
    std::weak_ptr<Glyphwright> weak = weak_from_this();
    for (const auto& input : inputs) {
        if (next.count(input.get())) continue;
        auto existing = inputObservations_.find(input.get());
        if (existing != inputObservations_.end()) {
            next.emplace(input.get(), std::move(existing->second));
            inputObservations_.erase(existing);
            continue;
        }
        std::vector<PropertyObservable::Token> tokens;
        for (const char* key : {"assetPointWidth", "assetPointHeight"}) {
            tokens.push_back(input->addObserver(key, [weak](const PropertyChange& change) {
                if (change.isPrior) return;
                if (auto self = weak.lock()) self->updateReadyState();
            }));
        }
        tokens.push_back(input->addObserver("imageName", [weak](const PropertyChange& change) {
            if (change.isPrior) return;
            if (auto self = weak.lock()) self->makeImageNamesUnique();
        }));
        next.emplace(input.get(), std::make_pair(input, std::move(tokens)));
    }
    for (auto& [raw, entry] : inputObservations_) {
        for (auto token : entry.second) entry.first->removeObserver(token);
    }
    inputObservations_ = std::move(next);
}

void Glyphwright::selectedObjectsDidChange() {
    if (delegates().empty()) {
        updateReadyState();
        return;
    }
    tellDelegates([&](GlyphwrightDelegate& d) { d.glyphwrightSelectionDidChange(*this, selectedImageInputs()); });
    updateReadyState();
}

void Glyphwright::arrangedObjectsDidChange() {
    auto& controller = *collectionViewArrayController_;
    auto arranged = controller.arrangedObjectsAs<ImageInput>();
    if (!arranged) return;
    if (controller.selectionIndexes().empty() && !arranged->empty()) controller.setSelectionIndexes({0});
    giveDefaultLayerFrames(*arranged);
    tellDelegates([&](GlyphwrightDelegate& d) { d.glyphwrightImageInputsDidChange(*this, *arranged); });
    updateReadyState();
}

// --- readiness ---

ReadyState Glyphwright::computeReadyState(bool vectorCorners) const {
    try {
        FolderDefinitionBuilderFactory factory;
        const auto builders = factory.makeBuilders(imageInputs(), selectedImageInputs(), imageInputCollectionType(),
                                                   outputDirectory(), resizeType(), fakeWritingIntentFactory_);
        std::optional<VectorCornersLeftOut> leftOut;
        if (!vectorCorners) leftOut.emplace();
        const CornersReadOnce cornersReadOnce;
        ConversionWarnings warnings;
        for (const auto& builder : builders) {
            auto list = builder->validate();
            warnings.insert(warnings.end(), list.begin(), list.end());
        }
        if (!warnings.empty()) return ReadyState::warnings(std::move(warnings));
    } catch (...) {
        return ReadyState::error(std::current_exception());
    }
    return ReadyState::ready();
}

ReadyState Glyphwright::completeReadyState() const { return computeReadyState(true); }

void Glyphwright::setVectorCornerChecksDeferred(bool deferred) {
    std::lock_guard lock(mutex_);
    vectorCornerChecksDeferred_ = deferred;
}

void Glyphwright::updateReadyState() {
    bool deferred = false;
    {
        std::lock_guard lock(mutex_);
        deferred = vectorCornerChecksDeferred_;
    }
    const ReadyState state = computeReadyState(!deferred);
    {
        std::lock_guard lock(mutex_);
        readyState_ = state;
    }
    tellDelegates([&](GlyphwrightDelegate& d) { d.glyphwrightReadyStateDidChange(*this, state); });
}

// --- the run ---

std::shared_ptr<RealWritingIntentFactory> Glyphwright::realWritingIntentFactory() {
    if (!realWritingIntentFactory_) {
        realWritingIntentFactory_ = RealWritingIntentFactory::make(
            assetCatalogFolderAlreadyExistsWindow_.lock(), assetFolderAlreadyExistsWindow_.lock(),
            catalogExistsActionProvider_, catalogContentsExistsActionProvider_);
    }
    return realWritingIntentFactory_;
}

namespace {

// Holds the output folder for one run: a second run into the same folder, from this
// process or another, waits until this one has written and settled everything. The
// folder is made when missing and removed again when a run that wrote nothing made it.
class OutputReservation {
public:
    OutputReservation(const std::optional<pf::URL>& outputDirectory, WritingBoundaryPtr boundary)
        : boundary_(std::move(boundary)) {
        if (!outputDirectory) return;
        folder_ = outputDirectory->fsPath();
        made_ = !boundary_->exists(folder_);
        if (made_) boundary_->createFolders(folder_);
        // A run into a catalog, or into a folder inside one, writes that catalog: it
        // takes the same lock as a run into the folder that holds the catalog.
        auto lockFolder = folder_;
        if (auto catalog = enclosingAssetCatalog(outputDirectory->appendingPathComponent("Assets.xcassets", true))) {
            auto path = catalog->fsPath().lexically_normal();
            if (!path.has_filename()) path = path.parent_path();
            lockFolder = path.parent_path();
        }
        lock_ = boundary_->lock(lockFolder);
    }
    // The run ended before writing: a folder made for it, still empty, goes again.
    void abandon() {
        lock_.reset();
        if (!made_) return;
        try {
            if (boundary_->list(folder_).empty()) boundary_->removeIfMade(folder_);
        } catch (const std::exception&) {
        }
    }
    const std::filesystem::path& folder() const { return folder_; }

private:
    WritingBoundaryPtr boundary_;
    std::filesystem::path folder_;
    bool made_ = false;
    std::unique_ptr<pf::files::FolderLock> lock_;
};

// The folders of a plan, the catalog first.
void collectFolders(const FolderDefinition& folder, std::vector<std::filesystem::path>& folders) {
    folders.push_back(folder.outputDirectory.fsPath().lexically_normal());
    for (const auto& subfolder : folder.subfolderDefinitions) collectFolders(subfolder, folders);
}

// The folders whose writing failed in a run.
class FailedFolders {
public:
    void add(const FolderDefinition& definition) {
        std::vector<std::filesystem::path> folders;
        collectFolders(definition, folders);
        std::lock_guard lock(mutex_);
        folders_.insert(folders_.end(), folders.begin(), folders.end());
    }
    // Whether any failed folder lies at or below `url`.
    bool touch(const pf::URL& url) const {
        const auto place = url.fsPath().lexically_normal();
        std::lock_guard lock(mutex_);
        for (const auto& folder : folders_) {
            if (pf::files::isAtOrBelow(folder, place)) return true;
        }
        return false;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::filesystem::path> folders_;
};

// The catalog folders of a plan that do not exist yet: the run makes them.
std::vector<std::filesystem::path> foldersToMake(const std::vector<FolderDefinition>& definitions,
                                                 const WritingBoundary& boundary) {
    std::vector<std::filesystem::path> folders;
    for (const auto& definition : definitions) {
        const auto folder = definition.outputDirectory.fsPath().lexically_normal();
        if (boundary.exists(folder)) continue;
        if (std::find(folders.begin(), folders.end(), folder) == folders.end()) folders.push_back(folder);
    }
    return folders;
}

// A catalog folder the run made and failed to fill holds nothing but the list the run
// wrote in it: it goes again, as if the run had never started. Anything else in it
// (a folder another picture of the run wrote, a file put there meanwhile) keeps it.
void removeIfLeftEmpty(const std::filesystem::path& folder, const WritingBoundary& boundary) {
    try {
        const auto items = boundary.list(folder);
        if (items.size() > 1) return;
        if (items.size() == 1 &&
            (items.front().name != "Contents.json" || items.front().kind != WritingBoundary::Kind::file)) {
            return;
        }
        boundary.removeIfMade(folder);
    } catch (const std::exception& failure) {
        Logger::log("Unable to remove the empty catalog " + folder.string() + ": " + failure.what());
    }
}

}  // namespace

void Glyphwright::createAssetCatalog() {
    auto factory = realWritingIntentFactory();
    WritingBoundaryPtr boundary;
    {
        std::lock_guard lock(mutex_);
        boundary = writingBoundary_ ? writingBoundary_ : WritingBoundary::everything();
    }
    // What this run makes is recorded by the run's own boundary: only that is ever unlinked.
    boundary = boundary->forRun();
    // Not even the output folder is made outside the boundary.
    if (outputDirectory()) boundary->checkFolder(outputDirectory()->fsPath());
    factory->setWritingBoundary(boundary);
    auto reservation = std::make_shared<OutputReservation>(outputDirectory(), boundary);
    // Nothing that an abandoned run decided may be removed by this one.
    factory->discardPendingRemovals();
    // What a killed run left goes back to where it was before anything is decided; the
    // user hears at once of anything that had to make way for it.
    if (!reservation->folder().empty()) {
        for (const auto& item : recoverInterruptedWriting(reservation->folder(), *boundary)) {
            tellDelegates([&](GlyphwrightDelegate& d) { d.glyphwrightDidKeepReplacedItem(*this, item); });
        }
    }
    auto failedFolders = std::make_shared<FailedFolders>();
    const bool batch = imageInputCollectionType() == CollectionType::batch;
    if (batch) {
        // A batch draws picture after picture on many threads, each freeing blocks of
        // megabytes. Left to the allocator's default, those blocks stay in the heaps of
        // the threads that drew them, and the batch holds the memory of every picture
        // it has drawn; mapped and unmapped whole, they go back at once. (A single
        // conversion keeps the default: its effects reuse such blocks many times.)
        mallopt(M_MMAP_THRESHOLD, 1 << 20);
    }
    // Each picture of a batch holds its pixels while its folder is written, and each
    // folder draws its sizes in parallel: three folders for every four processors keep
    // them all busy with a quarter less memory. A document, though, is drawn by a
    // renderer's process while its folder waits on none of the program's processors:
    // where documents are among the pictures, twice as many folders go at once, so that
    // the processors have the next folders' scaling and writing meanwhile. (What they
    // hold is still bounded by the memory budget, which admits each drawing.)
    const auto processors = static_cast<int>(platform::dispatch::usableProcessorCount());
    const auto inputs = imageInputs();
    const bool documents = batch && std::any_of(inputs.begin(), inputs.end(),
                                                 [](const ImageInputPtr& input) { return input->isVector(); });
    const int folders = std::max(2, processors - processors / 4);
    operationsQueue_->setMaxConcurrentOperationCount(
        batch ? (documents ? 2 * folders : folders)
              : platform::dispatch::OperationQueue::defaultMaxConcurrentOperationCount);
    std::vector<std::shared_ptr<platform::dispatch::Operation>> operations;
    std::shared_ptr<RunProgress> runProgress;
    try {
        FolderDefinitionBuilderFactory builderFactory;
        const auto builders = builderFactory.makeBuilders(inputs, selectedImageInputs(),
                                                          imageInputCollectionType(), outputDirectory(),
                                                          resizeType(), factory);
        const pf::URL runOutputDirectory = *outputDirectory();
        const ConversionOutputType runResizeType = resizeType();
        {
            std::lock_guard lock(mutex_);
            allOperations_.clear();
            runProgress_.reset();
        }
        std::weak_ptr<Glyphwright> weak = weak_from_this();
        runProgress = std::make_shared<RunProgress>(builders.size());
        std::vector<FolderDefinition> definitions;
        for (const auto& builder : builders) {
            definitions.push_back(builder->build());
            prepareForWriting(definitions.back());
            // Folders already on disk below an answered one may be links out.
            boundary->checkPlan(definitions.back());
        }
        const auto catalogsToMake = foldersToMake(definitions, *boundary);
        for (std::size_t index = 0; index < builders.size(); ++index) {
            const auto& builder = builders[index];
            FolderDefinition definition = std::move(definitions[index]);
            // The folder's operation, once made: its reports and its end update the run's tally.
            auto made = std::make_shared<std::weak_ptr<FolderCreationOperation>>();
            auto progressHandler = [weak, runProgress, index, made](float) {
                if (auto folder = made->lock()) runProgress->update(index, [&] { return folder->progress(); });
                auto self = weak.lock();
                if (!self) return;
                ProgressUpdateHandler handler;
                {
                    std::lock_guard lock(self->mutex_);
                    handler = self->progressUpdateHandler_;
                }
                if (handler) handler(self->progress());
            };
            auto completion = [weak, builder, runOutputDirectory, runResizeType, failedFolders, runProgress, index,
                               made, planned = definition](const FolderCreationOperation::FolderCreationOperationResult& result) {
                if (!result.isSuccess()) failedFolders->add(planned);
                if (auto folder = made->lock()) {
                    runProgress->update(index, [&] { return folder->progressOnceFinished(); });
                }
                // A batch draws each picture in its own folder only: done, its pixels
                // can go (they are read again should anything draw it later).
                const auto& drawn = builder->imageInputCollection();
                if (drawn.collectionType == CollectionType::batch) {
                    for (const auto& input : drawn.imageInputs) {
                        MemoryBudget::shared().letGo(input->imageWrapper()->image());
                    }
                }
                auto self = weak.lock();
                if (!self) return;
                ProgressUpdateHandler handler;
                {
                    std::lock_guard lock(self->mutex_);
                    handler = self->progressUpdateHandler_;
                }
                if (handler) handler(self->progress());
                // A picture that failed is named with its reason: in a batch each has a
                // folder of its own, and the first error alone would not say whose it was.
                // (A stopped run is no picture's failure.)
                auto error = result.error();
                const bool stopped = [&] {
                    try {
                        if (error) std::rethrow_exception(error);
                    } catch (const ConversionStoppedError&) {
                        return true;
                    } catch (...) {
                    }
                    return false;
                }();
                for (const auto& input : drawn.imageInputs) {
                    if (result.isSuccess() || stopped || !result.failedPicture() ||
                        input->imageWrapper()->image().get() != result.failedPicture()) {
                        continue;
                    }
                    if (const auto url = input->imageURL()) {
                        error = std::make_exception_ptr(PictureFailedError(url->path(), error));
                    }
                    break;
                }
                const GlyphwrightResult outcome =
                    result.isSuccess()
                        ? GlyphwrightResult::success({result.folderDefinition(), builder->imageInputCollection(),
                                                      runOutputDirectory, runResizeType})
                        : GlyphwrightResult::failure(error);
                self->tellDelegates([&](GlyphwrightDelegate& d) { d.glyphwrightDidFinishFolder(*self, outcome); });
            };
            auto operation = std::make_shared<FolderCreationOperation>(std::move(definition),
                                                                       std::move(progressHandler),
                                                                       std::move(completion));
            operation->setStagesSubfolders(true);
            operation->setWritingBoundary(boundary);
            *made = operation;
            operations.push_back(std::move(operation));
        }
        // What the answers replace goes only once its replacement is written; where that
        // failed, it comes back. The output folder is free again after that.
        auto pending = factory->pendingRemovals();
        auto final = std::make_shared<platform::dispatch::BlockOperation>([weak, pending, failedFolders,
                                                                           reservation, catalogsToMake, boundary] {
            // Before anything set aside comes back in its place.
            for (const auto& catalog : catalogsToMake) {
                if (failedFolders->touch(pf::URL::fileURL(catalog, true))) removeIfLeftEmpty(catalog, *boundary);
            }
            // What had to make way while the folders were written, then what the answers replaced.
            auto kept = boundary->takeReported();
            for (auto& item : pending->settle([&](const pf::URL& url) { return failedFolders->touch(url); })) {
                kept.push_back(std::move(item));
            }
            reservation->abandon();
            auto self = weak.lock();
            if (!self) return;
            for (const auto& item : kept) {
                self->tellDelegates([&](GlyphwrightDelegate& d) { d.glyphwrightDidKeepReplacedItem(*self, item); });
            }
            Logger::log("All Operations Complete");
            self->tellDelegates([&](GlyphwrightDelegate& d) { d.glyphwrightDidFinishAllOperations(*self); });
        });
        for (const auto& operation : operations) final->addDependency(operation);
        operations.push_back(final);
    } catch (...) {
        factory->discardPendingRemovals();
        reservation->abandon();
        throw;
    }
    {
        std::lock_guard lock(mutex_);
        allOperations_ = operations;
        runProgress_ = runProgress;
    }
    operationsQueue_->addOperations(operations, false);
    tellDelegates([&](GlyphwrightDelegate& d) { d.glyphwrightDidStartCreating(*this); });
}

float Glyphwright::progress() const {
    std::shared_ptr<const RunProgress> run;
    {
        std::lock_guard lock(mutex_);
        run = runProgress_;
    }
    return run ? run->value() : std::numeric_limits<float>::quiet_NaN();
}

void Glyphwright::setProgressUpdateHandler(ProgressUpdateHandler handler) {
    std::lock_guard lock(mutex_);
    progressUpdateHandler_ = std::move(handler);
}

std::vector<std::shared_ptr<platform::dispatch::Operation>> Glyphwright::allOperations() const {
    std::lock_guard lock(mutex_);
    return allOperations_;
}

void Glyphwright::waitUntilAllOperationsAreFinished() { operationsQueue_->waitUntilAllOperationsAreFinished(); }

void Glyphwright::cancelAllOperations() {
    bool cancelled = false;
    for (const auto& operation : allOperations()) {
        // The final operation settles what the run set aside and reports the end: it runs.
        if (!dynamic_cast<FolderCreationOperation*>(operation.get()) || operation->isFinished()) continue;
        operation->cancel();
        cancelled = true;
    }
    if (cancelled) Logger::log("Asset Catalog Creation stopped");
}

// --- saved state ---

pf::Value Glyphwright::encodeJSON() const {
    pf::Dictionary state;
    state.emplace("imageInputCollectionType", pf::Value(rawValue(imageInputCollectionType())));
    // Side by side: a picture without bytes of its own is encoded anew, which takes long.
    pf::Array inputs;
    const auto pictures = imageInputs();
    bool encoded = true;
    loadInWindows<std::optional<pf::Value>>(
        pictures.size(), platform::dispatch::usableProcessorCount(),
        [&](std::size_t i) -> std::optional<pf::Value> {
            try {
                return pictures[i]->encodeJSON();
            } catch (...) {
                return std::nullopt;
            }
        },
        [&](std::size_t, std::optional<pf::Value> form) {
            encoded = encoded && form;
            if (form) inputs.push_back(std::move(*form));
        });
    if (!encoded) throw StorageError(StorageError::Case::encodingFailed);
    state.emplace("imageInputs", pf::Value(std::move(inputs)));
    state.emplace("selectionIndexes", selectionIndexesJSON());
    return pf::Value(std::move(state));
}

pf::Value Glyphwright::selectionIndexesJSON(const std::vector<bool>* written) const {
    if (!collectionViewArrayController_) return pf::Value(nullptr);
    // An index set as its ranges: first index and length of each run.
    pf::Array ranges;
    auto indexes = collectionViewArrayController_->selectionIndexes();
    if (written) {
        // Each selected picture written, at its place among those written.
        std::set<std::size_t> kept;
        std::size_t place = 0;
        for (std::size_t i = 0; i < written->size(); ++i) {
            if (!(*written)[i]) continue;
            if (indexes.count(i)) kept.insert(place);
            ++place;
        }
        indexes = std::move(kept);
    }
    for (auto it = indexes.begin(); it != indexes.end();) {
        const std::size_t first = *it;
        std::size_t length = 0;
        while (it != indexes.end() && *it == first + length) {
            ++length;
            ++it;
        }
        ranges.push_back(pf::Value::dict({{"location", pf::Value(first)}, {"length", pf::Value(length)}}));
    }
    return pf::Value::dict({{"indexes", pf::Value(std::move(ranges))}});
}

std::shared_ptr<Glyphwright> Glyphwright::decodeJSON(const pf::Value& value) { return decodeJSON(pf::Value(value)); }

std::shared_ptr<Glyphwright> Glyphwright::decodeJSON(pf::Value&& value) {
    std::optional<SavedStateDamage> damage;
    auto engine = fromStored(saved_state::storedStateOf(std::move(value)), damage);
    if (damage) throw StorageError(StorageError::Case::decodingFailed);
    return engine;
}

std::shared_ptr<Glyphwright> Glyphwright::fromStored(saved_state::StoredState&& stored,
                                                     std::optional<SavedStateDamage>& damage) {
    SavedStateDamage found;
    std::vector<std::string> problems = std::move(stored.problems);
    const auto raw = stored.collectionType ? stored.collectionType->asInteger() : std::nullopt;
    auto type = raw ? collectionTypeFromRawValue(*raw) : std::nullopt;
    if (stored.collectionType && !type) problems.emplace_back("an unknown collection type");
    const bool hadList = stored.pictures.has_value();
    if (!hadList) {
        if (problems.empty()) problems.emplace_back("no list of pictures");
        stored.pictures.emplace();
    }
    auto& pictures = *stored.pictures;
    // Decoding is most of a restore: the pictures are decoded side by side, each
    // picture's text let go once the picture is decoded from it, so that a large saved
    // state is not held twice.
    std::vector<ArrayController::Element> inputs;
    // Where each decoded picture stood in the saved list.
    std::vector<std::size_t> positions;
    std::string lastName;
    const auto take = [&](std::size_t i, ImageInputPtr input) {
        lastName = input ? input->imageName() : pictures[i].name;
        if (input) {
            positions.push_back(pictures[i].position);
            inputs.push_back(ArrayController::Element::of(std::move(input)));
        } else {
            found.lostPictures.push_back({pictures[i].position, pictures[i].name});
            problems.push_back(fmt::format("picture {} could not be read", pictures[i].position + 1));
        }
    };
    // Only the pictures whose text was read go to the decoding threads: damage may leave
    // tens of thousands of places that were no picture, each told in its turn here.
    std::vector<std::size_t> readable;
    for (std::size_t i = 0; i < pictures.size(); ++i) {
        if (pictures[i].form) readable.push_back(i);
    }
    std::size_t told = 0;
    loadInWindows<ImageInputPtr>(
        readable.size(), platform::dispatch::usableProcessorCount(),
        [&](std::size_t k) -> ImageInputPtr {
            auto& picture = pictures[readable[k]];
            const pf::Value input = std::move(*picture.form);
            try {
                return ImageInput::decodeJSON(input);
            } catch (...) {
                if (const auto* name = input.get("imageName").asString()) picture.name = *name;
                return nullptr;
            }
        },
        [&](std::size_t k, ImageInputPtr input) {
            for (; told < readable[k]; ++told) take(told, nullptr);
            take(told++, std::move(input));
        });
    for (; told < pictures.size(); ++told) take(told, nullptr);
    if (stored.picturesBreakOff) {
        found.breaksOff = true;
        found.lastPictureBeforeBreak = lastName;
        problems.emplace_back("the list of pictures breaks off");
    }
    // The selection is of the saved list: it holds only where that list is whole (or
    // its places are known past damage), and follows its pictures to where they stand now.
    std::optional<std::set<std::size_t>> indexes;
    if (stored.selection && !stored.picturesBreakOff && !stored.placesUncertain) {
        indexes.emplace();
        const auto* ranges = stored.selection->get("indexes").asArray();
        if (!ranges) indexes.reset();
        for (std::size_t r = 0; indexes && r < ranges->size(); ++r) {
            const auto location = (*ranges)[r].get("location").asInteger();
            const auto length = (*ranges)[r].get("length").asInteger();
            if (!location || !length || *location < 0 || *length < 0 ||
                static_cast<std::uint64_t>(*location) > pictures.size() ||
                static_cast<std::uint64_t>(*length) > pictures.size() - static_cast<std::size_t>(*location)) {
                indexes.reset();
                break;
            }
            for (std::int64_t i = 0; i < *length; ++i) {
                const auto at = std::lower_bound(positions.begin(), positions.end(), static_cast<std::size_t>(*location + i));
                if (at != positions.end() && *at == static_cast<std::size_t>(*location + i)) {
                    indexes->insert(static_cast<std::size_t>(at - positions.begin()));
                }
            }
        }
        if (!indexes) problems.emplace_back("the selection cannot be read");
    }
    if (!problems.empty()) {
        found.unreadable = inputs.empty() && (!hadList || !found.lostPictures.empty() || found.breaksOff);
        found.reason = fmt::format("{}", fmt::join(problems, "; "));
        damage = std::move(found);
        if (inputs.empty()) return nullptr;
    }
    auto engine = make();
    // A state damaged before its collection type was read: what suits its pictures.
    engine->imageInputCollectionType_ = type ? *type : inputs.size() > 1 ? CollectionType::variants : CollectionType::single;
    engine->collectionViewArrayController_->addObjects(inputs);
    if (indexes) engine->collectionViewArrayController_->setSelectionIndexes(std::move(*indexes));
    return engine;
}

std::filesystem::path Glyphwright::savedStatePath() {
    return pf::files::applicationSupportDirectory(pf::Bundle::main().bundleIdentifier()) / savedStateFileName;
}

namespace {

using FileStamp = Glyphwright::SavedStateRecord::FileStamp;

FileStamp stampOf(const struct stat& info) {
    return {info.st_dev, info.st_ino, info.st_size,
            std::int64_t{info.st_mtim.tv_sec} * 1'000'000'000 + info.st_mtim.tv_nsec};
}

// The regular file at `path` as it stands; none for anything else or nothing.
std::optional<FileStamp> stampAt(const std::filesystem::path& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    return stampOf(info);
}

// Saves and the reading of the state at a start take turns, in every process: a save
// looks at what is on the disk and puts its own in place in one turn, so no other save
// can come between, and a start never moves aside a state written after it read it.
// Where the folder cannot be locked the turn is taken unlocked.
std::unique_ptr<pf::files::FolderLock> lockStateFolder(const std::filesystem::path& path) {
    try {
        const int fd = ::open(path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) throw pf::Error::posix(errno, "Cannot open " + path.parent_path().string());
        return std::make_unique<pf::files::FolderLock>(pf::files::UniqueFd(fd), path.parent_path());
    } catch (const std::exception& error) {
        Logger::log(std::string("The saved state is written without its lock: ") + error.what());
        return nullptr;
    }
}

// The bytes of a state file and the file they were read from.
struct StateFile {
    pf::Data bytes;
    std::optional<FileStamp> stamp;
};

// The regular file at `path`, read whole whatever its size (the pictures' bytes are all
// of it, and a bound here would drop them all). Throws what reading throws.
StateFile readStateFile(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw pf::Error::posix(errno, "Cannot read " + path.string());
    const pf::files::UniqueFd owned(fd);
    struct stat info {};
    if (::fstat(fd, &info) != 0) throw pf::Error::posix(errno, "Cannot read " + path.string());
    if (!S_ISREG(info.st_mode)) throw pf::Error::posix(EISDIR, "Cannot read " + path.string());
    StateFile file;
    file.stamp = stampOf(info);
    file.bytes = pf::files::readOpenedFile(fd, path, std::numeric_limits<std::uintmax_t>::max());
    return file;
}

// Moves a damaged saved state aside, as "saved_glyphwright.damaged-<date> <time>" beside
// it (numbered after the time when one is there already): the next save must not
// replace what may still be recovered from it.
void keepDamagedState(const std::filesystem::path& path, Glyphwright::SavedStateDamage& damage) {
    struct stat found {};
    if (::lstat(path.c_str(), &found) != 0) {
        damage.notKeptBecause = std::strerror(errno);
        return;
    }
    if (!S_ISREG(found.st_mode)) {
        damage.notKeptBecause = "it is not a file";
        return;
    }
    const std::string stamp = pf::Date::now().localFileNameStamp();
    for (int number = 1; number < 1000; ++number) {
        auto candidate = path;
        candidate += number == 1 ? fmt::format(".damaged-{}", stamp) : fmt::format(".damaged-{} {}", stamp, number);
        if (pf::files::renameIfFree(AT_FDCWD, path.c_str(), AT_FDCWD, candidate.c_str()) == 0) {
            damage.keptAs = candidate;
            return;
        }
        if (errno != EEXIST) break;
    }
    damage.notKeptBecause = std::strerror(errno);
}

// Writes `bytes` as Base64 text, made in pieces a few pieces ahead of the writing, on
// threads of their own, into buffers used again and again: a whole picture's text would
// be hundreds of megabytes of fresh memory (each page of it cleared first by the system),
// and made before any of it is written, the writing would wait for it.
void writeBase64(pf::files::AtomicFileWriter& file, const pf::Data& bytes) {
    // 768 KB in, 1 MB out, a multiple of 3: a piece is still in the processor's caches
    // when it is written (pieces of 8 MB were written at a quarter of the speed).
    constexpr std::size_t kPiece = std::size_t{3} << 18;
    const std::size_t pieces = (bytes.size() + kPiece - 1) / kPiece;
    const std::size_t ahead = std::max<std::size_t>(2, std::min<std::size_t>(platform::dispatch::usableProcessorCount(), 4));
    std::mutex spareMutex;
    std::vector<std::string> spare;
    std::deque<std::future<std::string>> making;
    std::size_t next = 0;
    while (next < pieces || !making.empty()) {
        while (next < pieces && making.size() < ahead) {
            const std::size_t from = next++ * kPiece;
            auto encode = [&, from] {
                std::string text;
                {
                    std::lock_guard lock(spareMutex);
                    if (!spare.empty()) {
                        text = std::move(spare.back());
                        spare.pop_back();
                    }
                }
                text.clear();
                pf::appendBase64Encoded(text, std::span(bytes).subspan(from, std::min(kPiece, bytes.size() - from)));
                return text;
            };
            try {
                making.push_back(std::async(std::launch::async, encode));
            } catch (const std::system_error&) {
                // No thread to be had (an address-space or process limit): made here as it is written.
                making.push_back(std::async(std::launch::deferred, encode));
            }
        }
        auto text = making.front().get();
        making.pop_front();
        try {
            file.write(text);
        } catch (...) {
            // The pieces still being made read `bytes` and `spare`: they finish first.
            for (auto& piece : making) piece.wait();
            throw;
        }
        std::lock_guard lock(spareMutex);
        spare.push_back(std::move(text));
    }
}

// Why a picture gave no bytes to save, for the user.
std::string unsavedReason(const ImageInput& picture, const std::string& failure) {
    if (const auto& url = picture.imageURL(); url && url->isFileURL()) {
        std::error_code error;
        const auto status = std::filesystem::status(url->fsPath(), error);
        if (!std::filesystem::exists(status)) return LocalizedString::text("saved-state.unsaved.file-gone", url->path());
        return LocalizedString::text("saved-state.unsaved.file-changed", url->path());
    }
    return LocalizedString::text("saved-state.unsaved.other", failure);
}

// The pictures of another process's state that a save keeps: those it has that this
// window neither holds nor ever held (those it held and holds no more were removed here).
struct KeptPictures {
    std::vector<pf::Data> texts;  // whose pictures are kept
    std::vector<std::pair<std::size_t, saved_state::PictureText>> pictures;
    std::optional<std::int64_t> collectionType;
};

}  // namespace

std::filesystem::path Glyphwright::besideDamagedPath(const std::filesystem::path& path) {
    auto beside = path;
    beside += ".new";
    return beside;
}

Glyphwright::SaveReport Glyphwright::save(const std::filesystem::path& path, SavedStateRecord* record) const {
    SaveReport report;
    report.savedAs = path;
    const auto pictures = imageInputs();
    std::filesystem::create_directories(path.parent_path());
    const auto beside = besideDamagedPath(path);
    // One turn from looking at what is on the disk to putting the new state in place: no
    // other save comes between, and a start waits for it.
    const auto lock = lockStateFolder(path);
    bool aside = false;
    if (record && record->damagedInPlace) {
        // A damaged state that could not be moved aside at the start is tried again (its
        // folder may be writable now); unless it is no longer the one found then.
        if (stampAt(path) == record->damaged) {
            SavedStateDamage moved;
            keepDamagedState(path, moved);
            report.damagedKeptAs = moved.keptAs;
            report.damagedNotMovedBecause = moved.notKeptBecause;
            aside = moved.keptAs.empty();
        }
        record->damagedInPlace = aside;
        if (!aside) record->damaged.reset();
    }
    // Another process saved since this window read or last wrote the state (no single
    // instance across displays or without a bus): its pictures are kept.
    KeptPictures kept;
    std::set<std::string> ours;
    for (const auto& picture : pictures) ours.insert(picture->id());
    if (record) {
        for (const auto& [place, expected] : {std::pair{path, record->state}, std::pair{beside, record->besideDamaged}}) {
            if (aside && place == path) continue;
            const auto now = stampAt(place);
            if (!now || (now == expected && !record->keepsOthers)) continue;
            StateFile other;
            try {
                other = readStateFile(place);
            } catch (const std::exception& error) {
                Logger::log(std::string("A saved state found at a save could not be read: ") + error.what());
                continue;
            }
            const std::string_view text(reinterpret_cast<const char*>(other.bytes.data()), other.bytes.size());
            const auto found = saved_state::pictureTexts(text);
            if (!found || !found->whole) {
                // A damaged state is moved aside before anything replaces it; its whole
                // pictures are kept all the same.
                SavedStateDamage moved;
                keepDamagedState(place, moved);
                Logger::log("A damaged saved state found at a save " +
                            (moved.keptAs.empty() ? "could not be moved aside: " + moved.notKeptBecause
                                                  : "was kept as " + moved.keptAs.string()));
                if (moved.keptAs.empty() && place == path) {
                    aside = true;
                    record->damagedInPlace = true;
                    record->damaged = now;
                    report.damagedNotMovedBecause = moved.notKeptBecause;
                }
            }
            if (!found) continue;
            const std::size_t source = kept.texts.size();
            for (const auto& picture : found->pictures) {
                if (picture.id.empty() || ours.count(picture.id) || record->known.count(picture.id)) continue;
                ours.insert(picture.id);
                kept.pictures.emplace_back(source, picture);
            }
            if (!kept.collectionType) kept.collectionType = found->collectionType;
            kept.texts.push_back(std::move(other.bytes));
        }
    }
    // The state about to be replaced is held open: its storage is released only when the
    // caller lets it go (see SaveReport::replaced).
    pf::files::UniqueFd previous;
    if (!aside && stampAt(path)) previous = pf::files::UniqueFd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    // Written beside a damaged state that still holds the state's place; and beside it
    // too when a state is there from such a time, which then takes the state's place.
    const bool besideExists = record && stampAt(beside).has_value();
    // Past the page cache: the system's copy of gigabytes into new page-cache pages made
    // the quit, at times, three to four times as long as copying the state (on a virtual
    // machine); the state is read back only at the next start.
    pf::files::AtomicFileWriter file(aside || besideExists ? beside : path, 0644,
                                     pf::files::AtomicFileWriter::Route::pastPageCache);
    const pf::json::TextSink sink = [&file](std::string_view text) { file.write(text); };
    const auto writeValue = [&](const pf::Value& value) {
        try {
            pf::json::serializeInPieces(value, sink);
        } catch (const pf::Error& error) {
            if (error.domain() != pf::kFoundationErrorDomain ||
                error.code() != static_cast<int>(pf::FoundationErrorCode::propertyListWriteInvalid)) {
                throw;
            }
            throw StorageError(StorageError::Case::encodingFailed);
        }
    };
    // The pictures' bytes make up nearly all of a saved state, which can run past a
    // gigabyte: the file is written as each picture's text is made, never held whole. The
    // text is the compact form of encodeJSON(), whose keys are written in this order.
    auto type = imageInputCollectionType();
    if (type == CollectionType::single && !kept.pictures.empty()) {
        const auto theirs = kept.collectionType ? collectionTypeFromRawValue(*kept.collectionType) : std::nullopt;
        type = theirs && *theirs != CollectionType::single ? *theirs : CollectionType::variants;
    }
    file.write("{\"imageInputCollectionType\":");
    writeValue(pf::Value(rawValue(type)));
    file.write(",\"imageInputs\":[");
    // A picture's bytes are nearly all of its text: the rest of its form is made with them
    // left out, and they are written into their place as Base64 in pieces, made side by
    // side. The bytes are those the picture keeps (shared, not copied) or what its file or
    // its pixels give, fetched a few pictures at a time on threads of their own; a picture
    // that gives none costs only itself.
    std::set<std::string> savedOurs;
    std::vector<bool> writtenOurs(pictures.size(), false);
    bool first = true;
    struct Made {
        std::string form;  // the picture's text, its bytes left out
        std::shared_ptr<const pf::Data> bytes;
        std::string unsaved;  // why it gives no bytes
    };
    loadInWindows<Made>(
        pictures.size(), std::min<std::size_t>(platform::dispatch::usableProcessorCount(), 4),
        [&](std::size_t i) -> Made {
            Made made;
            try {
                made.bytes = pictures[i]->imageWrapper()->storedData();
                auto form = pictures[i]->encodeJSON(ImageWrapper::JSONBytes::omitted);
                // A name taken from a file name that is no UTF-8 is kept as near as JSON can.
                if (pf::needsUTF8Repair(form)) form = pf::withValidUTF8(form);
                pf::json::serializeInPieces(form, [&made](std::string_view piece) { made.form.append(piece); });
            } catch (const std::exception& error) {
                made.unsaved = unsavedReason(*pictures[i], error.what());
            } catch (...) {
                made.unsaved = unsavedReason(*pictures[i], "?");
            }
            return made;
        },
        [&](std::size_t i, Made made) {
            constexpr std::string_view kOmitted = "\"imageWrapper\":{\"image\":\"";
            const auto at = made.form.find(kOmitted);
            if (!made.bytes || at == std::string::npos) {
                if (made.unsaved.empty()) made.unsaved = unsavedReason(*pictures[i], "no place for its bytes");
                Logger::log(fmt::format("The picture {} could not be saved: {}", pictures[i]->imageName(), made.unsaved));
                report.unsaved.push_back({pictures[i]->imageName(), std::move(made.unsaved)});
                return;
            }
            if (!first) file.write(",");
            first = false;
            const auto split = at + kOmitted.size();
            file.write(std::string_view(made.form).substr(0, split));
            writeBase64(file, *made.bytes);
            file.write(std::string_view(made.form).substr(split));
            savedOurs.insert(pictures[i]->id());
            writtenOurs[i] = true;
            ++report.savedPictures;
        });
    for (const auto& [source, picture] : kept.pictures) {
        if (!first) file.write(",");
        first = false;
        const auto& bytes = kept.texts[source];
        file.write(std::string_view(reinterpret_cast<const char*>(bytes.data()) + picture.begin, picture.end - picture.begin));
    }
    report.keptOfOthers = kept.pictures.size();
    file.write("],\"selectionIndexes\":");
    writeValue(selectionIndexesJSON(&writtenOurs));
    file.write("}");
    file.commit();
    if (report.keptOfOthers > 0) {
        Logger::log(fmt::format("Kept {} picture(s) another process had saved in {}", report.keptOfOthers, path.string()));
    }
    // Still open, the state replaced keeps its storage until the caller lets it go.
    report.replaced = std::move(previous);
    if (aside) {
        report.savedAs = beside;
    } else if (besideExists && ::rename(beside.c_str(), path.c_str()) != 0) {
        // Saved all the same: the next start reads it there.
        report.savedAs = beside;
        Logger::log(fmt::format("The saved state stays at {}: {}", beside.string(), std::strerror(errno)));
    }
    if (record) {
        record->state = stampAt(path);
        record->besideDamaged = stampAt(beside);
        if (aside) record->state.reset();
        // Kept pictures are not known: the next save keeps them again.
        record->known.insert(savedOurs.begin(), savedOurs.end());
        record->keepsOthers = report.keptOfOthers > 0;
    }
    return report;
}

std::shared_ptr<Glyphwright> Glyphwright::restore(const std::filesystem::path& path) {
    pf::Value value;
    try {
        // Whatever was saved is read back, however large: the pictures' bytes are all of
        // it, and a bound here would drop them all.
        value = pf::json::parse(pf::files::readData(path, std::numeric_limits<std::uintmax_t>::max()));
    } catch (...) {
        throw StorageError(StorageError::Case::decodingFailed);
    }
    return decodeJSON(std::move(value));
}


namespace {

// What a start finds of one state file.
struct ReadState {
    bool present = false;  // something stands there
    std::optional<FileStamp> stamp;
    // What can be read of it; none for nothing to restore (what a quit without an engine
    // saves) or a file that could not be read at all (then `unreadable` says why).
    std::optional<saved_state::StoredState> stored;
    std::string unreadable;
    bool damaged() const { return !unreadable.empty() || (stored && !stored->problems.empty()); }
};

ReadState readState(const std::filesystem::path& path) {
    ReadState found;
    std::error_code ignored;
    if (!std::filesystem::exists(std::filesystem::symlink_status(path, ignored))) return found;
    found.present = true;
    StateFile file;
    try {
        file = readStateFile(path);
    } catch (const std::exception& error) {
        found.unreadable = error.what();
        return found;
    }
    found.stamp = file.stamp;
    const std::string_view text(reinterpret_cast<const char*>(file.bytes.data()), file.bytes.size());
    try {
        auto value = pf::json::parse(text);
        if (value.isNull()) return found;
        found.stored = saved_state::storedStateOf(std::move(value));
    } catch (const std::exception& error) {
        // Only a state that does not read whole is followed part by part.
        found.stored = saved_state::salvagedState(text, error.what());
    }
    return found;
}

const std::string* storedPictureId(const saved_state::StoredPicture& picture) {
    return picture.form ? picture.form->get("id").asString() : nullptr;
}

}  // namespace

Glyphwright::RestoredState Glyphwright::restoreSavedState(const std::filesystem::path& path, SavedStateRecord* record) {
    RestoredState restored;
    SavedStateRecord found;
    std::error_code ignored;
    if (!std::filesystem::is_directory(path.parent_path(), ignored)) return restored;
    // Read in a turn of its own: a save of another process does not replace the state
    // between its reading and its being moved aside, should it be damaged.
    const auto lock = lockStateFolder(path);
    const auto beside = besideDamagedPath(path);
    // Saves cut short (a kill, a log-out, a crash) leave their temporary files, as large
    // as the state, hidden beside it.
    for (const auto& place : {path, beside}) {
        if (const int removed = pf::files::AtomicFileWriter::removeStaleTemporaries(place); removed > 0) {
            Logger::log(fmt::format("Removed {} temporary file(s) of saves cut short beside {}", removed, place.string()));
        }
    }
    auto state = readState(path);
    // Saved while a damaged state held the state's place: the later of the two, and the
    // pictures of the state that it does not hold come after its own.
    auto besideState = readState(beside);
    if (!state.present && !besideState.present) return restored;
    bool stateDamaged = state.damaged(), besideDamaged = besideState.damaged();
    std::optional<saved_state::StoredState> stored;
    // The pictures saved beside come first: a picture lost past them was the state's.
    std::optional<std::size_t> besidePictures;
    for (auto* read : {&besideState, &state}) {
        if (!read->present) continue;
        if (!read->unreadable.empty()) {
            if (!stored) stored.emplace();
            stored->problems.push_back(read->unreadable);
            continue;
        }
        if (!read->stored) continue;
        if (!stored) {
            stored = std::move(read->stored);
            if (read == &besideState) besidePictures = stored->pictures ? stored->pictures->size() : 0;
            continue;
        }
        // The state's pictures after those saved beside it, but those saved there again.
        std::set<std::string> held;
        if (stored->pictures) {
            for (const auto& picture : *stored->pictures) {
                if (const auto* id = storedPictureId(picture)) held.insert(*id);
            }
        }
        auto& more = *read->stored;
        if (more.pictures) {
            if (!stored->pictures) stored->pictures.emplace();
            const std::size_t offset = stored->pictures->size();
            for (auto& picture : *more.pictures) {
                if (const auto* id = storedPictureId(picture); id && held.count(*id)) continue;
                picture.position += offset;
                stored->pictures->push_back(std::move(picture));
            }
        }
        stored->picturesBreakOff = stored->picturesBreakOff || more.picturesBreakOff;
        stored->placesUncertain = stored->placesUncertain || more.placesUncertain;
        for (auto& problem : more.problems) stored->problems.push_back(std::move(problem));
    }
    if (stored) {
        if (stored->pictures) {
            for (const auto& picture : *stored->pictures) {
                if (const auto* id = storedPictureId(picture)) found.known.insert(*id);
            }
        }
        // Every picture was read again, or could not be: no list, no damage.
        const bool unreadableOnly = !stored->pictures && !stored->collectionType && !stored->selection &&
                                    stored->problems.size() == 1 && (!state.unreadable.empty() || !besideState.unreadable.empty());
        if (unreadableOnly) {
            SavedStateDamage damage;
            damage.unreadable = true;
            damage.reason = stored->problems.front();
            restored.damage = std::move(damage);
        } else {
            restored.engine = fromStored(std::move(*stored), restored.damage);
            // Pictures that do not decode leave the text whole: their file is damaged too.
            if (restored.damage) {
                for (const auto& lost : restored.damage->lostPictures) {
                    (besidePictures && lost.position < *besidePictures ? besideDamaged : stateDamaged) = true;
                }
                if (!stateDamaged && !besideDamaged) (besidePictures ? besideDamaged : stateDamaged) = true;
            }
        }
    }
    // What is damaged goes aside before a picture reaches the window, so that no later
    // save replaces what may still be recovered from it; what stays is what the next save
    // compares with.
    if (stateDamaged) {
        if (!restored.damage) restored.damage.emplace();
        keepDamagedState(path, *restored.damage);
        if (restored.damage->keptAs.empty()) {
            found.damagedInPlace = true;
            found.damaged = stampAt(path);
        }
    } else {
        found.state = state.stamp;
    }
    if (besideDamaged) {
        SavedStateDamage moved;
        keepDamagedState(beside, moved);
        Logger::log("The state saved beside a damaged one is damaged too: " +
                    (moved.keptAs.empty() ? "it could not be moved aside: " + moved.notKeptBecause
                                          : "it was kept as " + moved.keptAs.string()));
        if (restored.damage && restored.damage->keptAs.empty()) restored.damage->keptAs = moved.keptAs;
    } else {
        found.besideDamaged = besideState.stamp;
    }
    if (record) *record = std::move(found);
    return restored;
}

}  // namespace gw
