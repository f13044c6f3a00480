// The ways of reading a picture that the real program under a low `ulimit -n` does not run
// out of descriptors in (its own file, a file read by its path, the renderer's copy of a PDF
// held in memory) say too many open files when they do, never that the picture is at fault.
#include "app/foundation/image_input.hpp"
#include "app/foundation/picture_file.hpp"
#include "app/foundation/picture_test_support.hpp"
#include "platform/foundation/root_handle.hpp"
#include "platform/graphics/image.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

namespace pg = platform::graphics;

TEST(TooManyOpenFiles, EveryWayOfReadingAPictureSaysSo) {
#if defined(GW_ADDRESS_SANITIZER_BUILD)
    // UBSan's type checks open a pipe of their own, and report a fault when they cannot.
    GTEST_SKIP() << "the sanitizers need descriptors of their own";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    gwtest::TempDir dir;
    const auto png = dir / "photo.png";
    gwtest::writePng(png, 64, 64);
    gwtest::writePdf(dir / "page.pdf", 120, 80);
    const std::string pdf = gwtest::readFile(dir / "page.pdf");
    const std::pair<const char*, std::function<void(std::string*, pg::PictureProblem*)>> readings[] = {
        {"the picture file", [&](auto why, auto problem) {
             gw::readPictureFile(png, nullptr, pg::Image::kMaxFileBytes, why, problem);
         }},
        {"a file read by its path", [&](auto why, auto problem) { pg::Image::fromFile(png, why, problem); }},
        {"a PDF handed to its renderer", [&](auto why, auto problem) {
             pg::Image::fromData({reinterpret_cast<const std::uint8_t*>(pdf.data()), pdf.size()}, why, problem);
         }},
    };
    // The limit at the next free descriptor and a few above it: each descriptor a reading
    // takes (file, memory copy, socket, pipe, the copy handed over) is in turn the one refused.
    for (const auto& [name, read] : readings) {
        for (int above = 0; above < 8; ++above) {
            SCOPED_TRACE(std::string(name) + ", " + std::to_string(above) + " descriptors left");
            EXPECT_EXIT(
                {
                    // What the program opens once, as it starts, is open already.
                    platform::foundation::files::RootHandle::everything();
                    gw::ImageInput::make();
                    gw::ImageInput::problemDescription(pg::PictureProblem::tooManyOpenFiles);
                    const int next = ::dup(0);
                    ::close(next);
                    rlimit limit{};
                    ::getrlimit(RLIMIT_NOFILE, &limit);
                    limit.rlim_cur = static_cast<rlim_t>(next + above);
                    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) std::_Exit(2);
                    std::string why;
                    auto problem = pg::PictureProblem::none;
                    read(&why, &problem);
                    std::fprintf(stderr, "%d %s\n", static_cast<int>(problem), why.c_str());
                    // Read in full with descriptors to spare, there is nothing to say.
                    using enum pg::PictureProblem;
                    std::_Exit(problem == none || problem == tooManyOpenFiles ? 0 : 1);
                },
                ::testing::ExitedWithCode(0), "");
        }
    }
}
