// The picture list taking 200 pictures in one change while shown (items made and placed
// once), and one stepper click on a three-layer stack in the layer editor (the frame
// written through its binding, the engine's readiness and the layer's view placed).
#include <benchmark/benchmark.h>

#include "app/foundation/image_input.hpp"
#include "app/foundation/image_operations.hpp"
#include "app/foundation/image_wrapper.hpp"
#include "app/ui/layer_editing_view_controller.hpp"
#include "app/ui/picture_list_answers.hpp"
#include "platform/graphics/bitmap.hpp"
#include "platform/log/system_log.hpp"

#include <QApplication>

#include <cstdlib>
#include <cstring>

namespace {

namespace pa = platform::appkit;
namespace pg = platform::graphics;

pg::ImagePtr solid(int side, std::uint32_t argb) {
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(side) * side * 4);
    for (std::size_t i = 0; i < pixels.size(); i += 4) std::memcpy(&pixels[i], &argb, 4);
    return pg::Image::withBitmap(pg::makeSharedBitmap(pg::Bitmap(side, side, side * 4, std::move(pixels), false)));
}

gw::ImageInputPtr picture(int side, std::uint32_t argb) {
    auto input = gw::ImageInput::make();
    input->setImageWrapper(gw::ImageWrapper::make(solid(side, argb)));
    input->updatePointSizeFromImage();
    return input;
}

void BM_Add200PicturesToAShownList(benchmark::State& state) {
    std::vector<pa::ArrayController::Element> pictures;
    for (int i = 0; i < 200; ++i) pictures.push_back(pa::ArrayController::Element::of(picture(64, 0xFF000000u | i)));
    for (auto _ : state) {
        state.PauseTiming();
        auto engine = gw::Glyphwright::make();
        auto answers = std::make_shared<gw::PictureListAnswers>();
        answers->setEngine(engine);
        gw::KeyDetectingCollectionView list;
        answers->setUpList(list);
        list.resize(600, 400);
        list.show();
        const auto layouts = list.layoutCount();
        state.ResumeTiming();
        engine->collectionViewArrayController()->addObjects(pictures);
        QApplication::processEvents();
        state.PauseTiming();
        if (list.layoutCount() != layouts + 1) state.SkipWithError("the list was laid out more than once");
        state.ResumeTiming();
    }
}
BENCHMARK(BM_Add200PicturesToAShownList)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_StepperClickOnThreeLayers(benchmark::State& state) {
    auto engine = gw::Glyphwright::make();
    engine->setImageInputCollectionType(gw::ImageInputCollection::CollectionType::variants);
    for (std::uint32_t colour : {0xFFFF0000u, 0xFF00FF00u, 0xFF0000FFu}) engine->insert(picture(128, colour));
    auto editor = gw::LayerEditingViewController::make();
    editor->setGlyphwright(engine);
    editor->view()->resize(800, 500);
    editor->view()->show();
    editor->viewWillAppear();
    editor->arrayController()->setSelectionIndexes({0});
    QApplication::processEvents();
    bool up = true;
    for (auto _ : state) {
        if (up)
            editor->widthStepper->stepUp();
        else
            editor->widthStepper->stepDown();
        up = !up;
        QApplication::processEvents();
    }
}
BENCHMARK(BM_StepperClickOnThreeLayers)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::setenv("GW_RESOURCES_DIR", GW_SOURCE_DIR "/resources", 1);
    platform::log::setLoggingEnabled(false);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
