#pragma once
// Shared pieces of the engine's writing tests: real pictures, a settings home of their
// own, PNG sizes read back from the files, and a run that writes folder definitions
// the way the engine queues them (one folder operation per top-level definition and a
// final operation after all of them).
#include "app/definitions/config_file.hpp"
#include "app/definitions/folder_definition.hpp"
#include "app/engine/folder_creation_operation.hpp"
#include "app/foundation/image_input.hpp"
#include "app/foundation/image_wrapper.hpp"
#include "app/foundation/user_defaults_key.hpp"
#include "platform/dispatch/operation_queue.hpp"
#include "platform/foundation/bundle.hpp"
#include "platform/foundation/user_defaults.hpp"
#include "platform/graphics/bitmap.hpp"
#include "platform/graphics/image.hpp"
#include "platform/graphics/pdf_context.hpp"
#include "platform/graphics/image_rep.hpp"
#include "support/permission_bound.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace gwtest::engine {

namespace pf = platform::foundation;
namespace pg = platform::graphics;

// One XDG home for the whole process: the manifest cache's place is fixed per process.
inline const std::filesystem::path& engineXdgRoot() {
    static TempDir root;
    return root.path();
}

// Settings, bundle and launch arguments of a clean installation, restored afterwards.
class EngineEnvironment : public ::testing::Test {
protected:
    EngineEnvironment()
        : config_("XDG_CONFIG_HOME", (engineXdgRoot() / "config").string()),
          data_("XDG_DATA_HOME", (engineXdgRoot() / "data").string()),
          cache_("XDG_CACHE_HOME", (engineXdgRoot() / "cache").string()) {
        pf::UserDefaults::resetStandard();
        gw::ConfigFile::setLaunchArguments(std::vector<std::string>{"app_engine_tests"});
        pf::Bundle::setMain(std::make_unique<pf::Bundle>(std::filesystem::path(GW_SOURCE_DIR) / "resources"));
        clearSettings();
    }
    ~EngineEnvironment() override {
        clearSettings();
        pf::UserDefaults::resetStandard();
    }
    static void clearSettings() {
        auto& defaults = pf::UserDefaults::standard();
        for (auto key : gw::allUserDefaultsKeys()) defaults.removeObject(gw::rawValue(key));
    }
    static pf::URL folderURL(const std::filesystem::path& path) { return pf::URL::fileURL(path, true); }
    static pf::URL fileURL(const std::filesystem::path& path) { return pf::URL::fileURL(path, false); }

    TempDir dir_;

private:
    ScopedEnv config_;
    ScopedEnv data_;
    ScopedEnv cache_;
};

// A bitmap picture of width x height pixels: an opaque gradient, inside a transparent
// frame `border` pixels wide when `border` > 0.
inline pg::ImagePtr bitmapImage(int width, int height, int border = 0) {
    std::vector<uint8_t> pixels(static_cast<size_t>(width) * height * 4);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const bool clear = x < border || y < border || x >= width - border || y >= height - border;
            // Premultiplied ARGB32 in native order.
            const uint32_t word = clear ? 0u : (0xFFu << 24) | (static_cast<uint32_t>(x * 255 / width) << 16) |
                                                    (static_cast<uint32_t>(y * 255 / height) << 8) | 0x80u;
            std::memcpy(pixels.data() + (static_cast<size_t>(y) * width + x) * 4, &word, 4);
        }
    }
    return pg::Image::withBitmap(pg::makeSharedBitmap(pg::Bitmap(width, height, width * 4, std::move(pixels), border > 0)));
}

inline gw::ImageInputPtr picture(int width, int height, const std::string& name = "Icon", int border = 0) {
    auto input = gw::ImageInput::make();
    input->setImageWrapper(gw::ImageWrapper::make(bitmapImage(width, height, border)));
    input->setImageName(name);
    return input;
}

// A vector picture: a one-page PDF of width x height points.
inline gw::ImageInputPtr vectorPicture(double width, double height, const std::string& name = "Vector") {
    auto context = pg::PdfContext::toMemory(pg::Rect{0, 0, width, height});
    context->beginPage();
    context->graphicsContext()->setFillColor(pg::Color::rgb(0.2, 0.4, 0.8));
    context->graphicsContext()->fillRect({0, 0, width / 2, height});
    context->close();
    auto input = gw::ImageInput::make();
    input->setImageWrapper(gw::ImageWrapper::make(pg::Image::withRepresentation(pg::PdfRep::fromData(context->data()))));
    input->setImageName(name);
    return input;
}

inline std::string readText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Width and height from a PNG file's header; none when the file is no PNG.
inline std::optional<std::pair<int, int>> pngSize(const std::filesystem::path& path) {
    const auto bytes = readText(path);
    static const std::string signature("\x89PNG\r\n\x1a\n", 8);
    if (bytes.size() < 24 || bytes.compare(0, 8, signature) != 0 || bytes.compare(12, 4, "IHDR") != 0)
        return std::nullopt;
    auto be32 = [&](size_t at) {
        return (static_cast<uint32_t>(static_cast<unsigned char>(bytes[at])) << 24) |
               (static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 16) |
               (static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + 2])) << 8) |
               static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + 3]));
    };
    return std::pair<int, int>(static_cast<int>(be32(16)), static_cast<int>(be32(20)));
}

// Every regular file below `root`, relative, sorted.
inline std::vector<std::string> filesBelow(const std::filesystem::path& root) {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        if (entry.is_regular_file()) files.push_back(entry.path().lexically_relative(root).generic_string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

// What one run reported.
struct RunReport {
    std::vector<gw::FolderCreationOperation::FolderCreationOperationResult> results;
    std::vector<float> progressSamples;
    float finalProgress = 0;
    float progressBeforeStart = -1;
    bool finalOperationRan = false;
    bool resultsBeforeFinalOperation = false;
};

// Writes the definitions as the engine does and waits until the final operation has
// run. The run's progress is the mean of the top-level operations' progress.
inline RunReport writeDefinitions(const std::vector<gw::FolderDefinition>& definitions,
                                  int maxConcurrentOperationCount =
                                      platform::dispatch::OperationQueue::defaultMaxConcurrentOperationCount) {
    RunReport report;
    std::mutex mutex;
    std::vector<std::shared_ptr<gw::FolderCreationOperation>> operations;
    auto runProgress = [&operations] {
        float sum = 0;
        for (const auto& operation : operations) sum += operation->progress();
        return operations.empty() ? 1.0f : sum / static_cast<float>(operations.size());
    };
    for (const auto& definition : definitions) {
        operations.push_back(std::make_shared<gw::FolderCreationOperation>(
            definition,
            [&](float) {
                const float value = runProgress();
                std::lock_guard lock(mutex);
                report.progressSamples.push_back(value);
            },
            [&](const gw::FolderCreationOperation::FolderCreationOperationResult& result) {
                std::lock_guard lock(mutex);
                report.results.push_back(result);
            },
            maxConcurrentOperationCount));
    }
    report.progressBeforeStart = runProgress();
    platform::dispatch::OperationQueue queue;
    auto finalOperation = std::make_shared<platform::dispatch::BlockOperation>([&] {
        std::lock_guard lock(mutex);
        report.finalOperationRan = true;
        report.resultsBeforeFinalOperation = report.results.size() == definitions.size();
    });
    for (const auto& operation : operations) finalOperation->addDependency(operation);
    for (const auto& operation : operations) queue.addOperation(operation);
    queue.addOperation(finalOperation);
    finalOperation->waitUntilFinished();
    queue.waitUntilAllOperationsAreFinished();
    report.finalProgress = runProgress();
    return report;
}

using gwtest::permissionsBind;

}  // namespace gwtest::engine
