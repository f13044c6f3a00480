// A picture read when no file descriptor is left is refused for too many open files, never
// as a fault of its own: each way a picture is read, with the limit of open files set at
// the next free descriptor and a few above it, so that each descriptor the reading takes
// in turn is the one refused (the file, the renderer's copy of a PDF, its socket, its
// pipe, the copy handed to it). Each case runs in a fresh process of its own.
#include "app/foundation/image_input.hpp"
#include "app/foundation/picture_file.hpp"
#include "app/foundation/picture_test_support.hpp"
#include "platform/foundation/root_handle.hpp"
#include "platform/graphics/image.hpp"
#include "platform/graphics/picture_problem.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
namespace pg = platform::graphics;

// The problem the reading reports, with its words.
using Reading = std::function<pg::PictureProblem(std::string& why)>;

std::vector<std::uint8_t> bytesOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(TooManyOpenFiles, EveryWayOfReadingAPictureSaysSo) {
#if defined(__SANITIZE_ADDRESS__)
    // UBSan checks the type of a polymorphic object it has not met before through a pipe
    // of its own, and reports a fault when it cannot have one.
    GTEST_SKIP() << "the sanitizers need descriptors of their own";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    gwtest::TempDir dir;
    const fs::path png = dir / "photo.png", pdf = dir / "page.pdf";
    gwtest::writePng(png, 64, 64);
    gwtest::writePdf(pdf, 120, 80);
    const struct {
        const char* name;
        Reading read;
    } cases[] = {
        {"the picture file",
         [&](std::string& why) {
             auto problem = pg::PictureProblem::none;
             gw::readPictureFile(png, nullptr, pg::Image::kMaxFileBytes, &why, &problem);
             return problem;
         }},
        {"a picture loaded",
         [&](std::string& why) {
             try {
                 gw::ImageInput::load(platform::foundation::URL::fileURL(png, false));
             } catch (const gw::ImageInput::ImageInputError& failure) {
                 why = failure.what();
                 return failure.problem();
             }
             return pg::PictureProblem::none;
         }},
        {"a file read by its path",
         [&](std::string& why) {
             auto problem = pg::PictureProblem::none;
             pg::Image::fromFile(png, &why, &problem);
             return problem;
         }},
        {"a PDF handed to its renderer",
         [bytes = bytesOf(pdf)](std::string& why) {
             auto problem = pg::PictureProblem::none;
             pg::Image::fromData(bytes, &why, &problem);
             return problem;
         }},
    };
    for (const auto& c : cases) {
        for (int above = 0; above < 8; ++above) {
            SCOPED_TRACE(std::string(c.name) + ", " + std::to_string(above) + " descriptors left");
            EXPECT_EXIT(
                {
                    // What the program opens once, as it starts, is open already.
                    platform::foundation::files::RootHandle::everything();
                    gw::ImageInput::make();
                    gw::ImageInput::problemDescription(pg::PictureProblem::tooManyOpenFiles);
                    const int next = ::dup(0);
                    ::close(next);
                    const rlim_t limit = static_cast<rlim_t>(next + above);
                    rlimit now{};
                    ::getrlimit(RLIMIT_NOFILE, &now);
                    now.rlim_cur = limit;
                    if (::setrlimit(RLIMIT_NOFILE, &now) != 0) std::_Exit(2);
                    std::string why;
                    const auto problem = c.read(why);
                    // Read in full with descriptors to spare, there is nothing to say.
                    if (problem == pg::PictureProblem::none) std::_Exit(0);
                    std::fprintf(stderr, "%d %s\n", static_cast<int>(problem), why.c_str());
                    std::_Exit(problem == pg::PictureProblem::tooManyOpenFiles ? 0 : 1);
                },
                ::testing::ExitedWithCode(0), "");
        }
    }
    // The words a user reads say it, not that the picture is unreadable.
    EXPECT_EQ(gw::ImageInput::problemDescription(pg::PictureProblem::tooManyOpenFiles).rfind("Too many open files", 0), 0u);
}

}  // namespace
