// Hostile and real-world picture files through the built command line, the way a user
// runs it: each hostile file is refused (nothing written) or converted correctly, with
// no crash, within its time and memory budget; a file cut short is refused in every
// format; upper-case names, folders holding them and SVG drawings sized by their
// viewBox convert. Built twice: with GW_HEAVY_PICTURES only the heavy hostile files
// run (outside the sanitizer stage).
#include "support/program_run.hpp"
#include "support/picture_samples.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>


namespace {

namespace fs = std::filesystem;
namespace samples = gwtest::samples;

#if defined(GW_ADDRESS_SANITIZER_BUILD) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

#ifdef GW_HEAVY_PICTURES
constexpr bool kHeavy = true;
#else
constexpr bool kHeavy = false;
#endif

// One picture's conversion stays under a GiB. The address space is capped above
// that (threads reserve stacks they never touch); a sanitizer's shadow memory
// cannot live under a cap, so there only the resident size is checked, with room
// for its own overhead.
constexpr rlim_t kAddressSpaceCap = rlim_t{2} << 30;
constexpr long kResidentBudgetKiB = kSanitized ? (3L << 20) : (1L << 20);

using gwtest::ProgramRun;

class PictureFiles : public ::testing::Test {
protected:
    void SetUp() override {
        work_ = dir_ / "work";
        fs::create_directories(work_);
        fs::create_directories(dir_ / "xdg");
        const ProgramRun grant = run(GW_GRANT_ROOT_PATH, {work_.string()});
        ASSERT_EQ(grant.status, 0) << grant.err;
    }

    ProgramRun run(const std::string& program, const std::vector<std::string>& arguments) const {
        gwtest::ProgramOptions options;
        options.workingDirectory = work_;
        options.xdgRoot = dir_ / "xdg";
        options.outFile = dir_ / "stdout.txt";
        options.errFile = dir_ / "stderr.txt";
        if (!kSanitized) options.addressSpaceCap = kAddressSpaceCap;
        // The deadline only catches a hang: how fast pictures are refused or converted is
        // measured by the benchmarks, not here, where a loaded machine would fail it. Past it a
        // run is ended only once its processor time stops growing, so a picture drawn near the
        // renderer's processor time limit on a machine loaded past its processors still ends
        // by itself. (Measuring the machine's pace for every run cost more than most runs.)
        options.deadline = std::chrono::seconds(kSanitized ? 240 : 90);
        return gwtest::runProgram(program, arguments, options);
    }

    ProgramRun convert(const fs::path& input, const fs::path& output, const std::vector<std::string>& more = {}) const {
        std::vector<std::string> args{"-inputPath", input.string(), "-outputPath", output.string()};
        args.insert(args.end(), more.begin(), more.end());
        return run(GW_GLYPHWRIGHT_PATH, args);
    }

    fs::path write(const std::string& name, const samples::Bytes& bytes) const {
        const fs::path path = work_ / name;
        fs::create_directories(path.parent_path());
        gwtest::writeFile(path, std::string(bytes.begin(), bytes.end()));
        return path;
    }

    static std::vector<fs::path> filesIn(const fs::path& root, const std::string& extension) {
        std::vector<fs::path> found;
        if (!fs::exists(root)) return found;
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            if (entry.path().extension() == extension) found.push_back(entry.path());
        }
        std::sort(found.begin(), found.end());
        return found;
    }

    // A refusal: the run ends by itself, says it could not open the picture, and
    // writes nothing.
    static void expectRefused(const ProgramRun& run, const fs::path& output, const std::string& what) {
        EXPECT_TRUE(run.exited) << what;
        EXPECT_EQ(run.status, 1) << what;
        const auto line = run.err.find("Unable to open images at");
        ASSERT_NE(line, std::string::npos) << what << ": " << run.err;
        // The reason follows on a line of its own.
        const auto reason = run.err.find('\n', line);
        ASSERT_NE(reason, std::string::npos) << what << ": " << run.err;
        EXPECT_GT(run.err.find_first_of("\n", reason + 1), reason + 8) << what << ": " << run.err;
        EXPECT_EQ(run.err.find("Conversion Complete"), std::string::npos) << what;
        EXPECT_TRUE(filesIn(output, ".png").empty()) << what;
        EXPECT_TRUE(filesIn(output, ".pdf").empty()) << what;
        EXPECT_TRUE(filesIn(output, ".json").empty()) << what;
    }

    static void expectConverted(const ProgramRun& run, const fs::path& output, const std::string& what,
                                const std::string& extension = ".png") {
        EXPECT_EQ(run.status, 0) << what << ": " << run.err;
        EXPECT_NE(run.err.find("Conversion Complete"), std::string::npos) << what << ": " << run.err;
        EXPECT_FALSE(filesIn(output, extension).empty()) << what;
    }

    // The premultiplied RGBA of the pixel at (x, y) of a PNG file, through gdk-pixbuf.
    static std::array<int, 4> pixel(const fs::path& png, double fx, double fy) {
        GError* error = nullptr;
        GdkPixbuf* pixbuf = gdk_pixbuf_new_from_file(png.c_str(), &error);
        if (pixbuf == nullptr) {
            ADD_FAILURE() << png << ": " << (error ? error->message : "");
            if (error) g_error_free(error);
            return {-1, -1, -1, -1};
        }
        const int x = int(fx * (gdk_pixbuf_get_width(pixbuf) - 1));
        const int y = int(fy * (gdk_pixbuf_get_height(pixbuf) - 1));
        const int channels = gdk_pixbuf_get_n_channels(pixbuf);
        const guint8* p = gdk_pixbuf_read_pixels(pixbuf) + y * gdk_pixbuf_get_rowstride(pixbuf) + x * channels;
        std::array<int, 4> rgba{p[0], p[1], p[2], channels == 4 ? p[3] : 255};
        g_object_unref(pixbuf);
        return rgba;
    }

    static fs::path largest(const std::vector<fs::path>& files) {
        fs::path best;
        std::uintmax_t size = 0;
        for (const auto& file : files) {
            if (fs::file_size(file) >= size) {
                size = fs::file_size(file);
                best = file;
            }
        }
        return best;
    }

    gwtest::TempDir dir_;
    fs::path work_;
};

TEST_F(PictureFiles, HostilePicturesAreRefusedOrConvertedCorrectlyWithinBudget) {
    int index = 0;
    for (const auto& hostile : samples::hostilePictures()) {
        if (hostile.heavy != kHeavy) continue;
        const fs::path input = write("hostile/" + hostile.fileName, hostile.bytes);
        // An icon set draws every size at once; an image set keeps a vector picture vector. A
        // picture is refused as it is read, and a bitmap read, before the output type is
        // looked at: the icon set alone tells those.
        const bool vector = input.extension() == ".pdf" || input.extension() == ".svg";
        const bool bothTypes = vector && hostile.outcome != samples::Outcome::refused;
        for (const std::string type : {"iOSIcon", "asset"}) {
            if (!bothTypes && type != "iOSIcon") continue;
            SCOPED_TRACE(hostile.name + " as " + type);
            const std::string written = type == "asset" && vector ? ".pdf" : ".png";
            const fs::path output = work_ / ("out" + std::to_string(index++));
            const ProgramRun run = convert(input, output, {"-assetType", type});
            EXPECT_TRUE(run.exited) << run.err;
            EXPECT_LT(run.maxResidentKiB, kResidentBudgetKiB);
            // A sanitizer report ends the run with its own status and text.
            EXPECT_EQ(run.err.find("Sanitizer"), std::string::npos) << run.err;
            EXPECT_EQ(run.err.find("runtime error"), std::string::npos) << run.err;
            // The renderer's own lines stay out of the program's output: the reason says what happened.
            for (const char* line : {"Bogus memory allocation size", "Out of memory", "Syntax Error", "Internal Error",
                                     "Poppler", "GLib"}) {
                EXPECT_EQ(run.err.find(line), std::string::npos) << run.err;
            }
            // A page whose one picture is 8192 px square is decoded whole for each drawing of
            // an icon's size, and written into a PDF page it is compressed anew there: seconds
            // of processor time on an idle machine, more on a loaded one, where its memory and
            // caches are shared and it may meet the renderer's processor time limit first. It
            // converts, or fails naming that limit.
            const bool nearTheLimit = hostile.fileName == "image8192.pdf";
            if (nearTheLimit && run.status != 0) {
                EXPECT_EQ(run.status, 1) << run.err;
                EXPECT_NE(run.err.find("processor time limit of 5 seconds"), std::string::npos) << run.err;
                continue;
            }
            switch (hostile.outcome) {
                case samples::Outcome::refused: expectRefused(run, output, hostile.name); break;
                case samples::Outcome::converts: expectConverted(run, output, hostile.name, written); break;
                case samples::Outcome::redDisc: {
                    expectConverted(run, output, hostile.name, written);
                    if (written != ".png") break;
                    const fs::path icon = largest(filesIn(output, ".png"));
                    const auto centre = pixel(icon, 0.5, 0.5);
                    const auto corner = pixel(icon, 0.02, 0.02);
                    EXPECT_GT(centre[0], 200);
                    EXPECT_LT(centre[1], 40);
                    // Outside the disc the mask hides the red square.
                    EXPECT_FALSE(corner[0] > 200 && corner[1] < 40 && corner[2] < 40) << "the mask was dropped";
                    break;
                }
            }
            std::error_code ignored;
            fs::remove_all(output, ignored);
        }
    }
}

#ifndef GW_HEAVY_PICTURES
TEST_F(PictureFiles, AFileCutShortIsRefusedInEveryFormat) {
    int index = 0;
    for (const auto& sample : samples::bitmapSamples()) {
        // Formats outside the list of extensions are still read by their content.
        const std::string extension =
            sample.extension == "webp" || sample.extension == "ico" ? std::string("png") : sample.extension;
        const auto cuts = samples::truncations(sample.bytes);
        for (const auto& [cut, bytes] : {cuts.front(), cuts.back()}) {
            const fs::path input = write("cut/" + sample.format + "." + extension, bytes);
            const fs::path output = work_ / ("cut" + std::to_string(index++));
            expectRefused(convert(input, output), output, sample.format + " cut at " + cut);
        }
    }
}

TEST_F(PictureFiles, UpperCaseNamesAndAFolderHoldingThemConvertPassingOverABrokenLink) {
    const fs::path photo = write("Photo.JPG", samples::savedWithPixbuf("jpeg", 1024, 1024, {{"quality", "90"}}));
    const fs::path icon = write("Icon.PNG", samples::savedWithPixbuf("png", 1024, 1024));
    expectConverted(convert(photo, work_ / "photo"), work_ / "photo", "Photo.JPG");
    expectConverted(convert(icon, work_ / "icon"), work_ / "icon", "Icon.PNG");

    fs::create_directories(work_ / "both");
    fs::copy_file(photo, work_ / "both/Photo.JPG");
    fs::copy_file(icon, work_ / "both/Icon.PNG");
    fs::create_symlink(work_ / "gone.png", work_ / "both/Gone.png");
    const ProgramRun run =
        convert(work_ / "both", work_ / "bothOut", {"-assetType", "asset", "-collectionType", "batch"});
    expectConverted(run, work_ / "bothOut", "a folder of both");
    EXPECT_NE(run.err.find("Warning: Skipped " + (work_ / "both/Gone.png").string()), std::string::npos) << run.err;
    std::set<std::string> sets;
    for (const auto& file : filesIn(work_ / "bothOut", ".png")) sets.insert(file.parent_path().filename().string());
    EXPECT_EQ(sets, (std::set<std::string>{"Icon.imageset", "Photo.imageset"}));
}

// In a batch, a picture refused by a limit is passed over with that limit's reason (the
// limit and its figure), and every picture is told and converted once, those in a folder
// named like a picture too.
TEST_F(PictureFiles, ABatchPassesOverEachPictureOverALimitOnceWithTheLimitsReason) {
    const samples::Bytes good = samples::savedWithPixbuf("png", 40, 40);
    write("batch/good.png", good);
    write("batch/art.png/inner.png", good);
    write("batch/art.png/huge.png", samples::pngClaiming(16385, 16385));
    write("batch/wide.png", samples::pngClaiming(20000, 10));
    write("batch/bomb.pdf", samples::deflateBombPdf(1024));
    write("batch/broken.png", samples::bytesOf("not a picture"));
    const ProgramRun run =
        convert(work_ / "batch", work_ / "batchOut", {"-assetType", "asset", "-collectionType", "batch"});
    expectConverted(run, work_ / "batchOut", "the batch");

    const std::string tooLarge =
        "The picture is larger than the limit of 16384 pixels per side and 67108864 (2^26) pixels in all.";
    // Each limit named with its figure.
    const std::string tooDemanding = "The picture would take more memory or work to read and draw than is allowed: "
                                     "the document's compressed data inflates to more than 256 MiB.";
    std::vector<std::string> warnings;
    std::istringstream err(run.err);
    for (std::string line; std::getline(err, line);) {
        if (line.rfind("Warning: ", 0) == 0) warnings.push_back(line);
    }
    std::sort(warnings.begin(), warnings.end());
    const std::string skipped = "Warning: Skipped " + (work_ / "batch").string() + "/";
    ASSERT_EQ(warnings.size(), 4u) << run.err;
    EXPECT_EQ(warnings[0], skipped + "art.png/huge.png: " + tooLarge);
    EXPECT_EQ(warnings[1], skipped + "bomb.pdf: " + tooDemanding);
    // A file that is no picture at all is still told so.
    EXPECT_EQ(warnings[2].rfind(skipped + "broken.png: it could not be read as a picture (", 0), 0u) << warnings[2];
    EXPECT_EQ(warnings[3], skipped + "wide.png: " + tooLarge);

    std::multiset<std::string> sets;
    for (const auto& file : filesIn(work_ / "batchOut", ".png")) sets.insert(file.parent_path().filename().string());
    EXPECT_EQ(sets, (std::multiset<std::string>{"good.imageset", "good.imageset", "good.imageset", "inner.imageset",
                                                "inner.imageset", "inner.imageset"}));
}

// Too few file descriptors (a low `ulimit -n`) is named as the cause of whatever a run could
// not open for it (a picture, a folder, a PDF's renderer, a folder to write), never a fault of
// the picture or the place: every limit from where the program can hardly start up to where
// the whole run fits, for a batch of bitmaps and a PDF and for a PDF alone.
TEST_F(PictureFiles, TooFewFileDescriptorsAreNamedAsTheCause) {
    // UBSan's type checks open a pipe of their own: a sanitized program cannot run out and go on.
    if (kSanitized) GTEST_SKIP() << "the sanitizers need descriptors of their own";
    const samples::Bytes png = samples::savedWithPixbuf("png", 256, 256);
    for (const char* name : {"a.png", "b.png", "c.png", "d.png"}) write(std::string("few/") + name, png);
    write("few/doc.pdf", samples::pdf(300, 300));
    // Each input with the sets it makes.
    const std::pair<std::string, std::size_t> inputs[] = {{"few", 5}, {"few/doc.pdf", 1}};
    int saidSo = 0;
    bool started = false, fits = false;
    for (int limit = 4; !fits && limit <= 1024; ++limit) {
        fits = true;
        for (const auto& [input, sets] : inputs) {
            SCOPED_TRACE("ulimit -n " + std::to_string(limit) + ", " + input);
            const ProgramRun run = this->run(
                "/bin/sh", {"-c", "ulimit -n " + std::to_string(limit) + " && exec \"$0\" \"$@\"", GW_GLYPHWRIGHT_PATH,
                            "-inputPath", (work_ / input).string(), "-outputPath", (work_ / "out").string(),
                            "-assetType", "asset", "-collectionType", sets > 1 ? "batch" : "single"});
            // Below what loading its libraries takes, the program never starts.
            if (!started && run.err.find("error while loading shared libraries") != std::string::npos) {
                fits = false;
                continue;
            }
            started = true;
            EXPECT_TRUE(run.exited && (run.status == 0 || run.status == 1)) << run.status << run.err;
            for (const char* wrong : {"damaged", "not a picture", "could not be read as a picture", "completely",
                                      "outside the root", "Not a directory"}) {
                EXPECT_EQ((run.out + run.err).find(wrong), std::string::npos) << run.out << run.err;
            }
            // Every line of a failure names the cause ("Unable to open images at …" has it on
            // the line below); a run left without pictures says why before it says so.
            std::istringstream err(run.err);
            bool causeSaid = false;
            std::size_t skipped = 0;
            for (std::string line; std::getline(err, line);) {
                if (line.rfind("Warning: Skipped ", 0) == 0) ++skipped;
                if (line == "Conversion Complete" || line.rfind("Unable to open images at ", 0) == 0) continue;
                // What became of what the cause stopped says no cause of its own.
                if (causeSaid && (line.ends_with("Add at least one image before creating the asset catalog.") ||
                                  line.rfind("It was left as it is, and the root folder stays granted", 0) == 0)) {
                    continue;
                }
                EXPECT_NE(line.find("Too many open files"), std::string::npos) << line << "\nin:\n" << run.err;
                causeSaid = true;
                ++saidSo;
            }
            // Run through, it wrote the catalog's own list and the set of each picture it did
            // not pass over. Near the limit, whether a picture is passed over depends on what
            // the run's threads hold open at that moment: only a run that passed over none fits.
            if (run.status == 0) {
                EXPECT_EQ(filesIn(work_ / "out", ".json").size(), sets + 1 - skipped) << run.err;
            }
            if (run.status != 0 || skipped > 0) fits = false;
            fs::remove_all(work_ / "out");
        }
    }
    EXPECT_TRUE(fits) << "no limit up to 1024 descriptors lets the run through";
    EXPECT_GT(saidSo, 0) << "no limit was low enough to fail";
}

TEST_F(PictureFiles, APdfPageThatPopplerCannotDrawCompletelyFailsWithItsReason) {
    // The page draws a form the document does not have, which poppler reports only as
    // it draws; nothing about it can be seen when the page is measured.
    auto objects = samples::pdfPage(64, 64, "<< >>");
    objects.push_back(samples::pdfStream("", samples::bytesOf("0 0 1 rg 0 0 64 64 re f /Missing Do")));
    const fs::path input = write("Missing.pdf", samples::pdfOfObjects(objects));
    for (const std::string type : {"iOSIcon", "asset"}) {
        SCOPED_TRACE(type);
        const fs::path output = work_ / ("missing-" + type);
        const ProgramRun run = convert(input, output, {"-assetType", type});
        EXPECT_TRUE(run.exited) << run.err;
        EXPECT_EQ(run.status, 1) << run.err;
        EXPECT_NE(run.err.find("The picture could not be drawn completely."), std::string::npos) << run.err;
        EXPECT_TRUE(filesIn(output, ".png").empty());
        EXPECT_TRUE(filesIn(output, ".pdf").empty());
    }
}

TEST_F(PictureFiles, AnSvgSizedByItsViewBoxKeepsItsShape) {
    // Blue to the edges, so a page of the wrong shape shows as bands.
    const fs::path input = write("Banner.svg", samples::bytesOf(samples::svgText(
                                                   "viewBox=\"0 0 200 100\"",
                                                   "<rect width=\"200\" height=\"100\" fill=\"#0000ff\"/>"
                                                   "<circle cx=\"100\" cy=\"50\" r=\"40\" fill=\"#ff0000\"/>")));
    expectConverted(convert(input, work_ / "asset", {"-assetType", "asset"}), work_ / "asset", "as an asset", ".pdf");
    const auto pdfs = filesIn(work_ / "asset", ".pdf");
    ASSERT_EQ(pdfs.size(), 1u);
    const std::string pdf = gwtest::readFile(pdfs.front());
    EXPECT_NE(pdf.find("/MediaBox [ 0 0 200 100 ]"), std::string::npos);

    // Stretched onto a square icon, a 2:1 page fills it; a square page with the
    // drawing letterboxed would leave its top rows empty.
    const ProgramRun run = convert(input, work_ / "icon");
    expectConverted(run, work_ / "icon", "as an icon");
    const fs::path icon = largest(filesIn(work_ / "icon", ".png"));
    for (double y : {0.01, 0.99}) {
        const auto edge = pixel(icon, 0.5, y);
        EXPECT_LT(edge[0], 40) << y;
        EXPECT_GT(edge[2], 200) << y;
    }
}

#endif

}  // namespace
