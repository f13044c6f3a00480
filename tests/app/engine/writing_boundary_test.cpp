// Writing beneath the granted root while a link is swapped in: the moment is not left to
// chance but set by a hook that runs as each writing step begins, after every check the
// run has made. The step still finds its folder beneath the root, so nothing is written,
// made or moved outside, and the folder reports the refusal. The same with the kernel's
// resolution and with the walk of one part at a time.
#include "app/engine/folder_creation_operation.hpp"
#include "app/engine/writing_boundary.hpp"
#include "engine_writing_support.hpp"
#include "platform/dispatch/operation_queue.hpp"
#include "platform/foundation/root_handle.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdio.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>

namespace {

namespace fs = std::filesystem;
namespace pd = platform::dispatch;
namespace pf = platform::foundation;
using gw::FolderCreationOperation;
using Result = FolderCreationOperation::FolderCreationOperationResult;

class WritingBoundaryRace : public gwtest::engine::EngineEnvironment, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override { pf::files::RootHandle::setKernelResolutionForTesting(GetParam()); }
    void TearDown() override {
        gw::WritingBoundary::setStepHookForTesting(nullptr);
        pf::files::RootHandle::setKernelResolutionForTesting(true);
    }

    // The catalog written as the engine writes it: its sets staged beside their names.
    Result write(const gw::FolderDefinition& plan, const gw::WritingBoundaryPtr& boundary) {
        std::optional<Result> result;
        std::mutex mutex;
        auto operation = std::make_shared<FolderCreationOperation>(plan, nullptr, [&](const Result& done) {
            std::lock_guard lock(mutex);
            result = done;
        });
        operation->setStagesSubfolders(true);
        operation->setWritingBoundary(boundary);
        pd::OperationQueue queue;
        queue.addOperation(operation);
        operation->waitUntilFinished();
        std::lock_guard lock(mutex);
        return result.value_or(Result::failure(nullptr));
    }
};

TEST_P(WritingBoundaryRace, ALinkSwappedInAsAStepBeginsLeadsNothingOutside) {
    struct Case {
        std::string name;
        // Whether the step about to act on this path is the moment.
        std::function<bool(const fs::path&)> moment;
        // The folder that trades places with a link out, given the step's path.
        std::function<fs::path(const fs::path&)> swapped;
    };
    const auto named = [](const std::string& name) {
        return [name](const fs::path& path) { return path.filename() == name; };
    };
    const auto folderOf = [](const fs::path& path) { return path.parent_path(); };
    const std::vector<Case> cases{
        {"the catalog, as its list is written", named("Contents.json"), folderOf},
        {"the catalog, as a set's folder is made",
         [](const fs::path& path) { return path.filename().string().rfind(".Pic.imageset.writing-", 0) == 0; },
         folderOf},
        {"a set, as its picture is written", named("pic.png"), folderOf},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dir_ / "root");
        fs::remove_all(dir_ / "outside");
        fs::create_directories(dir_ / "outside");
        // Anything made there and removed again still leaves the folder changed.
        const auto untouched = fs::file_time_type::clock::now() - std::chrono::hours(24);
        fs::last_write_time(dir_ / "outside", untouched);
        const fs::path catalog = dir_ / "root/o/Assets.xcassets";
        gwtest::writeFile(catalog / "Contents.json", "{}");
        auto boundary = std::make_shared<const gw::WritingBoundary>(dir_ / "root");

        gw::FolderDefinition set;
        set.outputDirectory = folderURL(catalog / "Pic.imageset");
        gw::ImageDefinition image;
        image.imageInput = gwtest::engine::picture(8, 8, "Pic");
        image.outputDirectory = fileURL(catalog / "Pic.imageset/pic.png");
        image.size = {8, 8};
        set.imageDefinitions = {image};
        gw::FolderDefinition plan;
        plan.outputDirectory = folderURL(catalog);
        plan.subfolderDefinitions = {set};
        boundary->checkPlan(plan);

        std::once_flag once;
        int swaps = 0;
        gw::WritingBoundary::setStepHookForTesting([&](const fs::path& path) {
            if (!c.moment(path)) return;
            std::call_once(once, [&] {
                const fs::path folder = c.swapped(path);
                const fs::path link = folder.parent_path() / ".link-out";
                fs::create_directory_symlink(dir_ / "outside", link);
                if (::renameat2(AT_FDCWD, folder.c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE) == 0) ++swaps;
            });
        });
        const auto result = write(plan, boundary);
        gw::WritingBoundary::setStepHookForTesting(nullptr);

        EXPECT_EQ(swaps, 1);
        EXPECT_FALSE(result.isSuccess());
        EXPECT_TRUE(fs::is_empty(dir_ / "outside")) << gwtest::engine::filesBelow(dir_ / "outside").size();
        EXPECT_EQ(fs::last_write_time(dir_ / "outside"), untouched) << "something was made or removed outside";
        if (!result.isSuccess() && result.error()) {
            try {
                std::rethrow_exception(result.error());
            } catch (const gw::OutsideWritingBoundaryError&) {
            } catch (const std::exception& other) {
                ADD_FAILURE() << "refused for another reason: " << other.what();
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Resolution, WritingBoundaryRace, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Kernel" : "Walk"; });

}  // namespace
