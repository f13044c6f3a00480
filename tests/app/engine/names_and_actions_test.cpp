// Shortened picture names, trailing numbers of names, and the remembered
// already-exists answers in the settings.
#include "app/engine/file_already_exists_action.hpp"
#include "app/engine/contracts/file_writing_intent.hpp"
#include "app/engine/glyphwright.hpp"
#include "app/engine/image_creation_operation.hpp"
#include "app/engine/string_truncation.hpp"
#include "app/foundation/image_definition.hpp"
#include "app/foundation/localized_string.hpp"
#include "app/foundation/pdf_output.hpp"
#include "engine_writing_support.hpp"

#include <gtest/gtest.h>

#include <exception>
#include <string>
#include <vector>

namespace {

using gw::FileAlreadyExistsAction;
using gw::TruncationPosition;
using gw::truncated;

TEST(StringTruncation, KeepsShortTextsAndShortensLongOnesAroundTheLeader) {
    EXPECT_EQ(truncated("abcdefghijklmno", 15, TruncationPosition::middle, "..."), "abcdefghijklmno");
    EXPECT_EQ(truncated("abcdefghijklmnopqrst", 15, TruncationPosition::middle, "..."), "abcdef...opqrst");
    EXPECT_EQ(truncated("abcdefghijklmnop", 15, TruncationPosition::middle, "..."), "abcdef...klmnop");
    EXPECT_EQ(truncated("abcdefghijklmnopqrst", 14, TruncationPosition::middle, "..."), "abcdef...pqrst");
    EXPECT_EQ(truncated("abcdef", 3, TruncationPosition::head, "..."), "...def");
    EXPECT_EQ(truncated("abcdef", 3, TruncationPosition::tail, "..."), "abc...");
    EXPECT_EQ(truncated("", 0, TruncationPosition::middle, "..."), "");
}

TEST(StringTruncation, CountsUserPerceivedCharactersNotBytes) {
    // Each of these is one character: an accent built from two code points, a flag of
    // two regional indicators, a family joined by zero-width joiners, a thumb with a
    // skin tone, and a Hangul syllable built from jamo.
    const std::string accent = "e\xCC\x81";
    const std::string flag = "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA";
    const std::string family = "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7";
    const std::string thumb = "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD";
    const std::string hangul = "\xE1\x84\x80\xE1\x85\xA1\xE1\x86\xA8";
    const std::string text = accent + flag + family + thumb + hangul + "\r\n" + "xyz";
    EXPECT_EQ(gw::graphemeClusters(text).size(), 9u);

    const std::string name = family + "abcdefghijklmnop" + flag;  // 18 characters
    EXPECT_EQ(truncated(name, 15, TruncationPosition::middle, "..."), family + "abcde...lmnop" + flag);
    // Invalid UTF-8 counts byte by byte and is never split into something longer.
    EXPECT_EQ(truncated("\xFF\xFE" "abc", 3, TruncationPosition::tail, ""), "\xFF\xFE" "a");
}

TEST(TrailingNumber, ReadsOnlyTheDigitsThatEndTheName) {
    EXPECT_EQ(gw::trailingNumber("icon"), std::nullopt);
    EXPECT_EQ(gw::trailingNumber(""), std::nullopt);
    EXPECT_EQ(gw::trailingNumber("12a"), std::nullopt);
    EXPECT_EQ(gw::trailingNumber("a12"), 12);
    EXPECT_EQ(gw::trailingNumber("007"), 7);
    EXPECT_EQ(gw::trailingNumber("x9223372036854775807"), 9223372036854775807LL);
    EXPECT_EQ(gw::trailingNumber("x9223372036854775808"), std::nullopt);
    EXPECT_EQ(gw::trailingNumber("x" + std::string(20, '9')), std::nullopt);
    EXPECT_EQ(gw::trailingNumber("\xF0\x9F\x98\x80" "2"), 2);
}

TEST(TrailingNumber, ReplacesAppendsOrRemovesTheNumber) {
    auto replaced = [](std::string text, std::optional<std::int64_t> number) {
        gw::replaceTrailingNumber(text, number);
        return text;
    };
    EXPECT_EQ(replaced("icon", 1), "icon1");
    EXPECT_EQ(replaced("v2.3", 5), "v2.5");
    EXPECT_EQ(replaced("123", 124), "124");
    EXPECT_EQ(replaced("icon007", 8), "icon8");
    EXPECT_EQ(replaced("icon1", std::nullopt), "icon");
    EXPECT_EQ(replaced("123", std::nullopt), "");
    EXPECT_EQ(replaced("icon", std::nullopt), "icon");
    EXPECT_EQ(replaced("icon", -3), "icon-3");
    EXPECT_EQ(replaced("\xF0\x9F\x98\x80" "2", 3), "\xF0\x9F\x98\x80" "3");
}

class RememberedActions : public gwtest::engine::EngineEnvironment {};

TEST_F(RememberedActions, ReadBackWhatWasWrittenAndAskForAnythingOutOfRange) {
    gw::UserDefaultsCatalogExistsActionProvider catalog;
    gw::UserDefaultsCatalogContentExistsActionProvider contents;
    EXPECT_EQ(catalog.fileAlreadyExistsAction(), FileAlreadyExistsAction::ask);
    EXPECT_EQ(contents.fileAlreadyExistsAction(), FileAlreadyExistsAction::ask);

    catalog.setFileAlreadyExistsAction(FileAlreadyExistsAction::cancel);
    contents.setFileAlreadyExistsAction(FileAlreadyExistsAction::increment);
    // A fresh provider reads the same store; the two keys stay apart.
    EXPECT_EQ(gw::UserDefaultsCatalogExistsActionProvider().fileAlreadyExistsAction(), FileAlreadyExistsAction::cancel);
    EXPECT_EQ(gw::UserDefaultsCatalogContentExistsActionProvider().fileAlreadyExistsAction(),
              FileAlreadyExistsAction::increment);
    EXPECT_EQ(platform::foundation::UserDefaults::standard().integerForKey("CatalogExistsAction"), 4);

    for (std::int64_t stored : {7, -1, 5}) {
        platform::foundation::UserDefaults::standard().setInteger(stored, "CatalogExistsAction");
        EXPECT_EQ(catalog.fileAlreadyExistsAction(), FileAlreadyExistsAction::ask) << stored;
        // The odd value is not repaired in the store.
        EXPECT_EQ(platform::foundation::UserDefaults::standard().integerForKey("CatalogExistsAction"), stored);
    }
    EXPECT_EQ(gw::fileAlreadyExistsActionFromRawValue(5), std::nullopt);
    EXPECT_EQ(gw::fileAlreadyExistsActionFromRawValue(3), FileAlreadyExistsAction::append);
}

}  // namespace

namespace {

// Errors a user can see describe themselves in words: no type or case names.
TEST(ErrorDescriptions, SayWhatHappenedInWords) {
    const auto at = platform::foundation::URL::fileURL("/tmp/out/Assets.xcassets", true);
    using PDF = gw::PDFImageSaveError::Case;
    using Collection = gw::ImageInputCollection::ImageInputCollectionError::Case;
    const std::vector<std::exception_ptr> errors = {
        std::make_exception_ptr(gw::FileWritingIntentError::userCancelled(at)),
        std::make_exception_ptr(gw::FileWritingIntentError::userCancelled()),
        std::make_exception_ptr(gw::PDFImageSaveError(PDF::noPdfImageRep)),
        std::make_exception_ptr(gw::PDFImageSaveError(PDF::failedToOpenDocument)),
        std::make_exception_ptr(gw::PDFImageSaveError(PDF::failedToCreateOutputPDFContext)),
        std::make_exception_ptr(gw::PDFImageSaveError(PDF::failedToOpenFirstPage)),
        std::make_exception_ptr(gw::ImageInputCollection::ImageInputCollectionError(Collection::empty)),
        std::make_exception_ptr(gw::ImageInputCollection::ImageInputCollectionError(Collection::tooMany)),
        std::make_exception_ptr(gw::GlyphwrightError(gw::GlyphwrightError::Case::unableToOpenImageFromURL, at)),
        std::make_exception_ptr(gw::Glyphwright::StorageError(gw::Glyphwright::StorageError::Case::decodingFailed)),
        std::make_exception_ptr(gw::ImageConversionError(
            gw::ImageConversionError::Case::unableToGetPNGRepresentationFromFinalImage,
            gw::LocalizedString::text("error.description.png.notDrawn", "40 × 0"))),
    };
    for (const auto& error : errors) {
        const std::string text = gw::errorDescription(error);
        SCOPED_TRACE(text);
        EXPECT_GT(text.size(), 20u);
        for (const char* internal : {"gw.", "Error.", "Error ", "failedTo", "noPdf", "decodingFailed", "unableTo"}) {
            EXPECT_EQ(text.find(internal), std::string::npos) << internal;
        }
    }
    EXPECT_EQ(gw::errorDescription(errors[0]),
              "Nothing was written: /tmp/out/Assets.xcassets already exists and the answer for it is to cancel.");
    EXPECT_NE(gw::errorDescription(errors.back()).find("drawn at 40 × 0 pixels"), std::string::npos);
}

}  // namespace
