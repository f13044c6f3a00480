// gw_graphics_quality_tool: what scripts/bench needs from our resampler and encoder.
//   noise OUT.png [SIDE]        write the benchmark's noisy 1024 x 1024 picture, or a
//                               photo-like one of SIDE x SIDE stored uncompressed (as large
//                               as a noisy photo's file, written in seconds)
//   resize IN.png OUT.png W H   resize one picture
//   iconset IN.png OUTDIR       write the 20 iOS icon-set sizes of a picture
//   rich-svg OUT.svg            write the benchmark's rich 1024 x 1024 icon drawing: 300
//                               curved shapes, 40 radial gradients, a blurred glow and thin
//                               light strokes over a dark ground
//   rich-pdf OUT.pdf            write a vector icon as a one-page PDF of 1024 x 1024 points
#include <cairo-pdf.h>
#include <cairo.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "bench/graphics/noisy_picture.hpp"
#include "bench/graphics/rich_svg.hpp"
#include "platform/graphics/png_codec.hpp"
#include "platform/graphics/resample.hpp"
#include "tests/support/photo_like_png.hpp"

namespace {

using platform::graphics::PixelView;

bool writeFile(const std::string& path, std::string_view bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    return writeFile(path, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

bool readPng(const char* path, gwbench::Picture& out) {
    cairo_surface_t* s = cairo_image_surface_create_from_png(path);
    if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(s);
        return false;
    }
    cairo_surface_flush(s);
    out.width = cairo_image_surface_get_width(s);
    out.height = cairo_image_surface_get_height(s);
    out.stride = out.width * 4;
    out.argb.resize(size_t(out.stride) * out.height);
    const bool opaque = cairo_image_surface_get_format(s) == CAIRO_FORMAT_RGB24;
    const uint8_t* data = cairo_image_surface_get_data(s);
    for (int y = 0; y < out.height; ++y) {
        for (int x = 0; x < out.width; ++x) {
            uint32_t p;
            std::memcpy(&p, data + size_t(y) * cairo_image_surface_get_stride(s) + 4 * x, 4);
            if (opaque) p |= 0xff000000u;  // the unused byte of RGB24 is undefined
            std::memcpy(&out.argb[size_t(y) * out.stride + 4 * x], &p, 4);
        }
    }
    cairo_surface_destroy(s);
    return true;
}

bool opaque(const gwbench::Picture& p) {
    for (size_t i = 3; i < p.argb.size(); i += 4) {
        uint32_t w;
        std::memcpy(&w, &p.argb[i - 3], 4);
        if ((w >> 24) != 0xff) return false;
    }
    return true;
}

bool resizeTo(const gwbench::Picture& src, int w, int h, const std::string& path) {
    int stride = 0;
    const auto pixels = platform::graphics::resampleArgb32(src.view(), w, h, &stride);
    if (pixels.empty()) return false;
    return writeFile(path, platform::graphics::encodePng(PixelView{pixels.data(), w, h, stride}, !opaque(src)));
}

int usage() {
    std::fprintf(stderr,
                 "usage: gw_graphics_quality_tool noise OUT.png [SIDE]\n"
                 "       gw_graphics_quality_tool resize IN.png OUT.png WIDTH HEIGHT\n"
                 "       gw_graphics_quality_tool iconset IN.png OUTDIR\n"
                 "       gw_graphics_quality_tool rich-svg OUT.svg\n"
                 "       gw_graphics_quality_tool rich-pdf OUT.pdf\n");
    return 2;
}


}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    const std::string command = argv[1];
    if (command == "noise" && argc == 4) {
        const int side = std::atoi(argv[3]);
        if (side < 1 || side > 16384) return usage();
        return writeFile(argv[2], gwtest::photoLikePng(std::uint32_t(side))) ? 0 : 1;
    }
    if (command == "noise" && argc == 3) {
        const gwbench::Picture p = gwbench::noisyPicture();
        return writeFile(argv[2], platform::graphics::encodePng(p.view(), false)) ? 0 : 1;
    }
    if (command == "rich-svg" && argc == 3) {
        const std::string svg = gwbench::richSvg();
        return writeFile(argv[2], svg) ? 0 : 1;
    }
    if (command == "rich-pdf" && argc == 3) {
        // A vector icon as drawing programs export it: 300 curved shapes in solid colours
        // and linear gradients, thin light strokes, over a dark ground.
        cairo_surface_t* surface = cairo_pdf_surface_create(argv[2], 1024, 1024);
        cairo_t* cr = cairo_create(surface);
        cairo_set_source_rgb(cr, 0.05, 0.07, 0.12);
        cairo_paint(cr);
        unsigned seed = 7;
        auto next = [&] { return (seed = seed * 1103515245u + 12345u) % 1024; };
        for (int i = 0; i < 300; ++i) {
            cairo_move_to(cr, next(), next());
            cairo_curve_to(cr, next(), next(), next(), next(), next(), next());
            cairo_curve_to(cr, next(), next(), next(), next(), next(), next());
            cairo_close_path(cr);
            if (i % 8 == 0) {
                cairo_pattern_t* gradient = cairo_pattern_create_linear(next(), next(), next(), next());
                cairo_pattern_add_color_stop_rgb(gradient, 0, 0.2, 0.5, 0.9);
                cairo_pattern_add_color_stop_rgb(gradient, 1, 0.9, 0.3, 0.4);
                cairo_set_source(cr, gradient);
                cairo_pattern_destroy(gradient);
            } else {
                cairo_set_source_rgb(cr, next() / 1024.0, next() / 1024.0, next() / 1024.0);
            }
            cairo_fill_preserve(cr);
            cairo_set_source_rgba(cr, 1, 1, 1, 0.6);
            cairo_set_line_width(cr, 0.6);
            cairo_stroke(cr);
        }
        cairo_destroy(cr);
        cairo_surface_finish(surface);
        const bool ok = cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS;
        cairo_surface_destroy(surface);
        return ok ? 0 : 1;
    }
    gwbench::Picture src;
    if ((command == "resize" && argc == 6) || (command == "iconset" && argc == 4)) {
        if (!readPng(argv[2], src)) {
            std::fprintf(stderr, "cannot read %s\n", argv[2]);
            return 1;
        }
    } else {
        return usage();
    }
    if (command == "resize") {
        const int w = std::atoi(argv[4]), h = std::atoi(argv[5]);
        return resizeTo(src, w, h, argv[3]) ? 0 : 1;
    }
    int index = 0;
    for (int size : gwbench::kIosIconSetSizes) {
        const std::string path = std::string(argv[3]) + "/icon-" + std::to_string(index++) + "-" + std::to_string(size) + ".png";
        if (!resizeTo(src, size, size, path)) return 1;
    }
    return 0;
}
