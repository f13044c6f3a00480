// How pictures enter the engine: files, folders and ready pictures.
#include "app/definitions/folder_definition_builder_factory.hpp"
#include "app/engine/file_already_exists_action.hpp"
#include "app/engine/glyphwright.hpp"
#include "app/engine/loading_in_windows.hpp"
#include "app/engine/memory_budget.hpp"
#include "app/engine/picture_estimates.hpp"
#include "app/definitions/leaderboard_builder.hpp"
#include "app/foundation/folder_scanning.hpp"
#include "app/foundation/localized_string.hpp"
#include "app/foundation/logger.hpp"
#include "platform/dispatch/dispatch_queue.hpp"
#include "platform/dispatch/operation_queue.hpp"
#include "platform/foundation/error.hpp"
#include "platform/foundation/utf8.hpp"
#include "platform/graphics/render_client.hpp"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <string_view>
#include <vector>

namespace gw {

namespace pf = platform::foundation;
using platform::appkit::ArrayController;

namespace {

bool isPlatformGenericText(std::string_view text) { return text.starts_with("The operation couldn\u2019t be completed."); }

}  // namespace

namespace {

std::string unescapedLoadFailureReason(const std::exception_ptr& error, const pf::URL& url) {
    try {
        std::rethrow_exception(error);
    } catch (const ImageInput::ImageInputError& failure) {
        if (!isPlatformGenericText(failure.what())) return failure.what();
        switch (failure.errorCase()) {
        case ImageInput::ImageInputError::Case::nothingAtPath:
            return LocalizedString::text("error.description.image.nothingAtPath", url.path());
        case ImageInput::ImageInputError::Case::unableToLoadSVGImage:
            return LocalizedString::text("error.description.image.unableToLoadSVGImage", url.path());
        case ImageInput::ImageInputError::Case::unableToLoadNSImageAtPath:
            break;
        }
        return LocalizedString::text("error.description.image.unableToLoadNSImageAtPath", url.path());
    } catch (const pf::files::OutsideRootError& outside) {
        return LocalizedString::text("reading.outside-root", outside.location().string(), outside.leadsTo().string());
    } catch (const pf::Error& failure) {
        return failure.localizedDescription();
    } catch (const std::exception& failure) {
        return failure.what();
    } catch (...) {
    }
    return LocalizedString::text("error.description.image.unableToLoadNSImageAtPath", url.path());
}

}  // namespace

// A library's reason may quote the path as it is.
std::string pictureLoadFailureReason(const std::exception_ptr& error, const pf::URL& url) {
    return pf::escapedForDisplay(unescapedLoadFailureReason(error, url));
}

void Glyphwright::addImagesFromFileOrFolder(const pf::URL& url, const std::vector<pf::URL>& excludedFolders) {
    std::error_code error;
    const auto status = std::filesystem::status(url.fsPath(), error);
    // A folder is scanned whatever its name ("art.png").
    if (isSupportedImageFileExtension(url.pathExtension()) && !std::filesystem::is_directory(status)) {
        addImage(url);
        return;
    }
    // A file of another kind would be listed as a folder holding nothing.
    if (std::filesystem::exists(status) && !std::filesystem::is_directory(status)) {
        throw GlyphwrightError(GlyphwrightError::Case::unsupportedFileType, url);
    }
    WritingBoundaryPtr boundary;
    {
        std::lock_guard lock(mutex_);
        boundary = writingBoundary_;
    }
    // Nothing outside the boundary is read either, also not through a link in the folder.
    ReadingRefusal refusal;
    if (boundary) {
        refusal = [boundary](const std::filesystem::path& location) -> std::optional<std::string> {
            if (boundary->contains(location)) return std::nullopt;
            return LocalizedString::text("folder-scan.warning.outside-root", location.string(),
                                         boundary->root().string());
        };
    }
    addImages(imageFileURLsInNameOrder(url, excludedFolders, refusal, boundary ? boundary->handle().get() : nullptr));
}

void Glyphwright::addImage(const pf::URL& url, std::optional<std::size_t> index) { addImageAdvancing(url, index); }

void Glyphwright::addImageAdvancing(const pf::URL& url, std::optional<std::size_t>& index) {
    std::error_code error;
    const auto status = std::filesystem::status(url.fsPath(), error);
    if (error || !std::filesystem::exists(status)) {
        Logger::log("File doesn't exist at " + url.absoluteString());
        throw GlyphwrightError(GlyphwrightError::Case::unableToOpenImageFromURL, url);
    }
    const bool isFolder = std::filesystem::is_directory(status);
    if (!isFolder && imageInputCollectionType() == CollectionType::single) {
        Logger::log("Single image");
        addSingleImage(url, index);
        return;
    }
    Logger::log("Multiple images mode");
    setImageInputCollectionType(CollectionType::variants);
    if (isFolder) {
        addImagesFromURLSet(imageFileURLsInNameOrder(url, {}, {}, readingRoot().get()), index);
    } else {
        addImagesFromURLSet({url}, index);
    }
}

void Glyphwright::addImages(const std::vector<pf::URL>& given, std::optional<std::size_t> index) {
    if (given.size() < 2) {
        for (const auto& url : given) addImage(url, index);
        return;
    }
    setImageInputCollectionType(CollectionType::variants);
    // Taken in name order whatever order they were picked or dragged in: the first is
    // a stack's front layer, as on the command line.
    auto urls = given;
    std::stable_sort(urls.begin(), urls.end(),
                     [](const pf::URL& a, const pf::URL& b) { return a.fsPath().native() < b.fsPath().native(); });
    // Files in a row are read together, as addImage would read them one by one; a
    // folder or a missing file takes its own turn, after the files before it.
    std::vector<pf::URL> files;
    auto addFiles = [&] {
        if (files.empty()) return;
        Logger::log("Multiple images mode");
        setImageInputCollectionType(CollectionType::variants);
        addImagesFromURLSet(files, index);
        files.clear();
    };
    for (const auto& url : urls) {
        std::error_code error;
        const auto status = std::filesystem::status(url.fsPath(), error);
        if (!error && std::filesystem::exists(status) && !std::filesystem::is_directory(status)) {
            files.push_back(url);
            continue;
        }
        addFiles();
        addImageAdvancing(url, index);
    }
    addFiles();
}

void Glyphwright::addSingleImage(const pf::URL& url, std::optional<std::size_t> index) {
    ImageInputPtr input;
    try {
        input = loadInput(url, true);
    } catch (...) {
        // The URL's path is already free of the scheme and of percent-encoding. The
        // reason is the one the command line gives (a limit, a damaged file).
        AddImageAlertError alert(LocalizedString::text("add-image.alert.message-Text"),
                                 LocalizedString::text("add-image.alert.informative-Text", url.path()) + "\n" +
                                     pictureLoadFailureReason(std::current_exception(), url),
                                 std::current_exception());
        if (!imageLoadAlertHandler_) throw alert;
        imageLoadAlertHandler_(alert);
        return;
    }
    insert(input, index);
}

namespace {

// Why a picture of a folder is passed over: the limit it is over (its size or work, or
// the open files of the program, which says nothing about the picture), the renderer that
// could not draw it (ended, not answering, not started), or that it could not be read as
// a picture and why.
std::string skippedPictureWarning(const pf::URL& url, const std::exception_ptr& error,
                                  const pf::files::RootHandle* root) {
    std::string why;
    try {
        if (error) std::rethrow_exception(error);
    } catch (const pf::files::OutsideRootError&) {
        // A link swapped in since the folder was scanned: passed over as the scan would.
        return LocalizedString::text("folder-scan.warning.outside-root", url.path(),
                                     root ? root->path().string() : std::string("/"));
    } catch (const ImageInput::ImageInputError& failure) {
        using platform::graphics::PictureProblem;
        if (failure.problem() == PictureProblem::tooLarge || failure.problem() == PictureProblem::tooDemanding ||
            failure.problem() == PictureProblem::tooManyOpenFiles ||
            failure.problem() == PictureProblem::rendererUnavailable) {
            return LocalizedString::text("folder-scan.warning.over-limit", url.path(), failure.what());
        }
        why = failure.what();
    } catch (const std::exception& failure) {
        why = failure.what();
    } catch (...) {
    }
    return LocalizedString::text("folder-scan.warning.unreadable", url.path(), why.empty() ? std::string("?") : why);
}

// Reads a picture within the memory budget: the file, its pixels and what decoding them
// takes are admitted first, so that pictures read side by side never hold more together
// than there is. The pixels stay when asked for and when they fit in what is left (the
// budget lets them go when the room is needed); else they go at once and are read again
// when the picture is drawn.
ImageInputPtr readPicture(const pf::URL& url, bool keepPixels, const pf::files::RootHandlePtr& root) {
    auto& budget = MemoryBudget::shared();
    // Admitted once the file is open and before it is read: its first bytes tell what
    // reading it takes.
    MemoryBudget::Admission reading;
    ReadingEstimate estimate;
    auto input = ImageInput::load(url, root, [&](const FileHead& head) {
        estimate = estimateReading(head, url.fsPath());
        reading = budget.admit(estimate.pixelBytes + estimate.readingBytes);
    });
    // Read again later, the same unchanged file takes what reading it took now.
    input->setReadingBytes(estimate.readingBytes);
    const auto image = input->image();
    // A document, or pixels that could not be read again: they stay as they are.
    if (releasablePixelBytes(*image) == 0) return input;
    if (keepPixels && budget.keepIfRoom(image, reading)) {
        // Known now, the corner colour needs no reading should the pixels go later.
        input->cornerPixelColor();
    } else {
        input->releasePixels();
    }
    return input;
}

// Pictures read at once: as many as there are processors (at most eight) keep their pixels,
// the first to be drawn, and as many are read side by side; where documents are among
// them, twice as many, so that the processors have the next pictures to decode while a
// document's waits for its renderer to draw it. (Bitmaps are all decoding: more at once
// would only take the processors from the window's own turns.)
struct ReadingWindow {
    explicit ReadingWindow(const std::vector<pf::URL>& urls) {
        const bool documents = std::any_of(urls.begin(), urls.end(), [](const pf::URL& url) {
            return platform::graphics::RenderClient::kindFor(url.lastPathComponent()).has_value();
        });
        reading = documents ? 2 * kept : kept;
    }
    std::size_t kept = std::min<std::size_t>(8, platform::dispatch::usableProcessorCount());
    std::size_t reading = kept;
};

}  // namespace

void Glyphwright::addImagesFromURLSet(const std::vector<pf::URL>& urls, std::optional<std::size_t>& index) {
    // Pictures are decoded a few at a time on their own threads (decoding is most of
    // the work of reading a folder) and inserted in the order given, as one by one.
    const ReadingWindow window(urls);
    struct Load {
        ImageInputPtr input;
        std::exception_ptr failure;
    };
    const auto root = readingRoot();
    loadInWindows<Load>(
        urls.size(), window.reading,
        [&](std::size_t i) -> Load {
            try {
                // A folder may hold hundreds of pictures: each is decoded again when
                // its turn to be drawn comes, so that only those being drawn take
                // memory. The first few are drawn first: they keep theirs.
                return {loadInput(urls[i], i < window.kept), nullptr};
            } catch (...) {
                return {nullptr, std::current_exception()};
            }
        },
        [&](std::size_t i, Load load) {
            if (load.input) {
                insertAdvancing(load.input, index);
                return;
            }
            // One bad file does not cost the others their turn, but it is said.
            reportSkippedPicture(urls[i], skippedPictureWarning(urls[i], load.failure, root.get()));
        });
}

ImageInputPtr Glyphwright::loadInput(const pf::URL& url, bool keepPixels) const {
    if (preloaded_) {
        const auto found = preloaded_->find(url.fsPath().lexically_normal().string());
        if (found != preloaded_->end()) {
            if (found->second.error) std::rethrow_exception(found->second.error);
            return found->second.input;
        }
    }
    return readPicture(url, keepPixels, readingRoot());
}

pf::files::RootHandlePtr Glyphwright::readingRoot() const {
    std::lock_guard lock(mutex_);
    return writingBoundary_ ? writingBoundary_->handle() : nullptr;
}

std::shared_ptr<const Glyphwright::Preloaded> Glyphwright::preload(const std::vector<pf::URL>& urls) {
    // The files addImages would read: those named, and the pictures of the folders named.
    std::vector<pf::URL> files;
    for (const auto& url : urls) {
        std::error_code error;
        const auto status = std::filesystem::status(url.fsPath(), error);
        if (error || !std::filesystem::exists(status)) continue;
        if (!std::filesystem::is_directory(status)) {
            files.push_back(url);
            continue;
        }
        for (auto& file : imageFileURLsInNameOrder(url)) files.push_back(std::move(file));
    }
    auto preloaded = std::make_shared<Preloaded>();
    const ReadingWindow window(files);
    loadInWindows<PreloadedPicture>(
        files.size(), window.reading,
        [&](std::size_t i) -> PreloadedPicture {
            try {
                // As addImages does: past the first few, pictures wait for their turn
                // to be drawn without their pixels.
                return {readPicture(files[i], i < window.kept, nullptr), nullptr};
            } catch (...) {
                return {nullptr, std::current_exception()};
            }
        },
        [&](std::size_t i, PreloadedPicture picture) {
            preloaded->emplace(files[i].fsPath().lexically_normal().string(), std::move(picture));
        });
    return preloaded;
}

void Glyphwright::addImagesInBackground(std::vector<pf::URL> urls, std::optional<std::size_t> index,
                                        std::function<void(std::exception_ptr)> failure) {
    std::weak_ptr<Glyphwright> weak = weak_from_this();
    auto files = urls;
    readInBackground([weak, urls = std::move(urls), index, failure = std::move(failure)]() -> std::function<void()> {
        auto preloaded = preload(urls);
        return [weak, urls, index, failure, preloaded] {
            auto self = weak.lock();
            if (!self) return;
            // The same steps as addImages, the pictures taken from what was read.
            self->preloaded_ = preloaded;
            try {
                self->addImages(urls, index);
            } catch (...) {
                self->preloaded_.reset();
                if (failure) failure(std::current_exception());
                return;
            }
            self->preloaded_.reset();
        };
    }, std::move(files));
}

// What a reading hands to the main queue, run there once: by the main queue's turn, or
// earlier by finishBackgroundReading; never when that gave it up.
struct Glyphwright::BackgroundRead {
    std::vector<pf::URL> files;
    std::mutex mutex;
    std::condition_variable read;
    std::function<void()> then;
    bool done = false;
    bool ran = false;

    bool hasRun() {
        std::lock_guard lock(mutex);
        return ran;
    }
    void finish(std::function<void()> next) {
        {
            std::lock_guard lock(mutex);
            then = std::move(next);
            done = true;
        }
        read.notify_all();
    }
    // Whether it was read by `deadline`.
    bool waitRead(std::chrono::steady_clock::time_point deadline) {
        std::unique_lock lock(mutex);
        return read.wait_until(lock, deadline, [this] { return done; });
    }
    // What it read never reaches the engine.
    void giveUp() {
        std::lock_guard lock(mutex);
        ran = true;
        then = nullptr;
    }
    bool goesOn() {
        std::lock_guard lock(mutex);
        return ran && !done;
    }
    void runOnce() {
        std::function<void()> now;
        {
            std::lock_guard lock(mutex);
            if (ran) return;
            ran = true;
            now = std::move(then);
        }
        if (now) now();
    }
};

void Glyphwright::readInBackground(std::function<std::function<void()>()> read, std::vector<pf::URL> files) {
    while (!backgroundReads_.empty() && backgroundReads_.front()->hasRun()) {
        // One given up and still being read is kept until it ends, for readingGivenUpGoesOn.
        if (backgroundReads_.front()->goesOn()) break;
        backgroundReads_.pop_front();
    }
    auto done = std::make_shared<BackgroundRead>();
    done->files = std::move(files);
    backgroundReads_.push_back(done);
    readingQueue_.async([read = std::move(read), done] {
        done->finish(read());
        platform::dispatch::DispatchQueue::main().async([done] { done->runOnce(); });
    });
}

void Glyphwright::waitForBackgroundReading() { readingQueue_.sync([] {}); }

std::vector<pf::URL> Glyphwright::finishBackgroundReading(std::chrono::steady_clock::time_point deadline) {
    std::vector<pf::URL> givenUp;
    for (const auto& next : std::deque(backgroundReads_)) {
        if (next->hasRun()) continue;
        if (next->waitRead(next->files.empty() ? std::chrono::steady_clock::time_point::max() : deadline)) {
            next->runOnce();
        } else {
            next->giveUp();
            givenUp.insert(givenUp.end(), next->files.begin(), next->files.end());
        }
    }
    std::erase_if(backgroundReads_, [](const auto& read) { return read->hasRun() && !read->goesOn(); });
    return givenUp;
}

bool Glyphwright::readingGivenUpGoesOn() const {
    return std::any_of(backgroundReads_.begin(), backgroundReads_.end(), [](const auto& read) { return read->goesOn(); });
}

void Glyphwright::insert(const ImageInputPtr& imageInput, std::optional<std::size_t> index) {
    if (!imageInput) return;
    if (outputTypeSelectionHandler_) {
        const auto supported =
            FolderDefinitionBuilderFactory::supportedCollectionTypes(outputTypeSelectionHandler_->currentResizeType());
        if (!supported.count(imageInputCollectionType())) {
            // Variants is the one mode every output type accepts.
            setImageInputCollectionType(supported.count(CollectionType::variants) ? CollectionType::variants
                                                                                  : *supported.begin());
        }
    }
    auto& controller = *collectionViewArrayController_;
    const auto arranged = controller.arrangedObjects();
    const auto existing = std::find_if(arranged.begin(), arranged.end(), [&](const ArrayController::Element& e) {
        const auto other = e.as<ImageInput>();
        return other && other->isEqual(*imageInput);
    });
    if (existing != arranged.end()) {
        controller.setSelectedObjects({*existing});
    } else if (imageInputCollectionType() != CollectionType::single) {
        controller.setSelectionIndexes({});
        auto future = imageInputs();
        if (!index || *index >= future.size()) {
            future.push_back(imageInput);
        } else {
            future.insert(future.begin() + static_cast<std::ptrdiff_t>(*index), imageInput);
        }
        giveDefaultLayerFrames(future);
        if (!index) {
            controller.addObject(imageInput);
        } else {
            controller.insertObject(imageInput, *index);
        }
    } else {
        controller.removeAllObjects();
        giveDefaultLayerFrames({imageInput});
        controller.addObject(imageInput);
    }
    tellDelegates([&](GlyphwrightDelegate& d) { d.glyphwrightShowEditingPanel(*this, imageInput); });
}

void Glyphwright::insert(const std::vector<ImageInputPtr>& imageInputs, std::optional<std::size_t> index) {
    for (const auto& input : imageInputs) insertAdvancing(input, index);
}

void Glyphwright::insertAdvancing(const ImageInputPtr& imageInput, std::optional<std::size_t>& index) {
    const auto before = collectionViewArrayController_->arrangedObjects().size();
    insert(imageInput, index);
    // A picture already there is only selected: the next one goes where this one would have.
    if (index && collectionViewArrayController_->arrangedObjects().size() > before) ++*index;
}

void Glyphwright::giveDefaultLayerFrames(const std::vector<ImageInputPtr>& imageInputs) {
    for (bool isLeaderboard : {false, true}) {
        if (!layerFramesFillCanvas(isLeaderboard, imageInputs)) makeDefaultLayerFrames(isLeaderboard, imageInputs);
    }
}

void Glyphwright::selectAll() {
    auto& controller = *collectionViewArrayController_;
    const auto inputs = controller.arrangedObjectsAs<ImageInput>();
    if (!inputs) return;
    std::set<std::size_t> all;
    for (std::size_t i = 0; i < inputs->size(); ++i) all.insert(i);
    controller.setSelectionIndexes(std::move(all));
}

void Glyphwright::makeImageNamesUnique() {
    // Every rename announces the name again, which calls here: the outer call does it all.
    if (renaming_) return;
    renaming_ = true;
    try {
        // In order, so that earlier pictures keep their names and no name is looked at
        // twice: a folder of many pictures of one name takes moments, not hours. A
        // numbered name is never one that a later picture has as its own: that picture
        // keeps it.
        const auto inputs = imageInputs();
        std::set<std::string> own;
        for (const auto& input : inputs) own.insert(input->imageName());
        std::set<std::string> taken;
        for (const auto& input : inputs) {
            std::string name = input->imageName();
            if (taken.count(name)) {
                const auto number = trailingNumber(name);
                std::int64_t next = number ? *number + 1 : 1;
                do {
                    replaceTrailingNumber(name, next++);
                } while (taken.count(name) || own.count(name));
                input->setImageName(name);
                name = input->imageName();
            }
            taken.insert(std::move(name));
        }
    } catch (...) {
        renaming_ = false;
        throw;
    }
    renaming_ = false;
}

}  // namespace gw
