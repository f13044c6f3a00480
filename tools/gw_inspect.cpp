// gw-inspect: prints, for each picture file given, what the picture model made of it —
// the name its assets get, its pixel and point size, whether it stays vector, and the
// colour of its corner pixel. A developer tool; not part of the product.
#include "app/foundation/image_categories.hpp"
#include "app/foundation/image_input.hpp"
#include "app/foundation/user_defaults_key.hpp"
#include "platform/foundation/url.hpp"
#include "platform/foundation/user_defaults.hpp"

#include <fmt/format.h>

#include <cstdio>
#include <exception>
#include <string>
#include <string_view>

namespace {

std::string_view caseName(gw::ImageInput::ImageInputError::Case c) {
    switch (c) {
        case gw::ImageInput::ImageInputError::Case::nothingAtPath: return "nothingAtPath";
        case gw::ImageInput::ImageInputError::Case::unableToLoadSVGImage: return "unableToLoadSVGImage";
        case gw::ImageInput::ImageInputError::Case::unableToLoadNSImageAtPath: return "unableToLoadNSImageAtPath";
    }
    return "unknown";
}

std::string sizeText(platform::graphics::Size size) { return fmt::format("{} x {}", size.width, size.height); }

bool inspect(const std::string& path) {
    const auto url = platform::foundation::URL::fileURL(path, false);
    gw::ImageInputPtr input;
    try {
        input = gw::ImageInput::load(url);
    } catch (const gw::ImageInput::ImageInputError& e) {
        fmt::print(stderr, "gw-inspect: {}: cannot load ({}): {}{}{}\n", path, caseName(e.errorCase()), e.what(),
                   e.detail().empty() ? "" : " Details: ", e.detail());
        return false;
    } catch (const std::exception& e) {
        fmt::print(stderr, "gw-inspect: {}: cannot load ({})\n", path, e.what());
        return false;
    }
    const auto image = input->image();
    const auto corner = input->cornerPixelColor();
    fmt::print("file: {}\n", url.path());
    fmt::print("name: {}\n", input->imageName());
    fmt::print("pixel size: {}\n", sizeText(gw::pixelSize(*image)));
    fmt::print("image point size: {}\n", sizeText(image->size()));
    fmt::print("asset point size: {}\n", sizeText(input->selectedPointSize()));
    fmt::print("scale factor: {}\n", input->defaultScaleFactor());
    fmt::print("vector: {}\n", input->isVector() ? "yes" : "no");
    fmt::print("corner colour: {}\n", corner ? corner->description() : std::string("none"));
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "-h") {
        std::fprintf(argc < 2 ? stderr : stdout,
                     "usage: gw-inspect FILE...\n"
                     "Prints what the picture model makes of each picture file: name, pixel and point\n"
                     "size, whether it is vector, and the colour of its corner pixel.\n");
        return argc < 2 ? 2 : 0;
    }
    platform::foundation::UserDefaults::standard().registerDefaults(gw::registeredDefaults());
    bool allLoaded = true;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) fmt::print("\n");
        allLoaded = inspect(argv[i]) && allLoaded;
    }
    return allLoaded ? 0 : 1;
}
