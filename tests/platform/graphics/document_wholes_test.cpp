// Pages costly at any size are drawn from a few whole drawings; a whole drawing the
// renderer cannot make must cost the page neither its sizes nor a drawing for each size.
// Real PDF pages of nested forms, drawn by the real renderer helper.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/graphics/image.hpp"
#include "platform/graphics/picture_problem.hpp"
#include "platform/graphics/render_client.hpp"
#include "support/picture_samples.hpp"

namespace {

namespace pg = platform::graphics;
namespace samples = gwtest::samples;
using samples::Bytes;

// A page of forms `levels` deep, each a transparency group drawing the next `fanout`
// times, the innermost filling `fills` squares of one unit: costly at any size for its
// fills, and over the groups' budget only where drawn large.
Bytes groupsOfFormsPdf(int levels, int fanout, int fills) {
    auto objects = samples::pdfPage(100, 100, "<< /XObject << /F0 5 0 R >> >>");
    objects.push_back(samples::pdfStream("", samples::bytesOf("/F0 Do")));
    for (int level = 0; level < levels; ++level) {
        std::string content;
        for (int i = 0; level + 1 < levels && i < fanout; ++i) content += "/F Do ";
        for (int i = 0; level + 1 == levels && i < fills; ++i) content += std::to_string(i % 100) + " 50 1 1 re f ";
        const std::string resources =
            level + 1 < levels ? " /Resources << /XObject << /F " + std::to_string(6 + level) + " 0 R >> >>" : "";
        objects.push_back(samples::pdfStream(
            "/Type /XObject /Subtype /Form /BBox [0 0 100 100] /Group << /S /Transparency >>" + resources,
            samples::bytesOf(content)));
    }
    return samples::pdfOfObjects(objects);
}

// The fan-out page of forms 8 deep, each drawing the next ten times, with one form's
// dictionary cut into by its neighbour's content: the scan, which cannot read past the
// damage, lets the page through as costly at any size, and the renderer draws all it can
// of the forms, reporting the damage at every drawing.
Bytes damagedFanOutPdf() {
    const Bytes whole = samples::nestedFormsPdf(8, 10);
    std::string text(whole.begin(), whole.end());
    const std::string key = "/Resources << /XObject << /F 11 0 R";
    const auto at = text.find(key);
    if (at == std::string::npos) return {};
    text.insert(at + 18, "m\n/F Do /F Do /F Do /F Do /F Do /F Do /F Do /F ");
    return Bytes(text.begin(), text.end());
}

// No limit is met here: the time in all is given room enough that a loaded machine, where
// a drawing waits for a processor, cannot meet it first.
class DocumentWholes : public ::testing::Test {
protected:
    void SetUp() override {
        pg::RenderClient::setTimeLimitsForTests(pg::RenderTimeLimits{pg::render::kCpuSeconds, 600});
    }
    void TearDown() override { pg::RenderClient::setTimeLimitsForTests(std::nullopt); }
};

// Drawn at 1100 px a side, its whole drawing would be 4096 px, where its 400 groups are
// past the budget: the page was refused at that size although it fits at its own. Sizes
// whose whole drawing can be made are still made from it.
TEST_F(DocumentWholes, ASizeWhoseWholeDrawingCannotBeMadeIsDrawnAtItsOwnSize) {
    const auto pdf = groupsOfFormsPdf(4, 7, 96);
    auto image = pg::Image::fromData(pdf);
    ASSERT_TRUE(image);
    {
        pg::DrawingProblems problems;
        EXPECT_TRUE(image->renderBitmap(1100, 1100)) << problems.text();
    }
    const int before = pg::RenderClient::drawingsAsked();
    for (const int side : {600, 300}) {
        pg::DrawingProblems problems;
        EXPECT_TRUE(image->renderBitmap(side, side)) << problems.text();
    }
    EXPECT_EQ(pg::RenderClient::drawingsAsked() - before, 1) << "both from the 1024 px whole drawing";
}

// A page the renderer reports errors on at any size costs its document a few drawings,
// however many sizes are asked, one after another or all at once: each size drew the
// failing whole drawing again after all its work, and waited for the others to draw it
// first, so that an icon set of such a page took minutes on a busy machine.
TEST_F(DocumentWholes, APageTheRendererReportsErrorsOnCostsAFewDrawingsForAllItsSizes) {
    // An icon set's sizes and more: the 1024 px one, and 39 made from the 256 px whole drawing.
    std::vector<int> sides = {1024};
    for (int side = 20; side < 59; ++side) sides.push_back(side);
    for (const bool atOnce : {false, true}) {
        SCOPED_TRACE(atOnce ? "all sizes at once" : "one size after another");
        const auto pdf = damagedFanOutPdf();
        auto image = pg::Image::fromData(pdf);
        ASSERT_TRUE(image);
        const int before = pg::RenderClient::drawingsAsked();
        std::vector<pg::PictureProblem> problems(sides.size());
        const auto drawSize = [&](size_t i) {
            pg::DrawingProblems reported;
            if (!image->renderBitmap(sides[i], sides[i])) problems[i] = reported.kind();
        };
        std::vector<std::thread> threads;
        for (size_t i = 0; i < sides.size(); ++i) {
            if (atOnce) threads.emplace_back(drawSize, i);
            else drawSize(i);
        }
        for (auto& thread : threads) thread.join();
        for (const auto problem : problems) EXPECT_EQ(problem, pg::PictureProblem::incompleteRender);
        // The two whole drawings and a size drawn at its own size; at once, the sizes
        // that started at their own sizes before the first of them failed (at most 8
        // drawings run at once, and one may start in each place a failed one leaves).
        EXPECT_LE(pg::RenderClient::drawingsAsked() - before, atOnce ? 2 + 2 * 8 : 3);
    }
    EXPECT_EQ(pg::RenderClient::helpersAlive(), 0);
}

}  // namespace
