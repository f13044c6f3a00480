#pragma once
// tvOS image stacks: a folder listing its layers under "layers"; each layer is a
// "<name>.imagestacklayer" folder that places the layer in the stack's canvas and
// holds one "Content.imageset" with the layer's picture.
#include "app/definitions/folder_definition.hpp"
#include "app/engine/contracts/file_writing_intent.hpp"
#include "app/foundation/image_input_collection.hpp"
#include "platform/foundation/url.hpp"
#include "platform/foundation/value.hpp"
#include "platform/graphics/geometry.hpp"

#include <optional>
#include <string_view>

namespace gw {

// Made with empty fields that its creator then sets.
class LayersFolderBuilder : public MetaDataAndDefinitionProvider {
public:
    explicit LayersFolderBuilder(platform::foundation::URL outputDirectory = {})
        : outputDirectory(std::move(outputDirectory)) {}

    // The stack folder itself.
    platform::foundation::URL outputDirectory;
    // The layers, in listing order.
    MetaDataAndDefinitionProviders subMetaDataDefinitionPairs;
    // The stack's own canvas; the layer frames are scaled to it. Written nowhere.
    std::optional<platform::graphics::Size> canvasSize;
    // Written under "properties".
    platform::foundation::Dictionary properties;
    void setMetaData(platform::foundation::Dictionary metaData) { metaData_ = std::move(metaData); }
    // A stack this conversion adds no layer to keeps the Contents.json it already has,
    // so that its layer list is not emptied while the layer folders stay on disk.
    bool preservesExistingContents = false;

    // {"layers": each child's entry, "properties": properties} with the info block;
    // both keys even when empty.
    platform::foundation::Dictionary contentsDictionary() const;
    // No pictures of its own; the layer folders below it.
    FolderDefinition folderDefinition() const;

    std::optional<Definition> definition() const override { return folderDefinition(); }
    platform::foundation::Dictionary metaData() const override { return metaData_; }

private:
    platform::foundation::Dictionary metaData_;
};

// Which of a picture's two layer frames a stack uses.
enum class LayerCanvas { appIcon, leaderboard };

// What adding one picture to a stack needs beyond the stack and the picture.
struct LayerRequest {
    LayerCanvas canvas;
    // Stack canvas width over the editing canvas width.
    double scale = 1.0;
    // The back layer is written without an alpha channel.
    bool isBackLayer = false;
    // Whether the 2x slot gets a picture or stays empty.
    bool hasRetinaPicture = true;
    // Named by the fatal error when the picture has no frame.
    std::string_view sourceFile;
};

// Appends `picture` to `stack` as one layer. The layer folder and its image set are
// resolved as overwrite intents carrying the collection's picture. A name already
// used by a layer of this stack gets a number (" 2", " 3", ...) so that two layers
// never share one folder. Throws what the picture lookup and the intents throw.
void addLayer(LayersFolderBuilder& stack, const ImageInputPtr& picture, const LayerRequest& request,
              const ImageInputCollection& collection, FileWritingIntentFactory& factory);

}  // namespace gw
