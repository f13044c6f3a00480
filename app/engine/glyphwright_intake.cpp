// How pictures enter the engine: files, folders and ready pictures.
#include "app/definitions/folder_definition_builder_factory.hpp"
#include "app/engine/file_already_exists_action.hpp"
#include "app/engine/glyphwright.hpp"
#include "app/engine/loading_in_windows.hpp"
#include "app/definitions/leaderboard_builder.hpp"
#include "app/foundation/folder_scanning.hpp"
#include "app/foundation/localized_string.hpp"
#include "app/foundation/logger.hpp"
#include "platform/dispatch/dispatch_queue.hpp"
#include "platform/dispatch/operation_queue.hpp"

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <thread>
#include <vector>

namespace gw {

namespace pf = platform::foundation;
using platform::appkit::ArrayController;

void Glyphwright::addImagesFromFileOrFolder(const pf::URL& url, const std::vector<pf::URL>& excludedFolders) {
    if (isSupportedImageFileExtension(url.pathExtension())) {
        addImage(url);
        return;
    }
    // A file of another kind would be listed as a folder holding nothing.
    std::error_code error;
    const auto status = std::filesystem::status(url.fsPath(), error);
    if (std::filesystem::exists(status) && !std::filesystem::is_directory(status)) {
        throw GlyphwrightError(GlyphwrightError::Case::unsupportedFileType, url);
    }
    addImages(imageFileURLsInNameOrder(url, excludedFolders));
}

void Glyphwright::addImage(const pf::URL& url, std::optional<std::size_t> index) {
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
        addImagesFromURLSet(imageFileURLsInNameOrder(url), index);
    } else {
        addImagesFromURLSet({url}, index);
    }
}

void Glyphwright::addImages(const std::vector<pf::URL>& urls, std::optional<std::size_t> index) {
    if (urls.size() < 2) {
        for (const auto& url : urls) addImage(url, index);
        return;
    }
    setImageInputCollectionType(CollectionType::variants);
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
        addImage(url, index);
    }
    addFiles();
}

void Glyphwright::addSingleImage(const pf::URL& url, std::optional<std::size_t> index) {
    ImageInputPtr input;
    try {
        input = loadInput(url);
    } catch (...) {
        // The URL's path is already free of the scheme and of percent-encoding.
        AddImageAlertError alert(LocalizedString::text("add-image.alert.message-Text"),
                                 LocalizedString::text("add-image.alert.informative-Text", url.path()),
                                 std::current_exception());
        if (!imageLoadAlertHandler_) throw alert;
        imageLoadAlertHandler_(alert);
        return;
    }
    insert(input, index);
}

void Glyphwright::addImagesFromURLSet(const std::vector<pf::URL>& urls, std::optional<std::size_t> index) {
    // Pictures are decoded a few at a time on their own threads (decoding is most of
    // the work of reading a folder) and inserted in the order given, as one by one.
    const std::size_t window = std::min<std::size_t>(8, platform::dispatch::usableProcessorCount());
    struct Load {
        ImageInputPtr input;
        std::string failure;
    };
    loadInWindows<Load>(
        urls.size(), window,
        [&](std::size_t i) -> Load {
            try {
                auto input = loadInput(urls[i]);
                // A folder may hold hundreds of pictures: each is decoded again when
                // its turn to be drawn comes, so that only those being drawn take
                // memory. The first few are drawn first: they keep theirs.
                if (i >= window) input->releasePixels();
                return {input, {}};
            } catch (const std::exception& failure) {
                return {nullptr, failure.what()};
            } catch (...) {
                return {nullptr, {}};
            }
        },
        [&](std::size_t i, Load load) {
            if (load.input) {
                insert(load.input, index);
                return;
            }
            // One bad file does not cost the others their turn, but it is said.
            const auto& url = urls[i];
            reportSkippedPicture(url, LocalizedString::text("folder-scan.warning.unreadable", url.path(),
                                                            load.failure.empty() ? std::string("?") : load.failure));
        });
}

ImageInputPtr Glyphwright::loadInput(const pf::URL& url) const {
    if (preloaded_) {
        const auto found = preloaded_->find(url.fsPath().lexically_normal().string());
        if (found != preloaded_->end()) {
            if (found->second.error) std::rethrow_exception(found->second.error);
            return found->second.input;
        }
    }
    return ImageInput::load(url);
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
    const std::size_t window = std::min<std::size_t>(8, platform::dispatch::usableProcessorCount());
    loadInWindows<PreloadedPicture>(
        files.size(), window,
        [&](std::size_t i) -> PreloadedPicture {
            try {
                auto input = ImageInput::load(files[i]);
                // As addImages does: past the first few, pictures wait for their turn
                // to be drawn without their pixels.
                if (i >= window) input->releasePixels();
                return {input, nullptr};
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
    });
}

void Glyphwright::readInBackground(std::function<std::function<void()>()> read) {
    readingQueue_.async([read = std::move(read)] {
        if (auto then = read()) platform::dispatch::DispatchQueue::main().async(std::move(then));
    });
}

void Glyphwright::waitForBackgroundReading() { readingQueue_.sync([] {}); }

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
    // Every rename announces the name again. Instead of nesting, the check starts over
    // from the first picture after each rename, which renames the same pictures.
    if (renaming_) return;
    renaming_ = true;
    try {
        const auto inputs = imageInputs();
        bool renamed = true;
        while (renamed) {
            renamed = false;
            for (const auto& input : inputs) {
                if (makeImageNameUnique(input, inputs)) {
                    renamed = true;
                    break;
                }
            }
        }
    } catch (...) {
        renaming_ = false;
        throw;
    }
    renaming_ = false;
}

bool Glyphwright::makeImageNameUnique(const ImageInputPtr& imageInput, const std::vector<ImageInputPtr>& imageInputs) {
    const auto clash = std::find_if(imageInputs.begin(), imageInputs.end(), [&](const ImageInputPtr& other) {
        return other.get() != imageInput.get() && other->imageName() == imageInput->imageName();
    });
    if (clash == imageInputs.end()) return false;
    std::string name = (*clash)->imageName();
    const auto number = trailingNumber(name);
    replaceTrailingNumber(name, number ? *number + 1 : 1);
    (*clash)->setImageName(name);
    return true;
}

}  // namespace gw
