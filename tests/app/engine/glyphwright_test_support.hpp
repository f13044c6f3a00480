#pragma once
// Shared pieces of the engine tests: picture files on disk and a delegate that records
// every notification in the order it arrives.
#include "app/engine/glyphwright.hpp"
#include "app/foundation/image_operations.hpp"
#include "engine_writing_support.hpp"
#include "platform/graphics/image_rep.hpp"

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

namespace gwtest::engine {

// Writes a PNG of width x height pixels, opaque but for a clear border `border` wide.
inline std::filesystem::path writePng(const std::filesystem::path& path, int width, int height, int border = 0) {
    const auto data = gw::pngData(*bitmapImage(width, height, border));
    EXPECT_TRUE(data.has_value());
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data->data()), static_cast<std::streamsize>(data->size()));
    return path;
}

// Whether the pixels of a picture are in memory now.
inline bool holdsPixels(const gw::ImageInputPtr& input) {
    const auto image = input->imageWrapper()->image();
    const auto rep = std::dynamic_pointer_cast<pg::BitmapRep>(image->representations().at(0));
    return rep && rep->hasPixels();
}

class RecordingDelegate : public gw::GlyphwrightDelegate {
public:
    void glyphwrightShowEditingPanel(gw::Glyphwright&, const gw::ImageInputPtr& input) override {
        record("showEditingPanel " + input->imageName());
    }
    void glyphwrightImageInputsDidChange(gw::Glyphwright&, const std::vector<gw::ImageInputPtr>& inputs) override {
        record("imageInputs " + std::to_string(inputs.size()));
    }
    void glyphwrightSelectionDidChange(gw::Glyphwright&, const std::vector<gw::ImageInputPtr>& inputs) override {
        record("selection " + std::to_string(inputs.size()));
    }
    void glyphwrightCollectionTypeDidChange(gw::Glyphwright&, gw::CollectionType type) override {
        record("collectionType " + std::string(gw::collectionTypeText(type)));
    }
    void glyphwrightOutputTypeDidChange(gw::Glyphwright&, std::optional<gw::ConversionOutputType> type) override {
        record("outputType " + std::string(gw::ConversionOutputTypes::commandLineName(*type)));
    }
    void glyphwrightOutputDirectoryDidChange(gw::Glyphwright&, const std::optional<pf::URL>& url) override {
        record(url ? "outputDirectory " + url->lastPathComponent() : "outputDirectory none");
    }
    void glyphwrightReadyStateDidChange(gw::Glyphwright&, const gw::ReadyState& state) override {
        static const char* names[] = {"warnings", "error", "ready"};
        record(std::string("readyState ") + names[static_cast<int>(state.stateCase())]);
    }
    void glyphwrightDidStartCreating(gw::Glyphwright&) override { record("didStartCreating"); }
    void glyphwrightDidFinishFolder(gw::Glyphwright&, const gw::GlyphwrightResult& result) override {
        std::lock_guard lock(mutex_);
        results_.push_back(result);
        events_.push_back("didFinishFolder");
        changed_.notify_all();
    }
    void glyphwrightDidFinishAllOperations(gw::Glyphwright&) override { record("didFinishAllOperations"); }

    std::vector<std::string> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    std::vector<std::string> take() {
        std::lock_guard lock(mutex_);
        return std::exchange(events_, {});
    }
    std::vector<gw::GlyphwrightResult> results() const {
        std::lock_guard lock(mutex_);
        return results_;
    }
    std::size_t count(const std::string& event) const {
        std::lock_guard lock(mutex_);
        return static_cast<std::size_t>(std::count(events_.begin(), events_.end(), event));
    }
    // Waits (bounded) until `folders` results and the all-complete notice have arrived.
    bool waitForRun(std::size_t folders) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(60), [&] {
            return results_.size() >= folders &&
                   std::count(events_.begin(), events_.end(), "didFinishAllOperations") >= 1;
        });
    }

private:
    void record(std::string event) {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
        changed_.notify_all();
    }
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> events_;
    std::vector<gw::GlyphwrightResult> results_;
};

// An engine as the main window has it: observing an array controller of its own, with
// one recording delegate.
struct ObservedEngine {
    std::shared_ptr<gw::Glyphwright> engine = gw::Glyphwright::make();
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
    ObservedEngine() {
        engine->setCollectionViewArrayController(std::make_shared<platform::appkit::ArrayController>());
        engine->addDelegate(delegate);
    }
};

template <class E>
bool holdsError(const gw::ReadyState& state) {
    if (state.stateCase() != gw::ReadyState::Case::error) return false;
    try {
        std::rethrow_exception(state.errorValue());
    } catch (const E&) {
        return true;
    } catch (...) {
        return false;
    }
}

inline std::string describe(const gw::ReadyState& state) {
    if (!state.errorValue()) return "no error";
    try {
        std::rethrow_exception(state.errorValue());
    } catch (const std::exception& error) {
        return error.what();
    } catch (...) {
        return "unknown error";
    }
}

inline gw::FolderDefinitionBuilderFactory::Error::Case factoryErrorCase(const gw::ReadyState& state) {
    try {
        std::rethrow_exception(state.errorValue());
    } catch (const gw::FolderDefinitionBuilderFactory::Error& error) {
        return error.errorCase();
    }
}

}  // namespace gwtest::engine
