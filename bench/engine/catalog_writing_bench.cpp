// Time to write an iOS icon catalog from one 1024 x 1024 picture: the builder plans it,
// then the folder operations write every folder, Contents.json and picture, each
// folder's children at most N at a time (N = 1, 2, every core).
#include <benchmark/benchmark.h>

#include "app/definitions/config_file.hpp"
#include "app/definitions/folder_definition_builder_ios_icon.hpp"
#include "app/engine/folder_creation_operation.hpp"
#include "app/engine/writing_intents.hpp"
#include "app/foundation/image_input.hpp"
#include "app/foundation/image_wrapper.hpp"
#include "bench/graphics/noisy_picture.hpp"
#include "platform/dispatch/operation_queue.hpp"
#include "platform/foundation/bundle.hpp"
#include "platform/graphics/bitmap.hpp"
#include "platform/graphics/image.hpp"
#include "platform/log/system_log.hpp"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <thread>

namespace {

namespace fs = std::filesystem;
namespace pf = platform::foundation;
namespace pg = platform::graphics;

struct Scratch {
    fs::path root;
    Scratch() {
        std::string pattern = (fs::temp_directory_path() / "gw-engine-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        root = pattern;
        for (auto [name, folder] : {std::pair{"XDG_CONFIG_HOME", "config"}, std::pair{"XDG_DATA_HOME", "data"},
                                    std::pair{"XDG_CACHE_HOME", "cache"}}) {
            fs::create_directories(root / folder);
            setenv(name, (root / folder).c_str(), 1);
        }
        pf::Bundle::setMain(std::make_unique<pf::Bundle>(fs::path(GW_SOURCE_DIR) / "resources"));
        gw::ConfigFile::setLaunchArguments(std::vector<std::string>{"engine_bench"});
        platform::log::setLoggingEnabled(false);
    }
    ~Scratch() {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
};

Scratch& scratch() {
    static Scratch s;
    return s;
}

gw::ImageInputPtr iconPicture() {
    static const gw::ImageInputPtr input = [] {
        auto noisy = gwbench::noisyPicture(1024);
        auto bitmap = pg::makeSharedBitmap(pg::Bitmap(noisy.width, noisy.height, noisy.stride, std::move(noisy.argb), false));
        auto picture = gw::ImageInput::make();
        picture->setImageWrapper(gw::ImageWrapper::make(pg::Image::withBitmap(bitmap)));
        picture->setImageName("Icon");
        return picture;
    }();
    return input;
}

void BM_WriteIOSIconCatalog(benchmark::State& state) {
    const int cores = static_cast<int>(state.range(0));
    const auto out = scratch().root / "out";
    auto factory = std::make_shared<gw::FakeWritingIntentFactory>();
    std::size_t failures = 0;
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove_all(out);
        state.ResumeTiming();

        gw::FolderDefinitionBuilderiOSIcon builder({{iconPicture()}, gw::CollectionType::single},
                                                   pf::URL::fileURL(out, true), factory);
        auto operation = std::make_shared<gw::FolderCreationOperation>(
            builder.build(), nullptr,
            [&](const gw::FolderCreationOperation::FolderCreationOperationResult& result) {
                if (!result.isSuccess()) ++failures;
            },
            cores);
        platform::dispatch::OperationQueue queue;
        queue.addOperation(operation);
        operation->waitUntilFinished();
    }
    if (failures) state.SkipWithError("the catalog could not be written");
}

void coreCounts(benchmark::internal::Benchmark* benchmark) {
    const int all = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    benchmark->Arg(1);
    if (all >= 2) benchmark->Arg(2);
    if (all > 2) benchmark->Arg(all);
    benchmark->ArgName("cores");
}

BENCHMARK(BM_WriteIOSIconCatalog)->Apply(coreCounts)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
