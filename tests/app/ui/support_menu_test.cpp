// The "Support" menu end to end: real xdg-open, xdg-mime and xdg-email with the recorder
// standing in for the browser and the mail program, the alert answered as a user would.
#include "app/ui/norvane_support_controller.hpp"
#include "platform/appkit/qt/application.hpp"
#include "platform/foundation/url.hpp"
#include "support/desktop/desktop_recorder.hpp"
#include "support/gui/gui_harness.hpp"
#include "support/temp_dir.hpp"

#include <QAbstractButton>
#include <QMessageBox>
#include <QTest>
#include <gtest/gtest.h>

namespace {

namespace pa = platform::appkit;
namespace pf = platform::foundation;
namespace desktop = gwtest::desktop;
using gw::NorvaneSupportController;
using Action = NorvaneSupportController::Action;

struct RecordingDelegate : gw::NorvaneSupportControllerDelegate {
    void supportControllerDidPerform(NorvaneSupportController&, Action action) override { performed.push_back(action); }
    std::vector<Action> performed;
};

class SupportMenu : public ::testing::Test {
protected:
    void SetUp() override {
        auto& app = *pa::qt::Application::shared();
        previousMainMenu_ = app.mainMenu();
        mainMenu_ = pa::Menu::make("Main");
        mainMenu_->addItem(pa::MenuItem::make("Glyphwright"));
        app.setMainMenu(mainMenu_);
        top_ = controller_.addSupportMenu(app);
    }
    void TearDown() override { pa::qt::Application::shared()->setMainMenu(previousMainMenu_); }

    pa::MenuItemPtr item(Action action) const {
        for (const auto& entry : top_->submenu()->items()) {
            if (!entry->isSeparatorItem() && entry->tag() == static_cast<std::int64_t>(action)) return entry;
        }
        return nullptr;
    }

    std::shared_ptr<RecordingDelegate> delegate_ = std::make_shared<RecordingDelegate>();
    NorvaneSupportController controller_{"123456789", "Glyphwright", delegate_};
    pa::MenuPtr previousMainMenu_;
    pa::MenuPtr mainMenu_;
    pa::MenuItemPtr top_;
    desktop::DesktopRecorder recorder_;
    desktop::ScopedPlainDesktop plain_{recorder_};
};

TEST_F(SupportMenu, TheMenuIsAppendedWithElevenEntriesInOrder) {
    ASSERT_EQ(mainMenu_->numberOfItems(), 2u);
    EXPECT_EQ(mainMenu_->itemAt(1), top_);
    EXPECT_EQ(top_->title(), "Support");
    EXPECT_EQ(top_->submenu()->title(), "Support");
    EXPECT_FALSE(top_->action());
    std::vector<std::pair<std::string, std::int64_t>> entries;
    for (const auto& entry : top_->submenu()->items()) {
        entries.emplace_back(entry->isSeparatorItem() ? "---" : entry->title(), entry->isSeparatorItem() ? -1 : entry->tag());
        if (!entry->isSeparatorItem()) {
            EXPECT_TRUE(entry->keyEquivalent().empty());
            EXPECT_TRUE(entry->action());
        }
    }
    EXPECT_EQ(entries, (std::vector<std::pair<std::string, std::int64_t>>{
                           {"Open Support Website", 0}, {"Email Support", 1}, {"Join Mailing List", 2}, {"---", -1},
                           {"Write a Review", 5}, {"---", -1}, {"Open Twitter Profile", 3},
                           {"View More Developer Apps", 4}, {"---", -1}, {"Privacy Policy", 6}, {"Terms of Use", 7}}));
    // Without a main menu it is built and shown nowhere.
    const auto unshown = controller_.addSupportMenu(pa::MenuPtr());
    EXPECT_EQ(unshown->submenu()->numberOfItems(), 11u);
    EXPECT_EQ(unshown->menu(), nullptr);
}

TEST_F(SupportMenu, EveryLinkReachesTheBrowserThroughTheDesktopOpener) {
    const auto review = controller_.linkURL(Action::writeAReview);
    ASSERT_TRUE(review.has_value());
    EXPECT_EQ(review->scheme(), "macappstore");
    EXPECT_EQ(review->path(), "/app/id123456789");
    EXPECT_EQ(review->query(), "action=write-review");

    const Action links[] = {Action::openCompanyWebsite, Action::joinListwell,  Action::writeAReview,
                            Action::openTwitter,        Action::openDeveloperOnMacAppStore,
                            Action::privacyPolicy,      Action::termsOfUse};
    std::size_t count = 0;
    for (const auto action : links) {
        SCOPED_TRACE(NorvaneSupportController::description(action));
        ASSERT_TRUE(item(action)->performAction());
        ASSERT_TRUE(recorder_.waitForInvocations(++count));
        const auto opened = recorder_.invocations().back();
        ASSERT_EQ(opened.size(), 1u);
        const auto url = controller_.linkURL(action)->absoluteString();
        const auto expected = url.rfind("macappstore:", 0) == 0 ? "https:" + url.substr(12) : url;
        EXPECT_EQ(opened[0], expected);
        EXPECT_EQ(opened[0].rfind("https://", 0), 0u);
    }
    EXPECT_EQ(recorder_.invocations().at(2).at(0), "https://apps.apple.com/app/id123456789?action=write-review");
    EXPECT_EQ(delegate_->performed, std::vector<Action>(std::begin(links), std::end(links)));
}

TEST_F(SupportMenu, ALinkNoProgramCanOpenIsShownInAnAlertWithTheAddressTried) {
    // The desktop's opener finds no browser: it fails, and says so only on its error output.
    const gwtest::ScopedEnv noBrowser("BROWSER", "false");
    const Action links[] = {Action::openCompanyWebsite, Action::writeAReview, Action::termsOfUse};
    for (const auto action : links) {
        SCOPED_TRACE(NorvaneSupportController::description(action));
        std::string shown;
        auto answer = gwtest::gui::answerNextModal([&](QWidget& modal) {
            auto* box = qobject_cast<QMessageBox*>(&modal);
            ASSERT_NE(box, nullptr);
            EXPECT_EQ(box->text().toStdString(), "The link could not be opened");
            shown = box->informativeText().toStdString();
            QTest::mouseClick(box->buttons().at(0), Qt::LeftButton);
        });
        ASSERT_TRUE(item(action)->performAction());
        ASSERT_TRUE(gwtest::gui::waitFor([&] { return answer->answered(); }));
        const auto url = controller_.linkURL(action)->absoluteString();
        const auto tried = url.rfind("macappstore:", 0) == 0 ? "https:" + url.substr(12) : url;
        EXPECT_NE(shown.find(tried), std::string::npos) << shown;
    }
    // Each use is still reported.
    EXPECT_EQ(delegate_->performed, std::vector<Action>(std::begin(links), std::end(links)));
    EXPECT_TRUE(recorder_.invocations().empty());
}

TEST_F(SupportMenu, EmailSupportComposesTheMessageThenShowsTheAddress) {
    plain_.useRecorderAsMailHandler();
    auto answer = gwtest::gui::answerNextModal([](QWidget& modal) {
        auto* box = qobject_cast<QMessageBox*>(&modal);
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->text().toStdString(), "Email Support");
        EXPECT_EQ(box->informativeText().toStdString(), "Please contact support on support@norvane.example");
        ASSERT_EQ(box->buttons().size(), 1);
        EXPECT_EQ(box->buttons().at(0)->text().toStdString(), "OK");
        QTest::mouseClick(box->buttons().at(0), Qt::LeftButton);
    });
    ASSERT_TRUE(item(Action::emailSupport)->performAction());
    EXPECT_TRUE(answer->answered());
    EXPECT_EQ(delegate_->performed, std::vector<Action>{Action::emailSupport});

    ASSERT_TRUE(recorder_.waitForInvocations(1));
    const auto args = recorder_.invocations().at(0);
    ASSERT_EQ(args.size(), 1u);
    const auto mail = pf::URL::fromString(args[0]);
    ASSERT_TRUE(mail.has_value()) << args[0];
    EXPECT_EQ(mail->scheme(), "mailto");
    EXPECT_EQ(mail->path(), "support@norvane.example");
    const auto query = pf::percentDecode(mail->query().value_or(""));
    EXPECT_NE(query.find("subject=Glyphwright - Help, Support & Feedback"), std::string::npos) << query;
    EXPECT_NE(query.find("body=Hi"), std::string::npos) << query;
}

TEST_F(SupportMenu, EmailSupportWithoutAMailProgramShowsTheAddressAndReportsNothing) {
    std::string shown;
    auto answer = gwtest::gui::answerNextModal([&](QWidget& modal) {
        auto* box = qobject_cast<QMessageBox*>(&modal);
        ASSERT_NE(box, nullptr);
        shown = box->informativeText().toStdString();
        modal.close();
    });
    ASSERT_TRUE(item(Action::emailSupport)->performAction());
    EXPECT_TRUE(answer->answered());
    EXPECT_EQ(shown, "Please contact support on support@norvane.example");
    EXPECT_TRUE(delegate_->performed.empty());
    EXPECT_TRUE(recorder_.invocations().empty());
}

TEST(SupportMenuDeathTest, ASenderThatIsNotAnActionItemStopsTheProgram) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    NorvaneSupportController controller("1", "App", {});
    auto eight = pa::MenuItem::make("Eight");
    eight->setTag(8);
    EXPECT_DEATH(controller.performAction(eight), "Unkown tag");
    EXPECT_DEATH(controller.performAction(std::any(std::string("not a menu item"))), "Unkown tag");
    EXPECT_DEATH(controller.performAction(std::any()), "Unkown tag");
    EXPECT_EQ(NorvaneSupportController::actionFromRawValue(8), std::nullopt);
    EXPECT_EQ(NorvaneSupportController::actionFromRawValue(7), Action::termsOfUse);
}

}  // namespace
