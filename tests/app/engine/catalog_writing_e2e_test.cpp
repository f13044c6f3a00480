// Whole catalogs written to disk: hand-built and builder-made plans, each remembered
// already-exists answer against catalogs and asset folders already on disk, and runs
// that lose the ability to write half-way.
#include "app/definitions/folder_definition_builder_factory.hpp"
#include "app/definitions/image_asset_builder.hpp"
#include "app/engine/definition_validators.hpp"
#include "app/engine/writing_intents.hpp"
#include "engine_writing_support.hpp"
#include "platform/foundation/error.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fmt/format.h>
#include <sstream>

namespace {

namespace fs = std::filesystem;
namespace pf = platform::foundation;
using gw::FileAlreadyExistsAction;
using gwtest::engine::filesBelow;
using gwtest::engine::picture;
using gwtest::engine::pngSize;
using gwtest::engine::readText;
using gwtest::engine::RunReport;

const fs::path kGoldenRoot = fs::path(GW_FIXTURES_DIR) / "golden";

// Every Contents.json below `written` equals its golden file byte for byte, and the
// picture files listed in `listing` ("path WxH", or "path" for other files) are
// exactly the files there besides the Contents.json files.
void expectMatchesGolden(const fs::path& written, const fs::path& golden, const std::vector<std::string>& listing) {
    std::vector<std::string> expectedFiles;
    for (const auto& line : listing) {
        std::istringstream in(line);
        std::string path, size;
        in >> path >> size;
        if (path.empty()) continue;
        expectedFiles.push_back(path);
        if (!size.empty()) {
            auto actual = pngSize(written / path);
            ASSERT_TRUE(actual) << path << " is no PNG";
            EXPECT_EQ(fmt::format("{}x{}", actual->first, actual->second), size) << path;
        } else if (fs::path(path).extension() == ".pdf") {
            EXPECT_EQ(readText(written / path).substr(0, 5), "%PDF-") << path;
        }
    }
    for (const auto& entry : fs::recursive_directory_iterator(golden)) {
        if (entry.path().filename() != "Contents.json") continue;
        const auto relative = entry.path().lexically_relative(golden);
        EXPECT_EQ(readText(written / relative), readText(entry.path())) << relative;
        if (std::find(expectedFiles.begin(), expectedFiles.end(), relative.generic_string()) == expectedFiles.end())
            expectedFiles.push_back(relative.generic_string());
    }
    std::sort(expectedFiles.begin(), expectedFiles.end());
    EXPECT_EQ(filesBelow(written), expectedFiles);
}

std::vector<std::string> lines(const fs::path& file) {
    std::vector<std::string> result;
    std::istringstream in(readText(file));
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
}

void expectCompleteRun(const RunReport& report, std::size_t folders) {
    EXPECT_EQ(report.results.size(), folders);
    EXPECT_TRUE(report.finalOperationRan);
    EXPECT_TRUE(report.resultsBeforeFinalOperation);
    EXPECT_EQ(report.progressBeforeStart, 0.0f);
    EXPECT_EQ(report.finalProgress, 1.0f);
    for (float sample : report.progressSamples) {
        EXPECT_GE(sample, 0.0f);
        EXPECT_LE(sample, 1.0f);
    }
}

class CatalogWriting : public gwtest::engine::EngineEnvironment {
protected:
    void SetUp() override {
        gw::registerFolderDefinitionValidator();
        factory_ = gw::RealWritingIntentFactory::make(nullptr, assetWindow_,
                                                      std::make_shared<gw::UserDefaultsCatalogExistsActionProvider>(),
                                                      std::make_shared<gw::UserDefaultsCatalogContentExistsActionProvider>());
    }
    void TearDown() override { gw::setFolderDefinitionValidator(nullptr); }

    static void remember(FileAlreadyExistsAction catalog, FileAlreadyExistsAction contents) {
        gw::UserDefaultsCatalogExistsActionProvider().setFileAlreadyExistsAction(catalog);
        gw::UserDefaultsCatalogContentExistsActionProvider().setFileAlreadyExistsAction(contents);
    }

    // A conversion as the engine runs it: plan with every builder (answers settled on
    // the way), then the removals of the settled run, then the writing.
    RunReport convert(gw::ConversionOutputType type, const std::vector<gw::ImageInputPtr>& pictures,
                      gw::CollectionType collection = gw::CollectionType::single) {
        factory_->discardPendingRemovals();
        std::vector<gw::FolderDefinition> definitions;
        try {
            for (const auto& builder : gw::FolderDefinitionBuilderFactory().makeBuilders(
                     pictures, pictures, collection, folderURL(dir_ / "out"), type, factory_)) {
                definitions.push_back(builder->build());
            }
        } catch (...) {
            factory_->discardPendingRemovals();
            throw;
        }
        replaced_ = factory_->performPendingRemovals();
        return gwtest::engine::writeDefinitions(definitions);
    }

    // A catalog made by an earlier run: another asset and the icon set with a stale file.
    void existingCatalog() {
        fs::create_directories(dir_ / "out/Assets.xcassets/Other.imageset");
        gwtest::writeFile(dir_ / "out/Assets.xcassets/Contents.json", "{}");
        gwtest::writeFile(dir_ / "out/Assets.xcassets/Other.imageset/other.png", "png");
    }
    std::vector<gw::ReplacedItem> replaced_;
    void existingIconSet() {
        fs::create_directories(dir_ / "out/Assets.xcassets/AppIcon.appiconset");
        gwtest::writeFile(dir_ / "out/Assets.xcassets/AppIcon.appiconset/stale.png", "png");
    }
    // The freshly written icon set in `catalog` matches the golden one.
    void expectGoldenIconSet(const std::string& catalog, const std::string& iconSet = "AppIcon.appiconset") {
        const auto expected = lines(kGoldenRoot / "ios-icon/images.txt");
        for (const auto& line : expected) {
            std::istringstream in(line);
            std::string file, size;
            in >> file >> size;
            const auto actual = pngSize(dir_ / "out" / catalog / iconSet / file);
            ASSERT_TRUE(actual) << file;
            EXPECT_EQ(fmt::format("{}x{}", actual->first, actual->second), size) << file;
        }
        EXPECT_EQ(readText(dir_ / "out" / catalog / iconSet / "Contents.json"),
                  readText(kGoldenRoot / "ios-icon/Assets.xcassets/AppIcon.appiconset/Contents.json"));
    }

    struct AssetWindow : gw::AssetAlreadyExistsPrompting {
        gw::AlreadyExistsAnswer runModal(const gw::AssetAlreadyExistsPrompt& prompt) override {
            prompts.push_back(prompt);
            if (answers.empty()) return answer;
            auto next = answers.front();
            answers.erase(answers.begin());
            return next;
        }
        gw::AlreadyExistsAnswer answer;
        std::vector<gw::AlreadyExistsAnswer> answers;  // taken first, in order
        std::vector<gw::AssetAlreadyExistsPrompt> prompts;
    };
    std::shared_ptr<AssetWindow> assetWindow_ = std::make_shared<AssetWindow>();
    std::shared_ptr<gw::RealWritingIntentFactory> factory_;
    gw::ImageInputPtr icon_ = picture(1024, 1024, "Icon");
};

gw::FolderDefinition handBuiltCatalog(const fs::path& root, const gw::ImageInputPtr& bitmap,
                                      const gw::ImageInputPtr& vector) {
    auto info = [] { return pf::Value::dict({{"author", "xcode"}, {"version", 1}}); };
    auto folder = [](const fs::path& path, pf::Value contents) {
        gw::FolderDefinition definition;
        definition.outputDirectory = pf::URL::fileURL(path, true);
        definition.contentsDictionary = *contents.asDictionary();
        return definition;
    };
    auto image = [](const gw::ImageInputPtr& input, const fs::path& file, double w, double h) {
        gw::ImageDefinition definition;
        definition.imageInput = input;
        definition.outputDirectory = pf::URL::fileURL(file, false);
        definition.size = {w, h};
        return definition;
    };
    const auto catalog = root / "Assets.xcassets";
    auto sample = folder(catalog / "Sample.imageset",
                         pf::Value::dict({{"images", pf::Value::array({pf::Value::dict({{"filename", "sample.png"},
                                                                                        {"idiom", "universal"},
                                                                                        {"scale", "1x"}}),
                                                                       pf::Value::dict({{"filename", "sample@2x.png"},
                                                                                        {"idiom", "universal"},
                                                                                        {"scale", "2x"}}),
                                                                       pf::Value::dict({{"idiom", "universal"},
                                                                                        {"scale", "3x"}})})},
                                          {"info", info()}}));
    sample.imageDefinitions = {image(bitmap, catalog / "Sample.imageset/sample.png", 40, 30),
                               image(bitmap, catalog / "Sample.imageset/sample@2x.png", 80, 60)};
    auto logo = folder(catalog / "Group/Logo.imageset",
                       pf::Value::dict({{"images", pf::Value::array({pf::Value::dict(
                                                       {{"filename", "logo.pdf"}, {"idiom", "universal"}})})},
                                        {"info", info()},
                                        {"properties", pf::Value::dict({{"preserves-vector-representation", true}})}}));
    auto pdf = image(vector, catalog / "Group/Logo.imageset/logo.pdf", 30, 30);
    pdf.format = gw::ImageDefinition::Format::pdf;
    logo.imageDefinitions = {pdf};
    auto group = folder(catalog / "Group",
                        pf::Value::dict({{"info", info()},
                                         {"properties", pf::Value::dict({{"provides-namespace", true},
                                                                         {"compression-type", "lossless"},
                                                                         {"note", "a \"quoted\" path/with\\slash"},
                                                                         {"scale", 0.5},
                                                                         {"weight", 2.0},
                                                                         {"tags", pf::Array{}}})}}));
    group.subfolderDefinitions = {logo};
    auto top = folder(catalog, pf::Value::dict({{"info", info()}}));
    top.subfolderDefinitions = {sample, group};
    return top;
}

TEST_F(CatalogWriting, AHandBuiltTreeIsWrittenExactly) {
    auto bitmap = picture(400, 300, "Sample");
    auto vector = gwtest::engine::vectorPicture(60, 60);
    gw::FolderDefinition extra;
    extra.outputDirectory = folderURL(dir_ / "out/Extra.xcassets");
    extra.contentsDictionary = *pf::Value::dict({{"info", pf::Value::dict({{"author", "xcode"}, {"version", 1}})}})
                                    .asDictionary();
    const auto report = gwtest::engine::writeDefinitions({handBuiltCatalog(dir_ / "out", bitmap, vector), extra});
    expectCompleteRun(report, 2);
    for (const auto& result : report.results) EXPECT_TRUE(result.isSuccess());
    expectMatchesGolden(dir_ / "out", kGoldenRoot / "engine/hand-built", lines(kGoldenRoot / "engine/hand-built/files.txt"));
}

TEST_F(CatalogWriting, ABuilderMadeIOSIconCatalogMatchesTheGoldenCatalog) {
    auto builders = gw::FolderDefinitionBuilderFactory().makeBuilders({icon_}, {icon_}, gw::CollectionType::single,
                                                                      folderURL(dir_ / "out"),
                                                                      gw::ConversionOutputType::iOSIcon, factory_);
    ASSERT_EQ(builders.size(), 1u);
    EXPECT_TRUE(builders[0]->validate().empty());
    const auto report = convert(gw::ConversionOutputType::iOSIcon, {icon_});
    expectCompleteRun(report, 1);
    ASSERT_TRUE(report.results[0].isSuccess());
    EXPECT_GT(report.progressSamples.size(), 10u);
    expectMatchesGolden(dir_ / "out", kGoldenRoot / "ios-icon",
                        [&] {
                            std::vector<std::string> listing;
                            for (const auto& line : lines(kGoldenRoot / "ios-icon/images.txt"))
                                listing.push_back("Assets.xcassets/AppIcon.appiconset/" + line);
                            return listing;
                        }());
    // A small picture is warned about, and still converted.
    auto small = picture(100, 100, "Small");
    auto smallBuilders = gw::FolderDefinitionBuilderFactory().makeBuilders(
        {small}, {small}, gw::CollectionType::single, folderURL(dir_ / "small"), gw::ConversionOutputType::iOSIcon,
        std::make_shared<gw::FakeWritingIntentFactory>());
    const auto warnings = smallBuilders[0]->validate();
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].kind, gw::ConversionWarning::Kind::size);
    EXPECT_FALSE(fs::exists(dir_ / "small"));
}

TEST_F(CatalogWriting, ExistingCatalogIncrement) {
    existingCatalog();
    remember(FileAlreadyExistsAction::increment, FileAlreadyExistsAction::ask);
    expectCompleteRun(convert(gw::ConversionOutputType::iOSIcon, {icon_}), 1);
    expectGoldenIconSet("Assets1.xcassets");
    EXPECT_EQ(readText(dir_ / "out/Assets.xcassets/Other.imageset/other.png"), "png");
    EXPECT_EQ(readText(dir_ / "out/Assets.xcassets/Contents.json"), "{}");
}

TEST_F(CatalogWriting, ExistingCatalogOverwrite) {
    existingCatalog();
    remember(FileAlreadyExistsAction::overwrite, FileAlreadyExistsAction::ask);
    expectCompleteRun(convert(gw::ConversionOutputType::iOSIcon, {icon_}), 1);
    expectGoldenIconSet("Assets.xcassets");
    EXPECT_FALSE(fs::exists(dir_ / "out/Assets.xcassets/Other.imageset"));
    EXPECT_EQ(readText(dir_ / "out/Assets.xcassets/Contents.json"),
              readText(kGoldenRoot / "ios-icon/Assets.xcassets/Contents.json"));
    // The old catalog is in the Trash of this process's data folder, whole.
    ASSERT_EQ(replaced_.size(), 1u);
    EXPECT_TRUE(replaced_[0].inTrash);
    EXPECT_EQ(replaced_[0].original.fsPath(), dir_ / "out/Assets.xcassets");
    EXPECT_EQ(replaced_[0].keptAt.parent_path(), gwtest::engine::engineXdgRoot() / "data/Trash/files");
    EXPECT_EQ(readText(replaced_[0].keptAt / "Other.imageset/other.png"), "png");
    EXPECT_EQ(replaced_[0].description(), "The replaced " + (dir_ / "out/Assets.xcassets").string() +
                                              " was moved to the Trash: " + replaced_[0].keptAt.string());
}

TEST_F(CatalogWriting, ExistingCatalogAppend) {
    existingCatalog();
    remember(FileAlreadyExistsAction::append, FileAlreadyExistsAction::ask);
    expectCompleteRun(convert(gw::ConversionOutputType::iOSIcon, {icon_}), 1);
    expectGoldenIconSet("Assets.xcassets");
    EXPECT_EQ(readText(dir_ / "out/Assets.xcassets/Other.imageset/other.png"), "png");
    EXPECT_FALSE(fs::exists(dir_ / "out/Assets1.xcassets"));
}

TEST_F(CatalogWriting, ExistingCatalogCancel) {
    existingCatalog();
    remember(FileAlreadyExistsAction::cancel, FileAlreadyExistsAction::ask);
    const auto before = filesBelow(dir_ / "out");
    EXPECT_THROW(convert(gw::ConversionOutputType::iOSIcon, {icon_}), gw::FileWritingIntentError);
    EXPECT_EQ(filesBelow(dir_ / "out"), before);
}

TEST_F(CatalogWriting, ExistingAssetFolderIncrement) {
    existingIconSet();
    remember(FileAlreadyExistsAction::append, FileAlreadyExistsAction::increment);
    expectCompleteRun(convert(gw::ConversionOutputType::iOSIcon, {icon_}), 1);
    expectGoldenIconSet("Assets.xcassets", "AppIcon1.appiconset");
    EXPECT_EQ(filesBelow(dir_ / "out/Assets.xcassets/AppIcon.appiconset"), std::vector<std::string>{"stale.png"});
}

TEST_F(CatalogWriting, ExistingAssetFolderOverwrite) {
    existingIconSet();
    remember(FileAlreadyExistsAction::append, FileAlreadyExistsAction::overwrite);
    expectCompleteRun(convert(gw::ConversionOutputType::iOSIcon, {icon_}), 1);
    expectGoldenIconSet("Assets.xcassets");
    EXPECT_FALSE(fs::exists(dir_ / "out/Assets.xcassets/AppIcon.appiconset/stale.png"));
    // The user may have put files of their own in it: it is in the Trash, whole.
    ASSERT_EQ(replaced_.size(), 1u);
    EXPECT_TRUE(replaced_[0].inTrash);
    EXPECT_FALSE(replaced_[0].isCatalog());
    EXPECT_EQ(replaced_[0].original.fsPath(), dir_ / "out/Assets.xcassets/AppIcon.appiconset");
    EXPECT_EQ(replaced_[0].keptAt.parent_path(), gwtest::engine::engineXdgRoot() / "data/Trash/files");
    EXPECT_EQ(replaced_[0].keptAt.filename().string().rfind("AppIcon (replaced ", 0), 0u) << replaced_[0].keptAt;
    EXPECT_EQ(replaced_[0].keptAt.extension(), ".appiconset");
    EXPECT_EQ(readText(replaced_[0].keptAt / "stale.png"), "png");
}

TEST_F(CatalogWriting, ExistingAssetFolderAppendIsAskedAboutWhereTheBuilderCannotAppend) {
    existingIconSet();
    remember(FileAlreadyExistsAction::append, FileAlreadyExistsAction::append);
    // The icon set is written whole, so a remembered append leads to the window, where
    // appending is not offered; the user picks a new name.
    assetWindow_->answer = {1, 0, false};
    expectCompleteRun(convert(gw::ConversionOutputType::iOSIcon, {icon_}), 1);
    ASSERT_EQ(assetWindow_->prompts.size(), 1u);
    EXPECT_FALSE(assetWindow_->prompts[0].isAppendOptionAvailable);
    EXPECT_EQ(assetWindow_->prompts[0].image, icon_->image());
    expectGoldenIconSet("Assets.xcassets", "AppIcon1.appiconset");

    // Without a window (the command line) the run ends with the message, nothing written.
    factory_ = gw::RealWritingIntentFactory::make(nullptr, nullptr,
                                                  std::make_shared<gw::UserDefaultsCatalogExistsActionProvider>(),
                                                  std::make_shared<gw::UserDefaultsCatalogContentExistsActionProvider>());
    const auto before = filesBelow(dir_ / "out");
    try {
        convert(gw::ConversionOutputType::iOSIcon, {icon_});
        FAIL() << "converted without asking";
    } catch (const gw::AlreadyExistsPromptUnavailableError& error) {
        EXPECT_STREQ(error.what(), "Unable to prompt user for action without the window");
    }
    EXPECT_EQ(filesBelow(dir_ / "out"), before);
}

TEST_F(CatalogWriting, AnImageSetIsAddedToWhereTheBuilderCanAppend) {
    // The image-set builder appends to a catalog; a remembered catalog append keeps
    // the rest of the catalog.
    existingCatalog();
    remember(FileAlreadyExistsAction::append, FileAlreadyExistsAction::append);
    auto logo = picture(300, 200, "Logo");
    logo->updatePointSizeFromImage();
    gw::FolderDefinitionBuilderAsset builder({{logo}, gw::CollectionType::single}, folderURL(dir_ / "out"), factory_);
    const auto definition = builder.build();
    factory_->performPendingRemovals();
    const auto report = gwtest::engine::writeDefinitions({definition});
    expectCompleteRun(report, 1);
    EXPECT_TRUE(report.results[0].isSuccess());
    EXPECT_EQ(readText(dir_ / "out/Assets.xcassets/Other.imageset/other.png"), "png");
    ASSERT_TRUE(fs::exists(dir_ / "out/Assets.xcassets/Logo.imageset/Contents.json"));
    bool wrotePicture = false;
    for (const auto& file : filesBelow(dir_ / "out/Assets.xcassets/Logo.imageset"))
        wrotePicture = wrotePicture || pngSize(dir_ / "out/Assets.xcassets/Logo.imageset" / file).has_value();
    EXPECT_TRUE(wrotePicture);
}

TEST_F(CatalogWriting, ABatchCancelledAtItsSecondPictureKeepsTheFirstAnswersFolder) {
    // Two image sets of an earlier batch; this batch replaces the first and is then
    // cancelled at the second.
    for (auto name : {"A", "B"}) {
        fs::create_directories(dir_ / "out/Assets.xcassets" / (std::string(name) + ".imageset"));
        gwtest::writeFile(dir_ / "out/Assets.xcassets" / (std::string(name) + ".imageset") / "old.png", name);
    }
    remember(FileAlreadyExistsAction::append, FileAlreadyExistsAction::ask);
    assetWindow_->answers = {{1, 1, false}, {0, 0, false}};
    const auto before = filesBelow(dir_ / "out");
    std::vector<gw::FolderDefinition> definitions;
    factory_->discardPendingRemovals();
    try {
        for (auto name : {"A", "B"}) {
            auto input = picture(64, 64, name);
            input->updatePointSizeFromImage();
            gw::FolderDefinitionBuilderAsset builder({{input}, gw::CollectionType::batch}, folderURL(dir_ / "out"),
                                                     factory_);
            definitions.push_back(builder.build());
        }
        FAIL() << "the batch was not cancelled";
    } catch (const gw::FileWritingIntentError&) {
        factory_->discardPendingRemovals();
    }
    EXPECT_EQ(assetWindow_->prompts.size(), 2u);
    EXPECT_EQ(filesBelow(dir_ / "out"), before);
}

TEST_F(CatalogWriting, ExistingAssetFolderCancel) {
    existingIconSet();
    remember(FileAlreadyExistsAction::append, FileAlreadyExistsAction::cancel);
    gwtest::writeFile(dir_ / "out/Assets.xcassets/keep.txt", "keep");
    const auto before = filesBelow(dir_ / "out");
    EXPECT_THROW(convert(gw::ConversionOutputType::iOSIcon, {icon_}), gw::FileWritingIntentError);
    EXPECT_EQ(filesBelow(dir_ / "out"), before);
}

// Loses the right to write the rest of the tree once the first picture is done: under
// a normal user the top folder turns read-only; as root, where permissions do not
// bind, a file takes the place of the next folder.
TEST_F(CatalogWriting, ARunThatCannotWriteHalfWayReportsFailuresAndLeavesNoHalfFile) {
    auto source = picture(256, 256, "Source");
    auto image = [&](const std::string& relative, double side) {
        gw::ImageDefinition definition;
        definition.imageInput = source;
        definition.outputDirectory = fileURL(dir_ / "out" / relative);
        definition.size = {side, side};
        return definition;
    };
    auto folder = [&](const std::string& relative, std::vector<gw::ImageDefinition> images,
                      std::vector<gw::FolderDefinition> subfolders = {}) {
        gw::FolderDefinition definition;
        definition.outputDirectory = folderURL(dir_ / "out" / relative);
        definition.contentsDictionary = *pf::Value::dict({{"info", pf::Value::dict({{"version", 1}})}}).asDictionary();
        definition.imageDefinitions = std::move(images);
        definition.subfolderDefinitions = std::move(subfolders);
        return definition;
    };
    const auto tree = folder("Cat.xcassets", {image("Cat.xcassets/top.png", 64)},
                             {folder("Cat.xcassets/First.imageset", {image("Cat.xcassets/First.imageset/a.png", 32)}),
                              folder("Cat.xcassets/Second.imageset", {image("Cat.xcassets/Second.imageset/b.png", 32),
                                                                      image("Cat.xcassets/Second.imageset/c.png", 16)})});
    const bool asUser = gwtest::engine::permissionsBind();
    std::once_flag blocked;
    std::vector<gw::FolderCreationOperation::FolderCreationOperationResult> results;
    std::mutex mutex;
    // One child at a time: the first picture reports before the second folder starts.
    auto operation = std::make_shared<gw::FolderCreationOperation>(
        tree,
        [&](float) {
            std::call_once(blocked, [&] {
                if (asUser) fs::permissions(dir_ / "out/Cat.xcassets", fs::perms::owner_read | fs::perms::owner_exec);
                else gwtest::writeFile(dir_ / "out/Cat.xcassets/Second.imageset", "in the way");
            });
        },
        [&](const auto& result) {
            std::lock_guard lock(mutex);
            results.push_back(result);
        },
        1);
    platform::dispatch::OperationQueue queue;
    queue.addOperation(operation);
    operation->waitUntilFinished();
    if (asUser) fs::permissions(dir_ / "out/Cat.xcassets", fs::perms::owner_all);

    ASSERT_EQ(results.size(), 1u);
    EXPECT_FALSE(results[0].isSuccess());
    EXPECT_FALSE(operation->errors().empty());
    EXPECT_EQ(operation->progress(), 1.0f);
    // Whatever was written is whole; nothing temporary is left behind.
    EXPECT_EQ(pngSize(dir_ / "out/Cat.xcassets/First.imageset/a.png"), (std::pair{32, 32}));
    EXPECT_FALSE(fs::exists(dir_ / "out/Cat.xcassets/Second.imageset/b.png"));
    for (const auto& file : filesBelow(dir_ / "out")) {
        const auto name = fs::path(file).filename().string();
        if (fs::path(file).extension() == ".png") EXPECT_TRUE(pngSize(dir_ / "out" / file)) << file;
        else EXPECT_TRUE(name == "Contents.json" || name == "Second.imageset") << "left behind: " << file;
    }
    if (asUser) {
        EXPECT_FALSE(fs::exists(dir_ / "out/Cat.xcassets/top.png"));
    }
}

}  // namespace
