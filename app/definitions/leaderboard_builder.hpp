#pragma once
// The tvOS leaderboard image (one image stack inside the "tvOSLeaderboard" manifest
// folders), and the two editing canvases on which the pictures' layer frames are
// placed: the app icon's and the leaderboard's.
#include "app/definitions/type_builder_support.hpp"
#include "app/foundation/image_input.hpp"
#include "platform/graphics/geometry.hpp"

#include <vector>

namespace gw {

// The editing canvases, in points; a stack's own canvas is reached by scaling by width.
inline constexpr platform::graphics::Size kTvOSAppIconCanvasSize{400, 240};
inline constexpr platform::graphics::Size kTvOSLeaderboardCanvasSize{659, 371};

// True when the last picture's frame is the locked full canvas and every other
// picture has a frame the user can move. Changes nothing.
bool layerFramesFillCanvas(bool isLeaderboard, const std::vector<ImageInputPtr>& imageInputs);

// The last picture gets the locked full-canvas frame; every other picture without a
// movable frame gets one sized with the last picture's points-per-pixel, shrunk to
// fit the canvas and centred in it.
void makeDefaultLayerFrames(bool isLeaderboard, const std::vector<ImageInputPtr>& imageInputs);

// Both of the above as one step on the main thread, where the layer editor reads and
// edits the frames: a builder on another thread waits for it. Nothing else can
// change the frames between the check and the change.
void ensureLayerFramesFillCanvas(bool isLeaderboard, const std::vector<ImageInputPtr>& imageInputs);

class FolderDefinitionBuildertvOSLeaderboard : public TypeBuilderBase {
public:
    using TypeBuilderBase::TypeBuilderBase;

    // The catalog, the leaderboard group, the leaderboard (its "identifier" the
    // validated folder name before its first "."), and the stack with one layer per
    // picture, the first in front. Gives the pictures default leaderboard frames
    // first when theirs don't fill the canvas.
    FolderDefinition build() override;
    // Warnings always name their picture.
    ConversionWarnings validate() override;
};

// The folder name up to its first "."; the whole name when it has none.
std::string leaderboardIdentifier(std::string_view folderName);

}  // namespace gw
