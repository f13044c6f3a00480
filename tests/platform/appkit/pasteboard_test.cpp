#include "platform/appkit/pasteboard.hpp"

#include "platform/dispatch/operation_queue.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

namespace {

namespace appkit = platform::appkit;
namespace pf = platform::foundation;

TEST(Pasteboard, AvailableTypeFollowsTheAskedOrderNotTheWrittenOne) {
    appkit::Pasteboard board;
    board.clearContents();
    board.setData(pf::dataFromString("png"), appkit::pasteboardTypePNG);
    board.setData(pf::dataFromString("tiff"), appkit::pasteboardTypeTIFF);

    EXPECT_EQ(board.types(), (std::vector<std::string>{"public.png", "public.tiff"}));
    EXPECT_EQ(board.availableTypeFromArray({"public.tiff", "public.png"}), "public.tiff");
    EXPECT_EQ(board.availableTypeFromArray({"x", "public.png"}), "public.png");
    EXPECT_EQ(board.availableTypeFromArray({"x", "y"}), std::nullopt);
    EXPECT_EQ(board.availableTypeFromArray({}), std::nullopt);
}

TEST(Pasteboard, ClearingStartsNewContentsAndCountsChanges) {
    appkit::Pasteboard board;
    auto first = board.clearContents();
    board.setString("hello", appkit::pasteboardTypeString);
    board.writeFileURLs({pf::URL::fileURL("/tmp/a.png", false)});
    EXPECT_GT(board.changeCount(), first);
    EXPECT_EQ(board.stringForType(appkit::pasteboardTypeString), "hello");

    board.clearContents();
    EXPECT_TRUE(board.types().empty());
    EXPECT_EQ(board.dataForType(appkit::pasteboardTypeString), std::nullopt);
    EXPECT_EQ(board.readFileURLs(), std::nullopt);
    EXPECT_FALSE(board.setData({}, ""));
}

TEST(Pasteboard, FileURLsKeepTheirOrderAndSingleTextURLsAreRead) {
    appkit::Pasteboard board;
    board.clearContents();
    const auto a = pf::URL::fileURL("/tmp/b b.png", false);
    const auto b = pf::URL::fileURL("/tmp/a.png", false);
    board.writeFileURLs({a, b});
    EXPECT_EQ(board.readFileURLs(), (std::vector<pf::URL>{a, b}));
    // The type's own data names the first file.
    EXPECT_EQ(board.stringForType(appkit::pasteboardTypeFileURL), a.absoluteString());

    appkit::Pasteboard other;
    other.setString(b.absoluteString(), appkit::pasteboardTypeFileURL);
    EXPECT_EQ(other.readFileURLs(), (std::vector<pf::URL>{b}));
    other.setString("not a url", appkit::pasteboardTypeFileURL);
    EXPECT_EQ(other.readFileURLs(), std::nullopt);
}

class Named : public appkit::PasteboardWriting {
public:
    std::vector<appkit::PasteboardType> writableTypesForPasteboard() const override { return {"a", "b"}; }
    std::optional<pf::Data> pasteboardPropertyListForType(std::string_view type) const override {
        if (type == "a") return pf::dataFromString("A");
        return std::nullopt;
    }
};

TEST(Pasteboard, WritingObjectsReportsTypesWithoutData) {
    appkit::Pasteboard board;
    Named object;
    EXPECT_FALSE(board.writeObjects({&object}));
    EXPECT_EQ(board.stringForType("a"), "A");
    EXPECT_EQ(board.dataForType("b"), std::nullopt);
}

TEST(Pasteboard, NamedPasteboardsAreSharedByName) {
    auto& a = appkit::Pasteboard::withName("test-board");
    auto& b = appkit::Pasteboard::withName("test-board");
    EXPECT_EQ(&a, &b);
    EXPECT_NE(&appkit::Pasteboard::general(), &a);
}

TEST(FilePromiseReceiver, WritesEveryPromisedFileAndReportsFailuresToTheReader) {
    gwtest::TempDir dir;
    auto writeFile = [](const std::string& name) {
        return [name](const pf::URL& destination) {
            auto url = destination.appendingPathComponent(name);
            gwtest::writeFile(url.fsPath(), "contents");
            return url;
        };
    };
    auto failing = [](const pf::URL&) -> pf::URL { throw std::runtime_error("source went away"); };
    auto receiver = std::make_shared<appkit::FilePromiseReceiver>(
        std::vector<std::string>{"public.png", "public.png", "public.png"},
        std::vector<appkit::FilePromiseReceiver::FileWriter>{writeFile("one.png"), failing, writeFile("two.png")});

    appkit::Pasteboard board;
    board.writeFilePromises({receiver});
    EXPECT_EQ(board.types().front(), appkit::filesPromisePboardType);
    ASSERT_TRUE(board.readFilePromiseReceivers());
    EXPECT_EQ(board.readFilePromiseReceivers()->size(), 1u);

    platform::dispatch::OperationQueue queue;
    std::mutex mutex;
    std::vector<std::string> files;
    int errors = 0;
    receiver->receivePromisedFiles(pf::URL::fileURL(dir.path(), true), {}, queue,
                                   [&](const pf::URL& url, std::exception_ptr error) {
                                       std::lock_guard lock(mutex);
                                       if (error) {
                                           ++errors;
                                       } else {
                                           files.push_back(url.lastPathComponent());
                                       }
                                   });
    queue.waitUntilAllOperationsAreFinished();
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"one.png", "two.png"}));
    EXPECT_EQ(errors, 1);
    EXPECT_TRUE(std::filesystem::exists(dir / "one.png"));
}

}  // namespace
