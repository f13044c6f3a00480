// End to end: gw-inspect over one file of every picture format the model reads, each
// written by the test (gdk-pixbuf, the PDF context, SVG text) or, for the formats
// nothing here can write, a small committed fixture.
#include "platform/graphics/color.hpp"
#include "platform/graphics/pdf_context.hpp"
#include "support/temp_dir.hpp"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

struct Run {
    int status = -1;
    std::string output;
};

Run inspect(const std::vector<fs::path>& files) {
    std::string command = std::string("'") + GW_INSPECT_PATH + "'";
    for (const auto& file : files) command += " '" + file.string() + "'";
    command += " 2>&1";
    Run run;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return run;
    std::array<char, 4096> buffer{};
    size_t n;
    while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) run.output.append(buffer.data(), n);
    int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// The "key: value" lines of each file's block, by file name.
std::map<std::string, std::map<std::string, std::string>> parse(const std::string& output) {
    std::map<std::string, std::map<std::string, std::string>> blocks;
    std::map<std::string, std::string>* current = nullptr;
    std::istringstream in(output);
    std::string line;
    while (std::getline(in, line)) {
        auto colon = line.find(": ");
        if (colon == std::string::npos) continue;
        auto key = line.substr(0, colon);
        auto value = line.substr(colon + 2);
        if (key == "file") {
            current = &blocks[fs::path(value).filename().string()];
        } else if (current) {
            (*current)[key] = value;
        }
    }
    return blocks;
}

bool writeWithPixbuf(const fs::path& path, const char* type) {
    GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, 6, 4);
    gdk_pixbuf_fill(pixbuf, 0xff0000ff);
    GError* error = nullptr;
    gboolean saved = gdk_pixbuf_save(pixbuf, path.c_str(), type, &error, nullptr);
    if (error) {
        ADD_FAILURE() << "cannot write " << type << ": " << error->message;
        g_error_free(error);
    }
    g_object_unref(pixbuf);
    return saved;
}

// "genericRGB 1 0 0 1" is red enough when each component is within `tolerance`.
bool isRed(const std::string& description, double tolerance) {
    std::istringstream in(description);
    std::string space;
    double r = -1, g = -1, b = -1, a = -1;
    in >> space >> r >> g >> b >> a;
    return space == "genericRGB" && r > 1 - tolerance && g < tolerance && b < tolerance && a > 0.99;
}

TEST(GwInspect, PrintsWhatTheModelMakesOfEveryFormat) {
    gwtest::ScopedXdgHome home;
    gwtest::TempDir dir;
    std::vector<fs::path> files;
    const std::vector<std::pair<std::string, const char*>> pixbufFormats = {
        {"Picture.png", "png"}, {"Picture.jpg", "jpeg"}, {"Picture.tiff", "tiff"},
        {"Picture.bmp", "bmp"}, {"Picture.ico", "ico"},  {"Picture.webp", "webp"}};
    for (const auto& [name, type] : pixbufFormats) {
        ASSERT_TRUE(writeWithPixbuf(dir / name, type)) << name;
        files.push_back(dir / name);
    }
    files.push_back(fs::path(GW_FIXTURES_DIR) / "pictures" / "Red.gif");
    files.push_back(fs::path(GW_FIXTURES_DIR) / "pictures" / "Red.psd");

    {
        auto pdf = platform::graphics::PdfContext::toFile(dir / "Vector.pdf", platform::graphics::Rect(0, 0, 30, 20));
        ASSERT_TRUE(pdf);
        pdf->beginPage();
        pdf->graphicsContext()->setFillColor(platform::graphics::Color::rgb(1, 0, 0));
        pdf->graphicsContext()->fillRect(platform::graphics::Rect(10, 5, 10, 10));
        pdf->endPage();
        ASSERT_TRUE(pdf->close());
    }
    files.push_back(dir / "Vector.pdf");
    gwtest::writeFile(dir / "Drawing@2x.svg",
                      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"64\" height=\"32\">"
                      "<rect x=\"0\" y=\"0\" width=\"8\" height=\"8\" fill=\"#ff0000\"/></svg>");
    files.push_back(dir / "Drawing@2x.svg");

    auto run = inspect(files);
    ASSERT_EQ(run.status, 0) << run.output;
    auto blocks = parse(run.output);

    for (const auto& [name, type] : pixbufFormats) {
        SCOPED_TRACE(name);
        auto& block = blocks[name];
        EXPECT_EQ(block["name"], "Picture");
        EXPECT_EQ(block["pixel size"], "6 x 4");
        EXPECT_EQ(block["asset point size"], "2 x 1.3333333333333333");
        EXPECT_EQ(block["vector"], "no");
        EXPECT_TRUE(isRed(block["corner colour"], std::string(type) == "jpeg" ? 0.1 : 0.01)) << block["corner colour"];
    }
    for (const std::string name : {"Red.gif", "Red.psd"}) {
        SCOPED_TRACE(name);
        auto& block = blocks[name];
        EXPECT_EQ(block["name"], "Red");
        EXPECT_EQ(block["pixel size"], "4 x 3");
        EXPECT_EQ(block["vector"], "no");
        EXPECT_TRUE(isRed(block["corner colour"], 0.01)) << block["corner colour"];
    }
    auto& pdf = blocks["Vector.pdf"];
    EXPECT_EQ(pdf["name"], "Vector");
    EXPECT_EQ(pdf["vector"], "yes");
    EXPECT_EQ(pdf["asset point size"], "30 x 20");
    EXPECT_EQ(pdf["scale factor"], "1");
    EXPECT_EQ(pdf["corner colour"], "genericGray 0 0");  // the empty page corner is clear

    auto& svg = blocks["Drawing@2x.svg"];
    EXPECT_EQ(svg["name"], "Drawing");
    EXPECT_EQ(svg["vector"], "yes");
    EXPECT_EQ(svg["pixel size"], "64 x 32");
    EXPECT_TRUE(isRed(svg["corner colour"], 0.01)) << svg["corner colour"];
}

TEST(GwInspect, ReportsFilesItCannotLoadAndGoesOn) {
    gwtest::ScopedXdgHome home;
    gwtest::TempDir dir;
    gwtest::writeFile(dir / "broken.png", "not a picture");
    gwtest::writeFile(dir / "empty.jpg", "");
    gwtest::writeFile(dir / "broken.svg", "<svg");
    // Past cairo's coordinate range: this used to abort the tool.
    gwtest::writeFile(dir / "wide.svg",
                      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"8388609\" height=\"100\"><rect width=\"10\" "
                      "height=\"10\"/></svg>");
    ASSERT_TRUE(writeWithPixbuf(dir / "fine.png", "png"));

    auto run = inspect({dir / "broken.png", dir / "missing.gif", dir / "empty.jpg", dir / "broken.svg",
                        dir / "wide.svg", dir / "fine.png"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("broken.png: cannot load (unableToLoadNSImageAtPath)"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("missing.gif: cannot load (nothingAtPath)"), std::string::npos);
    EXPECT_NE(run.output.find("empty.jpg: cannot load (unableToLoadNSImageAtPath)"), std::string::npos);
    EXPECT_NE(run.output.find("broken.svg: cannot load (unableToLoadSVGImage)"), std::string::npos);
    // Each refusal says why in words.
    EXPECT_NE(run.output.find("missing.gif: cannot load (nothingAtPath): There is no file at this location."),
              std::string::npos);
    EXPECT_NE(run.output.find("wide.svg: cannot load (unableToLoadSVGImage): The picture is larger than the limit"),
              std::string::npos)
        << run.output;
    EXPECT_EQ(parse(run.output)["fine.png"]["name"], "fine");

    EXPECT_EQ(inspect({}).status, 2);
}

}  // namespace
