// What measuring a document costs before it is drawn: the markup scan of a large SVG
// drawing and the page scan of a large PDF page, both far past what an icon holds, so
// that the budget checks stay a small part of reading a picture.
#include <benchmark/benchmark.h>
#include <cairo-pdf.h>
#include <cairo.h>

#include <string>
#include <vector>

#include "platform/graphics/pdf_scan.hpp"
#include "platform/graphics/svg_scan.hpp"

namespace {

namespace pg = platform::graphics;

// 20000 paths in groups, each group used twice, with gradients, a mask and a style sheet.
const std::vector<uint8_t>& largeSvg() {
    static const std::vector<uint8_t> bytes = [] {
        std::string text =
            "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"1024\" height=\"1024\">"
            "<style>.a { fill: url(#g) } .b { stroke: #123 }</style><defs>"
            "<linearGradient id=\"g\"><stop offset=\"0\" stop-color=\"red\"/>"
            "<stop offset=\"1\" stop-color=\"blue\"/></linearGradient>"
            "<mask id=\"m\"><circle cx=\"512\" cy=\"512\" r=\"400\" fill=\"white\"/></mask>";
        for (int group = 0; group < 100; ++group) {
            text += "<g id=\"g" + std::to_string(group) + "\">";
            for (int i = 0; i < 100; ++i) {
                text += "<path class=\"" + std::string(i % 2 ? "a" : "b") + "\" d=\"M" + std::to_string(i) + " " +
                        std::to_string(group) + " C 10 20 30 40 50 60 L 70 80 Z\"/>";
            }
            text += "</g>";
        }
        text += "</defs><g mask=\"url(#m)\">";
        for (int group = 0; group < 100; ++group) {
            for (int copy = 0; copy < 2; ++copy) text += "<use href=\"#g" + std::to_string(group) + "\"/>";
        }
        text += "</g></svg>";
        return std::vector<uint8_t>(text.begin(), text.end());
    }();
    return bytes;
}

cairo_status_t append(void* closure, const unsigned char* data, unsigned int length) {
    auto* out = static_cast<std::vector<uint8_t>*>(closure);
    out->insert(out->end(), data, data + length);
    return CAIRO_STATUS_SUCCESS;
}

// 50000 filled and stroked paths, some in translucent groups, drawn by cairo.
const std::vector<uint8_t>& largePdf() {
    static const std::vector<uint8_t> bytes = [] {
        std::vector<uint8_t> out;
        cairo_surface_t* surface = cairo_pdf_surface_create_for_stream(append, &out, 1024, 1024);
        cairo_t* cr = cairo_create(surface);
        for (int i = 0; i < 50000; ++i) {
            if (i % 1000 == 0) cairo_push_group(cr);
            cairo_set_source_rgb(cr, (i % 7) / 7.0, (i % 11) / 11.0, (i % 13) / 13.0);
            cairo_move_to(cr, i % 1024, (i / 7) % 1024);
            cairo_curve_to(cr, 10, 20, 30, 40, 50 + i % 100, 60);
            cairo_close_path(cr);
            cairo_fill_preserve(cr);
            cairo_stroke(cr);
            if (i % 1000 == 999) {
                cairo_pop_group_to_source(cr);
                cairo_paint_with_alpha(cr, 0.8);
            }
        }
        cairo_destroy(cr);
        cairo_surface_finish(surface);
        cairo_surface_destroy(surface);
        return out;
    }();
    return bytes;
}

void BM_ScanSvg(benchmark::State& state) {
    const auto& bytes = largeSvg();
    for (auto _ : state) {
        auto costs = pg::scanSvg(bytes, pg::SvgScanLimits{32u << 20, 100000, 1 << 24}, nullptr, nullptr);
        benchmark::DoNotOptimize(costs);
    }
    state.counters["bytes"] = double(bytes.size());
}
BENCHMARK(BM_ScanSvg)->Unit(benchmark::kMillisecond);

void BM_ScanPdfPage(benchmark::State& state) {
    const auto& bytes = largePdf();
    const pg::PdfScanLimits limits{.decodedBytes = 256u << 20,
                                   .operators = 4e6,
                                   .paints = 3e5,
                                   .imagePixels = 1e8,
                                   .shadingPaints = 4096,
                                   .functionWork = 1 << 28,
                                   .meshElements = 1 << 17,
                                   .tintWork = 1 << 25,
                                   .functionSamples = 1 << 22,
                                   .tilesAcross = 1 << 16};
    for (auto _ : state) {
        auto costs = pg::scanPdfPage(bytes, 0, limits, nullptr, nullptr);
        benchmark::DoNotOptimize(costs);
    }
    state.counters["bytes"] = double(bytes.size());
}
BENCHMARK(BM_ScanPdfPage)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
