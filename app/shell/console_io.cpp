#include "app/shell/console_io.hpp"

#include "app/engine/file_writing_validators.hpp"

#include "app/definitions/conversion_output_type.hpp"
#include "app/shell/command_line_controller.hpp"
#include "platform/foundation/utf8.hpp"

#include <fmt/format.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace gw {

namespace {

using Option = CommandLineController::Option;

std::string programName(const std::vector<std::string>& arguments) {
    if (arguments.empty()) return {};
    return platform::foundation::escapedForDisplay(std::filesystem::path(arguments.front()).filename().string());
}

}  // namespace

bool ConsoleIO::isTerminal(ConsoleStream stream) {
    static const bool out = ::isatty(STDOUT_FILENO) == 1;
    static const bool err = ::isatty(STDERR_FILENO) == 1;
    return stream == ConsoleStream::out ? out : err;
}

bool ConsoleIO::isColoured(ConsoleStream stream) {
    static const bool noColour = [] {
        const char* value = std::getenv("NO_COLOR");
        return value != nullptr && *value != '\0';
    }();
    return !noColour && isTerminal(stream);
}

std::string_view ConsoleIO::colour(ConsoleStream stream, std::string_view sequence) {
    return isColoured(stream) ? sequence : std::string_view();
}

void ConsoleIO::printLine(std::string_view text) {
    std::string line(text);
    line.push_back('\n');
    // One call per line, so that lines written from operation threads never interleave.
    std::fwrite(line.data(), 1, line.size(), stdout);
}

void ConsoleIO::writeError(std::string_view text) {
    std::fputs(std::string(text).c_str(), stderr);
}

void ConsoleIO::printUsage(const std::vector<std::string>& arguments) const {
    auto print = [](std::string_view text) {
        printLine(fmt::format("{}{}", colour(ConsoleStream::out, TerminalSequence::reset), text));
    };
    auto name = [](Option option) { return CommandLineController::caseName(option); };

    print("");
    print("usage:");
    print(fmt::format("'{}' {} <path> {} <path> {} <assetType> {} <collectionType> {} <existsAction> {} <existsAction>",
                      programName(arguments), name(Option::inputPath), name(Option::outputPath),
                      name(Option::assetType), name(Option::collectionType), name(Option::assetExistsAction),
                      name(Option::assetCatalogExistsAction)));
    print("");
    print("Options:");
    print(fmt::format("{}\t\t\t\tThe path to the image to convert or a path to a folder of images.",
                      name(Option::inputPath)));
    print(fmt::format("{}\t\t\t\tThe folder you want to export your asset catalog into. (optional: defaults to the "
                      "input file's folder)",
                      name(Option::outputPath)));
    print(fmt::format("{}\t\t\t\tThe type of asset you want to export. (optional: defaults to iOSIcon)",
                      name(Option::assetType)));
    print(fmt::format("{}\t\t\t\tIf you want to batch export or export from a series of image variants.. (optional: "
                      "defaults to single)",
                      name(Option::collectionType)));
    print(fmt::format("{}\t\tThe action to take if there's already an asset catalog at the output path (optional: "
                      "defaults to overwrite)",
                      name(Option::assetCatalogExistsAction)));
    print(fmt::format("{}\t\t\tThe action to take if there's already an asset inside the asset catalog with the same "
                      "name (optional: defaults to overwrite)",
                      name(Option::assetExistsAction)));
    print("");
    print("\tAssetTypes:");
    for (const auto type : ConversionOutputTypes::allCases()) {
        print(fmt::format("\t\t{:<30}{}", ConversionOutputTypes::commandLineName(type),
                          ConversionOutputTypes::displayName(type)));
    }
    print("");
    print("\tCollectionTypes:");
    print("\t\tsingle\t\tOne image producing one output");
    print("\t\tvariants\tMultiple image inputs with the closest matching image, with regard to size and aspect ratio, "
          "being used for each asset");
    print("\t\tbatch\t\tX images producing X outputs");
    print("\tA folder's pictures, its subfolders' included, are taken in name order.");
    print(fmt::format("\tFor {} and {} each picture is a layer: the first file is the front layer, the last the back "
                      "layer.",
                      ConversionOutputTypes::commandLineName(ConversionOutputType::tvOSIcon),
                      ConversionOutputTypes::commandLineName(ConversionOutputType::tvOSLeaderboard)));
    print("");
    print("\tExistsActions:");
    for (const auto action : CommandLineController::allAlreadyExistsActions) {
        if (action == CommandLineController::AlreadyExistsAction::append) {
            // Adding to a set that is already there is a question only the window can ask.
            print(fmt::format("\t\t{}\t\tfor {}: an asset that already exists needs the window, so the command "
                              "line stops with \"{}\"",
                              CommandLineController::rawValue(action), name(Option::assetExistsAction),
                              AlreadyExistsPromptUnavailableError::message));
            continue;
        }
        print(fmt::format("\t\t{}", CommandLineController::rawValue(action)));
    }
}

}  // namespace gw
