// What drawing documents in the renderer helper costs. The rich SVG icon drawing's iOS
// icon set (its 20 sizes, as a conversion draws them, several at once) drawn by the
// document's helpers against the same drawn in the program, as the program draws its own
// images: the sandbox's cost, helper start-up, parsing in each helper and pixels handed
// back included. And the icon set of a heavy page, each drawing of which stays under the
// helper's limits but takes a good share of them: made from whole drawings. And the small
// SVG cases, where the helper's start and a process for each drawing weigh most: a small
// icon's iOS icon set, and 61 small icons each read (its page written, as a picture of it
// keeps) and written as an image set's PDF; and what one drawing's process costs.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "bench/graphics/noisy_picture.hpp"
#include "bench/graphics/rich_svg.hpp"
#include "platform/graphics/graphics_context.hpp"
#include "platform/graphics/image.hpp"
#include "platform/graphics/render_client.hpp"
#include "platform/graphics/svg_document.hpp"
#include "tests/support/picture_samples.hpp"

namespace {

namespace pg = platform::graphics;

const std::string& richSvg() {
    static const std::string svg = gwbench::richSvg();
    return svg;
}

// The program's own images are read from files.
const std::filesystem::path& richSvgFile() {
    static const std::filesystem::path path = [] {
        const auto file = std::filesystem::temp_directory_path() / ("gw-bench-rich-" + std::to_string(getpid()) + ".svg");
        std::ofstream(file) << richSvg();
        return file;
    }();
    return path;
}

// A picture drawn from `document`.
pg::ImagePtr pictureOf(const std::shared_ptr<const pg::SvgDocument>& document) {
    if (!document) return nullptr;
    return pg::Image::withSize(document->drawingSize(), true, [document](pg::Rect) {
        auto* context = pg::GraphicsContext::current();
        return context != nullptr && document->render(*context);
    });
}

// Every size of the icon set drawn from the picture `make` gives on each thread, on as
// many threads as a conversion draws them on; the number of sizes drawn.
template <typename Make>
int drawIconSet(const Make& make) {
    std::vector<std::future<bool>> sizes;
    for (const int side : gwbench::kIosIconSetSizes) {
        sizes.push_back(std::async(std::launch::async, [&, side] {
            const auto picture = make();
            return picture && picture->renderBitmap(side, side) != nullptr;
        }));
    }
    int drawn = 0;
    for (auto& size : sizes) drawn += size.get() ? 1 : 0;
    return drawn;
}

void BM_RichSvgIconSetInHelpers(benchmark::State& state) {
    const auto& svg = richSvg();
    int drawn = 0;
    for (auto _ : state) {
        const auto picture =
            pictureOf(pg::SvgDocument::fromData(std::span(reinterpret_cast<const uint8_t*>(svg.data()), svg.size())));
        drawn = drawIconSet([&] { return picture; });
    }
    state.counters["sizes_drawn"] = drawn;
}
BENCHMARK(BM_RichSvgIconSetInHelpers)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

void BM_RichSvgIconSetInProgram(benchmark::State& state) {
    int drawn = 0;
    // Each thread parses the document for itself, as the drawing handles of a document
    // drawn in the program were.
    for (auto _ : state) drawn = drawIconSet([] { return pictureOf(pg::SvgDocument::ofResource(richSvgFile())); });
    state.counters["sizes_drawn"] = drawn;
    std::error_code ignored;
    std::filesystem::remove(richSvgFile(), ignored);
}
BENCHMARK(BM_RichSvgIconSetInProgram)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

// A small icon: a gradient, a ring, a path, as an app's artwork often is.
std::string smallSvg(int variant) {
    return fmt::format(R"svg(<svg xmlns="http://www.w3.org/2000/svg" width="64" height="64" viewBox="0 0 24 24">
  <defs><linearGradient id="g" x1="0" y1="0" x2="0" y2="1"><stop offset="0" stop-color="#{:06x}"/>
  <stop offset="1" stop-color="#12306b"/></linearGradient></defs>
  <rect x="2" y="2" width="20" height="20" rx="4" fill="url(#g)"/>
  <path d="M7 12 L11 16 L17 8" fill="none" stroke="#fff" stroke-width="2" stroke-linecap="round"/>
  <circle cx="{}" cy="6" r="1.5" fill="#fff"/></svg>)svg",
                       (variant * 0x3a7bd5) & 0xffffff, 6 + variant % 12);
}

std::shared_ptr<const pg::SvgDocument> readSmall(const std::string& svg) {
    return pg::SvgDocument::fromData(std::span(reinterpret_cast<const uint8_t*>(svg.data()), svg.size()));
}

void BM_SmallSvgIconSetInHelpers(benchmark::State& state) {
    const std::string svg = smallSvg(0);
    int drawn = 0;
    for (auto _ : state) {
        const auto picture = pictureOf(readSmall(svg));
        drawn = drawIconSet([&] { return picture; });
    }
    state.counters["sizes_drawn"] = drawn;
}
BENCHMARK(BM_SmallSvgIconSetInHelpers)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(20);

// Each read as a picture of it is (its page written once) and written as its image set's
// PDF, eight at a time as a batch reads them.
void BM_SmallSvgsAsImageSetsInHelpers(benchmark::State& state) {
    std::vector<std::string> icons;
    for (int i = 0; i < 61; ++i) icons.push_back(smallSvg(i));
    int written = 0;
    for (auto _ : state) {
        std::atomic<int> next{0}, done{0};
        std::vector<std::thread> readers;
        for (int t = 0; t < 8; ++t) {
            readers.emplace_back([&] {
                const double identity[6] = {1, 0, 0, 1, 0, 0};
                for (int i; (i = next++) < int(icons.size());) {
                    const auto document = readSmall(icons[size_t(i)]);
                    if (document && document->pageAsPdf(document->drawingSize(), identity, {}) &&
                        document->pageAsPdf(document->drawingSize(), identity, {})) {
                        ++done;
                    }
                }
            });
        }
        for (auto& reader : readers) reader.join();
        written = done;
    }
    state.counters["sets_written"] = written;
}
BENCHMARK(BM_SmallSvgsAsImageSetsInHelpers)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

// What one drawing costs the helper side, the drawings asked one after another: the
// helper's own processor time (mostly forking) and that of the drawing's process, and the
// page faults of each (a forked process maps again each page of code it runs and copies
// each page it writes), as the kernel counts them for the helper and the processes it
// reaped. The small SVG icon written as a PDF page, as an image set writes it.
void BM_SmallSvgDrawingProcess(benchmark::State& state) {
    const std::string svg = smallSvg(1);
    pg::RenderClient client(std::span(reinterpret_cast<const uint8_t*>(svg.data()), svg.size()),
                            pg::render::Kind::svg, false);
    pg::render::Request request;
    request.op = pg::render::Op::pdf;
    request.pageWidth = request.pageHeight = request.viewportWidth = request.viewportHeight = 64;
    // The helper's figures from /proc/<pid>/stat: minor faults, those of its reaped
    // processes, and the processor time of each, in clock ticks.
    auto figures = [](int pid) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        std::getline(stat, line);
        std::istringstream fields(line.substr(line.rfind(')') + 2));
        std::vector<double> values;
        for (std::string field; fields >> field;) values.push_back(std::atof(field.c_str()));
        return values.size() > 14 ? std::array<double, 4>{values[7], values[8], values[11] + values[12],
                                                            values[13] + values[14]}
                                  : std::array<double, 4>{};
    };
    pg::RenderFailure failure;
    if (!client.pdf(request, &failure)) state.SkipWithError(failure.why.c_str());
    const int helper = pg::RenderClient::helperProcess(pg::render::Kind::svg);
    const auto before = figures(helper);
    for (auto _ : state) {
        if (!client.pdf(request, &failure)) state.SkipWithError(failure.why.c_str());
    }
    const auto after = figures(helper);
    const double drawings = double(state.iterations());
    const double tick = 1000.0 / double(::sysconf(_SC_CLK_TCK));
    state.counters["helper_faults"] = (after[0] - before[0]) / drawings;
    state.counters["process_faults"] = (after[1] - before[1]) / drawings;
    state.counters["helper_ms"] = (after[2] - before[2]) * tick / drawings;
    state.counters["process_ms"] = (after[3] - before[3]) * tick / drawings;
}
BENCHMARK(BM_SmallSvgDrawingProcess)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(200);

// An 8192 px picture drawn small twice (decoded whole each time) and a path of 4000
// segments filled 14 times: each drawing a second or more of the helper's five.
void BM_HeavyPageIconSet(benchmark::State& state) {
    const auto pdf = gwtest::samples::heavyPagePdf(4000, 14, 2);
    int drawn = 0;
    for (auto _ : state) {
        const auto picture = pg::Image::fromData(pdf);
        drawn = drawIconSet([&] { return picture; });
    }
    state.counters["sizes_drawn"] = drawn;
}
BENCHMARK(BM_HeavyPageIconSet)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
