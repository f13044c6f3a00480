#include "app/definitions/folder_definition_builder_factory.hpp"
#include "glyphwright_test_support.hpp"
#include "platform/dispatch/dispatch_queue.hpp"
#include "platform/foundation/atomic_file.hpp"
#include "platform/foundation/files.hpp"
#include "platform/foundation/base64.hpp"
#include "platform/foundation/json.hpp"
#include "platform/graphics/render_client.hpp"
#include "support/file_size_limit.hpp"
#include "support/page_cache.hpp"
#include "support/permission_bound.hpp"
#include "support/photo_like_png.hpp"
#include "support/picture_samples.hpp"
#include "support/self_launch.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/wait.h>
#include <time.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <future>
#include <map>

namespace gwtest::engine {
namespace {

namespace samples = gwtest::samples;
using Strings = std::vector<std::string>;
using FactoryCase = gw::FolderDefinitionBuilderFactory::Error::Case;
using gw::CollectionType;
using gw::ConversionOutputType;

class GlyphwrightStateTest : public EngineEnvironment {
protected:
    std::filesystem::path png(const std::string& name, int w = 1024, int h = 1024) {
        return writePng(dir_ / "in" / name, w, h);
    }
};

// The names of the pictures of a saved state's text, in order.
Strings savedNames(const std::filesystem::path& path) {
    Strings names;
    const auto state = pf::json::parse(pf::files::readString(path, std::uintmax_t{1} << 30));
    for (const auto& picture : *state.get("imageInputs").asArray()) names.push_back(*picture.get("imageName").asString());
    return names;
}

TEST_F(GlyphwrightStateTest, AssignmentsNotifyInSlotOrderEveryTimeAndRunTheReadinessCheck) {
    ObservedEngine e;
    e.engine->setResizeType(ConversionOutputType::iOSIcon);
    e.engine->setResizeType(ConversionOutputType::iOSIcon);
    e.engine->setImageInputCollectionType(CollectionType::variants);
    e.engine->setOutputDirectory(folderURL(dir_ / "out"));
    e.engine->setOutputDirectory(std::nullopt);
    EXPECT_EQ(e.delegate->take(),
              (Strings{"outputType iOSIcon", "readyState error", "outputType iOSIcon", "readyState error",
                       "collectionType variants", "readyState error", "outputDirectory out", "readyState error",
                       "outputDirectory none", "readyState error"}));
}

TEST_F(GlyphwrightStateTest, AddingAFileInSingleModeSelectsItAndTellsSelectionListAndEditingPanel) {
    ObservedEngine e;
    e.engine->setOutputDirectory(folderURL(dir_ / "out"));
    e.delegate->take();
    e.engine->addImage(fileURL(png("Logo.png")));
    EXPECT_EQ(e.delegate->take(), (Strings{"selection 1", "readyState ready", "imageInputs 1", "readyState ready",
                                           "readyState ready", "showEditingPanel Logo"}));
    EXPECT_EQ(e.engine->imageInputCollectionType(), CollectionType::single);

    // A second picture replaces the first in single mode.
    e.engine->addImage(fileURL(png("Other.png")));
    ASSERT_EQ(e.engine->imageInputs().size(), 1u);
    EXPECT_EQ(e.engine->imageInputs()[0]->imageName(), "Other");
    EXPECT_EQ(e.engine->selectedImageInputs(), e.engine->imageInputs());
}

TEST_F(GlyphwrightStateTest, ReleasedDelegatesAreSkippedAndTheOthersToldInRegistrationOrder) {
    auto engine = gw::Glyphwright::make();
    std::vector<std::string> order;
    struct Named : gw::GlyphwrightDelegate {
        Named(std::string n, std::vector<std::string>& o) : name(std::move(n)), order(o) {}
        void glyphwrightOutputTypeDidChange(gw::Glyphwright&, std::optional<ConversionOutputType>) override {
            order.push_back(name);
        }
        std::string name;
        std::vector<std::string>& order;
    };
    auto first = std::make_shared<Named>("first", order);
    auto second = std::make_shared<Named>("second", order);
    auto third = std::make_shared<Named>("third", order);
    engine->addDelegate(first);
    engine->addDelegate(second);
    engine->addDelegate(third);
    engine->setResizeType(ConversionOutputType::asset);
    second.reset();
    engine->setResizeType(ConversionOutputType::asset);
    EXPECT_EQ(order, (Strings{"first", "second", "third", "first", "third"}));
    EXPECT_EQ(engine->delegates().size(), 3u);
}

TEST_F(GlyphwrightStateTest, AFolderOfPicturesSwitchesToVariantsAndSkipsHiddenButNotOtherCaseExtensions) {
    ObservedEngine e;
    png("set/a.png", 64, 64);
    png("set/sub/c.jpg", 32, 32);  // PNG bytes; the extension alone decides what is scanned
    png("set/b.PNG", 16, 16);
    png("set/.hidden.png", 16, 16);
    e.engine->addImagesFromFileOrFolder(folderURL(dir_ / "in" / "set"));
    EXPECT_EQ(e.engine->imageInputCollectionType(), CollectionType::variants);
    Strings names;
    for (const auto& input : e.engine->imageInputs()) names.push_back(input->imageName());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (Strings{"a", "b", "c"}));
    EXPECT_EQ(e.delegate->count("showEditingPanel a") + e.delegate->count("showEditingPanel b") +
                  e.delegate->count("showEditingPanel c"),
              3u);
}

TEST_F(GlyphwrightStateTest, AFolderReadInParallelKeepsItsOrderAndSkipsWhatCannotBeRead) {
    // More pictures than are read at once, one of them unreadable.
    ObservedEngine e;
    Strings expected;
    for (int i = 0; i < 19; ++i) {
        const std::string name = (i < 10 ? "p0" : "p") + std::to_string(i);
        if (i == 9) {
            gwtest::writeFile(dir_ / "in" / "many" / (name + ".png"), "not a picture");
            continue;
        }
        png("many/" + name + ".png", 16 + i, 16);
        expected.push_back(name);
    }
    e.engine->addImagesFromFileOrFolder(folderURL(dir_ / "in" / "many"));
    Strings names;
    for (const auto& input : e.engine->imageInputs()) names.push_back(input->imageName());
    EXPECT_EQ(names, expected);
    EXPECT_EQ(e.engine->imageInputs().at(3)->imageWrapper()->size().width, 19);
}

TEST_F(GlyphwrightStateTest, MissingLocationsAndUnreadablePictures) {
    auto engine = gw::Glyphwright::make();
    // Without a picture extension the location is scanned as a folder: nothing, no error.
    EXPECT_NO_THROW(engine->addImagesFromFileOrFolder(folderURL(dir_ / "nowhere")));
    try {
        engine->addImagesFromFileOrFolder(fileURL(dir_ / "nowhere.png"));
        FAIL() << "a missing picture file must be reported";
    } catch (const gw::GlyphwrightError& error) {
        EXPECT_EQ(error.errorCase(), gw::GlyphwrightError::Case::unableToOpenImageFromURL);
    }

    // A file that is no picture: in single mode the alert reaches the caller...
    std::filesystem::create_directories(dir_ / "in");
    std::ofstream(dir_ / "in" / "broken file.png") << "not a picture";
    try {
        engine->addImage(fileURL(dir_ / "in" / "broken file.png"));
        FAIL() << "the alert must reach the caller";
    } catch (const gw::AddImageAlertError& alert) {
        EXPECT_EQ(alert.messageText(), "The image could not be added.");
        // With the reason the command line gives.
        EXPECT_EQ(alert.informativeText(), "The file at " + (dir_ / "in" / "broken file.png").string() +
                                               " could not be opened.\nThe file is not a picture in a supported format.");
    }
    // ...or the window's alert handler, which swallows it.
    int alerts = 0;
    engine->setImageLoadAlertHandler([&](const gw::AddImageAlertError&) { ++alerts; });
    EXPECT_NO_THROW(engine->addImage(fileURL(dir_ / "in" / "broken file.png")));
    EXPECT_EQ(alerts, 1);
    EXPECT_TRUE(engine->imageInputs().empty());

    // In the other modes it is skipped silently, after the mode has changed.
    engine->setImageInputCollectionType(CollectionType::batch);
    EXPECT_NO_THROW(engine->addImage(fileURL(dir_ / "in" / "broken file.png")));
    EXPECT_EQ(engine->imageInputCollectionType(), CollectionType::variants);
    EXPECT_TRUE(engine->imageInputs().empty());
}

// An end waits for pictures still being read only so long: a reading not done by then is
// given up and its files named, and what it reads later reaches the engine neither then
// nor at the main queue's turn. A reading that names no files (the saved state's) is always
// waited for.
TEST_F(GlyphwrightStateTest, AReadingTheEndCannotWaitForIsNamedAndNothingOfItReachesTheEngine) {
    auto engine = gw::Glyphwright::make();
    std::promise<void> release;
    const auto released = release.get_future().share();
    bool stateTaken = false, lateTaken = false;
    engine->readInBackground([&stateTaken]() -> std::function<void()> {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        return [&stateTaken] { stateTaken = true; };
    });
    const auto slow = fileURL(dir_ / "slow.png");
    engine->readInBackground(
        [released, &lateTaken]() -> std::function<void()> {
            released.wait();
            return [&lateTaken] { lateTaken = true; };
        },
        {slow});
    const auto notRead = engine->finishBackgroundReading(std::chrono::steady_clock::now());
    EXPECT_TRUE(stateTaken);
    ASSERT_EQ(notRead.size(), 1u);
    EXPECT_EQ(notRead.front().path(), slow.path());
    EXPECT_TRUE(engine->readingGivenUpGoesOn());
    release.set_value();
    engine->waitForBackgroundReading();
    EXPECT_FALSE(engine->readingGivenUpGoesOn());
    ASSERT_TRUE(platform::dispatch::MainLoop::isMainThread());
    platform::dispatch::MainLoop::drain();
    EXPECT_FALSE(lateTaken);
    EXPECT_TRUE(engine->finishBackgroundReading(std::chrono::steady_clock::now()).empty());
}

TEST_F(GlyphwrightStateTest, TheSamePictureAgainIsSelectedNotAddedAndStillOpensTheEditingPanel) {
    ObservedEngine e;
    e.engine->addImages({fileURL(png("One.png", 64, 64)), fileURL(png("Two.png", 32, 32))});
    ASSERT_EQ(e.engine->imageInputs().size(), 2u);
    const auto first = e.engine->imageInputs()[0];
    e.delegate->take();
    e.engine->insert(first);
    EXPECT_EQ(e.engine->imageInputs().size(), 2u);
    EXPECT_EQ(e.engine->selectedImageInputs(), std::vector<gw::ImageInputPtr>{first});
    EXPECT_EQ(e.delegate->take(), (Strings{"selection 1", "readyState error", "showEditingPanel " + first->imageName()}));
}

TEST_F(GlyphwrightStateTest, NamesStayDistinctAndTheEarlierPictureKeepsItsName) {
    ObservedEngine e;
    e.engine->addImages({fileURL(png("a/Icon.png", 64, 64)), fileURL(png("b/Icon.png", 32, 32)),
                         fileURL(png("Icon1.png", 16, 16))});
    Strings names;
    for (const auto& input : e.engine->imageInputs()) names.push_back(input->imageName());
    EXPECT_EQ(names.size(), 3u);
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), 3u);

    const auto inputs = e.engine->imageInputs();
    inputs[1]->setImageName(inputs[0]->imageName());
    EXPECT_NE(inputs[1]->imageName(), inputs[0]->imageName());
    inputs[0]->setImageName("Logo");
    inputs[1]->setImageName("Logo");
    EXPECT_EQ(inputs[0]->imageName(), "Logo");
    EXPECT_EQ(inputs[1]->imageName(), "Logo1");
    inputs[2]->setImageName("Logo1");
    EXPECT_EQ(inputs[1]->imageName(), "Logo1");
    EXPECT_EQ(inputs[2]->imageName(), "Logo2");
}

TEST_F(GlyphwrightStateTest, ReadyStateForRepresentativeRequests) {
    ObservedEngine e;
    auto state = e.engine->readyState();
    EXPECT_TRUE(state.isReady());  // nothing has been checked yet

    e.engine->updateReadyState();
    EXPECT_EQ(factoryErrorCase(e.engine->readyState()), FactoryCase::missingImageInputs);

    e.engine->addImage(fileURL(png("Big.png")));
    EXPECT_EQ(factoryErrorCase(e.engine->readyState()), FactoryCase::missingOutputDirectory);

    e.engine->setOutputDirectory(folderURL(dir_ / "out"));
    EXPECT_TRUE(e.engine->readyState().isReady());

    // Single mode with nothing selected refuses although a picture is arranged.
    e.engine->collectionViewArrayController()->setSelectionIndexes({});
    // The list did not change, so nothing re-selects the picture.
    EXPECT_EQ(factoryErrorCase(e.engine->readyState()), FactoryCase::missingImageInputs);

    // A picture far too small for the icons: warnings, reported again on every assignment.
    e.engine->addImage(fileURL(png("Tiny.png", 20, 20)));
    EXPECT_EQ(e.engine->readyState().stateCase(), gw::ReadyState::Case::warnings);
    EXPECT_FALSE(e.engine->readyState().warningList().empty());
    e.delegate->take();
    e.engine->setResizeType(ConversionOutputType::iOSIcon);
    EXPECT_EQ(e.delegate->take(), (Strings{"outputType iOSIcon", "readyState warnings"}));

    // Batch mode is not one the icon accepts.
    e.engine->setImageInputCollectionType(CollectionType::batch);
    EXPECT_EQ(factoryErrorCase(e.engine->readyState()), FactoryCase::batchModeNotSupported);
}

TEST_F(GlyphwrightStateTest, DeferredVectorCornersAreLeftOutOfTheStoredStateUntilTheCompleteCheck) {
    using Kind = gw::ConversionWarning::Kind;
    const auto kinds = [](const gw::ReadyState& state) {
        std::vector<Kind> found;
        if (state.stateCase() == gw::ReadyState::Case::warnings) {
            for (const auto& warning : state.warningList()) found.push_back(warning.kind);
        }
        return found;
    };
    const auto clearCorner = dir_ / "in" / "Round.svg";
    std::filesystem::create_directories(clearCorner.parent_path());
    std::ofstream(clearCorner) << R"(<svg xmlns="http://www.w3.org/2000/svg" width="1024" height="1024">)"
                               << R"(<circle cx="512" cy="512" r="400" fill="#3a7bd5"/></svg>)";
    ObservedEngine e;
    e.engine->setVectorCornerChecksDeferred(true);
    e.engine->setOutputDirectory(folderURL(dir_ / "out"));
    e.engine->setResizeType(ConversionOutputType::iOSIcon);
    e.engine->addImage(fileURL(clearCorner));
    EXPECT_TRUE(e.engine->readyState().isReady()) << describe(e.engine->readyState());
    EXPECT_EQ(kinds(e.engine->completeReadyState()), std::vector<Kind>{Kind::transparentBackground});
    // The complete check is the caller's: it changes nothing stored.
    EXPECT_TRUE(e.engine->readyState().isReady());

    // A bitmap's corner is read, not drawn: judged at once, deferred or not.
    e.engine->addImage(fileURL(writePng(dir_ / "in" / "Framed.png", 1024, 1024, 4)));
    EXPECT_EQ(kinds(e.engine->readyState()), std::vector<Kind>{Kind::transparentBackground});

    // Not deferred, the vector corner is judged with the rest.
    e.engine->setVectorCornerChecksDeferred(false);
    e.engine->addImage(fileURL(clearCorner));
    EXPECT_EQ(kinds(e.engine->readyState()), std::vector<Kind>{Kind::transparentBackground});
}

// A picture whose corner cannot be drawn (a page the renderer reports errors on) is drawn
// once for a check of all its sizes: the check drew it again for each of an icon set's
// sizes, one after another, before the conversion could start (a damaged page of nested
// forms, its every drawing a second or two, held the command line for 30 s and more).
TEST_F(GlyphwrightStateTest, APictureWhoseCornerCannotBeDrawnIsDrawnOnceForTheCheckOfAllItsSizes) {
    auto objects = samples::pdfPage(100, 100, "<< >>");
    objects.push_back(samples::pdfStream("", samples::bytesOf("0 0 1 rg 10 10 80 80 re f zz")));
    const auto bytes = samples::pdfOfObjects(objects);
    const auto damaged = dir_ / "in" / "Damaged.pdf";
    std::filesystem::create_directories(damaged.parent_path());
    std::ofstream(damaged, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                  static_cast<std::streamsize>(bytes.size()));
    ObservedEngine e;
    e.engine->setOutputDirectory(folderURL(dir_ / "out"));
    e.engine->setResizeType(ConversionOutputType::iOSIcon);
    e.engine->addImage(fileURL(damaged));
    ASSERT_EQ(e.engine->imageInputs().size(), 1u);
    const int before = pg::RenderClient::drawingsAsked();
    e.engine->completeReadyState();
    EXPECT_EQ(pg::RenderClient::drawingsAsked() - before, 1);
}

// The output-type menu of the window, which does not exist without a desktop.
class MenuStandIn : public gw::OutputTypeSelecting {
public:
    void setDelegate(std::weak_ptr<gw::OutputTypeSelectionHandlerDelegate> delegate) override { delegate_ = delegate; }
    void updateMenu() override { ++rebuilds; }
    ConversionOutputType currentResizeType() const override { return current; }
    void choose(ConversionOutputType type) {
        current = type;
        if (auto delegate = delegate_.lock()) delegate->outputTypeSelectionHandler(*this, type);
    }
    ConversionOutputType current = ConversionOutputType::tvOSIcon;
    int rebuilds = 0;

private:
    std::weak_ptr<gw::OutputTypeSelectionHandlerDelegate> delegate_;
};

TEST_F(GlyphwrightStateTest, TheOutputTypeMenuSetsTheTypeAndInsertRepairsTheCollectionType) {
    ObservedEngine e;
    auto menu = std::make_shared<MenuStandIn>();
    e.engine->setOutputTypeSelectionHandler(menu);
    EXPECT_EQ(menu->rebuilds, 1);
    EXPECT_EQ(e.engine->resizeType(), ConversionOutputType::tvOSIcon);
    EXPECT_EQ(e.delegate->take(), (Strings{"outputType tvOSIcon", "readyState error"}));

    // The tvOS icon takes variants only: a picture arriving in single mode switches.
    e.engine->insert(gw::ImageInput::load(fileURL(png("Layer.png", 64, 64))));
    EXPECT_EQ(e.engine->imageInputCollectionType(), CollectionType::variants);

    menu->choose(ConversionOutputType::macOSIcon);
    EXPECT_EQ(e.engine->resizeType(), ConversionOutputType::macOSIcon);
}

TEST_F(GlyphwrightStateTest, WithoutDelegatesASelectionChangeStillUpdatesTheReadyState) {
    auto engine = gw::Glyphwright::make();
    engine->setCollectionViewArrayController(std::make_shared<platform::appkit::ArrayController>());
    engine->setOutputDirectory(folderURL(dir_ / "out"));
    engine->addImage(fileURL(png("Big.png")));
    ASSERT_TRUE(engine->readyState().isReady());
    engine->collectionViewArrayController()->setSelectionIndexes({});
    EXPECT_EQ(factoryErrorCase(engine->readyState()), FactoryCase::missingImageInputs);
}

TEST_F(GlyphwrightStateTest, ANewArrayControllerTakesOverPicturesAndSelection) {
    auto engine = gw::Glyphwright::make();
    engine->addImages({fileURL(png("A.png", 64, 64)), fileURL(png("B.png", 32, 32)), fileURL(png("C.png", 16, 16))});
    engine->collectionViewArrayController()->setSelectionIndexes({0, 2});
    const auto before = engine->imageInputs();
    auto replacement = std::make_shared<platform::appkit::ArrayController>();
    engine->setCollectionViewArrayController(replacement);
    EXPECT_EQ(engine->collectionViewArrayController(), replacement);
    EXPECT_EQ(engine->imageInputs(), before);
    EXPECT_EQ(replacement->selectionIndexes(), (std::set<std::size_t>{0, 2}));

    // Emptying the selection and then changing the list selects the first picture again.
    replacement->setSelectionIndexes({});
    replacement->removeObjects({platform::appkit::ArrayController::Element::of(before[2])});
    EXPECT_EQ(replacement->selectionIndexes(), (std::set<std::size_t>{0}));
}

TEST_F(GlyphwrightStateTest, NewPicturesGetLayerFramesWithTheLastAsTheLockedBackLayer) {
    auto engine = gw::Glyphwright::make();
    engine->addImages({fileURL(png("2-Back.png", 800, 480)), fileURL(png("1-Front.png", 200, 100))});
    // Taken in name order: the first file is the front layer.
    const auto inputs = engine->imageInputs();
    ASSERT_EQ(inputs.size(), 2u);
    const auto& back = inputs[1]->tvOSAppIconlayerFrame();
    ASSERT_TRUE(back);
    EXPECT_TRUE(back->isLocked());
    EXPECT_EQ(back->width(), 400);
    EXPECT_EQ(back->height(), 240);
    ASSERT_TRUE(inputs[0]->tvOSAppIconlayerFrame());
    EXPECT_FALSE(inputs[0]->tvOSAppIconlayerFrame()->isLocked());
    EXPECT_EQ(inputs[0]->tvOSAppIconlayerFrame()->width(), 100);  // the back picture's scale of 1/2
    ASSERT_TRUE(inputs[1]->tvOSLeaderboardLayerFrame());
    EXPECT_EQ(inputs[1]->tvOSLeaderboardLayerFrame()->width(), 659);
}

TEST_F(GlyphwrightStateTest, PicturesAddedTogetherStandInNameOrderWhereTheyAreAdded) {
    auto engine = gw::Glyphwright::make();
    const auto names = [&] {
        Strings result;
        for (const auto& input : engine->imageInputs()) result.push_back(input->imageName());
        return result;
    };
    // Picked in any order: in name order.
    engine->addImages({fileURL(png("c.png", 8, 8)), fileURL(png("a.png", 8, 8)), fileURL(png("b.png", 8, 8))});
    EXPECT_EQ(names(), (Strings{"a", "b", "c"}));
    // A folder, and files with a folder, dropped at an index: there, in name order, the
    // first at the index.
    const auto folder = dir_ / "stack";
    writePng(folder / "2-middle.png", 8, 8);
    writePng(folder / "1-front.png", 8, 8);
    writePng(folder / "3-back.png", 8, 8);
    engine->addImage(folderURL(folder), 1);
    EXPECT_EQ(names(), (Strings{"a", "1-front", "2-middle", "3-back", "b", "c"}));
    std::filesystem::create_directories(dir_ / "empty");
    engine->addImages({fileURL(png("z.png", 8, 8)), fileURL(png("y.png", 8, 8)), folderURL(dir_ / "empty")}, 0);
    EXPECT_EQ(names(), (Strings{"y", "z", "a", "1-front", "2-middle", "3-back", "b", "c"}));
    // A picture already there is only selected: the next goes where it would have.
    engine->insert(std::vector<gw::ImageInputPtr>{engine->imageInputs()[0], gw::ImageInput::load(fileURL(png("x.png", 8, 8)))}, 2);
    EXPECT_EQ(names(), (Strings{"y", "z", "x", "a", "1-front", "2-middle", "3-back", "b", "c"}));
}

TEST_F(GlyphwrightStateTest, SavedPicturesSurviveARestart) {
    const auto savedPath = gw::Glyphwright::savedStatePath();
    EXPECT_EQ(savedPath.filename(), "saved_glyphwright");
    {
        ObservedEngine e;
        e.engine->addImages({fileURL(png("First.png", 64, 64)), fileURL(png("Second.png", 32, 32))});
        e.engine->collectionViewArrayController()->setSelectionIndexes({1});
        const auto json = e.engine->encodeJSON();
        EXPECT_EQ(json["imageInputCollectionType"], pf::Value(1));
        EXPECT_EQ(json["imageInputs"].asArray()->size(), 2u);
        EXPECT_EQ(json["selectionIndexes"],
                  pf::Value::dict({{"indexes", pf::Value::array({pf::Value::dict({{"location", 1}, {"length", 1}})})}}));
        e.engine->save();
    }
    const auto restored = gw::Glyphwright::restore();
    EXPECT_EQ(restored->imageInputCollectionType(), CollectionType::variants);
    const auto inputs = restored->imageInputs();
    ASSERT_EQ(inputs.size(), 2u);
    EXPECT_EQ(inputs[0]->imageName(), "First");
    EXPECT_EQ(inputs[1]->imageName(), "Second");
    EXPECT_EQ(restored->selectedImageInputs(), std::vector<gw::ImageInputPtr>{inputs[1]});
    ASSERT_TRUE(inputs[0]->image());

    // A saved state that is not whole fails as a whole.
    for (const char* text : {"", "{}", R"({"imageInputCollectionType": 3, "imageInputs": [], "selectionIndexes": {"indexes": []}})",
                             R"({"imageInputCollectionType": 0, "imageInputs": [], "selectionIndexes": null})",
                             R"({"imageInputCollectionType": 0, "imageInputs": [], "selectionIndexes": {"indexes": [{"location": 0, "length": 1}]}})"}) {
        pf::files::writeAtomically(dir_ / "broken", std::string_view(text));
        try {
            gw::Glyphwright::restore(dir_ / "broken");
            ADD_FAILURE() << "restored from " << text;
        } catch (const gw::Glyphwright::StorageError& error) {
            EXPECT_EQ(error.errorCase(), gw::Glyphwright::StorageError::Case::decodingFailed);
        }
    }
    EXPECT_THROW(gw::Glyphwright::restore(dir_ / "missing"), gw::Glyphwright::StorageError);

    // Pictures make a saved state large: one past the settings files' read limit still restores.
    std::string large(pf::files::kDefaultReadLimit + 1, ' ');
    large += pf::files::readString(savedPath);
    pf::files::writeAtomically(dir_ / "large", std::string_view(large));
    EXPECT_EQ(gw::Glyphwright::restore(dir_ / "large")->imageInputs().size(), 2u);
    std::filesystem::remove(savedPath);
}

// The state is written piece by piece, not as one text, and past the page cache: what
// reaches the file is still the compact text of the engine's form, a photograph is kept as
// its file's bytes (encoded anew it took seconds and came out no smaller), and a save that
// fails part-way leaves the earlier state whole and nothing beside it.
TEST_F(GlyphwrightStateTest, TheSavedStateIsTheCompactTextOfItsFormAndAFailedSaveLeavesTheEarlierOne) {
    const auto savedPath = gw::Glyphwright::savedStatePath();
    const auto small = png("Small.png", 64, 64);
    const auto photo = dir_ / "in" / "Photo.png";
    const auto photoBytes = gwtest::photoLikePng(512);
    std::ofstream(photo, std::ios::binary) << photoBytes;
    ObservedEngine e;
    e.engine->addImages({fileURL(photo), fileURL(small)});
    e.engine->collectionViewArrayController()->setSelectionIndexes({0, 1});
    e.engine->save();
    // Written past the page cache where the disk takes it so: a state of gigabytes would
    // otherwise first be copied into as much memory.
    if (gwtest::writesPastPageCache(savedPath.parent_path())) {
        EXPECT_LE(gwtest::cachedBytes(savedPath), static_cast<std::uintmax_t>(::sysconf(_SC_PAGESIZE)));
    }
    const auto text = pf::files::readString(savedPath, std::uintmax_t{1} << 30);
    EXPECT_EQ(text, pf::json::serialize(e.engine->encodeJSON()));
    const auto saved = pf::json::parse(text);
    ASSERT_EQ(saved.get("imageInputs").asArray()->size(), 2u);
    EXPECT_EQ(saved.get("imageInputs").asArray()->front().get("imageWrapper").get("image"),
              pf::Value(pf::base64Encoded(pf::Data(photoBytes.begin(), photoBytes.end()))));
    EXPECT_EQ(gw::Glyphwright::restore()->imageInputs().size(), 2u);

    // A picture that gives no bytes, after those that do: it is told, the others are saved.
    const auto empty = gw::ImageInput::make();
    empty->setImageName("Empty");
    e.engine->insert(empty);
    const auto report = e.engine->save();
    ASSERT_EQ(report.unsaved.size(), 1u);
    EXPECT_EQ(report.unsaved.front().name, "Empty");
    EXPECT_EQ(report.savedPictures, 2u);
    EXPECT_EQ(savedNames(savedPath), (Strings{"Photo", "Small"}));
    const auto savedText = pf::files::readString(savedPath, std::uintmax_t{1} << 30);
    // A save that fails part-way (the disk refuses more bytes) leaves the earlier state
    // whole and nothing beside it.
    {
        const gwtest::FileSizeLimit limit(4096);
        EXPECT_THROW(e.engine->save(), pf::Error);
    }
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(savedPath.parent_path())) {
        names.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(names, Strings{"saved_glyphwright"});
    EXPECT_EQ(pf::files::readString(savedPath, std::uintmax_t{1} << 30), savedText);
    std::filesystem::remove(savedPath);
}

// The names beside `path`.
Strings entriesBeside(const std::filesystem::path& path) {
    Strings names;
    for (const auto& entry : std::filesystem::directory_iterator(path.parent_path())) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

class SavedStateDamageTest : public GlyphwrightStateTest {
protected:
    // Saves pictures A, B and C, A and C selected, and gives back the text.
    std::string savedText() {
        auto engine = gw::Glyphwright::make();
        engine->addImages({fileURL(png("A.png", 48, 48)), fileURL(png("B.png", 40, 40)), fileURL(png("C.png", 32, 32))});
        engine->collectionViewArrayController()->setSelectionIndexes({0, 2});
        engine->save(path_);
        return pf::files::readString(path_);
    }
    // Saves six pictures, each of whose sources of its bytes is gone or kept a way of its
    // own, and checks what was saved of each.
    void savesEveryPictureItCan();
    const std::filesystem::path path_ = dir_ / "support" / "saved_glyphwright";
};

// What comes back of a saved state of A, B, C (A and C selected) by the damage it has: every
// picture that can be read, the selection where it survives, and what was lost, for the
// alert; a damaged file is kept aside byte for byte, so that the next save cannot replace it.
TEST_F(SavedStateDamageTest, WhatComesBackOfEachDamageAndTheDamagedFileIsKeptAside) {
    const std::string whole = savedText();
    const auto base64Of = [&](const char* name) {
        return whole.find("\"image\":\"", whole.find(std::string("\"imageName\":\"") + name + "\"")) + 9;
    };
    std::string badBase64 = whole;
    badBase64[base64Of("B") + 40] = '*';
    const std::size_t startOfB = whole.find(",{", base64Of("A")) + 1, startOfC = whole.find(",{", base64Of("B")) + 1;
    std::string withoutCommaAfterA = whole;
    withoutCommaAfterA.erase(startOfB - 1, 1);
    std::string quoteInB = whole;
    quoteInB.insert(base64Of("B") + 40, "\"");
    std::string zeroedAB = whole;
    std::fill(zeroedAB.begin() + static_cast<std::ptrdiff_t>(startOfB - 30), zeroedAB.begin() + static_cast<std::ptrdiff_t>(startOfB + 10), '\0');
    std::string garbageAfterB = whole;
    garbageAfterB.insert(startOfC - 1, "xyz");
    // A megabyte of objects that never close, each a place the reading may try as a
    // picture's start: followed once, not once per place (that took minutes).
    std::string openBeforeC = R"({"imageName":"Open","imageWrapper":)";
    for (int i = 0; i < 200'000; ++i) openBeforeC += R"({"a":)";
    openBeforeC = whole.substr(0, startOfC) + openBeforeC + whole.substr(startOfC);
    struct Case {
        const char* name;
        std::optional<std::string> text;  // none: no saved state
        std::string restored;             // the names, then what the damage says
        std::set<std::size_t> selection;  // checked when not empty
    };
    const std::vector<Case> cases = {
        {"no saved state", std::nullopt, "", {}},
        {"the null of a quit without an engine", "null", "", {}},
        {"whole", whole, "A B C", {0, 2}},
        {"missing its last byte", whole.substr(0, whole.size() - 1), "A B C | damaged", {0, 2}},
        {"B's Base64 damaged", badBase64, "A C | damaged, lost 1 B", {0, 1}},
        {"cut inside B's picture", whole.substr(0, base64Of("B") + 100), "A | damaged, lost 1 B, breaks off after B", {}},
        {"cut between A and B", whole.substr(0, whole.find(",{", base64Of("A")) + 1), "A | damaged, breaks off after A", {}},
        {"a selection past the pictures",
         whole.substr(0, whole.rfind("\"indexes\"")) + R"("indexes":[{"location":2,"length":5}]}})", "A B C | damaged", {}},
        // Damage between or inside pictures costs no picture after it.
        {"a comma removed between A and B", withoutCommaAfterA, "A B C | damaged", {0, 2}},
        {"a quote inside B's Base64", quoteInB, "A C | damaged, lost 1 B", {}},
        {"zeroes over the end of A and the start of B", zeroedAB, "C | damaged, lost 0 A, lost 1 B", {}},
        {"garbage between B and C", garbageAfterB, "A B C | damaged", {}},
        {"a megabyte of objects left open before C", openBeforeC, "A B C | damaged, lost 2 Open", {}},
        {"garbage", "garbage", " | unreadable", {}},
        {"cut before the pictures", whole.substr(0, 20), " | unreadable", {}},
        {"of no known shape", R"({"imageInputCollectionType":7,"imageInputs":{}})", " | unreadable", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(path_.parent_path());
        std::filesystem::create_directories(path_.parent_path());
        if (c.text) gwtest::writeFile(path_, *c.text);
        const auto restored = gw::Glyphwright::restoreSavedState(path_);
        std::string outcome;
        for (const auto& input : restored.engine ? restored.engine->imageInputs() : std::vector<gw::ImageInputPtr>{}) {
            outcome += (outcome.empty() ? "" : " ") + input->imageName();
        }
        if (const auto& damage = restored.damage) {
            outcome += damage->unreadable ? " | unreadable" : " | damaged";
            for (const auto& lost : damage->lostPictures) outcome += ", lost " + std::to_string(lost.position) + " " + lost.name;
            if (damage->breaksOff) outcome += ", breaks off after " + damage->lastPictureBeforeBreak;
            EXPECT_FALSE(damage->reason.empty());
            ASSERT_FALSE(damage->keptAs.empty()) << damage->notKeptBecause;
            EXPECT_EQ(entriesBeside(path_), Strings{damage->keptAs.filename().string()});
            EXPECT_EQ(damage->keptAs.filename().string().rfind("saved_glyphwright.damaged-", 0), 0u);
            EXPECT_EQ(pf::files::readString(damage->keptAs), *c.text);
        } else {
            EXPECT_EQ(entriesBeside(path_), c.text ? Strings{"saved_glyphwright"} : Strings{});
            EXPECT_EQ(c.text ? pf::files::readString(path_) : "", c.text.value_or(""));
        }
        EXPECT_EQ(outcome, c.restored);
        if (!c.selection.empty()) {
            ASSERT_TRUE(restored.engine);
            EXPECT_EQ(restored.engine->collectionViewArrayController()->selectionIndexes(), c.selection);
        }
    }
    // Two damaged states within a second are both kept.
    std::filesystem::remove_all(path_.parent_path());
    for (int i = 0; i < 2; ++i) {
        gwtest::writeFile(path_, "garbage");
        EXPECT_FALSE(gw::Glyphwright::restoreSavedState(path_).damage->keptAs.empty());
    }
    EXPECT_EQ(entriesBeside(path_).size(), 2u);
}


// The processor time this process has taken so far, in seconds.
double processorSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Damage of any shape is followed in time linear in the size of the state: a megabyte of
// it is read by a start, and by a save that finds it put there by another process, in well
// under a second of processor time, the whole pictures around it kept. The damage here
// once made both quadratic: an escaped quote repeated puts every later brace inside a
// string as seen from each place tried as a picture's start, and a picture's shape nested
// in itself, damaged at its core, was checked anew from each level to the core; a brace
// between escaped quotes, repeated, had its nesting counted anew from each brace to the
// end of the state (35 s at 400 KB).
TEST_F(SavedStateDamageTest, DamageOfAnyShapeIsFollowedInTimeLinearInItsSize) {
    const std::string whole = savedText();
    const std::size_t startOfB = whole.find(",{", whole.find("\"imageName\":\"A\"")) + 1;
    const auto damaged = [&](const std::string& opening, const std::string& closing, std::size_t bytes) {
        std::string damage;
        while (damage.size() + opening.size() + closing.size() < bytes) damage += opening;
        damage += "x";
        for (std::size_t i = damage.size() / opening.size(); !closing.empty() && i > 0; --i) damage += closing;
        return whole.substr(0, startOfB) + damage + "," + whole.substr(startOfB);
    };
    const struct {
        const char* name;
        std::string opening, closing;
    } cases[] = {
        {"an escaped quote repeated", R"({"a":"b\")", ""},
        {"a picture's shape nested in itself", R"({"imageWrapper":0,"imageName":"n","n":)", "}"},
        {"a brace between escaped quotes repeated", R"(\"{")", ""},
    };
    const double limit = 1.0 * GW_TEST_TIMEOUT_SCALE;
    for (const auto& c : cases) {
        for (const std::size_t bytes : {std::size_t{128} << 10, std::size_t{400} << 10, std::size_t{1} << 20}) {
            SCOPED_TRACE(std::string(c.name) + ", " + std::to_string(bytes >> 10) + " KB");
            const auto text = damaged(c.opening, c.closing, bytes);
            std::filesystem::remove_all(path_.parent_path());
            std::filesystem::create_directories(path_.parent_path());
            gwtest::writeFile(path_, text);
            double started = processorSeconds();
            const auto restored = gw::Glyphwright::restoreSavedState(path_);
            const double reading = processorSeconds() - started;
            ASSERT_TRUE(restored.engine);
            std::string names;
            for (const auto& input : restored.engine->imageInputs()) names += input->imageName();
            EXPECT_EQ(names, "ABC");
            EXPECT_LT(reading, limit) << "to read it at a start";

            // Put in place by another process after this window read the whole state.
            std::filesystem::remove_all(path_.parent_path());
            std::filesystem::create_directories(path_.parent_path());
            gwtest::writeFile(path_, whole);
            gw::Glyphwright::SavedStateRecord record;
            const auto window = gw::Glyphwright::restoreSavedState(path_, &record).engine;
            ASSERT_TRUE(window);
            gwtest::writeFile(path_, text);
            started = processorSeconds();
            window->save(path_, &record);
            const double saving = processorSeconds() - started;
            EXPECT_EQ(savedNames(path_), (Strings{"A", "B", "C"}));
            EXPECT_LT(saving, limit) << "to read it at a save";
            // Quadratic, the megabyte would take minutes.
            if (reading >= limit || saving >= limit) break;
        }
    }
}

// A save writes every picture it can, each from the first of its sources that still has
// it (the bytes it holds, its file while that holds the same bytes however it was
// touched, its pixels); a picture none can give is told with why, and costs no other.
void SavedStateDamageTest::savesEveryPictureItCan() {
    struct Case {
        const char* name;
        const char* file;  // what happens to its file
        bool letGo;        // its pixels are let go first
        const char* saved; // "as its file", "as its pixels", or the reason it is not
    };
    const std::vector<Case> cases = {
        {"Held", "moved", false, "as its pixels"},
        {"Touched", "touched", true, "as its file"},
        {"CopiedBack", "copied back", true, "as its file"},
        {"Untouched", "", true, "as its file"},
        {"Moved", "moved", true, "is no longer there"},
        {"Changed", "changed", true, "has changed since it was opened"},
    };
    std::vector<pf::URL> urls;
    std::map<std::string, std::string> bytesOf;
    std::uint32_t seed = 1;
    for (const auto& c : cases) {
        const auto file = dir_ / "in" / (std::string(c.name) + ".png");
        std::filesystem::create_directories(file.parent_path());
        bytesOf[c.name] = gwtest::photoLikePng(96, seed++);
        gwtest::writeFile(file, bytesOf[c.name]);
        urls.push_back(fileURL(file));
    }
    // Of pictures read together only the first few, as many as there are processors, keep
    // their pixels: the held one is read on its own, which keeps them on any machine.
    auto engine = gw::Glyphwright::make();
    engine->addImages(std::vector<pf::URL>(urls.begin() + 1, urls.end()));
    engine->addImage(urls.front());
    ASSERT_EQ(engine->imageInputs().size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& c = cases[i];
        const auto file = urls[i].fsPath();
        const auto inputs = engine->imageInputs();
        const auto input = *std::find_if(inputs.begin(), inputs.end(), [&](const auto& in) { return in->imageName() == c.name; });
        if (c.letGo) {
            ASSERT_TRUE(input->releasePixels());
        } else {
            ASSERT_TRUE(holdsPixels(input)) << c.name;
        }
        const std::string what = c.file;
        if (what == "moved") {
            std::filesystem::rename(file, dir_ / (std::string(c.name) + "-moved.png"));
        } else if (what == "touched") {
            std::filesystem::last_write_time(file, std::filesystem::last_write_time(file) + std::chrono::hours(1));
        } else if (what == "copied back") {
            const auto copy = dir_ / "copy.png";
            std::filesystem::copy_file(file, copy);
            std::filesystem::remove(file);
            std::filesystem::rename(copy, file);
        } else if (what == "changed") {
            auto changed = bytesOf[c.name];
            changed[changed.size() / 2] ^= 0x55;
            gwtest::writeFile(file, changed);
        }
    }
    const auto report = engine->save(path_);
    std::map<std::string, std::string> unsaved;
    for (const auto& u : report.unsaved) unsaved[u.name] = u.reason;
    const auto state = pf::json::parse(pf::files::readString(path_, std::uintmax_t{1} << 30));
    std::map<std::string, pf::Data> savedBytes;
    for (const auto& picture : *state.get("imageInputs").asArray()) {
        savedBytes[*picture.get("imageName").asString()] = *pf::base64Decoded(*picture.get("imageWrapper").get("image").asString());
    }
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(c.name);
        const std::string saved = c.saved;
        if (saved == "as its file") {
            ASSERT_TRUE(savedBytes.count(c.name));
            EXPECT_EQ(std::string(savedBytes[c.name].begin(), savedBytes[c.name].end()), bytesOf[c.name]);
        } else if (saved == "as its pixels") {
            ASSERT_TRUE(savedBytes.count(c.name));
            const auto image = platform::graphics::Image::fromData(savedBytes[c.name]);
            ASSERT_TRUE(image);
            EXPECT_EQ(image->size().width, 96);
        } else {
            EXPECT_FALSE(savedBytes.count(c.name));
            ASSERT_TRUE(unsaved.count(c.name));
            EXPECT_NE(unsaved[c.name].find(saved), std::string::npos) << unsaved[c.name];
            EXPECT_NE(unsaved[c.name].find(urls[i].path()), std::string::npos) << unsaved[c.name];
        }
    }
    EXPECT_EQ(report.savedPictures, 4u);
    EXPECT_EQ(unsaved.size(), 2u);
    // What was saved comes back.
    const auto restored = gw::Glyphwright::restoreSavedState(path_);
    EXPECT_FALSE(restored.damage) << restored.damage->reason;
    ASSERT_TRUE(restored.engine);
    EXPECT_EQ(restored.engine->imageInputs().size(), 4u);
}

TEST_F(SavedStateDamageTest, ASaveWritesEveryPictureItCanAndTellsWhyNotOfTheOthers) { savesEveryPictureItCan(); }

// Set in a launch of this executable that may use only that many processors.
constexpr const char* kProcessorsVariable = "GW_TEST_PROCESSORS";

// The processors decide how many pictures are read, and keep their pixels, at once, and
// how many a save fetches at once; never what a save writes.
TEST_F(SavedStateDamageTest, ASaveOnOneOrTwoProcessorsWritesWhatItWritesOnMore) {
    if (const char* processors = std::getenv(kProcessorsVariable)) {
        ASSERT_EQ(platform::dispatch::usableProcessorCount(), std::stoul(processors));
        savesEveryPictureItCan();
        return;
    }
    cpu_set_t all;
    ASSERT_EQ(::sched_getaffinity(0, sizeof all, &all), 0);
    for (const int processors : {1, 2}) {
        if (CPU_COUNT(&all) < processors) continue;
        SCOPED_TRACE(std::to_string(processors) + " processors");
        // A process starts on the processors of the thread that starts it, before it
        // makes any thread of its own.
        cpu_set_t some;
        CPU_ZERO(&some);
        for (int cpu = 0, taken = 0; cpu < CPU_SETSIZE && taken < processors; ++cpu) {
            if (!CPU_ISSET(cpu, &all)) continue;
            CPU_SET(cpu, &some);
            ++taken;
        }
        ASSERT_EQ(::sched_setaffinity(0, sizeof some, &some), 0);
        const pid_t child = gwtest::spawnSelf({gwtest::currentTestName(), {{kProcessorsVariable, std::to_string(processors)}}});
        ASSERT_EQ(::sched_setaffinity(0, sizeof all, &all), 0);
        ASSERT_GT(child, 0);
        const int status = gwtest::waitForChild(child, std::chrono::minutes(4));
        EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) << "its output is above";
    }
}

// Two windows of one user that cannot meet (two displays, no bus) and read the same state:
// each save keeps what the other saved since, what one removed stays removed there, and a
// later save keeps what an earlier one kept.
TEST_F(SavedStateDamageTest, ASaveKeepsThePicturesAnotherProcessSavedSinceItRead) {
    savedText();
    gw::Glyphwright::SavedStateRecord first, second;
    const auto one = gw::Glyphwright::restoreSavedState(path_, &first).engine;
    const auto two = gw::Glyphwright::restoreSavedState(path_, &second).engine;
    ASSERT_TRUE(one && two);
    one->addImages({fileURL(png("D.png", 24, 24))}, std::nullopt);
    EXPECT_EQ(one->save(path_, &first).keptOfOthers, 0u);
    EXPECT_EQ(savedNames(path_), (Strings{"A", "B", "C", "D"}));

    const auto& controller = two->collectionViewArrayController();
    controller->removeObjects({controller->arrangedObjects()[1]});
    two->addImages({fileURL(png("E.png", 20, 20))}, std::nullopt);
    auto report = two->save(path_, &second);
    EXPECT_EQ(report.keptOfOthers, 1u);
    EXPECT_EQ(savedNames(path_), (Strings{"A", "C", "E", "D"}));
    EXPECT_EQ(two->save(path_, &second).keptOfOthers, 1u);
    EXPECT_EQ(savedNames(path_), (Strings{"A", "C", "E", "D"}));

    // The first never held E: kept; it still holds B, which comes back with it.
    EXPECT_EQ(one->save(path_, &first).keptOfOthers, 1u);
    EXPECT_EQ(savedNames(path_), (Strings{"A", "B", "C", "D", "E"}));
    // Without a record a save is the window's alone, as before.
    one->save(path_);
    EXPECT_EQ(savedNames(path_), (Strings{"A", "B", "C", "D"}));
    EXPECT_EQ(entriesBeside(path_), Strings{"saved_glyphwright"});
}

// A damaged state that could not be moved aside at the start is never replaced: the
// saves go beside it and the next start reads them there; once it can be moved aside (a
// folder made writable, a folder in its place cleared away), the state takes its place
// again and nothing is left beside it.
TEST_F(SavedStateDamageTest, ADamagedStateThatCouldNotBeMovedAsideIsNeverReplaced) {
    if (!gwtest::runWherePermissionsBind()) return;
    const auto folder = path_.parent_path();
    const auto readOnly = [&](bool on) {
        std::filesystem::permissions(folder, on ? std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec
                                                : std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::replace);
    };
    const auto names = [](const std::shared_ptr<gw::Glyphwright>& engine) {
        std::string all;
        for (const auto& input : engine ? engine->imageInputs() : std::vector<gw::ImageInputPtr>{}) all += input->imageName();
        return all;
    };
    const std::string whole = savedText();

    // A state damaged in its list, in a folder that is read-only at the start.
    gwtest::writeFile(path_, whole.substr(0, whole.size() - 1));
    readOnly(true);
    gw::Glyphwright::SavedStateRecord record;
    auto restored = gw::Glyphwright::restoreSavedState(path_, &record);
    ASSERT_TRUE(restored.damage);
    EXPECT_TRUE(restored.damage->keptAs.empty());
    EXPECT_FALSE(restored.damage->notKeptBecause.empty());
    EXPECT_TRUE(record.damagedInPlace);
    EXPECT_EQ(names(restored.engine), "ABC");
    readOnly(false);
    auto report = restored.engine->save(path_, &record);
    ASSERT_FALSE(report.damagedKeptAs.empty());
    EXPECT_EQ(pf::files::readString(report.damagedKeptAs), whole.substr(0, whole.size() - 1));
    EXPECT_EQ(report.savedAs, path_);
    EXPECT_FALSE(gw::Glyphwright::restoreSavedState(path_).damage);
    std::filesystem::remove(report.damagedKeptAs);

    // A folder in the state's place is no file to move aside: the saves go beside it.
    std::filesystem::remove(path_);
    std::filesystem::create_directories(path_ / "inside");
    gwtest::writeFile(path_ / "inside" / "kept", "kept");
    restored = gw::Glyphwright::restoreSavedState(path_, &record);
    ASSERT_TRUE(restored.damage);
    EXPECT_TRUE(restored.damage->keptAs.empty());
    auto engine = gw::Glyphwright::make();
    engine->setImageInputCollectionType(CollectionType::variants);
    engine->addImages({fileURL(png("X.png", 16, 16))}, std::nullopt);
    report = engine->save(path_, &record);
    EXPECT_EQ(report.savedAs, gw::Glyphwright::besideDamagedPath(path_));
    EXPECT_EQ(gwtest::readFile(path_ / "inside" / "kept"), "kept");
    // The next start reads what was saved beside it, and saves there again.
    restored = gw::Glyphwright::restoreSavedState(path_, &record);
    EXPECT_EQ(names(restored.engine), "X");
    restored.engine->addImages({fileURL(png("Y.png", 16, 16))}, std::nullopt);
    EXPECT_EQ(restored.engine->save(path_, &record).savedAs, gw::Glyphwright::besideDamagedPath(path_));
    // Cleared away, the state takes its place again.
    std::filesystem::remove_all(path_);
    restored = gw::Glyphwright::restoreSavedState(path_, &record);
    EXPECT_FALSE(restored.damage);
    EXPECT_EQ(names(restored.engine), "XY");
    EXPECT_EQ(restored.engine->save(path_, &record).savedAs, path_);
    EXPECT_EQ(entriesBeside(path_), Strings{"saved_glyphwright"});
    EXPECT_EQ(names(gw::Glyphwright::restoreSavedState(path_).engine), "XY");
}

// A save cut short (the process killed) leaves its temporary file: the next start removes
// it, but never the one a save under way is writing, nor anything else beside the state,
// whatever its name looks like (a user's ".saved_glyphwright.backup"), and neither does a save.
TEST_F(SavedStateDamageTest, TemporariesOfCutShortSavesGoAtTheNextStartButNotOneBeingWritten) {
    const auto whole = savedText();
    const auto folder = path_.parent_path();
    for (const std::string& text : {whole.substr(0, 100), std::string()}) {
        const pid_t killed = ::fork();
        ASSERT_GE(killed, 0);
        if (killed == 0) {
            pf::files::AtomicFileWriter writer(path_);
            writer.write(text);
            ::raise(SIGKILL);
        }
        const int ended = waitForChild(killed, std::chrono::minutes(1));
        ASSERT_TRUE(ended != -1 && WIFSIGNALED(ended) && WTERMSIG(ended) == SIGKILL);
    }
    const Strings users{".other.Ab12Cd", ".saved_glyphwright.Xy12Zq", ".saved_glyphwright.backup",
                        ".saved_glyphwright.notOurs"};
    for (const auto& name : users) gwtest::writeFile(folder / name, "kept: " + name);
    ASSERT_EQ(entriesBeside(path_).size(), users.size() + 3);
    std::optional<pf::files::AtomicFileWriter> underWay(std::in_place, path_);
    underWay->write("{\"imageInputCollectionType\":1");
    const std::filesystem::path beingWritten = underWay->temporaryPath();

    auto restored = gw::Glyphwright::restoreSavedState(path_);
    ASSERT_TRUE(restored.engine);
    Strings expected = users;
    expected.insert(expected.end(), {beingWritten.filename().string(), "saved_glyphwright"});
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(entriesBeside(path_), expected);
    // A quit's save leaves them too.
    restored.engine->save(path_);
    EXPECT_EQ(entriesBeside(path_), expected);
    // Once its writer is gone, that one is stale too; a first start has no state yet.
    underWay.reset();
    std::filesystem::remove(path_);
    EXPECT_FALSE(gw::Glyphwright::restoreSavedState(path_).engine);
    EXPECT_EQ(entriesBeside(path_), users);
    for (const auto& name : users) EXPECT_EQ(gwtest::readFile(folder / name), "kept: " + name);
}

}  // namespace
}  // namespace gwtest::engine
