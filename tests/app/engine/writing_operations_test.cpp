// The operations that write a catalog: the asynchronous base, one picture, one folder
// with everything below it, against real folders and real pixels.
#include "app/engine/async_operation.hpp"
#include "app/engine/folder_creation_operation.hpp"
#include "app/engine/image_creation_operation.hpp"
#include "app/engine/writing_boundary.hpp"
#include "app/foundation/image_definition.hpp"
#include "app/foundation/pdf_output.hpp"
#include "engine_writing_support.hpp"
#include "platform/dispatch/operation_queue.hpp"
#include "platform/foundation/error.hpp"
#include "platform/graphics/graphics_context.hpp"
#include "platform/log/system_log.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>

namespace {

namespace fs = std::filesystem;
namespace pd = platform::dispatch;
namespace pf = platform::foundation;
namespace plog = platform::log;
namespace pg = platform::graphics;
using gw::FolderCreationOperation;
using gw::ImageCreationOperation;
using gwtest::engine::picture;
using gwtest::engine::pngSize;
using Result = FolderCreationOperation::FolderCreationOperationResult;

// The messages written while it exists.
class LogCapture {
public:
    LogCapture()
        : sink_([this](const plog::LogRecord& record) {
              std::lock_guard lock(mutex_);
              lines_.push_back(record.message);
          }) {}
    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    std::size_t indexOf(const std::string& line) const {
        auto all = lines();
        return static_cast<std::size_t>(std::find(all.begin(), all.end(), line) - all.begin());
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    plog::ScopedLogSink sink_;
};

class PlainAsyncOperation : public gw::AsyncOperation {};

TEST(AsyncOperation, RunsItsBlocksAndTellsTheQueueOfEachState) {
    LogCapture log;
    auto operation = std::make_shared<PlainAsyncOperation>();
    EXPECT_FALSE(operation->isExecuting());
    EXPECT_FALSE(operation->isFinished());
    EXPECT_TRUE(operation->isAsynchronous());

    std::vector<std::string> calls;
    operation->addDidStartBlock([&](gw::AsyncOperation& op) { calls.push_back(op.isExecuting() ? "start1" : "?"); });
    operation->addDidStartBlock([&](gw::AsyncOperation&) { calls.push_back("start2"); });
    operation->addDidFinishBlock([&](gw::AsyncOperation& op) { calls.push_back(op.isFinished() ? "finish" : "?"); });

    // A queue runs the dependent only after finish(), not when start() returns.
    pd::OperationQueue queue;
    std::atomic<bool> dependentRan{false};
    auto dependent = std::make_shared<pd::BlockOperation>([&] { dependentRan = true; });
    dependent->addDependency(operation);
    queue.addOperation(dependent);
    queue.addOperation(operation);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(dependentRan);

    operation->markExecuting();
    EXPECT_TRUE(operation->isExecuting());
    EXPECT_FALSE(operation->isFinished());
    operation->finish();
    EXPECT_FALSE(operation->isExecuting());
    EXPECT_TRUE(operation->isFinished());
    dependent->waitUntilFinished();
    EXPECT_TRUE(dependentRan);
    EXPECT_EQ(calls, (std::vector<std::string>{"start1", "start2", "finish"}));
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"Operation Started nil", "Operation Finished nil"}));
}

TEST(AsyncOperation, NamesAreDescribedAndNothingIsLoggedWhileLoggingIsOff) {
    EXPECT_EQ(gw::AsyncOperation::describedName(std::string("icon.png")), "Optional(\"icon.png\")");
    LogCapture log;
    plog::setLoggingEnabled(false);
    auto operation = std::make_shared<PlainAsyncOperation>();
    operation->markExecuting();
    operation->finish();
    plog::setLoggingEnabled(true);
    EXPECT_TRUE(log.lines().empty());
}

class WritingOperations : public gwtest::engine::EngineEnvironment {
protected:
    gw::ImageDefinition png(const std::string& relative, double width, double height,
                            gw::ImageInputPtr input = nullptr) {
        gw::ImageDefinition definition;
        definition.imageInput = input ? input : source_;
        definition.outputDirectory = fileURL(dir_ / relative);
        definition.size = {width, height};
        return definition;
    }
    gw::FolderDefinition folder(const std::string& relative, std::vector<gw::ImageDefinition> images = {},
                                std::vector<gw::FolderDefinition> subfolders = {}) {
        gw::FolderDefinition definition;
        definition.outputDirectory = folderURL(dir_ / relative);
        definition.contentsDictionary = *pf::Value::dict({{"info", pf::Value::dict({{"version", 1}})}}).asDictionary();
        definition.imageDefinitions = std::move(images);
        definition.subfolderDefinitions = std::move(subfolders);
        return definition;
    }
    // Runs one folder operation on a queue; returns its one result.
    Result run(const gw::FolderDefinition& definition, std::shared_ptr<FolderCreationOperation>* kept = nullptr,
               gw::WritingBoundaryPtr boundary = nullptr) {
        std::vector<Result> results;
        std::mutex mutex;
        auto operation = std::make_shared<FolderCreationOperation>(definition, nullptr, [&](const Result& result) {
            std::lock_guard lock(mutex);
            results.push_back(result);
        });
        operation->setWritingBoundary(std::move(boundary));
        EXPECT_EQ(operation->progress(), 0.0f);
        pd::OperationQueue queue;
        queue.addOperation(operation);
        operation->waitUntilFinished();
        EXPECT_TRUE(operation->isFinished());
        EXPECT_EQ(operation->progress(), 1.0f);
        if (kept) *kept = operation;
        EXPECT_EQ(results.size(), 1u);
        return results.empty() ? Result::failure(nullptr) : results.front();
    }

    gw::ImageInputPtr source_ = picture(64, 48, "Source");
};

template <class E>
bool holds(const std::exception_ptr& error) {
    if (!error) return false;  // a success has none, and rethrowing none crashes the binary
    try {
        std::rethrow_exception(error);
    } catch (const E&) {
        return true;
    } catch (...) {
        return false;
    }
}

TEST_F(WritingOperations, AFolderThatHasStartedButMadeNoChildrenIsNotYetDone) {
    // The engine polls top-level folders while they start: one that has not made its
    // children yet must not read as complete, or the run's progress falls back later.
    gw::FolderDefinition definition;
    definition.outputDirectory = pf::URL::fileURL(dir_ / "out" / "Assets.xcassets", true);
    FolderCreationOperation operation(definition, nullptr, nullptr);
    EXPECT_EQ(operation.progress(), 0.0f);
    operation.markExecuting();
    EXPECT_EQ(operation.progress(), 0.0f);
    operation.finish();
    EXPECT_EQ(operation.progress(), 1.0f);
}

TEST_F(WritingOperations, APngIsRenderedAtItsSizeAndReportsProgressOnce) {
    fs::create_directories(dir_ / "out");
    std::vector<float> reported;
    ImageCreationOperation operation(png("out/icon.png", 40, 30), [&](float value) { reported.push_back(value); });
    EXPECT_EQ(operation.progress(), 0.0f);
    operation.start();
    EXPECT_TRUE(operation.isFinished());
    EXPECT_FALSE(operation.error());
    EXPECT_EQ(operation.progress(), 1.0f);
    EXPECT_EQ(reported, std::vector<float>{1.0f});
    EXPECT_EQ(pngSize(dir_ / "out/icon.png"), (std::pair{40, 30}));
    EXPECT_EQ(gwtest::engine::filesBelow(dir_ / "out"), std::vector<std::string>{"icon.png"});
}

TEST_F(WritingOperations, PicturesOfTheSameSizeAndSettingsAreDrawnOnceAndShared) {
    fs::create_directories(dir_ / "out");
    // A source that counts how often it is drawn.
    std::atomic<int> draws{0};
    auto counted = gw::ImageInput::make();
    counted->setImageWrapper(gw::ImageWrapper::make(pg::Image::withSize({64, 64}, false, [&draws](pg::Rect r) {
        ++draws;
        auto* context = pg::GraphicsContext::current();
        context->setFillColor(pg::Color::rgb(0.9, 0.3, 0.1));
        context->fillRect(pg::Rect{r.origin.x, r.origin.y, r.width() / 2, r.height()});
        return true;
    })));
    auto share = std::make_shared<gw::RenderShare>();
    std::vector<gw::ImageDefinition> definitions = {png("out/a40.png", 40, 40, counted),
                                                    png("out/b40.png", 40, 40, counted),
                                                    png("out/c40.png", 40, 40, counted),
                                                    png("out/d58.png", 58, 58, counted),
                                                    png("out/e40-opaque.png", 40, 40, counted)};
    definitions[4].isAlphaChannelRemoved = true;
    pd::OperationQueue queue;
    std::vector<std::shared_ptr<pd::Operation>> operations;
    for (const auto& definition : definitions) {
        auto operation = std::make_shared<ImageCreationOperation>(definition, nullptr);
        operation->setRenderShare(share);
        operations.push_back(operation);
    }
    queue.addOperations(operations, true);
    for (const auto& operation : operations) {
        EXPECT_FALSE(static_cast<ImageCreationOperation&>(*operation).error());
    }
    // 40, 58 and 40 without alpha: three drawings for five files.
    EXPECT_EQ(draws.load(), 3);
    const auto a = gwtest::engine::readText(dir_ / "out/a40.png");
    EXPECT_EQ(gwtest::engine::readText(dir_ / "out/b40.png"), a);
    EXPECT_EQ(gwtest::engine::readText(dir_ / "out/c40.png"), a);
    EXPECT_NE(gwtest::engine::readText(dir_ / "out/e40-opaque.png"), a);
    EXPECT_EQ(pngSize(dir_ / "out/d58.png"), (std::pair{58, 58}));

    // Without a share each picture is drawn for itself, to the same bytes.
    ImageCreationOperation alone(png("out/alone40.png", 40, 40, counted), nullptr);
    alone.start();
    EXPECT_EQ(draws.load(), 4);
    EXPECT_EQ(gwtest::engine::readText(dir_ / "out/alone40.png"), a);
}

TEST_F(WritingOperations, APdfGoesThroughTheOnePageWriterOnly) {
    fs::create_directories(dir_ / "out");
    auto definition = png("out/logo.pdf", 100, 50, gwtest::engine::vectorPicture(20, 10));
    definition.format = gw::ImageDefinition::Format::pdf;
    definition.isAlphaChannelRemoved = true;
    definition.roundCorners = true;
    definition.scaleType = gw::ScaleType::aspectFit;
    ImageCreationOperation operation(definition, nullptr);
    operation.start();
    EXPECT_FALSE(operation.error());
    EXPECT_EQ(gwtest::engine::readText(dir_ / "out/logo.pdf").substr(0, 5), "%PDF-");
    // A bitmap picture has no page to re-save.
    auto bitmapAsPdf = png("out/bitmap.pdf", 10, 10);
    bitmapAsPdf.format = gw::ImageDefinition::Format::pdf;
    ImageCreationOperation failing(bitmapAsPdf, nullptr);
    failing.start();
    EXPECT_TRUE(holds<gw::PDFImageSaveError>(failing.error()));
    EXPECT_FALSE(fs::exists(dir_ / "out/bitmap.pdf"));
}

TEST_F(WritingOperations, AFailedPictureIsRecordedLoggedAndLeavesTheOldFileWhole) {
    fs::create_directories(dir_ / "out");
    gwtest::writeFile(dir_ / "out/icon.png", "previous");
    LogCapture log;
    auto zero = png("out/icon.png", 40, 30);
    zero.zoom = 0;
    std::vector<float> reported;
    ImageCreationOperation operation(zero, [&](float value) { reported.push_back(value); });
    operation.start();
    ASSERT_TRUE(operation.error());
    EXPECT_TRUE(holds<gw::ImageConversionError>(operation.error()));
    EXPECT_EQ(operation.progress(), 1.0f);
    EXPECT_EQ(reported, std::vector<float>{1.0f});
    EXPECT_TRUE(operation.isFinished());
    EXPECT_EQ(gwtest::engine::readText(dir_ / "out/icon.png"), "previous");
    EXPECT_LT(log.indexOf("Image creation failed, with error: " + gw::errorDescription(operation.error())),
              log.lines().size());

    // A missing folder fails at the write with the file system's error.
    ImageCreationOperation nowhere(png("missing/icon.png", 4, 4), nullptr);
    nowhere.start();
    EXPECT_TRUE(holds<pf::Error>(nowhere.error()));
    EXPECT_TRUE(nowhere.isFinished());
}

TEST_F(WritingOperations, AnEmptyFolderGetsItsContentsFileAndSucceeds) {
    fs::create_directories(dir_ / "kept.imageset");
    gwtest::writeFile(dir_ / "kept.imageset/old.png", "old");
    gwtest::writeFile(dir_ / "kept.imageset/Contents.json", "old");
    const auto result = run(folder("kept.imageset"));
    ASSERT_TRUE(result.isSuccess());
    EXPECT_EQ(result.folderDefinition().outputDirectory, folderURL(dir_ / "kept.imageset"));
    EXPECT_EQ(gwtest::engine::readText(dir_ / "kept.imageset/Contents.json"),
              "{\n  \"info\" : {\n    \"version\" : 1\n  }\n}\n");
    // What already stood in the folder stays.
    EXPECT_EQ(gwtest::engine::readText(dir_ / "kept.imageset/old.png"), "old");
}

TEST_F(WritingOperations, PicturesWaitForTheWholeSubtreeOfTheirFolder) {
    // When a picture of the top folder starts, every picture below has been written.
    std::mutex mutex;
    std::vector<std::string> startedEarly;
    int topStarts = 0;
    plog::ScopedLogSink sink([&](const plog::LogRecord& record) {
        if (record.message.rfind("Operation Started Optional(\"top", 0) != 0) return;
        std::lock_guard lock(mutex);
        ++topStarts;
        if (!fs::exists(dir_ / "Top/Sub/sub.png") || !fs::exists(dir_ / "Top/Sub/Deep/d.png"))
            startedEarly.push_back(record.message);
    });
    const auto definition =
        folder("Top", {png("Top/top1.png", 8, 8), png("Top/top2.png", 8, 8)},
               {folder("Top/Sub", {png("Top/Sub/sub.png", 16, 16)},
                       {folder("Top/Sub/Deep", {png("Top/Sub/Deep/d.png", 4, 4)})})});
    ASSERT_TRUE(run(definition).isSuccess());
    EXPECT_EQ(topStarts, 2);
    EXPECT_TRUE(startedEarly.empty());
    EXPECT_EQ(pngSize(dir_ / "Top/Sub/Deep/d.png"), (std::pair{4, 4}));
    EXPECT_EQ(pngSize(dir_ / "Top/top2.png"), (std::pair{8, 8}));
}

TEST_F(WritingOperations, OneFailedPictureFailsItsFolderAndEveryFolderAbove) {
    auto broken = png("Top/Sub/broken.png", 8, 8);
    broken.zoom = -1;
    const auto definition = folder("Top", {png("Top/a.png", 8, 8), png("Top/b.png", 8, 8)},
                                   {folder("Top/Sub", {png("Top/Sub/ok.png", 8, 8), broken})});
    std::vector<Result> subResults;
    std::shared_ptr<FolderCreationOperation> top;
    const auto result = run(definition, &top);
    ASSERT_FALSE(result.isSuccess());
    EXPECT_TRUE(holds<gw::ImageConversionError>(result.error()));
    EXPECT_EQ(top->errors().size(), 1u);
    // The siblings were written all the same.
    for (auto file : {"Top/a.png", "Top/b.png", "Top/Sub/ok.png"}) EXPECT_TRUE(pngSize(dir_ / file)) << file;
    EXPECT_FALSE(fs::exists(dir_ / "Top/Sub/broken.png"));
}

TEST_F(WritingOperations, ProgressIsTheMeanOfTheChildren) {
    // Two pictures, one already done: half.
    std::shared_ptr<FolderCreationOperation> operation;
    ASSERT_TRUE(run(folder("P", {png("P/a.png", 4, 4), png("P/b.png", 4, 4)}), &operation).isSuccess());
    auto children = operation->allOperations();
    ASSERT_EQ(children.size(), 2u);
    EXPECT_EQ(dynamic_cast<gw::Progressable&>(*children[0]).progress(), 1.0f);

    std::vector<float> forwarded;
    std::mutex mutex;
    auto slow = std::make_shared<FolderCreationOperation>(
        folder("Q", {png("Q/a.png", 4, 4), png("Q/b.png", 4, 4)}),
        [&](float value) {
            std::lock_guard lock(mutex);
            forwarded.push_back(value);
        },
        nullptr, 1);
    pd::OperationQueue queue;
    queue.addOperation(slow);
    slow->waitUntilFinished();
    std::sort(forwarded.begin(), forwarded.end());
    EXPECT_EQ(forwarded, (std::vector<float>{0.5f, 1.0f}));
}

TEST_F(WritingOperations, AFileInTheWayOfTheFolderFailsAtOnceAndStillFinishes) {
    gwtest::writeFile(dir_ / "Blocked.imageset", "a file");
    std::shared_ptr<FolderCreationOperation> operation;
    const auto result = run(folder("Blocked.imageset", {png("Blocked.imageset/a.png", 4, 4)}), &operation);
    ASSERT_FALSE(result.isSuccess());
    EXPECT_TRUE(holds<pf::Error>(result.error()));
    EXPECT_TRUE(operation->allOperations().empty());
    EXPECT_EQ(gwtest::engine::readText(dir_ / "Blocked.imageset"), "a file");
    // As a subfolder, its parent reports the same failure and still writes its own pictures.
    gwtest::writeFile(dir_ / "Parent/Blocked.imageset", "a file");
    const auto parent = run(folder("Parent", {png("Parent/p.png", 4, 4)}, {folder("Parent/Blocked.imageset")}));
    ASSERT_FALSE(parent.isSuccess());
    EXPECT_TRUE(holds<pf::Error>(parent.error()));
    EXPECT_TRUE(pngSize(dir_ / "Parent/p.png"));
}

TEST_F(WritingOperations, AContentsFileThatCannotBeWrittenIsReportedAndTheOldOneKept) {
    // A folder named Contents.json where the file must go: the atomic rename fails.
    fs::create_directories(dir_ / "Odd.imageset/Contents.json");
    gwtest::writeFile(dir_ / "Odd.imageset/Contents.json/keep", "x");
    EXPECT_FALSE(run(folder("Odd.imageset")).isSuccess());
    EXPECT_EQ(gwtest::engine::filesBelow(dir_ / "Odd.imageset"), std::vector<std::string>{"Contents.json/keep"});

    // A value JSON cannot hold: no file, a failure.
    auto bad = folder("Bad.imageset");
    bad.contentsDictionary["data"] = pf::Value(pf::Data{1, 2, 3});
    EXPECT_FALSE(run(bad).isSuccess());
    EXPECT_FALSE(fs::exists(dir_ / "Bad.imageset/Contents.json"));
}

TEST_F(WritingOperations, PlannedPathsOutsideTheirFolderAreRefusedBeforeAnythingIsWritten) {
    const auto escaping = folder("Safe.imageset", {png("Safe.imageset/ok.png", 4, 4), png("Safe.imageset/../evil.png", 4, 4)});
    const auto result = run(escaping);
    ASSERT_FALSE(result.isSuccess());
    EXPECT_TRUE(holds<gw::FolderCreationError>(result.error()));
    EXPECT_FALSE(fs::exists(dir_ / "evil.png"));
    EXPECT_FALSE(fs::exists(dir_ / "Safe.imageset"));

    auto outside = folder("Top", {}, {folder("Elsewhere")});
    EXPECT_TRUE(holds<gw::FolderCreationError>(run(outside).error()));
    auto itself = folder("Top2", {png("Top2", 4, 4)});
    EXPECT_TRUE(holds<gw::FolderCreationError>(run(itself).error()));
    EXPECT_FALSE(fs::exists(dir_ / "Elsewhere"));
}

// A folder that became a link out of the boundary after the plan was checked is still
// refused when its turn comes, and nothing is written where the link leads; the rest of
// the tree is written.
TEST_F(WritingOperations, AFolderThatLeadsOutOfTheBoundaryWhenItIsWrittenIsRefused) {
    fs::create_directories(dir_ / "root");
    fs::create_directories(dir_ / "outside");
    // The boundary holds the folder it was made on: each case makes its own root anew.
    auto boundary = std::make_shared<const gw::WritingBoundary>(dir_ / "root");
    struct Case {
        std::string name;
        std::string link;  // below root, made a link to `outside`
        gw::FolderDefinition plan;
        std::vector<std::string> writtenInside;
    };
    const std::vector<Case> cases = {
        {"the folder itself", "root/Top.imageset", folder("root/Top.imageset", {png("root/Top.imageset/a.png", 4, 4)}),
         {}},
        {"a subfolder", "root/Parent/Sub",
         folder("root/Parent", {png("root/Parent/p.png", 4, 4)},
                {folder("root/Parent/Sub", {png("root/Parent/Sub/s.png", 4, 4)})}),
         {"Parent/Contents.json", "Parent/Sub", "Parent/p.png"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::create_directories((dir_ / c.link).parent_path());
        fs::create_directory_symlink(dir_ / "outside", dir_ / c.link);
        const auto result = run(c.plan, nullptr, boundary);
        ASSERT_FALSE(result.isSuccess());
        EXPECT_TRUE(holds<gw::OutsideWritingBoundaryError>(result.error()));
        EXPECT_TRUE(fs::is_empty(dir_ / "outside"));
        std::vector<std::string> inside;
        for (const auto& entry : fs::recursive_directory_iterator(dir_ / "root")) {
            if (!entry.is_directory() || entry.is_symlink())
                inside.push_back(entry.path().lexically_relative(dir_ / "root").string());
        }
        std::sort(inside.begin(), inside.end());
        std::vector<std::string> expected = c.writtenInside;
        expected.push_back(fs::path(c.link).lexically_relative("root").string());
        std::sort(expected.begin(), expected.end());
        expected.erase(std::unique(expected.begin(), expected.end()), expected.end());
        EXPECT_EQ(inside, expected);
        fs::remove_all(dir_ / "root");
        fs::create_directories(dir_ / "root");
        boundary = std::make_shared<const gw::WritingBoundary>(dir_ / "root");
    }
    // A link that stays inside is written through.
    fs::create_directories(dir_ / "root/real");
    fs::create_directory_symlink(dir_ / "root/real", dir_ / "root/Linked.imageset");
    EXPECT_TRUE(run(folder("root/Linked.imageset", {png("root/Linked.imageset/a.png", 4, 4)}), nullptr, boundary)
                    .isSuccess());
    EXPECT_TRUE(pngSize(dir_ / "root/real/a.png"));
}

}  // namespace
