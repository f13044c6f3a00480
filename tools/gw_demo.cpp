// Developer tool behind `make demo` until the command line converts on its own: one picture
// in, an iOS app icon catalog out, through the same engine the application uses.
#include "app/definitions/conversion_output_type.hpp"
#include "app/engine/glyphwright.hpp"
#include "platform/appkit/array_controller.hpp"
#include "platform/foundation/url.hpp"

#include <cstdio>
#include <exception>
#include <filesystem>
#include <memory>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: gw-demo PICTURE OUTPUT-FOLDER\n");
        return 2;
    }
    namespace fs = std::filesystem;
    using platform::foundation::URL;
    try {
        const fs::path output = fs::absolute(argv[2]);
        fs::create_directories(output);
        auto engine = gw::Glyphwright::make();
        engine->setCollectionViewArrayController(std::make_shared<platform::appkit::ArrayController>());
        engine->addImage(URL::fileURL(fs::absolute(argv[1])));
        engine->setOutputDirectory(URL::fileURL(output, true));
        engine->setResizeType(gw::ConversionOutputType::iOSIcon);
        engine->createAssetCatalog();
        engine->waitUntilAllOperationsAreFinished();

        int files = 0;
        for (const auto& entry : fs::recursive_directory_iterator(output)) {
            if (entry.is_regular_file()) ++files;
        }
        std::printf("gw-demo: wrote %d files under %s\n", files, output.c_str());
        return files > 0 ? 0 : 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "gw-demo: %s\n", error.what());
        return 1;
    }
}
