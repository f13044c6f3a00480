#include "platform/foundation/bundle.hpp"
#include "platform/foundation/error.hpp"
#include "platform/foundation/files.hpp"
#include "platform/foundation/plist.hpp"
#include "platform/foundation/user_defaults.hpp"
#include "support/file_size_limit.hpp"
#include "support/hostile_files.hpp"
#include "support/self_launch.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>
#include <vector>

namespace pf = platform::foundation;
namespace fs = std::filesystem;
using pf::Value;

// A scratch folder with a store path in it and the center change notices go to.
class UserDefaultsTest : public ::testing::Test {
protected:
    gwtest::TempDir dir;
    pf::NotificationCenter center;
    const fs::path store = dir / "app.plist";
};

TEST_F(UserDefaultsTest, RegisteredValuesAnswerUntilSomethingIsStoredAndAreNeverSaved) {
    const fs::path nested = dir / "prefs" / "app.plist";
    {
        pf::UserDefaults defaults(nested, &center);
        defaults.registerDefaults({{"iconScaleType", Value(1)}, {"OpenFinder", Value(true)}});
        EXPECT_EQ(defaults.integerForKey("iconScaleType"), 1);
        EXPECT_EQ(defaults.integerForKey("CatalogExistsAction"), 0);
        EXPECT_FALSE(fs::exists(nested));  // registration stores nothing
        defaults.setBool(false, "OpenFinder");
        EXPECT_FALSE(defaults.boolForKey("OpenFinder"));
        defaults.registerDefaults({{"OpenFinder", Value(true)}});
        EXPECT_FALSE(defaults.boolForKey("OpenFinder"));  // registration does not replace a stored value
    }
    pf::UserDefaults reopened(nested, &center);
    EXPECT_EQ(reopened.objectForKey("OpenFinder"), Value(false));
    EXPECT_TRUE(reopened.objectForKey("iconScaleType").isNull());
    EXPECT_EQ(reopened.persistentDomain().size(), 1u);
}

TEST_F(UserDefaultsTest, StoresPropertyListKindsAndRemovesWithNull) {
    pf::UserDefaults defaults(store, &center);
    defaults.setInteger(3, "count");
    defaults.setObject(Value(pf::Array{Value(pf::Data{1, 2}), Value(pf::Data{3})}), "recentCatalogPaths");
    defaults.setObject(Value("text"), "name");
    EXPECT_EQ(defaults.stringForKey("count"), "3");
    EXPECT_EQ(defaults.arrayForKey("recentCatalogPaths")->size(), 2u);
    EXPECT_FALSE(defaults.dataForKey("name"));
    Value onDisk = pf::plist::readFile(store);
    EXPECT_EQ(onDisk["count"], Value(3));
    EXPECT_TRUE(onDisk["count"].isInteger());
    defaults.setObject(Value(), "name");
    EXPECT_FALSE(defaults.stringForKey("name"));
    EXPECT_FALSE(pf::plist::readFile(store).contains("name"));
    // A value the store cannot hold is refused and changes nothing.
    EXPECT_THROW(defaults.setObject(Value::array({Value()}), "count"), pf::Error);
    EXPECT_EQ(defaults.integerForKey("count"), 3);
}

TEST_F(UserDefaultsTest, DictionaryRepresentationMergesRegisteredAndStored) {
    pf::UserDefaults defaults(store, &center);
    defaults.registerDefaults({{"a", Value(1)}, {"b", Value(2)}});
    defaults.setInteger(20, "b");
    defaults.setInteger(30, "c");
    EXPECT_EQ(Value(defaults.dictionaryRepresentation()), Value::dict({{"a", 1}, {"b", 20}, {"c", 30}}));
}

TEST_F(UserDefaultsTest, PostsChangeNoticeAfterEachChangeOnly) {
    pf::UserDefaults defaults(store, &center);
    std::vector<Value> seenValues;
    center.addObserver(std::string(pf::UserDefaults::didChangeNotification), &defaults,
                       [&](const pf::Notification&) { seenValues.push_back(defaults.objectForKey("k")); });
    defaults.registerDefaults({{"k", Value(0)}});
    defaults.setInteger(1, "k");
    defaults.removeObject("k");
    defaults.removeObject("k");  // nothing to remove: no notice
    EXPECT_EQ(seenValues, (std::vector<Value>{Value(1), Value(0)}));
}

TEST_F(UserDefaultsTest, UnreadableStoreIsSetAsideNotOverwritten) {
    gwtest::writeFile(store, "this is not a property list");
    pf::UserDefaults defaults(store, &center);
    EXPECT_TRUE(defaults.persistentDomain().empty());
    defaults.setBool(true, "x");
    EXPECT_EQ(gwtest::readFile(dir / "app.plist.corrupt"), "this is not a property list");
    EXPECT_TRUE(pf::UserDefaults(store, &center).boolForKey("x"));
}

TEST_F(UserDefaultsTest, SynchronizePicksUpChangesWrittenElsewhere) {
    pf::UserDefaults first(store, &center);
    pf::UserDefaults second(store, &center);
    first.setInteger(5, "n");
    EXPECT_EQ(second.integerForKey("n"), 0);
    EXPECT_TRUE(second.synchronize());
    EXPECT_EQ(second.integerForKey("n"), 5);
}

TEST_F(UserDefaultsTest, WritersSharingTheFileKeepEachOthersKeys) {
    pf::UserDefaults first(store, &center);
    pf::UserDefaults second(store, &center);
    first.setInteger(1, "a");
    second.setInteger(2, "b");
    first.removeObject("missing");
    EXPECT_EQ(Value(pf::UserDefaults(store, &center).persistentDomain()), Value::dict({{"a", 1}, {"b", 2}}));
}

TEST_F(UserDefaultsTest, ConcurrentWritersLoseNothing) {
    pf::UserDefaults defaults(store, &center);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i) defaults.setInteger(i, "key" + std::to_string(t * 100 + i));
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(pf::UserDefaults(store, &center).persistentDomain().size(), 80u);
}

TEST_F(UserDefaultsTest, FailedWriteKeepsValueInMemoryAndSynchronizeReportsIt) {
    fs::path blocker = dir / "not-a-folder";
    gwtest::writeFile(blocker, "x");
    pf::UserDefaults defaults(blocker / "app.plist", &center);
    defaults.setInteger(7, "n");
    EXPECT_EQ(defaults.integerForKey("n"), 7);
    EXPECT_FALSE(defaults.synchronize());
    fs::remove(blocker);
    EXPECT_TRUE(defaults.synchronize());
    EXPECT_EQ(pf::UserDefaults(blocker / "app.plist", &center).integerForKey("n"), 7);
}

// Another process writes a key while this instance's save has failed: every later write
// of this instance (and its synchronize) merges its own changes into the file as it is
// then, and a change given up is never saved.
TEST_F(UserDefaultsTest, WritesAfterAFailedSaveChangeOnlyTheirOwnKeys) {
    const fs::path blocker = dir / "settings";
    gwtest::writeFile(blocker, "a file where the settings folder goes");
    const fs::path shared = blocker / "app.plist";
    pf::UserDefaults window(shared, &center);
    window.setInteger(2, "IconType");
    window.setObject(Value("grant made in the window"), "rootBookmark");
    window.removeObject("IconType");
    window.setInteger(3, "IconType");
    EXPECT_FALSE(window.synchronize());
    // The window told the user its grant was not saved: it never will be.
    window.discardUnsavedChange("rootBookmark");
    EXPECT_TRUE(window.objectForKey("rootBookmark").isNull());

    fs::remove(blocker);
    pf::UserDefaults tool(shared, &center);
    tool.setObject(Value("grant of the granting tool"), "rootBookmark");
    tool.setBool(true, "ShowInstructions");

    window.setBool(false, "OpenFinder");
    EXPECT_EQ(Value(pf::UserDefaults(shared, &center).persistentDomain()),
              Value::dict({{"rootBookmark", Value("grant of the granting tool")},
                           {"ShowInstructions", true},
                           {"IconType", 3},
                           {"OpenFinder", false}}));
    EXPECT_EQ(window.stringForKey("rootBookmark"), "grant of the granting tool");

    // Saved changes are not written again over newer ones.
    tool.setInteger(4, "IconType");
    EXPECT_TRUE(window.synchronize());
    window.setBool(true, "OpenFinder");
    EXPECT_EQ(pf::UserDefaults(shared, &center).integerForKey("IconType"), 4);
}

// A removal this instance could not save yet (the disk refused the write) still goes
// over what another writer stored since: the key does not come back with its file.
TEST_F(UserDefaultsTest, AnUnsavedRemovalIsAppliedWhenTheFileIsReadAgain) {
    pf::UserDefaults tool(store, &center);
    tool.setInteger(1, "Old");
    pf::UserDefaults window(store, &center);
    ASSERT_EQ(window.integerForKey("Old"), 1);
    {
        const gwtest::FileSizeLimit full(1);
        window.removeObject("Old");
    }
    EXPECT_EQ(pf::UserDefaults(store, &center).integerForKey("Old"), 1);
    tool.setInteger(2, "Other");
    window.setBool(true, "Shown");
    EXPECT_EQ(Value(pf::UserDefaults(store, &center).persistentDomain()), Value::dict({{"Other", 2}, {"Shown", true}}));
}

constexpr const char* kDefaultsStoreVariable = "GW_DEFAULTS_STORE";

// Another process of ours writing the same settings, as a launch of this test program:
// once a file named "go" is beside the store, it stores 60 keys of its own one by one.
TEST(UserDefaultsChildProcess, StoresItsKeys) {
    const char* store = std::getenv(kDefaultsStoreVariable);
    if (!store) GTEST_SKIP() << "runs only as another process of the test";
    const fs::path path = store;
    while (!fs::exists(path.parent_path() / "go")) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    pf::NotificationCenter center;
    pf::UserDefaults defaults(path, &center);
    for (int i = 0; i < 60; ++i) defaults.setInteger(i, "child" + std::to_string(i));
}

// Two processes storing keys in the same settings at the same time take turns at the
// file: every key of both is in it at the end.
TEST_F(UserDefaultsTest, TwoProcessesStoringAtOnceLoseNothing) {
    const pid_t child = gwtest::spawnSelf({"UserDefaultsChildProcess.StoresItsKeys", {{kDefaultsStoreVariable, store.string()}}});
    ASSERT_GT(child, 0);
    pf::UserDefaults defaults(store, &center);
    gwtest::writeFile(dir / "go", "");
    for (int i = 0; i < 60; ++i) defaults.setInteger(i, "parent" + std::to_string(i));
    const int status = gwtest::waitForChild(child, std::chrono::minutes(2));
    ASSERT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(pf::UserDefaults(store, &center).persistentDomain().size(), 120u);
}

// Each damaged file is kept under a name of its own; with no such name free, it stays where
// it is, byte for byte: the settings start from the defaults and nothing is saved over it.
TEST_F(UserDefaultsTest, EachDamagedFileIsKeptUnderItsOwnNameOrWhereItIsWhenNoneIsFree) {
    const std::vector<std::string> damaged = {"first damaged settings", "second damaged settings",
                                              "third damaged settings"};
    const std::vector<std::string> names = {"app.plist.corrupt", "app.plist.corrupt-2", "app.plist.corrupt-3"};
    for (std::size_t i = 0; i < damaged.size(); ++i) {
        gwtest::writeFile(store, damaged[i]);
        pf::UserDefaults defaults(store, &center);
        ASSERT_TRUE(defaults.setAsideStore());
        EXPECT_EQ(defaults.setAsideStore()->movedTo, dir / names[i]);
    }
    for (std::size_t i = 0; i < damaged.size(); ++i) EXPECT_EQ(gwtest::readFile(dir / names[i]), damaged[i]);

    for (int n = 4; n <= 1000; ++n) gwtest::writeFile(dir / ("app.plist.corrupt-" + std::to_string(n)), "");
    const std::string last = "damaged settings with nowhere to go";
    gwtest::writeFile(store, last);
    pf::UserDefaults defaults(store, &center);
    const auto aside = defaults.setAsideStore();
    ASSERT_TRUE(aside);
    EXPECT_TRUE(aside->movedTo.empty());
    EXPECT_FALSE(aside->leftInPlace);
    EXPECT_TRUE(defaults.persistentDomain().empty());
    defaults.setBool(true, "changed");
    EXPECT_TRUE(defaults.boolForKey("changed"));
    EXPECT_FALSE(defaults.synchronize());
    EXPECT_EQ(gwtest::readFile(store), last);
    EXPECT_FALSE(pf::UserDefaults(store, &center).boolForKey("changed"));
    EXPECT_EQ(gwtest::readFile(store), last);
}

TEST(UserDefaults, StandardDefaultsLiveUnderXdgConfigOfBundleIdentifier) {
    gwtest::ScopedXdgHome xdg;
    gwtest::TempDir resources;
    pf::Bundle::setMain(std::make_unique<pf::Bundle>(resources.path(),
                                                     pf::Dictionary{{"CFBundleIdentifier", Value("com.example.test")}}));
    pf::UserDefaults::resetStandard();
    pf::UserDefaults::standard().setBool(true, "flag");
    EXPECT_EQ(pf::UserDefaults::standard().storePath(),
              fs::path(std::getenv("XDG_CONFIG_HOME")) / "com.example.test" / "com.example.test.plist");
    EXPECT_TRUE(fs::exists(pf::UserDefaults::standard().storePath()));
    pf::UserDefaults::resetStandard();
    pf::Bundle::setMain(nullptr);
}

// Out of descriptors says nothing of the file: it is not set aside as unreadable (which
// would take the root folder's grant with it) and no change is saved over it.
TEST_F(UserDefaultsTest, ASettingsFileNotReadForWantOfDescriptorsIsLeftAsItIs) {
#if defined(GW_ADDRESS_SANITIZER_BUILD)
    GTEST_SKIP() << "the sanitizers need descriptors of their own";
#endif
    GTEST_FLAG_SET(death_test_style, "fast");  // forked where it stands, to write into this test's folder
    pf::UserDefaults(store, &center).setObject(Value("granted"), "rootBookmark");
    EXPECT_EXIT(
        {
            const int next = ::dup(0);
            ::close(next);
            rlimit limit{};
            ::getrlimit(RLIMIT_NOFILE, &limit);
            const rlimit before = limit;
            limit.rlim_cur = static_cast<rlim_t>(next);
            if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) std::_Exit(2);
            pf::UserDefaults defaults(store, &center);
            const auto aside = defaults.setAsideStore();
            defaults.setBool(true, "changedMeanwhile");
            ::setrlimit(RLIMIT_NOFILE, &before);
            if (!aside || !aside->leftInPlace || !aside->movedTo.empty()) std::_Exit(3);
            if (!defaults.persistentDomain().count("changedMeanwhile")) std::_Exit(4);
            // Once it can be read, a change is saved on top of what it holds.
            defaults.setBool(true, "changedLater");
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_FALSE(fs::exists(dir / "app.plist.corrupt"));
    pf::UserDefaults reread(store, &center);
    EXPECT_EQ(reread.stringForKey("rootBookmark"), "granted");
    EXPECT_TRUE(reread.boolForKey("changedLater"));
    EXPECT_FALSE(reread.setAsideStore());
}

// Whatever stands where the settings file should be, the settings start empty, the
// thing is moved aside and the move is told; nothing blocks or runs out of memory.
TEST(UserDefaults, HostileStoresAreSetAsideAndTold) {
    struct Case {
        const char* name;
        std::function<void(const fs::path&)> make;
    };
    const std::vector<Case> cases = {
        {"garbage", [](const fs::path& p) { gwtest::writeFile(p, "this is not a property list"); }},
        {"deep binary", [](const fs::path& p) { gwtest::writeFile(p, gwtest::nestedBinaryPlist(300'000)); }},
        {"deep xml", [](const fs::path& p) { gwtest::writeFile(p, gwtest::nestedXMLPlist(100'000)); }},
        {"a NUL in a text", [](const fs::path& p) {
             gwtest::writeFile(p, gwtest::binaryPlistOfTexts(u"rootBookmark", std::u16string(u"a\0b", 3)));
         }},
        {"fifo", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }},
        {"zero", [](const fs::path& p) { fs::create_symlink("/dev/zero", p); }},
        {"not a dictionary", [](const fs::path& p) {
             gwtest::writeFile(p, pf::stringFromData(pf::plist::serialize(Value::array({1}), pf::plist::Format::binary)));
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        gwtest::TempDir dir;
        pf::NotificationCenter center;
        const fs::path store = dir / "app.plist";
        c.make(store);
        pf::UserDefaults defaults(store, &center);
        EXPECT_TRUE(defaults.persistentDomain().empty());
        const auto aside = defaults.setAsideStore();
        ASSERT_TRUE(aside);
        EXPECT_EQ(aside->original, store);
        EXPECT_EQ(aside->movedTo, dir / "app.plist.corrupt");
        EXPECT_FALSE(aside->reason.empty());
        EXPECT_TRUE(fs::exists(fs::symlink_status(dir / "app.plist.corrupt")));
        // The next change writes a fresh file beside the kept one.
        defaults.setBool(true, "x");
        EXPECT_TRUE(pf::UserDefaults(store, &center).boolForKey("x"));
        EXPECT_FALSE(pf::UserDefaults(store, &center).setAsideStore());
    }
}
