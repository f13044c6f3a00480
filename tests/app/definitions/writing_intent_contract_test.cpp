// The small piece of logic the writing-intent contract carries itself: an intent asks
// its validator once and keeps the answer; a refusal keeps nothing.
#include "app/engine/contracts/file_writing_intent.hpp"

#include "definitions_support.hpp"

#include <gtest/gtest.h>

namespace {

namespace pf = platform::foundation;

class CountingValidator : public gw::FileWritingIntentValidator {
public:
    gw::FileWritingIntentValidatorResult validate(const gw::FileWritingIntent& intent) override {
        ++calls;
        if (refuse) throw gw::FileWritingIntentError::userCancelled();
        return gw::FileWritingIntentValidatorResult::overwritableURL(intent.intendedDirectory().appendingPathComponent("x", true));
    }
    int calls = 0;
    bool refuse = false;
};

TEST(FileWritingIntent, AsksOnceAndKeepsTheAnswer) {
    auto validator = std::make_shared<CountingValidator>();
    auto picture = gwtest::pictureOfSize(2, 2);
    gw::FileWritingIntent intent(pf::URL::fileURL("/tmp/a", true), gw::WritingIntentKind::asset,
                                 {gw::FileWritingIntent::Options::imageInput(picture),
                                  gw::FileWritingIntent::Options::appendable()},
                                 validator);
    EXPECT_EQ(intent.imageInput(), picture);
    EXPECT_TRUE(intent.hasAppendableOption());

    validator->refuse = true;
    EXPECT_THROW(intent.validatedURL(), gw::FileWritingIntentError);
    EXPECT_FALSE(intent.validationResult().has_value());

    validator->refuse = false;
    EXPECT_EQ(intent.validatedURL().path(), "/tmp/a/x");
    EXPECT_EQ(intent.validatedURL().path(), "/tmp/a/x");
    EXPECT_EQ(validator->calls, 2);
    ASSERT_TRUE(intent.validationResult().has_value());
    EXPECT_EQ(intent.validationResult()->resultCase(), gw::FileWritingIntentValidatorResult::Case::overwritableURL);
}

}  // namespace
