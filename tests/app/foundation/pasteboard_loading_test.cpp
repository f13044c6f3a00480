#include "app/foundation/pasteboard_loading.hpp"

#include "picture_test_support.hpp"
#include "platform/dispatch/dispatch_queue.hpp"

#include <gtest/gtest.h>

#include <chrono>

namespace {

namespace appkit = platform::appkit;
using platform::foundation::URL;
using platform::graphics::Size;

struct Outcome {
    int calls = 0;
    std::optional<gw::PasteboardLoadResult> result;
};

gw::PasteboardLoadCompletion recordInto(Outcome& outcome) {
    return [&outcome](gw::PasteboardLoadResult result) {
        ++outcome.calls;
        outcome.result = std::move(result);
    };
}

bool isNoLoadableImages(const gw::PasteboardLoadResult& result) {
    if (!result.isFailure()) return false;
    try {
        std::rethrow_exception(result.error());
    } catch (const gw::PasteboardError& e) {
        return e.errorCase() == gw::PasteboardError::Case::noLoadableImagesFound;
    } catch (...) {
        return false;
    }
}

std::vector<std::uint8_t> pngBytes(int w, int h) {
    return platform::graphics::BitmapRep(gwtest::makeBitmap(w, h, [](int, int) { return gwtest::Rgba{}; })).pngData();
}

void waitFor(const Outcome& outcome) {
    platform::dispatch::MainLoop::runUntil([&] { return outcome.calls > 0; }, std::chrono::seconds(10));
}

TEST(AcceptedPasteboardTypes, AreInOrderOfPreference) {
    const auto& types = gw::acceptedPasteboardTypes();
    ASSERT_GE(types.size(), 4u);
    EXPECT_EQ(types[0], appkit::pasteboardTypeTIFF);
    EXPECT_EQ(types[1], appkit::pasteboardTypePNG);
    EXPECT_EQ(types[2], appkit::pasteboardTypeFileURL);
    EXPECT_EQ(types[3], appkit::filesPromisePboardType);
    EXPECT_EQ(types.size(), 4 + appkit::FilePromiseReceiver::readableDraggedTypes().size());
}

TEST(PasteboardLoading, ImageDataComesBeforeFileURLs) {
    appkit::Pasteboard board;
    board.writeFileURLs({URL::fileURL("/nowhere/a.png", false)});
    board.setData(pngBytes(6, 3), appkit::pasteboardTypePNG);
    Outcome outcome;
    gw::loadImages(board, recordInto(outcome));
    ASSERT_EQ(outcome.calls, 1);  // before returning
    ASSERT_TRUE(outcome.result->isImages());
    ASSERT_EQ(outcome.result->loadedImages().size(), 1u);
    EXPECT_EQ(outcome.result->loadedImages()[0]->size(), (Size{6, 3}));
    EXPECT_TRUE(gw::offersAcceptedType(board));
}

TEST(PasteboardLoading, FileURLsAreHandedOnInOrder) {
    appkit::Pasteboard board;
    std::vector<URL> urls{URL::fileURL("/x/b.png", false), URL::fileURL("/x/a.png", false)};
    board.writeFileURLs(urls);
    Outcome outcome;
    gw::loadImages(board, recordInto(outcome));
    ASSERT_EQ(outcome.calls, 1);
    ASSERT_TRUE(outcome.result->isFileURLs());
    EXPECT_EQ(outcome.result->urls(), urls);
}

TEST(PasteboardLoading, NothingLoadableFailsAtOnce) {
    appkit::Pasteboard empty;
    Outcome none;
    gw::loadImages(empty, recordInto(none));
    ASSERT_EQ(none.calls, 1);
    EXPECT_TRUE(isNoLoadableImages(*none.result));
    EXPECT_FALSE(gw::offersAcceptedType(empty));

    appkit::Pasteboard text;
    text.setString("hello", appkit::pasteboardTypeString);
    Outcome textOutcome;
    gw::loadImages(text, recordInto(textOutcome));
    EXPECT_TRUE(isNoLoadableImages(*textOutcome.result));

    appkit::Pasteboard notTiff;
    notTiff.setString("II*\0 not really", appkit::pasteboardTypeTIFF);
    Outcome tiffOutcome;
    gw::loadImages(notTiff, recordInto(tiffOutcome));
    EXPECT_TRUE(isNoLoadableImages(*tiffOutcome.result));

    appkit::Pasteboard promiseTypeOnly;
    promiseTypeOnly.setData({}, appkit::FilePromiseReceiver::readableDraggedTypes().front());
    Outcome promiseOutcome;
    gw::loadImages(promiseTypeOnly, recordInto(promiseOutcome));
    ASSERT_EQ(promiseOutcome.calls, 1);
    EXPECT_TRUE(isNoLoadableImages(*promiseOutcome.result));
}

appkit::FilePromiseReceiver::FileWriter writesPng(const std::string& name, int size) {
    return [name, size](const URL& destination) {
        auto url = destination.appendingPathComponent(name);
        gwtest::writePng(url.fsPath(), size, size);
        return url;
    };
}

appkit::FilePromiseReceiver::FileWriter writesJunk(const std::string& name) {
    return [name](const URL& destination) {
        auto url = destination.appendingPathComponent(name);
        gwtest::writeFile(url.fsPath(), "junk");
        return url;
    };
}

TEST(PasteboardLoading, PromisedFilesLoadWhenAtLeastOneIsAPicture) {
    gwtest::TempDir tmp;
    gwtest::ScopedEnv tmpdir("TMPDIR", tmp.path().string());
    appkit::Pasteboard board;
    board.writeFilePromises({std::make_shared<appkit::FilePromiseReceiver>(
        std::vector<std::string>{"public.png", "public.png"},
        std::vector<appkit::FilePromiseReceiver::FileWriter>{writesJunk("bad.png"), writesPng("good.png", 5)})});

    Outcome outcome;
    gw::loadImages(board, recordInto(outcome));
    waitFor(outcome);
    ASSERT_EQ(outcome.calls, 1);
    ASSERT_TRUE(outcome.result->isImages());
    ASSERT_EQ(outcome.result->loadedImages().size(), 1u);
    EXPECT_EQ(outcome.result->loadedImages()[0]->size(), (Size{5, 5}));

    // Each drop receives into its own new folder.
    Outcome second;
    gw::loadImages(board, recordInto(second));
    waitFor(second);
    std::vector<std::filesystem::path> folders;
    for (const auto& entry : std::filesystem::directory_iterator(tmp.path())) folders.push_back(entry.path());
    ASSERT_EQ(folders.size(), 2u);
    for (const auto& folder : folders) EXPECT_TRUE(std::filesystem::exists(folder / "good.png"));
}

TEST(PasteboardLoading, PromisesThatAllFailDeliverTheFirstError) {
    gwtest::TempDir tmp;
    gwtest::ScopedEnv tmpdir("TMPDIR", tmp.path().string());
    auto throwing = [](const URL&) -> URL { throw std::runtime_error("first failure"); };
    appkit::Pasteboard board;
    board.writeFilePromises({std::make_shared<appkit::FilePromiseReceiver>(
        std::vector<std::string>{"public.png", "public.png"},
        std::vector<appkit::FilePromiseReceiver::FileWriter>{throwing, writesJunk("bad.png")})});
    Outcome outcome;
    gw::loadImages(board, recordInto(outcome));
    waitFor(outcome);
    ASSERT_EQ(outcome.calls, 1);
    ASSERT_TRUE(outcome.result->isFailure());
    try {
        std::rethrow_exception(outcome.result->error());
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "first failure");
    }
}

TEST(PasteboardLoading, AFolderThatCannotBeMadeFailsAtOnce) {
    gwtest::TempDir tmp;
    gwtest::writeFile(tmp / "file", "in the way");
    gwtest::ScopedEnv tmpdir("TMPDIR", (tmp / "file").string());
    appkit::Pasteboard board;
    board.writeFilePromises({std::make_shared<appkit::FilePromiseReceiver>(
        std::vector<std::string>{"public.png"}, std::vector<appkit::FilePromiseReceiver::FileWriter>{writesPng("a.png", 2)})});
    Outcome outcome;
    gw::loadImages(board, recordInto(outcome));
    ASSERT_EQ(outcome.calls, 1);
    EXPECT_TRUE(outcome.result->isFailure());
    EXPECT_FALSE(isNoLoadableImages(*outcome.result));
}

class Target : public gw::IndexedDropTarget {
public:
    void handleLoadedPasteboardItems(const gw::PasteboardLoadResult&, std::size_t index) override { indices.push_back(index); }
    std::vector<std::size_t> indices;
};

TEST(PasteboardLoading, CompletionsHoldTheirTargetWeakly) {
    auto target = std::make_shared<Target>();
    auto completion = gw::completionFor(std::weak_ptr<gw::IndexedDropTarget>(target), 3);
    appkit::Pasteboard empty;
    gw::loadImages(empty, completion);
    EXPECT_EQ(target->indices, std::vector<std::size_t>{3});
    target.reset();
    gw::loadImages(empty, completion);  // nobody left to tell
}

}  // namespace
