#include "platform/graphics/picture_problem.hpp"

#include <cerrno>

namespace platform::graphics {

namespace {

thread_local DrawingProblems* tInnermost = nullptr;

}  // namespace

PictureProblem problemOfOpening(int error) {
    return error == EMFILE || error == ENFILE ? PictureProblem::tooManyOpenFiles : PictureProblem::unreadable;
}

bool isRendererLimit(PictureProblem problem) {
    return problem == PictureProblem::pastMemoryLimit || problem == PictureProblem::pastTimeLimit ||
           problem == PictureProblem::pastProcessorTimeLimit;
}

bool detailNamesTheCause(PictureProblem problem) {
    return problem == PictureProblem::tooDemanding || problem == PictureProblem::rendererUnavailable ||
           problem == PictureProblem::fileTooLarge;
}

DrawingProblems::DrawingProblems() : outer_(tInnermost) { tInnermost = this; }

DrawingProblems::~DrawingProblems() {
    tInnermost = outer_;
    if (kind_ != PictureProblem::none) report(kind_, std::move(text_));
}

void DrawingProblems::report(PictureProblem kind, std::string text) {
    DrawingProblems* collector = tInnermost;
    if (collector == nullptr || collector->kind_ != PictureProblem::none || kind == PictureProblem::none) return;
    collector->kind_ = kind;
    collector->text_ = std::move(text);
}

}  // namespace platform::graphics
