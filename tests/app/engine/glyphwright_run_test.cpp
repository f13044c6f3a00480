#include "app/definitions/folder_definition_builder_factory.hpp"
#include "app/engine/analytics_tracker.hpp"
#include "app/engine/memory_budget.hpp"
#include "glyphwright_test_support.hpp"
#include "platform/dispatch/operation_queue.hpp"
#include "platform/foundation/json.hpp"
#include "platform/log/system_log.hpp"
#include "telemetry/analytics/rddi_analytics.hpp"
#include "telemetry/core/rddi_dez_idedev.hpp"
#include "telemetry/support/telemetry_test_environment.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <fmt/format.h>
#include <functional>
#include <map>
#include <thread>

namespace gwtest::engine {
namespace {

namespace fs = std::filesystem;
namespace plog = platform::log;
using gw::CollectionType;
using gw::ConversionOutputType;

class CountingTransport final : public gw::KKGATransport {
public:
    void sendHit(const pf::Dictionary& hit) override {
        std::lock_guard lock(mutex_);
        hits_.push_back(hit);
    }
    std::size_t count(const std::string& action) const {
        std::lock_guard lock(mutex_);
        return static_cast<std::size_t>(std::count_if(hits_.begin(), hits_.end(), [&](const pf::Dictionary& hit) {
            return hit.at("action") == pf::Value(action);
        }));
    }

private:
    mutable std::mutex mutex_;
    std::vector<pf::Dictionary> hits_;
};

class StoredAction : public gw::FileAlreadyExistsActionProvider {
public:
    explicit StoredAction(gw::FileAlreadyExistsAction action) : action_(action) {}
    gw::FileAlreadyExistsAction fileAlreadyExistsAction() const override { return action_; }
    void setFileAlreadyExistsAction(gw::FileAlreadyExistsAction action) override { action_ = action; }

private:
    gw::FileAlreadyExistsAction action_;
};

class GlyphwrightRunTest : public EngineEnvironment {
protected:
    // An engine ready to convert one large picture into `out`.
    ObservedEngine readyEngine(ConversionOutputType type) {
        ObservedEngine e;
        e.engine->addImage(fileURL(writePng(dir_ / "in" / "Artwork.png", 1024, 1024)));
        e.engine->setOutputDirectory(folderURL(dir_ / "out"));
        e.engine->setResizeType(type);
        if (!gw::FolderDefinitionBuilderFactory::supportedCollectionTypes(type).count(CollectionType::single)) {
            e.engine->setImageInputCollectionType(CollectionType::variants);
        }
        return e;
    }
};

TEST_F(GlyphwrightRunTest, ProgressIsNotANumberBeforeAnyRun) {
    EXPECT_TRUE(std::isnan(gw::Glyphwright::make()->progress()));
}

TEST_F(GlyphwrightRunTest, ARunWritesTheCatalogAndReportsOneResultPerFolderAndCompletionOnce) {
    auto e = readyEngine(ConversionOutputType::iOSIcon);
    ASSERT_TRUE(e.engine->readyState().isReady());
    std::atomic<int> progressCalls{0};
    e.engine->setProgressUpdateHandler([&](float) { ++progressCalls; });
    e.delegate->take();

    e.engine->createAssetCatalog();
    ASSERT_TRUE(e.delegate->waitForRun(1));
    e.engine->waitUntilAllOperationsAreFinished();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // room for a stray second notice

    const auto events = e.delegate->events();
    EXPECT_EQ(events.front(), "didStartCreating");
    EXPECT_EQ(e.delegate->count("didFinishFolder"), 1u);
    EXPECT_EQ(e.delegate->count("didFinishAllOperations"), 1u);
    EXPECT_EQ(e.engine->allOperations().size(), 2u);  // one folder, one final operation
    EXPECT_FLOAT_EQ(e.engine->progress(), 1.0f);
    EXPECT_GT(progressCalls.load(), 0);

    const auto results = e.delegate->results();
    ASSERT_EQ(results.size(), 1u);
    ASSERT_TRUE(results[0].isSuccess());
    const auto& success = results[0].successValue();
    EXPECT_EQ(success.outputDirectory, folderURL(dir_ / "out"));
    EXPECT_EQ(success.resizeType, ConversionOutputType::iOSIcon);
    EXPECT_EQ(success.imageInputCollection.imageInputs, e.engine->imageInputs());
    const auto written = success.definition.outputDirectory.fsPath();
    EXPECT_TRUE(std::filesystem::exists(written / "Contents.json")) << written;
    EXPECT_EQ(written.filename(), "Assets.xcassets");
    const auto files = filesBelow(written);
    EXPECT_GT(std::count_if(files.begin(), files.end(), [](const std::string& f) { return f.ends_with(".png"); }), 5);
}

TEST_F(GlyphwrightRunTest, RefusedRequestsAndCancelsThrowAndQueueNothing) {
    ObservedEngine empty;
    EXPECT_THROW(empty.engine->createAssetCatalog(), gw::FolderDefinitionBuilderFactory::Error);
    EXPECT_TRUE(empty.engine->allOperations().empty());

    auto e = readyEngine(ConversionOutputType::iOSIcon);
    std::filesystem::create_directories(dir_ / "out" / "Assets.xcassets");
    std::ofstream(dir_ / "out" / "Assets.xcassets" / "keep.txt") << "kept";
    e.engine->setCatalogExistsActionProvider(std::make_shared<StoredAction>(gw::FileAlreadyExistsAction::cancel));
    e.engine->setCatalogContentsExistsActionProvider(std::make_shared<StoredAction>(gw::FileAlreadyExistsAction::cancel));
    e.delegate->take();
    try {
        e.engine->createAssetCatalog();
        FAIL() << "a cancel must end the run";
    } catch (const gw::FileWritingIntentError& error) {
        EXPECT_EQ(error.errorCase(), gw::FileWritingIntentError::Case::userCancelled);
    }
    EXPECT_TRUE(e.engine->allOperations().empty());
    EXPECT_EQ(e.delegate->count("didStartCreating"), 0u);
    EXPECT_EQ(filesBelow(dir_ / "out"), std::vector<std::string>{"Assets.xcassets/keep.txt"});
}

TEST_F(GlyphwrightRunTest, BatchModeWritesOneFolderPerPictureAndCompletesOnce) {
    ObservedEngine e;
    e.engine->addImages({fileURL(writePng(dir_ / "in" / "Red.png", 90, 90)),
                         fileURL(writePng(dir_ / "in" / "Green.png", 60, 60)),
                         fileURL(writePng(dir_ / "in" / "Blue.png", 30, 30))});
    e.engine->setResizeType(ConversionOutputType::asset);
    e.engine->setImageInputCollectionType(CollectionType::batch);
    e.engine->setOutputDirectory(folderURL(dir_ / "out"));
    ASSERT_NE(e.engine->readyState().stateCase(), gw::ReadyState::Case::error) << describe(e.engine->readyState());
    std::mutex reportedMutex;
    std::vector<float> reported;
    e.engine->setProgressUpdateHandler([&](float progress) {
        std::lock_guard lock(reportedMutex);
        reported.push_back(progress);
    });

    e.engine->createAssetCatalog();
    EXPECT_EQ(e.engine->allOperations().size(), 4u);
    ASSERT_TRUE(e.delegate->waitForRun(3));
    e.engine->waitUntilAllOperationsAreFinished();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    // Each folder counts for a third of the run's progress, which ends whole.
    EXPECT_FLOAT_EQ(e.engine->progress(), 1.0f);
    {
        std::lock_guard lock(reportedMutex);
        ASSERT_FALSE(reported.empty());
        EXPECT_FLOAT_EQ(*std::max_element(reported.begin(), reported.end()), 1.0f);
        EXPECT_GE(*std::min_element(reported.begin(), reported.end()), 0.0f);
    }
    EXPECT_EQ(e.delegate->count("didFinishFolder"), 3u);
    EXPECT_EQ(e.delegate->count("didFinishAllOperations"), 1u);
    std::set<std::string> pictures;
    for (const auto& result : e.delegate->results()) {
        ASSERT_TRUE(result.isSuccess());
        ASSERT_EQ(result.successValue().imageInputCollection.imageInputs.size(), 1u);
        pictures.insert(result.successValue().imageInputCollection.imageInputs[0]->imageName());
    }
    EXPECT_EQ(pictures, (std::set<std::string>{"Red", "Green", "Blue"}));
    const auto files = filesBelow(dir_ / "out");
    for (const char* name : {"Red", "Green", "Blue"}) {
        EXPECT_TRUE(std::any_of(files.begin(), files.end(), [&](const std::string& f) {
            return f.find(std::string(name) + ".imageset/Contents.json") != std::string::npos;
        })) << name;
    }
}

// A picture that cannot be drawn: it has a size but nothing to draw it from.
gw::ImageInputPtr undrawablePicture(const std::string& name) {
    auto input = gw::ImageInput::make();
    input->setImageWrapper(gw::ImageWrapper::make(pg::Image::make({1024, 1024})));
    input->setImageName(name);
    return input;
}

// A run that fails leaves no catalog folder it made itself and could not fill; a folder
// that was there before the run, or one that received anything, stays.
TEST_F(GlyphwrightRunTest, AFailedRunRemovesTheCatalogFolderItMadeAndLeftEmpty) {
    namespace fs = std::filesystem;
    struct Case {
        std::string name;
        std::function<void(const fs::path& out)> before;
        bool withGoodPicture;
        std::vector<std::string> left;  // below the work folder, after the run
    };
    const std::vector<Case> cases = {
        {"a new output folder", [](const fs::path&) {}, false, {}},
        {"an empty output folder", [](const fs::path& out) { fs::create_directories(out); }, false, {"out"}},
        {"an empty catalog that was there",
         [](const fs::path& out) { fs::create_directories(out / "Assets.xcassets"); }, false,
         {"out", "out/Assets.xcassets", "out/Assets.xcassets/Contents.json"}},
        {"another picture written", [](const fs::path&) {}, true,
         {"out", "out/Assets.xcassets", "out/Assets.xcassets/Contents.json", "out/Assets.xcassets/Good.imageset"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto work = dir_ / c.name;
        const auto out = work / "out";
        fs::create_directories(work);
        c.before(out);
        ObservedEngine e;
        std::vector<platform::appkit::ArrayController::Element> pictures{
            platform::appkit::ArrayController::Element::of(undrawablePicture("Broken"))};
        if (c.withGoodPicture) {
            pictures.push_back(platform::appkit::ArrayController::Element::of(picture(64, 64, "Good")));
        }
        e.engine->collectionViewArrayController()->addObjects(pictures);
        e.engine->setResizeType(ConversionOutputType::asset);
        e.engine->setImageInputCollectionType(CollectionType::batch);
        e.engine->setOutputDirectory(folderURL(out));

        e.engine->createAssetCatalog();
        ASSERT_TRUE(e.delegate->waitForRun(pictures.size()));
        e.engine->waitUntilAllOperationsAreFinished();
        const auto results = e.delegate->results();
        EXPECT_EQ(std::count_if(results.begin(), results.end(), [](const auto& r) { return !r.isSuccess(); }), 1);

        std::vector<std::string> left;
        for (const auto& entry : fs::recursive_directory_iterator(work)) {
            const auto relative = entry.path().lexically_relative(work).generic_string();
            if (relative.find(".imageset/") == std::string::npos) left.push_back(relative);
        }
        std::sort(left.begin(), left.end());
        EXPECT_EQ(left, c.left);
    }
}

// A picture whose PNG takes a while to encode: noise over a gradient.
pg::ImagePtr noisyImage(int side) {
    std::vector<uint8_t> pixels(static_cast<size_t>(side) * side * 4);
    std::uint32_t seed = 12345;
    for (std::size_t i = 0; i < pixels.size(); i += 4) {
        seed = seed * 1664525u + 1013904223u;
        const auto at = i / 4;
        const std::uint32_t word = (0xFFu << 24) | ((at % side * 255 / side) ^ (seed >> 27)) << 16 |
                                   ((at / side * 255 / side) ^ ((seed >> 19) & 31)) << 8 | ((seed >> 11) & 0xFF);
        std::memcpy(&pixels[i], &word, 4);
    }
    return pg::Image::withBitmap(pg::makeSharedBitmap(pg::Bitmap(side, side, side * 4, std::move(pixels), false)));
}

// `count` PNG files Art0.png, Art1.png, … of one noisy picture `side` pixels a side in
// `folder`; none when the picture could not be encoded.
std::vector<pf::URL> noisyPictures(const fs::path& folder, int count, int side) {
    const auto data = gw::pngData(*noisyImage(side));
    std::vector<pf::URL> files;
    for (int i = 0; data && i < count; ++i) {
        const auto file = folder / fmt::format("Art{}.png", i);
        gwtest::writeFile(file, std::string(data->begin(), data->end()));
        files.push_back(pf::URL::fileURL(file, false));
    }
    return files;
}

TEST_F(GlyphwrightRunTest, AStoppedRunPutsEachSetInPlaceWholeOrNotAtAllAndKeepsWhatItWouldHaveReplaced) {
    // An earlier catalog holds a set of the first picture's name, which this run replaces.
    const auto catalog = dir_ / "out" / "Assets.xcassets";
    gwtest::writeFile(catalog / "Contents.json", "{}");
    gwtest::writeFile(catalog / "Art0.imageset" / "Contents.json", "earlier");
    ObservedEngine e;
    const auto files = noisyPictures(dir_ / "in", 8, 1500);
    ASSERT_EQ(files.size(), 8u);
    e.engine->addImages(files);
    e.engine->setResizeType(ConversionOutputType::asset);
    e.engine->setImageInputCollectionType(CollectionType::batch);
    e.engine->setOutputDirectory(folderURL(dir_ / "out"));
    e.engine->setCatalogExistsActionProvider(std::make_shared<StoredAction>(gw::FileAlreadyExistsAction::append));
    e.engine->setCatalogContentsExistsActionProvider(
        std::make_shared<StoredAction>(gw::FileAlreadyExistsAction::overwrite));

    // Stopped once its first picture is written, while others are being drawn and
    // encoded, and again (that changes nothing).
    std::atomic<bool> stopping{false};
    e.engine->setProgressUpdateHandler([&](float progress) {
        if (progress > 0 && !stopping.exchange(true)) {
            e.engine->cancelAllOperations();
            e.engine->cancelAllOperations();
        }
    });
    e.engine->createAssetCatalog();
    ASSERT_TRUE(e.delegate->waitForRun(files.size()));
    e.engine->waitUntilAllOperationsAreFinished();
    EXPECT_EQ(e.delegate->count("didFinishAllOperations"), 1u);

    std::size_t stopped = 0;
    for (const auto& result : e.delegate->results()) {
        if (result.isSuccess()) continue;
        try {
            std::rethrow_exception(result.error());
        } catch (const gw::ConversionStoppedError&) {
            ++stopped;
        } catch (const std::exception& other) {
            ADD_FAILURE() << other.what();
        }
    }
    EXPECT_GE(stopped, 1u);
    // Every set there is whole: each file its Contents.json names is there; nothing is
    // left in flight, and the set this run would have replaced is still the earlier one
    // unless its new one was written whole.
    for (const auto& file : filesBelow(catalog)) {
        EXPECT_EQ(file.find("/."), std::string::npos) << file;
        EXPECT_NE(file.front(), '.') << file;
    }
    for (const auto& entry : fs::directory_iterator(catalog)) {
        if (!entry.is_directory()) continue;
        const auto contents = readText(entry.path() / "Contents.json");
        if (contents == "earlier") continue;
        const auto parsed = pf::json::parse(contents);
        const auto* listed = parsed.get("images").asArray();
        ASSERT_TRUE(listed) << entry.path();
        for (const auto& image : *listed) {
            const auto* name = image.get("filename").asString();
            ASSERT_TRUE(name);
            EXPECT_TRUE(pngSize(entry.path() / *name)) << entry.path() / *name;
        }
    }
    EXPECT_TRUE(fs::exists(catalog / "Art0.imageset" / "Contents.json"));
}

TEST_F(GlyphwrightRunTest, AStopDuringThePicturesFirstReadingStartsNoOtherReadingOrScaling) {
    // A batch of pictures whose pixels are not in memory: each folder reads its picture
    // again before it draws the sizes, none of which is the picture as it is. The run is
    // stopped from inside the first of those readings; that reading is all the work in
    // progress then, and all the run may finish: no picture is read and no size is scaled
    // after the stop (counted by the readings themselves and the scaling's log line).
    struct Readings {
        std::weak_ptr<gw::Glyphwright> engine;
        std::atomic<int> before{0}, after{0};
        std::atomic<bool> stopped{false};
    };
    auto readings = std::make_shared<Readings>();
    std::atomic<int> scaledAfter{0};
    plog::ScopedLogSink sink([&](const plog::LogRecord& record) {
        if (readings->stopped && record.message.starts_with("Resized image")) ++scaledAfter;
    });
    ObservedEngine e;
    readings->engine = e.engine;
    const auto files = noisyPictures(dir_ / "in", 6, 800);
    ASSERT_EQ(files.size(), 6u);
    e.engine->addImages(files);
    const auto inputs = e.engine->imageInputs();
    ASSERT_EQ(inputs.size(), files.size());
    for (const auto& input : inputs) {
        // 200, 400 and 600 pixels a side: each size is scaled from the picture.
        input->setAssetPointWidth(200);
        input->setAssetPointHeight(200);
        const auto image = input->imageWrapper()->image();
        const auto rep = std::dynamic_pointer_cast<pg::BitmapRep>(image->representations().at(0));
        ASSERT_TRUE(rep);
        const auto pixels = rep->bitmap();
        ASSERT_EQ(pixels->width(), 800);
        rep->setReload([readings, pixels] {
            if (readings->stopped) {
                ++readings->after;
            } else if (readings->before++ == 0) {
                if (const auto engine = readings->engine.lock()) engine->cancelAllOperations();
                readings->stopped = true;
            }
            return pixels;
        });
        gw::MemoryBudget::shared().letGo(image);
        ASSERT_FALSE(holdsPixels(input));
    }
    e.engine->setResizeType(ConversionOutputType::asset);
    e.engine->setImageInputCollectionType(CollectionType::batch);
    fs::create_directories(dir_ / "out");
    e.engine->setOutputDirectory(folderURL(dir_ / "out"));

    e.engine->createAssetCatalog();
    ASSERT_TRUE(e.delegate->waitForRun(files.size()));
    e.engine->waitUntilAllOperationsAreFinished();
    ASSERT_TRUE(readings->stopped);
    EXPECT_EQ(readings->after, 0) << "pictures read after the stop";
    EXPECT_EQ(scaledAfter, 0) << "sizes scaled after the stop";
    // Nothing was written whole: no set is in place, and nothing is left in flight.
    for (const auto& result : e.delegate->results()) {
        ASSERT_FALSE(result.isSuccess());
        EXPECT_THROW(std::rethrow_exception(result.error()), gw::ConversionStoppedError);
    }
    for (const auto& file : filesBelow(dir_ / "out")) {
        EXPECT_EQ(file.find(".imageset"), std::string::npos) << file;
        EXPECT_EQ(file.find("/."), std::string::npos) << file;
        EXPECT_NE(file.front(), '.') << file;
    }
}

TEST_F(GlyphwrightRunTest, BatchPicturesAreDecodedInTheirOwnFolderAndLetGoAfter) {
    ObservedEngine e;
    // More pictures than are read at once; those read first are drawn first.
    const std::size_t readAtOnce = std::min<std::size_t>(8, platform::dispatch::usableProcessorCount());
    std::vector<std::string> names;
    for (std::size_t i = 0; i < readAtOnce + 2; ++i) {
        names.push_back(fmt::format("Grey{:02}", i));
        writePng(dir_ / "in" / (names.back() + ".png"), 20 + static_cast<int>(i), 20);
    }
    writePng(dir_ / "in" / "Red.png", 90, 90);
    writePng(dir_ / "in" / "Zblue.png", 30, 30);
    e.engine->addImagesFromFileOrFolder(folderURL(dir_ / "in"));
    const auto inputs = e.engine->imageInputs();
    ASSERT_EQ(inputs.size(), readAtOnce + 4);
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        // Read, measured and let go: only the size and the corner colour are kept.
        EXPECT_EQ(holdsPixels(inputs[i]), i < readAtOnce) << inputs[i]->imageName();
        EXPECT_TRUE(inputs[i]->imageWrapper()->cornerPixelColor().has_value()) << inputs[i]->imageName();
    }
    // A picture changed after it was added is not drawn from its new content.
    writePng(dir_ / "in" / "Zblue.png", 31, 31);
    e.engine->setResizeType(ConversionOutputType::asset);
    e.engine->setImageInputCollectionType(CollectionType::batch);
    e.engine->setOutputDirectory(folderURL(dir_ / "out"));
    e.engine->createAssetCatalog();
    ASSERT_TRUE(e.delegate->waitForRun(inputs.size()));
    e.engine->waitUntilAllOperationsAreFinished();

    std::map<std::string, bool> succeeded;
    for (const auto& result : e.delegate->results()) {
        if (result.isSuccess()) succeeded[result.successValue().imageInputCollection.imageInputs.at(0)->imageName()] = true;
    }
    std::map<std::string, bool> expected{{"Red", true}};
    for (const auto& name : names) expected[name] = true;
    EXPECT_EQ(succeeded, expected);
    for (const auto& input : inputs) EXPECT_FALSE(holdsPixels(input)) << input->imageName();

    // What was written is the picture as it was read: its 90 px file holds its pixels.
    pg::ImagePtr written;
    for (const auto& file : filesBelow(dir_ / "out")) {
        if (file.find("Red.imageset/") == std::string::npos || !file.ends_with(".png")) continue;
        auto image = pg::Image::fromFile(dir_ / "out" / file);
        if (image && image->representations().at(0)->pixelsWide() == 90) written = image;
    }
    ASSERT_TRUE(written);
    const auto writtenPixels = written->renderedBitmap()->bitmap();
    const auto expectedPixels = bitmapImage(90, 90)->renderedBitmap()->bitmap();
    for (int y = 0; y < 90; y += 7) {
        for (int x = 0; x < 90; x += 7) {
            ASSERT_EQ(writtenPixels->pixelAt(x, y), expectedPixels->pixelAt(x, y)) << x << "," << y;
        }
    }
    // Drawn again later (a preview), the picture is read again.
    const auto red = *std::find_if(inputs.begin(), inputs.end(), [](const auto& i) { return i->imageName() == "Red"; });
    EXPECT_EQ(red->imageWrapper()->image()->renderedBitmap()->bitmap()->width(), 90);
    EXPECT_TRUE(holdsPixels(red));
}

// Every output type converts a real picture into a real catalog; one case per type, so
// that each stays well inside its time limit on a slow, loaded machine.
class EveryOutputType : public GlyphwrightRunTest, public ::testing::WithParamInterface<ConversionOutputType> {};

TEST_P(EveryOutputType, ConvertsEndToEnd) {
    const auto type = GetParam();
    auto e = readyEngine(type);
    if (holdsError<gw::FolderDefinitionBuilderFactory::Error>(e.engine->readyState()) &&
        factoryErrorCase(e.engine->readyState()) == gw::FolderDefinitionBuilderFactory::Error::Case::minimumImageCountNotMet) {
        // Image stacks are made of layers: a front picture goes in as well.
        e.engine->insert(gw::ImageInput::load(fileURL(writePng(dir_ / "in" / "Front.png", 512, 300))), 0);
    }
    ASSERT_NE(e.engine->readyState().stateCase(), gw::ReadyState::Case::error) << describe(e.engine->readyState());
    e.engine->createAssetCatalog();
    ASSERT_TRUE(e.delegate->waitForRun(1));
    e.engine->waitUntilAllOperationsAreFinished();
    ASSERT_FALSE(e.delegate->results().empty());
    for (const auto& result : e.delegate->results()) {
        ASSERT_TRUE(result.isSuccess());
        EXPECT_TRUE(std::filesystem::exists(result.successValue().definition.outputDirectory.fsPath() / "Contents.json"));
    }
}

INSTANTIATE_TEST_SUITE_P(GlyphwrightRunTest, EveryOutputType,
                         ::testing::ValuesIn(gw::ConversionOutputTypes::allCases()),
                         [](const ::testing::TestParamInfo<ConversionOutputType>& info) {
                             return std::string(gw::ConversionOutputTypes::commandLineName(info.param));
                         });

TEST_F(GlyphwrightRunTest, AlphaRemovalDuringARunReachesBothAnalyticsBackEnds) {
    rddi::testkit::TelemetryTestEnvironment telemetry;
    auto transport = std::make_shared<CountingTransport>();
    auto tracker = std::make_shared<gw::KKGATracker>(transport);
    tracker->setTrackingID("UA-TEST-1");
    gw::KKGASetSharedTracker(tracker);
    rddi::RDDIDezIdedev::start("secret", {rddi::RDDIAnalytics::serviceClass()});

    auto e = readyEngine(ConversionOutputType::iOSIcon);  // app icons are written without alpha
    e.engine->createAssetCatalog();
    ASSERT_TRUE(e.delegate->waitForRun(1));
    e.engine->waitUntilAllOperationsAreFinished();

    std::size_t analyticsEvents = 0;
    for (const auto& entry : telemetry.channelGroup()->storedLogs("Analytics")) {
        const auto event = std::dynamic_pointer_cast<rddi::RDDIEventLog>(entry.log);
        if (event && event->name == "alpha_channel_removal_succeeded") ++analyticsEvents;
    }
    EXPECT_GT(analyticsEvents, 0u);
    EXPECT_EQ(transport->count("alpha_channel_removal_succeeded"), analyticsEvents);
    gw::KKGASetSharedTracker(nullptr);
}

}  // namespace
}  // namespace gwtest::engine
