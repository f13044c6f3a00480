// Writing intents, both factories and the four validators against real folders. The
// already-exists windows belong to the desktop interface and cannot run here: a
// scripted prompt answers in their place and records what it was asked.
#include "app/engine/file_writing_validators.hpp"
#include "app/engine/writing_intents.hpp"
#include "engine_writing_support.hpp"
#include "support/permission_bound.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <filesystem>

namespace {

namespace fs = std::filesystem;
namespace pf = platform::foundation;
using gw::AlreadyExistsAnswer;
using gw::FileAlreadyExistsAction;
using gw::FileWritingIntent;
using gw::FileWritingIntentValidatorResult;
using gw::WritingIntentKind;
using Options = std::vector<FileWritingIntent::Options>;
using gwtest::engine::picture;

// Stands in for one already-exists window: answers from a script, in order.
template <class Prompt, class Interface>
class ScriptedPrompt : public Interface {
public:
    AlreadyExistsAnswer runModal(const Prompt& prompt) override {
        prompts.push_back(prompt);
        if (answers.empty()) {
            ADD_FAILURE() << "unexpected prompt for " << prompt.outputDirectory.path();
            return {};
        }
        auto answer = answers.front();
        answers.pop_front();
        return answer;
    }
    std::deque<AlreadyExistsAnswer> answers;
    std::vector<Prompt> prompts;
};
using CatalogPrompt = ScriptedPrompt<gw::AssetCatalogAlreadyExistsPrompt, gw::AssetCatalogAlreadyExistsPrompting>;
using AssetPrompt = ScriptedPrompt<gw::AssetAlreadyExistsPrompt, gw::AssetAlreadyExistsPrompting>;

AlreadyExistsAnswer continueWith(std::optional<int> row, bool always = false) { return {1, row, always}; }
AlreadyExistsAnswer cancelPressed(bool always = false) { return {0, 0, always}; }

// Counts how often it is asked.
class CountingValidator : public gw::FileWritingIntentValidator {
public:
    FileWritingIntentValidatorResult validate(const FileWritingIntent& intent) override {
        ++calls;
        if (failNext) {
            failNext = false;
            throw gw::FileWritingIntentError::userCancelled();
        }
        return FileWritingIntentValidatorResult::overwritableURL(intent.intendedDirectory());
    }
    int calls = 0;
    bool failNext = false;
};

class WritingIntents : public gwtest::engine::EngineEnvironment {
protected:
    void SetUp() override {
        catalogs_ = std::make_shared<gw::UserDefaultsCatalogExistsActionProvider>();
        contents_ = std::make_shared<gw::UserDefaultsCatalogContentExistsActionProvider>();
        factory_ = gw::RealWritingIntentFactory::make(catalogPrompt_, assetPrompt_, catalogs_, contents_);
    }

    // A folder holding one picture file, so it counts as non-empty everywhere.
    pf::URL existingFolder(const std::string& relative, const std::string& file = "a.png") {
        fs::create_directories(dir_ / relative);
        gwtest::writeFile(dir_ / relative / file, "x");
        return folderURL(dir_ / relative);
    }
    FileWritingIntentValidatorResult validate(const pf::URL& url, WritingIntentKind kind, Options options = {}) {
        auto intent = factory_->make(url, kind, options);
        intent->validatedURL();
        return *intent->validationResult();
    }

    std::shared_ptr<CatalogPrompt> catalogPrompt_ = std::make_shared<CatalogPrompt>();
    std::shared_ptr<AssetPrompt> assetPrompt_ = std::make_shared<AssetPrompt>();
    std::shared_ptr<gw::FileAlreadyExistsActionProvider> catalogs_;
    std::shared_ptr<gw::FileAlreadyExistsActionProvider> contents_;
    std::shared_ptr<gw::RealWritingIntentFactory> factory_;
};

TEST_F(WritingIntents, AnIntentAsksItsValidatorOnceAndAgainAfterAFailure) {
    auto validator = std::make_shared<CountingValidator>();
    FileWritingIntent intent(folderURL(dir_ / "x"), WritingIntentKind::asset, {}, validator);
    validator->failNext = true;
    EXPECT_THROW(intent.validatedURL(), gw::FileWritingIntentError);
    EXPECT_FALSE(intent.validationResult());
    EXPECT_EQ(intent.validatedURL(), folderURL(dir_ / "x"));
    EXPECT_EQ(intent.validatedURL(), folderURL(dir_ / "x"));
    EXPECT_EQ(validator->calls, 2);
}

TEST_F(WritingIntents, OptionsCompareByCaseNotByPicture) {
    const auto one = FileWritingIntent::Options::imageInput(picture(4, 4, "One"));
    const auto other = FileWritingIntent::Options::imageInput(picture(8, 8, "Other"));
    EXPECT_EQ(one, other);
    EXPECT_EQ(FileWritingIntent::Options::appendable(), FileWritingIntent::Options::appendable());
    EXPECT_NE(one, FileWritingIntent::Options::appendable());
    // Looking for the appendable mark finds it whatever pictures come before it.
    const Options options{one, FileWritingIntent::Options::appendable()};
    EXPECT_NE(std::find(options.begin(), options.end(), FileWritingIntent::Options::appendable()), options.end());
    EXPECT_NE(std::find(options.begin(), options.end(), other), options.end());
}

TEST_F(WritingIntents, TheDryRunFactoryAcceptsEverythingAndTouchesNothing) {
    const auto full = existingFolder("Assets.xcassets");
    gw::FakeWritingIntentFactory fake;
    for (auto kind : {WritingIntentKind::catalog, WritingIntentKind::asset, WritingIntentKind::overwrite,
                      WritingIntentKind::append}) {
        auto intent = fake.make(full, kind, {FileWritingIntent::Options::appendable()});
        EXPECT_TRUE(intent->options().empty());
        EXPECT_EQ(intent->validatedURL(), full);
        EXPECT_EQ(*intent->validationResult(), FileWritingIntentValidatorResult::appendableURL(full));
    }
    EXPECT_TRUE(fs::exists(dir_ / "Assets.xcassets/a.png"));
    EXPECT_TRUE(catalogPrompt_->prompts.empty());
}

TEST_F(WritingIntents, AppendAndOverwriteKindsNeverAsk) {
    const auto full = existingFolder("Layer.imagestacklayer");
    EXPECT_EQ(validate(full, WritingIntentKind::append), FileWritingIntentValidatorResult::appendableURL(full));
    EXPECT_EQ(validate(full, WritingIntentKind::overwrite), FileWritingIntentValidatorResult::overwritableURL(full));
    // Set aside, not yet removed; a missing folder is no failure.
    EXPECT_FALSE(fs::exists(dir_ / "Layer.imagestacklayer"));
    EXPECT_EQ(gwtest::engine::filesBelow(dir_.path()).size(), 1u);
    validate(folderURL(dir_ / "missing"), WritingIntentKind::overwrite);
    EXPECT_EQ(factory_->pendingRemovals()->scheduledURLs(), std::vector<pf::URL>{full});
    factory_->performPendingRemovals();
    EXPECT_TRUE(fs::is_empty(dir_.path()));
}

TEST_F(WritingIntents, CatalogInsideAnExistingCatalogIsAppendedWithoutAsking) {
    existingFolder("My.xcassets/Group");
    catalogs_->setFileAlreadyExistsAction(FileAlreadyExistsAction::cancel);
    const auto inGroup = folderURL(dir_ / "My.xcassets/Group/Assets.xcassets");
    EXPECT_EQ(validate(inGroup, WritingIntentKind::catalog),
              FileWritingIntentValidatorResult::appendableURL(folderURL(dir_ / "My.xcassets")));
    EXPECT_TRUE(catalogPrompt_->prompts.empty());
}

TEST_F(WritingIntents, MissingOrEmptyCatalogsAreWrittenAsNew) {
    const auto missing = folderURL(dir_ / "Assets.xcassets");
    EXPECT_EQ(validate(missing, WritingIntentKind::catalog), FileWritingIntentValidatorResult::overwritableURL(missing));
    fs::create_directories(dir_ / "Assets.xcassets");
    EXPECT_EQ(validate(missing, WritingIntentKind::catalog), FileWritingIntentValidatorResult::overwritableURL(missing));
    // A hidden file makes it non-empty: the remembered action applies.
    gwtest::writeFile(dir_ / "Assets.xcassets/.DS_Store", "");
    catalogs_->setFileAlreadyExistsAction(FileAlreadyExistsAction::append);
    EXPECT_EQ(validate(missing, WritingIntentKind::catalog), FileWritingIntentValidatorResult::appendableURL(missing));
    EXPECT_TRUE(catalogPrompt_->prompts.empty());
}

TEST_F(WritingIntents, CatalogPromptRowsAndTheAlwaysBox) {
    const auto catalog = existingFolder("Assets.xcassets");
    existingFolder("Assets1.xcassets");
    auto input = picture(8, 8);
    catalogPrompt_->answers = {continueWith(0), continueWith(1), continueWith(std::nullopt), continueWith(7),
                               cancelPressed(true)};
    const Options options{FileWritingIntent::Options::imageInput(input), FileWritingIntent::Options::appendable()};
    EXPECT_EQ(validate(catalog, WritingIntentKind::catalog, options),
              FileWritingIntentValidatorResult::appendableURL(catalog));
    EXPECT_EQ(validate(catalog, WritingIntentKind::catalog, options),
              FileWritingIntentValidatorResult::overwritableURL(folderURL(dir_ / "Assets2.xcassets")));
    EXPECT_THROW(validate(catalog, WritingIntentKind::catalog, options), gw::FileWritingIntentError);
    EXPECT_THROW(validate(catalog, WritingIntentKind::catalog, options), gw::FileWritingIntentError);
    // Cancel never stores anything, even with the box ticked.
    EXPECT_THROW(validate(catalog, WritingIntentKind::catalog, options), gw::FileWritingIntentError);
    EXPECT_EQ(catalogs_->fileAlreadyExistsAction(), FileAlreadyExistsAction::ask);

    ASSERT_EQ(catalogPrompt_->prompts.size(), 5u);
    EXPECT_EQ(catalogPrompt_->prompts[0].outputDirectory, catalog);
    ASSERT_EQ(catalogPrompt_->prompts[0].images.size(), 1u);
    EXPECT_EQ(catalogPrompt_->prompts[0].images[0], input->image());

    // Overwrite with the box ticked: remembered, so the next catalog is not asked about.
    catalogPrompt_->answers = {continueWith(2, true)};
    EXPECT_EQ(validate(catalog, WritingIntentKind::catalog), FileWritingIntentValidatorResult::overwritableURL(catalog));
    EXPECT_EQ(catalogs_->fileAlreadyExistsAction(), FileAlreadyExistsAction::overwrite);
    const auto other = existingFolder("Other/Assets.xcassets");
    EXPECT_EQ(validate(other, WritingIntentKind::catalog), FileWritingIntentValidatorResult::overwritableURL(other));
    EXPECT_EQ(catalogPrompt_->prompts.size(), 6u);
}

TEST_F(WritingIntents, ContinueWithNoRowAndTheBoxRemembersCancel) {
    const auto catalog = existingFolder("Assets.xcassets");
    catalogPrompt_->answers = {continueWith(std::nullopt, true)};
    EXPECT_THROW(validate(catalog, WritingIntentKind::catalog), gw::FileWritingIntentError);
    EXPECT_EQ(catalogs_->fileAlreadyExistsAction(), FileAlreadyExistsAction::cancel);
    // Later runs stop silently at the same kind of folder.
    EXPECT_THROW(validate(catalog, WritingIntentKind::catalog), gw::FileWritingIntentError);
    EXPECT_EQ(catalogPrompt_->prompts.size(), 1u);
}

// A folder holding nothing but folders and Contents.json files is written as new, without
// asking; anything else in it (a picture of a kind the program does not read, notes, a
// hidden file) may be the user's, and makes it an existing folder that is asked about.
TEST_F(WritingIntents, AssetFoldersHoldingOnlyListsAreWrittenAsNewAndAnythingElseIsAskedAbout) {
    const std::vector<std::pair<std::vector<std::string>, bool>> cases{
        {{"Contents.json"}, false},
        {{"Contents.json", "Small.imageset/Contents.json", "Large.imageset/Contents.json"}, false},
        {{"Contents.json", "notes.txt"}, true},
        {{"Contents.json", "Small.imageset/Small.webp"}, true},
        {{"Small.imageset/Contents.json", "Small.imageset/.hidden"}, true},
        {{"Small.imageset/Small.heic"}, true},
    };
    for (const auto& [files, existing] : cases) {
        SCOPED_TRACE(files.back());
        fs::remove_all(dir_ / "Assets.xcassets");
        for (const auto& file : files) gwtest::writeFile(dir_ / "Assets.xcassets/Complication.complicationset" / file, "x");
        const auto asset = folderURL(dir_ / "Assets.xcassets/Complication.complicationset");
        assetPrompt_->prompts.clear();
        if (existing) assetPrompt_->answers = {continueWith(0)};
        const auto expected = existing ? folderURL(dir_ / "Assets.xcassets/Complication1.complicationset") : asset;
        EXPECT_EQ(validate(asset, WritingIntentKind::asset), FileWritingIntentValidatorResult::overwritableURL(expected));
        EXPECT_EQ(assetPrompt_->prompts.size(), existing ? 1u : 0u);
        for (const auto& file : files) {
            EXPECT_TRUE(fs::exists(dir_ / "Assets.xcassets/Complication.complicationset" / file)) << file;
        }
    }
}

TEST_F(WritingIntents, AssetPromptRowsAndAStoredAppendWithoutAppendable) {
    const auto asset = existingFolder("Assets.xcassets/AppIcon.appiconset");
    auto input = picture(8, 8);
    assetPrompt_->answers = {continueWith(0), continueWith(2), cancelPressed()};
    const Options plain{FileWritingIntent::Options::imageInput(input)};
    const Options appendable{FileWritingIntent::Options::imageInput(input), FileWritingIntent::Options::appendable()};
    EXPECT_EQ(validate(asset, WritingIntentKind::asset, plain),
              FileWritingIntentValidatorResult::overwritableURL(folderURL(dir_ / "Assets.xcassets/AppIcon1.appiconset")));
    EXPECT_EQ(validate(asset, WritingIntentKind::asset, appendable), FileWritingIntentValidatorResult::appendableURL(asset));
    EXPECT_THROW(validate(asset, WritingIntentKind::asset, plain), gw::FileWritingIntentError);
    ASSERT_EQ(assetPrompt_->prompts.size(), 3u);
    EXPECT_FALSE(assetPrompt_->prompts[0].isAppendOptionAvailable);
    EXPECT_TRUE(assetPrompt_->prompts[1].isAppendOptionAvailable);
    EXPECT_EQ(assetPrompt_->prompts[0].image, input->image());

    // A remembered append applies without asking only where appending is possible.
    contents_->setFileAlreadyExistsAction(FileAlreadyExistsAction::append);
    EXPECT_EQ(validate(asset, WritingIntentKind::asset, appendable), FileWritingIntentValidatorResult::appendableURL(asset));
    EXPECT_EQ(assetPrompt_->prompts.size(), 3u);
    assetPrompt_->answers = {continueWith(1)};
    EXPECT_EQ(validate(asset, WritingIntentKind::asset, plain), FileWritingIntentValidatorResult::overwritableURL(asset));
    ASSERT_EQ(assetPrompt_->prompts.size(), 4u);
    EXPECT_FALSE(assetPrompt_->prompts[3].isAppendOptionAvailable);
    EXPECT_FALSE(assetPrompt_->prompts[3].image == nullptr);
}

TEST_F(WritingIntents, WithoutAWindowAPromptIsAnErrorWithItsMessage) {
    auto factory = gw::RealWritingIntentFactory::make(nullptr, nullptr, catalogs_, contents_);
    const auto catalog = existingFolder("Assets.xcassets");
    const auto asset = existingFolder("Assets.xcassets/AppIcon.appiconset");
    try {
        factory->validatedURL(catalog, WritingIntentKind::catalog, {});
        FAIL() << "no error";
    } catch (const gw::AlreadyExistsPromptUnavailableError& error) {
        EXPECT_STREQ(error.what(), "Unable to prompt user for action without the window");
    }
    // The command line's providers never ask, but a stored append meets an asset
    // intent that cannot append.
    contents_->setFileAlreadyExistsAction(FileAlreadyExistsAction::append);
    EXPECT_THROW(factory->validatedURL(asset, WritingIntentKind::asset, {}), gw::AlreadyExistsPromptUnavailableError);
    EXPECT_EQ(factory->validatedURL(asset, WritingIntentKind::asset, {FileWritingIntent::Options::appendable()}), asset);
}

TEST_F(WritingIntents, AnOverwriteAnswerRemovesNothingUntilTheRunIsSettled) {
    const auto catalog = existingFolder("Assets.xcassets");
    const auto asset = existingFolder("Assets.xcassets/AppIcon.appiconset");
    existingFolder("Other.xcassets/AppIcon.appiconset");
    const auto otherAsset = folderURL(dir_ / "Other.xcassets/AppIcon.appiconset");
    const auto before = gwtest::engine::filesBelow(dir_.path());
    catalogPrompt_->answers = {continueWith(2)};
    assetPrompt_->answers = {cancelPressed()};

    // The catalog is to be replaced: for the rest of the run it is gone, so its asset
    // folder is new and nobody is asked about it.
    EXPECT_EQ(validate(catalog, WritingIntentKind::catalog), FileWritingIntentValidatorResult::overwritableURL(catalog));
    EXPECT_FALSE(fs::exists(dir_ / "Assets.xcassets"));
    EXPECT_EQ(validate(asset, WritingIntentKind::asset), FileWritingIntentValidatorResult::overwritableURL(asset));
    EXPECT_TRUE(assetPrompt_->prompts.empty());
    // A later prompt of the same run is cancelled: the run ends without writing and
    // everything is back where it was.
    EXPECT_THROW(validate(otherAsset, WritingIntentKind::asset), gw::FileWritingIntentError);
    factory_->discardPendingRemovals();
    EXPECT_EQ(gwtest::engine::filesBelow(dir_.path()), before);

    // The same answer in a run that is settled removes the folder for good.
    catalogPrompt_->answers = {continueWith(2)};
    validate(catalog, WritingIntentKind::catalog);
    factory_->performPendingRemovals();
    EXPECT_FALSE(fs::exists(dir_ / "Assets.xcassets"));
    EXPECT_TRUE(factory_->pendingRemovals()->empty());
    EXPECT_EQ(gwtest::engine::filesBelow(dir_.path()),
              std::vector<std::string>{"Other.xcassets/AppIcon.appiconset/a.png"});
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir_.path())) ++entries;
    EXPECT_EQ(entries, 1u);  // nothing hidden left behind
}

// A catalog that cannot be set aside to be replaced stops the run at once; a set fails only what
// writes it (a picture of a batch), with the reason it could not be set aside.
TEST_F(WritingIntents, AFolderThatCannotBeSetAsideStopsTheRunOrFailsWhatWritesIt) {
    if (!gwtest::runWherePermissionsBind()) return;
    const auto catalog = existingFolder("Old/Assets.xcassets");
    catalogs_->setFileAlreadyExistsAction(FileAlreadyExistsAction::overwrite);
    fs::permissions(dir_ / "Old", fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_THROW(validate(catalog, WritingIntentKind::catalog), pf::Error);
    fs::permissions(dir_ / "Old", fs::perms::owner_all);
    EXPECT_TRUE(fs::exists(dir_ / "Old/Assets.xcassets/a.png"));

    const auto asset = existingFolder("Assets.xcassets/AppIcon.appiconset");
    contents_->setFileAlreadyExistsAction(FileAlreadyExistsAction::overwrite);
    fs::permissions(dir_ / "Assets.xcassets", fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_EQ(validate(asset, WritingIntentKind::asset), FileWritingIntentValidatorResult::overwritableURL(asset));
    fs::permissions(dir_ / "Assets.xcassets", fs::perms::owner_all);
    const auto& boundary = *factory_->pendingRemovals()->boundary();
    EXPECT_THROW(boundary.checkNotRefused(asset.fsPath()), pf::Error);
    EXPECT_NO_THROW(boundary.checkNotRefused((dir_ / "Assets.xcassets/Other.imageset").string()));
    EXPECT_TRUE(factory_->pendingRemovals()->empty());
    EXPECT_TRUE(fs::exists(dir_ / "Assets.xcassets/AppIcon.appiconset/a.png"));
    // The overwriting kind passes over the same failure.
    fs::permissions(dir_ / "Assets.xcassets", fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_EQ(validate(asset, WritingIntentKind::overwrite), FileWritingIntentValidatorResult::overwritableURL(asset));
    fs::permissions(dir_ / "Assets.xcassets", fs::perms::owner_all);
}

}  // namespace
