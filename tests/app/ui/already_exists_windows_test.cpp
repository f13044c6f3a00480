// The two already-exists windows end to end: a real engine converts real PNG files into
// an output folder whose catalog already exists, the windows ask, and QTest answers as a
// user would. Also the windows alone: the width rule with the real font, shown paths,
// and catalogs and folders that give no pictures.
#include "app/engine/file_already_exists_action.hpp"
#include "app/engine/writing_intents.hpp"
#include "app/foundation/folder_scanning.hpp"
#include "app/ui/asset_already_exists_window.hpp"
#include "app/ui/asset_catalog_already_exists_window.hpp"
#include "platform/appkit/qt/bundle_image.hpp"
#include "support/gui/gui_harness.hpp"
#include "support/permission_bound.hpp"
#include "ui_test_support.hpp"

#include <QGuiApplication>
#include <QScreen>

#include <cmath>
#include <functional>

namespace {

namespace fs = std::filesystem;
namespace pf = platform::foundation;
using gw::AssetAlreadyExistsWindow;
using gw::AssetCatalogAlreadyExistsWindow;
using gw::ConversionOutputType;
using gwtest::engine::filesBelow;
using gwtest::gui::answerNextModal;
using gwtest::ui::centreColour;
using gwtest::ui::clickRow;
using gwtest::ui::writeImageSet;
using gwtest::ui::writeSolidPng;

constexpr std::uint32_t kRed = 0xD02020, kBlue = 0x2040C0, kGreen = 0x20A040;

class AlreadyExistsWindows : public gwtest::engine::EngineEnvironment {
protected:
    std::shared_ptr<AssetCatalogAlreadyExistsWindow> catalogWindow = std::make_shared<AssetCatalogAlreadyExistsWindow>();
    std::shared_ptr<AssetAlreadyExistsWindow> assetWindow = std::make_shared<AssetAlreadyExistsWindow>();

    fs::path out() const { return dir_.path() / "out"; }
    fs::path catalog() const { return out() / "Assets.xcassets"; }

    // An engine as the main window holds it, ready to convert one picture of `rgb`.
    gwtest::engine::ObservedEngine engine(ConversionOutputType type, const std::string& name, std::uint32_t rgb) {
        gwtest::engine::ObservedEngine e;
        e.engine->setAssetCatalogFolderAlreadyExistsWindow(catalogWindow);
        e.engine->setAssetFolderAlreadyExistsWindow(assetWindow);
        e.engine->addImage(fileURL(writeSolidPng(dir_.path() / "in" / (name + ".png"), 1024, 1024, rgb)));
        e.engine->setOutputDirectory(folderURL(out()));
        e.engine->setResizeType(type);
        return e;
    }

    // Converts; true when it wrote, false when it was cancelled.
    static bool convert(gwtest::engine::ObservedEngine& e) {
        try {
            e.engine->createAssetCatalog();
        } catch (const gw::FileWritingIntentError& error) {
            EXPECT_EQ(error.errorCase(), gw::FileWritingIntentError::Case::userCancelled);
            return false;
        }
        EXPECT_TRUE(e.delegate->waitForRun(1));
        e.engine->waitUntilAllOperationsAreFinished();
        return true;
    }

    static bool contains(const std::vector<std::string>& files, const std::string& file) {
        return std::find(files.begin(), files.end(), file) != files.end();
    }
};

template <class W>
W& as(QWidget& modal, const std::shared_ptr<W>& expected) {
    EXPECT_EQ(&modal, expected.get());
    return static_cast<W&>(modal);
}

TEST_F(AlreadyExistsWindows, TheCatalogWindowShowsBothSidesAndEachAnswerWritesWhatItSays) {
    struct Case {
        std::string name;
        std::function<void(AssetCatalogAlreadyExistsWindow&)> act;
        bool writes;
        std::function<void(const std::vector<std::string>& files)> check;
    };
    const auto pressContinue = [](AssetCatalogAlreadyExistsWindow& w) {
        QTest::mouseClick(w.continueButton(), Qt::LeftButton);
    };
    const std::vector<Case> cases = {
        {"add to it",
         [&](AssetCatalogAlreadyExistsWindow& w) { clickRow(*w.selectionMatrix(), 0); pressContinue(w); }, true,
         [](const std::vector<std::string>& files) {
             EXPECT_TRUE(contains(files, "Assets.xcassets/Logo.imageset/Logo.png"));
             EXPECT_TRUE(contains(files, "Assets.xcassets/AppIcon.appiconset/Contents.json"));
         }},
        {"a new name",
         [&](AssetCatalogAlreadyExistsWindow& w) { clickRow(*w.selectionMatrix(), 1); QTest::keyClick(&w, Qt::Key_Return); },
         true,
         [](const std::vector<std::string>& files) {
             EXPECT_TRUE(contains(files, "Assets.xcassets/Logo.imageset/Logo.png"));
             EXPECT_FALSE(contains(files, "Assets.xcassets/AppIcon.appiconset/Contents.json"));
             EXPECT_TRUE(contains(files, "Assets1.xcassets/AppIcon.appiconset/Contents.json"));
         }},
        {"window closed", [](AssetCatalogAlreadyExistsWindow& w) { w.close(); }, false,
         [](const std::vector<std::string>& files) {
             EXPECT_EQ(files, (std::vector<std::string>{"Assets.xcassets/Logo.imageset/Contents.json",
                                                        "Assets.xcassets/Logo.imageset/Logo.png"}));
         }},
        {"overwrite, always",
         [&](AssetCatalogAlreadyExistsWindow& w) {
             clickRow(*w.selectionMatrix(), 2);
             QTest::mouseClick(w.alwaysButton(), Qt::LeftButton);
             pressContinue(w);
         },
         true,
         [](const std::vector<std::string>& files) {
             EXPECT_FALSE(contains(files, "Assets.xcassets/Logo.imageset/Logo.png"));
             EXPECT_TRUE(contains(files, "Assets.xcassets/AppIcon.appiconset/Contents.json"));
             EXPECT_EQ(gw::UserDefaultsCatalogExistsActionProvider().fileAlreadyExistsAction(),
                       gw::FileAlreadyExistsAction::overwrite);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(out());
        clearSettings();
        writeImageSet(catalog() / "Logo.imageset", kBlue);
        auto e = engine(ConversionOutputType::iOSIcon, "Artwork", kRed);

        auto answer = answerNextModal([&](QWidget& modal) {
            auto& w = as(modal, catalogWindow);
            EXPECT_EQ(centreColour(w.inputImageView(0)->image()), kRed);
            EXPECT_EQ(centreColour(w.existingImageView(0)->image()), kBlue);
            for (int i = 1; i < 4; ++i) {
                EXPECT_EQ(w.inputImageView(i)->image(), nullptr);
                EXPECT_EQ(w.existingImageView(i)->image(), nullptr);
            }
            EXPECT_EQ(w.selectionMatrix()->rowTitle(1), "Create a new asset catalog named Assets1.xcassets");
            EXPECT_EQ(w.selectionMatrix()->rowHighlight(1), "Create a new asset catalog");
            EXPECT_EQ(w.detailTextField()->text().toStdString(),
                      "An asset catalog already exists at " + catalog().string() + ". What would you like to do?");
            EXPECT_FALSE(w.alwaysButton()->isChecked());
            c.act(w);
        });
        EXPECT_EQ(convert(e), c.writes);
        EXPECT_TRUE(answer->answered());
        EXPECT_FALSE(catalogWindow->isVisible());
        c.check(filesBelow(out()));
    }

    // The answer remembered by the last case: the next run asks nothing.
    auto e = engine(ConversionOutputType::iOSIcon, "Artwork", kRed);
    writeImageSet(catalog() / "Logo.imageset", kBlue);
    auto unexpected = answerNextModal([](QWidget& modal) { modal.close(); });
    EXPECT_TRUE(convert(e));
    EXPECT_FALSE(unexpected->answered());
    unexpected->cancel();
    EXPECT_FALSE(contains(filesBelow(out()), "Assets.xcassets/Logo.imageset/Logo.png"));
}

TEST_F(AlreadyExistsWindows, TheAssetWindowOffersAppendOnlyWhereItCanAndWritesEachAnswer) {
    // Catalog answered "add to it" for good, so only the asset folder is asked about.
    gw::UserDefaultsCatalogExistsActionProvider().setFileAlreadyExistsAction(gw::FileAlreadyExistsAction::append);

    // Asked directly with appending available, the user adds to the folder: row 2 stays
    // chosen for the next prompt unless that one cannot append.
    writeImageSet(catalog() / "Logo.imageset", kBlue);
    {
        auto answer = answerNextModal([&](QWidget& modal) {
            auto& w = as(modal, assetWindow);
            EXPECT_TRUE(w.selectionMatrix()->isRowEnabled(2));
            EXPECT_EQ(w.selectionMatrix()->rowTitle(2), "Add to the existing asset Logo.imageset");
            EXPECT_EQ(centreColour(w.existingImageView()->image()), kBlue);
            EXPECT_EQ(centreColour(w.inputImageView()->image()), kRed);
            clickRow(*w.selectionMatrix(), 2);
            QTest::mouseClick(w.continueButton(), Qt::LeftButton);
        });
        const auto result = assetWindow->runModal(
            {folderURL(catalog() / "Logo.imageset"), true, gwtest::ui::solidImage(32, 32, kRed)});
        EXPECT_TRUE(answer->answered());
        EXPECT_EQ(result.response, 1);
        EXPECT_EQ(result.selectedRow, 2);
    }

    // An existing set cannot be appended to here: row 2 is closed and row 0 chosen, though
    // row 2 was chosen last time.
    writeImageSet(catalog() / "AppIcon.appiconset", kGreen);
    {
        auto e = engine(ConversionOutputType::iOSIcon, "Artwork", kRed);
        auto answer = answerNextModal([&](QWidget& modal) {
            auto& w = as(modal, assetWindow);
            EXPECT_FALSE(w.selectionMatrix()->isRowEnabled(2));
            EXPECT_EQ(w.selectionMatrix()->selectedRow(), 0);
            EXPECT_EQ(w.selectionMatrix()->rowTitle(0), "Create a new asset named AppIcon1.appiconset");
            EXPECT_EQ(centreColour(w.existingImageView()->image()), kGreen);
            EXPECT_EQ(w.detailTextField()->text().toStdString(),
                      "The folder " + catalog().string() +
                          " already contains an asset named AppIcon.appiconset. What would you like to do?");
            QTest::keyClick(&w, Qt::Key_Return);
        });
        ASSERT_TRUE(convert(e));
        EXPECT_TRUE(answer->answered());
        EXPECT_TRUE(fs::exists(catalog() / "AppIcon1.appiconset" / "Contents.json"));
        EXPECT_EQ(filesBelow(catalog() / "AppIcon.appiconset"),
                  (std::vector<std::string>{"AppIcon.png", "Contents.json"}));
    }

    // With AppIcon1 there too the next free name is AppIcon2; overwrite replaces the old set.
    {
        auto e = engine(ConversionOutputType::iOSIcon, "Artwork", kRed);
        auto answer = answerNextModal([&](QWidget& modal) {
            auto& w = as(modal, assetWindow);
            EXPECT_EQ(w.selectionMatrix()->rowTitle(0), "Create a new asset named AppIcon2.appiconset");
            clickRow(*w.selectionMatrix(), 1);
            QTest::mouseClick(w.continueButton(), Qt::LeftButton);
        });
        ASSERT_TRUE(convert(e));
        EXPECT_TRUE(answer->answered());
        EXPECT_FALSE(fs::exists(catalog() / "AppIcon2.appiconset"));
        EXPECT_FALSE(fs::exists(catalog() / "AppIcon.appiconset" / "AppIcon.png"));
        EXPECT_TRUE(fs::exists(catalog() / "AppIcon.appiconset" / "Contents.json"));
    }

    // A folder whose only picture file does not load shows the bundle's empty picture;
    // Escape cancels the run and nothing is written.
    fs::remove_all(catalog() / "AppIcon1.appiconset");
    fs::remove_all(catalog() / "AppIcon.appiconset");
    fs::create_directories(catalog() / "AppIcon.appiconset");
    std::ofstream(catalog() / "AppIcon.appiconset" / "broken.png") << "not a picture";
    const auto before = filesBelow(out());
    {
        auto e = engine(ConversionOutputType::iOSIcon, "Artwork", kRed);
        auto answer = answerNextModal([&](QWidget& modal) {
            auto& w = as(modal, assetWindow);
            EXPECT_EQ(w.existingImageView()->image(), platform::appkit::qt::bundleImage("Empty Asset"));
            QTest::keyClick(&w, Qt::Key_Escape);
        });
        EXPECT_FALSE(convert(e));
        EXPECT_TRUE(answer->answered());
        EXPECT_EQ(filesBelow(out()), before);
    }
}

// The windows alone, asked directly as the validators ask them.
class AlreadyExistsWindowsAlone : public AlreadyExistsWindows {
protected:
    gw::AlreadyExistsAnswer askCatalog(const fs::path& folder, std::function<void(AssetCatalogAlreadyExistsWindow&)> check,
                                       std::vector<platform::graphics::ImagePtr> images = {}) {
        auto answer = answerNextModal([&](QWidget& modal) {
            auto& w = as(modal, catalogWindow);
            check(w);
            w.close();
        });
        auto result = catalogWindow->runModal({folderURL(folder), std::move(images)});
        EXPECT_TRUE(answer->answered());
        return result;
    }
};

TEST_F(AlreadyExistsWindowsAlone, TheCatalogWindowGrowsToItsWidestTitleInTheRealFontAndIsCentred) {
    // A long catalog name makes a wide title.
    const auto folder = out() / "A catalog with a rather long name to make the option titles wide.xcassets";
    writeImageSet(folder / "Logo.imageset", kBlue);
    const QPoint screenCentre = QGuiApplication::primaryScreen()->availableGeometry().center();

    catalogWindow->setFrame(QRect(0, 0, 300, 200));
    askCatalog(folder, [&](AssetCatalogAlreadyExistsWindow& w) {
        const qreal widest = w.widestTitleWidth();
        // The measurement is what the label really needs in the font it shows.
        for (int row = 0; row < 3; ++row) {
            EXPECT_LE(w.selectionMatrix()->rowLabel(row)->sizeHint().width(), std::ceil(widest) + 2) << row;
        }
        EXPECT_GT(widest, 500);
        EXPECT_EQ(w.frame().size(), QSize(int(std::ceil(widest + 75)), 468));
        EXPECT_LE((w.frame().center() - screenCentre).manhattanLength(), 2);
    });

    catalogWindow->setFrame(QRect(10, 10, 1500, 500));
    askCatalog(folder, [&](AssetCatalogAlreadyExistsWindow& w) {
        EXPECT_EQ(w.frame().size(), QSize(1500, 500));  // wide enough: only centred
        EXPECT_LE((w.frame().center() - screenCentre).manhattanLength(), 2);
    });
}

TEST_F(AlreadyExistsWindowsAlone, ShownPathsAreDecodedOnce) {
    for (const std::string name : {"100%25", "a b", "caf\u00e9 %20"}) {
        SCOPED_TRACE(name);
        const auto parent = out() / name;
        writeImageSet(parent / "Assets.xcassets" / "Logo.imageset", kBlue);
        askCatalog(parent / "Assets.xcassets", [&](AssetCatalogAlreadyExistsWindow& w) {
            EXPECT_TRUE(w.detailTextField()->text().contains(QString::fromStdString(parent.string() + "/Assets.xcassets")))
                << w.detailTextField()->text().toStdString();
        });
        auto answer = answerNextModal([&](QWidget& modal) {
            auto& w = as(modal, assetWindow);
            EXPECT_EQ(w.detailTextField()->text().toStdString(),
                      "The folder " + parent.string() + "/Assets.xcassets already contains an asset named "
                      "Logo.imageset. What would you like to do?");
            QTest::mouseClick(w.cancelButton(), Qt::LeftButton);
        });
        const auto result = assetWindow->runModal({folderURL(parent / "Assets.xcassets" / "Logo.imageset"), true, nullptr});
        EXPECT_EQ(result.response, 0);
        EXPECT_TRUE(answer->answered());
    }
}

TEST_F(AlreadyExistsWindowsAlone, TheCatalogWindowShowsTheFirstFourPicturesAndEmptyViewsForTheRest) {
    const std::uint32_t colours[] = {0x101010, 0x303030, 0x505050, 0x707070, 0x909090, 0xB0B0B0};
    for (int i = 0; i < 6; ++i) writeImageSet(catalog() / ("Set" + std::to_string(i) + ".imageset"), colours[i], 40 + i);
    const auto all = gw::imagesInFolder(folderURL(catalog()));
    ASSERT_EQ(all.size(), 6u);
    const auto two = std::vector<platform::graphics::ImagePtr>{gwtest::ui::solidImage(8, 8, kRed),
                                                               gwtest::ui::solidImage(8, 8, kGreen)};
    askCatalog(catalog(), [&](AssetCatalogAlreadyExistsWindow& w) {
        for (int i = 0; i < 4; ++i) EXPECT_EQ(centreColour(w.existingImageView(i)->image()), centreColour(all[i])) << i;
        EXPECT_EQ(centreColour(w.inputImageView(0)->image()), kRed);
        EXPECT_EQ(centreColour(w.inputImageView(1)->image()), kGreen);
        EXPECT_EQ(w.inputImageView(2)->image(), nullptr);
        EXPECT_EQ(w.inputImageView(3)->image(), nullptr);
    }, two);

    // A catalog without pictures: four empty views, and the new pictures of this prompt only.
    const auto bare = out() / "Bare.xcassets";
    fs::create_directories(bare / "Empty.imageset");
    askCatalog(bare, [&](AssetCatalogAlreadyExistsWindow& w) {
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(w.existingImageView(i)->image(), nullptr);
            EXPECT_EQ(w.inputImageView(i)->image(), nullptr);
        }
    });

}

TEST_F(AlreadyExistsWindowsAlone, ACatalogThatCannotBeReadStillAsksWithNothingToShow) {
    if (!gwtest::runWherePermissionsBind()) return;
    writeImageSet(catalog() / "Logo.imageset", kBlue);
    fs::permissions(catalog(), fs::perms::none);
    const auto result = askCatalog(catalog(), [&](AssetCatalogAlreadyExistsWindow& w) {
        for (int i = 0; i < 4; ++i) EXPECT_EQ(w.existingImageView(i)->image(), nullptr);
    });
    fs::permissions(catalog(), fs::perms::owner_all);
    EXPECT_EQ(result.response, 0);
}

}  // namespace
