#pragma once
// The conversion engine: the pictures of one conversion (in an array controller with a
// selection), their collection type, the output type and folder, the readiness of the
// request, and the conversion run. Every change is told to the registered delegates.
//
// Make it with Glyphwright::make(); the run's closures hold it weakly.
#include "app/definitions/conversion_output_type.hpp"
#include "app/definitions/folder_definition_builder.hpp"
#include "app/engine/async_operation.hpp"
#include "app/engine/file_already_exists_action.hpp"
#include "app/engine/file_writing_validators.hpp"
#include "app/engine/glyphwright_delegate.hpp"
#include "app/engine/writing_boundary.hpp"
#include "app/engine/writing_intents.hpp"
#include "app/foundation/image_input.hpp"
#include "app/foundation/image_input_collection.hpp"
#include "platform/appkit/array_controller.hpp"
#include "platform/dispatch/dispatch_queue.hpp"
#include "platform/dispatch/operation.hpp"
#include "platform/dispatch/operation_queue.hpp"
#include "platform/foundation/root_handle.hpp"
#include "platform/foundation/url.hpp"
#include "platform/foundation/value.hpp"

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace gw {

namespace saved_state {
struct StoredState;
}

class RunProgress;

class GlyphwrightError : public std::runtime_error {
public:
    // unsupportedFileType: a file (not a folder) whose name does not end in a picture extension.
    enum class Case : int { unableToOpenImageFromURL = 0, unsupportedFileType = 1 };
    // `url`: where nothing could be opened, for the description.
    explicit GlyphwrightError(Case errorCase, const std::optional<platform::foundation::URL>& url = std::nullopt);
    Case errorCase() const noexcept { return case_; }

private:
    Case case_;
};

// A picture that could not be loaded in single mode. The window shows it as a critical
// alert; without one it reaches the caller, which reports it.
class AddImageAlertError : public std::runtime_error {
public:
    AddImageAlertError(std::string messageText, std::string informativeText, std::exception_ptr reason = nullptr);
    const std::string& messageText() const { return messageText_; }
    const std::string& informativeText() const { return informativeText_; }
    // The loader's error: why the picture could not be loaded.
    const std::exception_ptr& reason() const { return reason_; }

private:
    std::string messageText_;
    std::string informativeText_;
    std::exception_ptr reason_;
};

// Why a picture could not be loaded, in words, for the user: the loader's own
// description when it has one (a size or work limit, a damaged file), else what its
// case means. The command line and the window tell the same reason.
std::string pictureLoadFailureReason(const std::exception_ptr& error, const platform::foundation::URL& url);

class Glyphwright : public OutputTypeSelectionHandlerDelegate,
                    public Progressable,
                    public std::enable_shared_from_this<Glyphwright> {
public:
    class StorageError : public std::runtime_error {
    public:
        enum class Case : int { decodingFailed = 0, encodingFailed = 1 };
        explicit StorageError(Case errorCase);
        Case errorCase() const noexcept { return case_; }

    private:
        Case case_;
    };

    using ArrayControllerPtr = std::shared_ptr<platform::appkit::ArrayController>;
    using ProgressUpdateHandler = std::function<void(float)>;
    using ImageLoadAlertHandler = std::function<void(const AddImageAlertError&)>;

    // The saved state's file name in the data folder.
    static constexpr const char* savedStateFileName = "saved_glyphwright";

    static std::shared_ptr<Glyphwright> make();
    Glyphwright(const Glyphwright&) = delete;
    Glyphwright& operator=(const Glyphwright&) = delete;
    ~Glyphwright() override;

    // --- state ---
    const ArrayControllerPtr& collectionViewArrayController() const { return collectionViewArrayController_; }
    // Takes over the previous controller's pictures and selection, and observes the new one.
    void setCollectionViewArrayController(ArrayControllerPtr controller);
    const std::shared_ptr<OutputTypeSelecting>& outputTypeSelectionHandler() const {
        return outputTypeSelectionHandler_;
    }
    void setOutputTypeSelectionHandler(std::shared_ptr<OutputTypeSelecting> handler);
    std::optional<platform::foundation::URL> outputDirectory() const;
    void setOutputDirectory(std::optional<platform::foundation::URL> url);
    ConversionOutputType resizeType() const;
    void setResizeType(ConversionOutputType type);
    CollectionType imageInputCollectionType() const;
    void setImageInputCollectionType(CollectionType type);
    ReadyState readyState() const;

    // The window outlets; held weakly and read when the first run makes its factory.
    void setAssetCatalogFolderAlreadyExistsWindow(std::weak_ptr<AssetCatalogAlreadyExistsPrompting> window);
    void setAssetFolderAlreadyExistsWindow(std::weak_ptr<AssetAlreadyExistsPrompting> window);
    // Where stored answers come from; the command line puts its own in before converting.
    void setCatalogExistsActionProvider(std::shared_ptr<FileAlreadyExistsActionProvider> provider);
    void setCatalogContentsExistsActionProvider(std::shared_ptr<FileAlreadyExistsActionProvider> provider);
    // Shows a picture that failed to load in single mode; without it the error is thrown.
    void setImageLoadAlertHandler(ImageLoadAlertHandler handler);
    // The folder runs may write into, symbolic links followed (the command line's granted
    // root), held open from now on; none, the default, sets no limit. Every step of a run
    // writes through it, and one that would write elsewhere is refused with
    // OutsideWritingBoundaryError; nothing is written outside it. Pictures are read through
    // it too, so nothing outside it is read either. The platform's Error when the root
    // cannot be opened.
    void setWritingBoundary(std::optional<std::filesystem::path> root);
    // The same with a boundary made already, on a root held open before.
    void setWritingBoundary(WritingBoundaryPtr boundary);

    // Registered delegates, in order; released ones are skipped, never removed.
    void appendDelegate(std::shared_ptr<WeakGlyphwrightDelegateWrapper> wrapper);
    void addDelegate(const std::shared_ptr<GlyphwrightDelegate>& delegate);
    std::vector<std::shared_ptr<WeakGlyphwrightDelegateWrapper>> delegates() const;

    // The arranged pictures; empty when they are not all pictures.
    std::vector<ImageInputPtr> imageInputs() const;
    // The selected pictures; empty when they are not all pictures.
    std::vector<ImageInputPtr> selectedImageInputs() const;

    // OutputTypeSelectionHandlerDelegate: the chosen type becomes the output type.
    void outputTypeSelectionHandler(OutputTypeSelecting& handler, ConversionOutputType outputType) override;

    // --- readiness and the run ---
    // Dry run of the request; stores the result and tells the delegates. Never throws.
    void updateReadyState();
    // Deferred, the ready state stored from now on leaves out whether a vector picture's
    // corner is transparent: judging it draws the corner, which can wait for a drawing of
    // the whole picture. completeReadyState() makes that check too.
    void setVectorCornerChecksDeferred(bool deferred);
    // The dry run with every check, made now; stores nothing and tells nobody.
    ReadyState completeReadyState() const;
    // Plans every folder (asking about existing ones), queues the writing and returns.
    // Throws what the factory or a builder throws; nothing is queued then.
    void createAssetCatalog();
    // The mean progress of the run's folder operations; not a number before any run.
    float progress() const override;
    void setProgressUpdateHandler(ProgressUpdateHandler handler);
    // The operations of the latest run, the final one last.
    std::vector<std::shared_ptr<platform::dispatch::Operation>> allOperations() const;
    // Blocks until every queued operation has finished (the command line and tests).
    void waitUntilAllOperationsAreFinished();
    // Stops the run (a quit during a conversion): folders not yet started write nothing,
    // a running one stops at its next picture (the picture being encoded is given up),
    // and every folder not written whole reports ConversionStoppedError and is left as
    // it was. What the run set aside is settled as after any failure, and the delegates
    // still hear of every folder and of the end.
    void cancelAllOperations();

    // --- picture intake ---
    // A picture file by its extension, a folder scanned for its pictures in name order
    // (leaving out `excludedFolders`), any other file refused with
    // GlyphwrightError(unsupportedFileType). A picture of the folder that cannot be read,
    // or a picture or linked folder in it that leads outside the writing boundary, is
    // passed over and reported to the skipped-picture handler.
    void addImagesFromFileOrFolder(const platform::foundation::URL& url,
                                   const std::vector<platform::foundation::URL>& excludedFolders = {});
    // Throws GlyphwrightError when nothing is at the URL, AddImageAlertError when a
    // single picture fails to load and no alert handler is set.
    // Several pictures added together (a folder's, or files given together) go in name
    // order, the byte order of their paths, as the command line takes a folder's: at
    // `index` they stand in that order, the first where the index points.
    void addImage(const platform::foundation::URL& url, std::optional<std::size_t> index = std::nullopt);
    void addImages(const std::vector<platform::foundation::URL>& urls, std::optional<std::size_t> index = std::nullopt);
    void insert(const ImageInputPtr& imageInput, std::optional<std::size_t> index = std::nullopt);
    // Pictures inserted one after the other from `index` on, so that they keep their order.
    void insert(const std::vector<ImageInputPtr>& imageInputs, std::optional<std::size_t> index = std::nullopt);
    void selectAll();
    // Gives every picture a name of its own, since each name becomes a folder or file of
    // the catalog: the first of the pictures that share a name keeps it, each later one
    // takes the next free number at its end ("photo", "photo1", …). The window does it on
    // every change of the pictures; the command line once, after its intake.
    void makeImageNamesUnique();

    // --- reading off the calling thread (the window's main thread) ---
    // addImages with the files read and decoded on a queue of the engine's own: the
    // pictures are added on the main queue once read, by the same steps, and what
    // addImages would throw reaches `failure` there. Requests are served in the order
    // made, after every earlier readInBackground.
    void addImagesInBackground(std::vector<platform::foundation::URL> urls,
                               std::optional<std::size_t> index = std::nullopt,
                               std::function<void(std::exception_ptr)> failure = {});
    // Runs `read` on that queue after what was asked before it, then what it returns
    // (when anything) on the main queue. `files`: what it reads of the user's, which an
    // end that cannot wait for it names; a reading of none is always waited for.
    void readInBackground(std::function<std::function<void()>()> read,
                          std::vector<platform::foundation::URL> files = {});
    // Blocks until everything asked of that queue so far has been read; what it hands to
    // the main queue runs there as usual.
    void waitForBackgroundReading();
    // Main thread: waits for that reading, then runs now, in order, what it hands to the
    // main queue and did not run yet (a quit saves pictures still being read). A reading of
    // files not done by `deadline` is given up (nothing of it reaches the engine, also
    // later): its files are answered, in order, for the caller to name.
    std::vector<platform::foundation::URL> finishBackgroundReading(
        std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max());
    // Whether a reading given up is still under way on its thread.
    bool readingGivenUpGoesOn() const;

    // --- saved state ---
    // {"imageInputCollectionType", "imageInputs", "selectionIndexes"}. Throws
    // StorageError(encodingFailed) when a picture cannot be written.
    platform::foundation::Value encodeJSON() const;
    // Throws StorageError(decodingFailed) for anything that is not a whole saved state.
    static std::shared_ptr<Glyphwright> decodeJSON(const platform::foundation::Value& value);
    // "saved_glyphwright" in the application's data folder.
    static std::filesystem::path savedStatePath();
    // What a restore could not bring back of a saved state.
    struct SavedStateDamage {
        struct LostPicture {
            std::size_t position = 0;  // in the saved list, from 0
            std::string name;          // empty when not even its name could be read
        };
        // The pictures that were there but could not be restored, in their order.
        std::vector<LostPicture> lostPictures;
        // The state breaks off inside its list of pictures (cut short, or damaged past
        // following): any pictures saved after the last one read are missing too.
        bool breaksOff = false;
        // The name of the last picture read before the break, restored or not; empty
        // when there is none or it had none.
        std::string lastPictureBeforeBreak;
        // Not one picture came back.
        bool unreadable = false;
        // What the reader found wrong, for the log.
        std::string reason;
        // Where the damaged file was kept; empty when it could not be moved aside, and
        // then `notKeptBecause` says why.
        std::filesystem::path keptAs;
        std::string notKeptBecause;
    };
    struct RestoredState {
        // None when there is nothing to restore (no saved state, or one that holds no
        // engine) or nothing of it could be read.
        std::shared_ptr<Glyphwright> engine;
        // Set when the saved state is not whole: what of it came back is in `engine`,
        // and the file was moved aside so that no later save replaces it.
        std::optional<SavedStateDamage> damage;
    };
    // What a window knows of the saved state on the disk, from its start to each of its
    // saves: which file it read or last wrote, the pictures that were in it, and a
    // damaged state it could not move aside. A save that finds another state than this
    // one (another process saved meanwhile) keeps the pictures of both.
    struct SavedStateRecord {
        // A file as it stood: the same file, unchanged, has the same stamp.
        struct FileStamp {
            dev_t device = 0;
            ino_t inode = 0;
            off_t size = 0;
            std::int64_t modifiedNanoseconds = 0;
            bool operator==(const FileStamp&) const = default;
        };
        // The state, and the one saved beside a damaged state, as read or last written;
        // none where there was none.
        std::optional<FileStamp> state;
        std::optional<FileStamp> besideDamaged;
        // The pictures (by id) of what was read or last written: one of them missing from
        // the window was removed there, and is not brought back from another's state.
        std::set<std::string> known;
        // The last save kept pictures of another process's state: the next keeps them too.
        bool keepsOthers = false;
        // A damaged state holds the state's place and could not be moved aside: saves go
        // beside it until it can.
        bool damagedInPlace = false;
        std::optional<FileStamp> damaged;
    };
    // The restore at a start: first removes the temporary files of saves that were cut
    // short (never one still being written), then brings back every picture that can be
    // read, whatever else is damaged, from the state and from one saved beside a damaged
    // state. Never throws; `record` (when given) is what the next save needs to know.
    static RestoredState restoreSavedState(const std::filesystem::path& path = savedStatePath(),
                                           SavedStateRecord* record = nullptr);
    // The name a state is saved under while a damaged state holds its place.
    static std::filesystem::path besideDamagedPath(const std::filesystem::path& path);
    // What a save did beyond saving the window's pictures.
    struct SaveReport {
        struct Unsaved {
            std::string name;
            std::string reason;
        };
        // Pictures none of whose sources could give their bytes: the file they were read
        // from changed or gone, their pixels no longer in memory. The others were saved.
        std::vector<Unsaved> unsaved;
        std::size_t savedPictures = 0;
        // Pictures of another process's state, kept beside the window's.
        std::size_t keptOfOthers = 0;
        // Where the state went: the state's path, or beside a damaged state that could
        // still not be moved aside (then `damagedNotMovedBecause` says why).
        std::filesystem::path savedAs;
        std::string damagedNotMovedBecause;
        // A damaged state moved aside by this save (it could not be at the start).
        std::filesystem::path damagedKeptAs;
        // The state this save replaced, still open, so that its storage is released only
        // when this is closed (for 2 GB that takes half a second, which a quit need not
        // wait for).
        platform::foundation::files::UniqueFd replaced;
    };
    // Written atomically, and streamed (the compact text of encodeJSON(), never held
    // whole): an earlier saved state stays whole when writing fails (Error). Every
    // picture that can give its bytes is saved: from what the picture holds, else from its
    // file while that holds the same bytes, else from its pixels as PNG; the others are
    // told in the report. With `record`, what another process saved since is kept, a
    // damaged state that could not be moved aside is tried again, and `record` follows.
    SaveReport save(const std::filesystem::path& path = savedStatePath(), SavedStateRecord* record = nullptr) const;
    static std::shared_ptr<Glyphwright> restore(const std::filesystem::path& path = savedStatePath());

private:
    Glyphwright();

    // The stored selection: its runs of indexes, or null without an array controller.
    // With `written`, of the list of the pictures so marked (those a save could write).
    platform::foundation::Value selectionIndexesJSON(const std::vector<bool>* written = nullptr) const;
    // decodeJSON, letting go of each picture's stored form once it is decoded.
    static std::shared_ptr<Glyphwright> decodeJSON(platform::foundation::Value&& value);
    // An engine of every picture of `stored` that decodes, each picture's form let go
    // once decoded; `damage` is set when anything is missing or wrong. None when nothing
    // came back of a damaged state.
    static std::shared_ptr<Glyphwright> fromStored(saved_state::StoredState&& stored,
                                                   std::optional<SavedStateDamage>& damage);

    void tellDelegates(const std::function<void(GlyphwrightDelegate&)>& call);
    ReadyState computeReadyState(bool vectorCorners) const;
    // The change hook every state setter shares: store under the lock, tell the delegates
    // what is stored now, then recompute the ready state.
    template <class T, class Notify>
    void assignAndAnnounce(T& field, T value, Notify notify) {
        T stored;
        {
            std::lock_guard lock(mutex_);
            field = std::move(value);
            stored = field;
        }
        tellDelegates([&](GlyphwrightDelegate& d) { notify(d, stored); });
        updateReadyState();
    }
    void installObservations();
    void removeObservations();
    void selectedObjectsDidChange();
    void arrangedObjectsDidChange();
    void observeArrangedInputs();
    // For the app-icon canvas, then the leaderboard canvas: default frames unless the
    // pictures' frames already fill it. Runs on the caller's thread, like every change
    // of the pictures.
    static void giveDefaultLayerFrames(const std::vector<ImageInputPtr>& imageInputs);
    void addSingleImage(const platform::foundation::URL& url, std::optional<std::size_t> index);
    // Advances `index` past whatever the step added, so that what comes next follows it.
    void addImagesFromURLSet(const std::vector<platform::foundation::URL>& urls, std::optional<std::size_t>& index);
    void addImageAdvancing(const platform::foundation::URL& url, std::optional<std::size_t>& index);
    void insertAdvancing(const ImageInputPtr& imageInput, std::optional<std::size_t>& index);
    // A picture read before (addImagesInBackground) or now, keeping its pixels when
    // asked and there is room for them.
    ImageInputPtr loadInput(const platform::foundation::URL& url, bool keepPixels) const;
    // What pictures are read beneath: the writing boundary's root, or everything.
    platform::foundation::files::RootHandlePtr readingRoot() const;
    struct PreloadedPicture {
        ImageInputPtr input;
        std::exception_ptr error;
    };
    // By the file's normal path.
    using Preloaded = std::map<std::string, PreloadedPicture>;
    // Reads every picture addImages(urls) would read.
    static std::shared_ptr<const Preloaded> preload(const std::vector<platform::foundation::URL>& urls);
    std::shared_ptr<RealWritingIntentFactory> realWritingIntentFactory();

    ArrayControllerPtr collectionViewArrayController_;
    std::optional<platform::appkit::ArrayController::Token> selectedObjectsObservation_;
    std::optional<platform::appkit::ArrayController::Token> arrangedObjectsObservation_;
    std::optional<platform::appkit::ArrayController::Token> arrangedInputsObservation_;
    // Per arranged picture: the observations of its point size and its name.
    std::map<ImageInput*, std::pair<ImageInputPtr, std::vector<PropertyObservable::Token>>> inputObservations_;
    bool renaming_ = false;
    std::shared_ptr<OutputTypeSelecting> outputTypeSelectionHandler_;
    std::weak_ptr<AssetCatalogAlreadyExistsPrompting> assetCatalogFolderAlreadyExistsWindow_;
    std::weak_ptr<AssetAlreadyExistsPrompting> assetFolderAlreadyExistsWindow_;
    ImageLoadAlertHandler imageLoadAlertHandler_;

    mutable std::mutex mutex_;  // guards what operation threads read
    std::optional<platform::foundation::URL> outputDirectory_;
    ConversionOutputType resizeType_ = ConversionOutputType::iOSIcon;
    CollectionType imageInputCollectionType_ = CollectionType::single;
    ReadyState readyState_ = ReadyState::ready();
    bool vectorCornerChecksDeferred_ = false;
    std::vector<std::shared_ptr<WeakGlyphwrightDelegateWrapper>> delegates_;
    std::shared_ptr<FileAlreadyExistsActionProvider> catalogExistsActionProvider_;
    std::shared_ptr<FileAlreadyExistsActionProvider> catalogContentsExistsActionProvider_;
    std::shared_ptr<RealWritingIntentFactory> realWritingIntentFactory_;
    std::shared_ptr<FakeWritingIntentFactory> fakeWritingIntentFactory_;
    WritingBoundaryPtr writingBoundary_;
    std::shared_ptr<platform::dispatch::OperationQueue> operationsQueue_;
    platform::dispatch::DispatchQueue readingQueue_{"com.norvane.glyphwright.reading",
                                                    platform::dispatch::DispatchQueue::Attributes::serial,
                                                    platform::dispatch::QualityOfService::userInitiated};
    // Main thread only: what addImagesInBackground read, while its pictures are added.
    std::shared_ptr<const Preloaded> preloaded_;
    // Main thread only: the readings asked for whose main-queue part may not have run yet.
    struct BackgroundRead;
    std::deque<std::shared_ptr<BackgroundRead>> backgroundReads_;
    std::vector<std::shared_ptr<platform::dispatch::Operation>> allOperations_;
    // The latest run's progress, as its folders report it.
    std::shared_ptr<const RunProgress> runProgress_;
    ProgressUpdateHandler progressUpdateHandler_;
};

}  // namespace gw
