#pragma once
// What the engine tells its clients, what it reports per written folder, and the
// readiness of a request.
#include "app/definitions/conversion_output_type.hpp"
#include "app/definitions/folder_definition.hpp"
#include "app/engine/contracts/conversion_warning.hpp"
#include "app/engine/replaced_item.hpp"
#include "app/foundation/image_input_collection.hpp"
#include "platform/foundation/url.hpp"

#include <exception>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

namespace gw {

class Glyphwright;

// Whether the current request could be converted: with warnings (never empty), not at
// all (the error of the dry run), or cleanly.
class ReadyState {
public:
    enum class Case : int { warnings = 0, error = 1, ready = 2 };

    static ReadyState ready() { return ReadyState(Ready{}); }
    static ReadyState warnings(ConversionWarnings warnings) { return ReadyState(std::move(warnings)); }
    static ReadyState error(std::exception_ptr error) { return ReadyState(std::move(error)); }

    Case stateCase() const { return static_cast<Case>(value_.index()); }
    bool isReady() const { return stateCase() == Case::ready; }
    // Empty unless the case is warnings.
    const ConversionWarnings& warningList() const;
    // Null unless the case is error.
    std::exception_ptr errorValue() const;

private:
    struct Ready {};
    explicit ReadyState(std::variant<ConversionWarnings, std::exception_ptr, Ready> value) : value_(std::move(value)) {}
    std::variant<ConversionWarnings, std::exception_ptr, Ready> value_;
};

// One folder of a run: what was written with what, or the folder's first error.
class GlyphwrightResult {
public:
    struct Success {
        FolderDefinition definition;
        ImageInputCollection imageInputCollection;
        platform::foundation::URL outputDirectory;
        ConversionOutputType resizeType;
    };
    struct Failure {
        std::exception_ptr error;
    };

    static GlyphwrightResult success(Success value) { return GlyphwrightResult(std::move(value)); }
    static GlyphwrightResult failure(std::exception_ptr error) { return GlyphwrightResult(Failure{std::move(error)}); }

    bool isSuccess() const { return std::holds_alternative<Success>(value_); }
    // Valid only for the matching case.
    const Success& successValue() const { return std::get<Success>(value_); }
    const std::exception_ptr& error() const { return std::get<Failure>(value_).error; }

private:
    explicit GlyphwrightResult(std::variant<Success, Failure> value) : value_(std::move(value)) {}
    std::variant<Success, Failure> value_;
};

// The ten notifications, in this order, and one more: where a catalog or asset set that an
// "overwrite" answer replaced went, told after the last folder's result and before the
// end of all operations. Every one has an empty default, so a client overrides only
// those it cares about. Slots 9 and 10, and the eleventh, arrive on operation threads.
class GlyphwrightDelegate {
public:
    virtual ~GlyphwrightDelegate() = default;
    virtual void glyphwrightShowEditingPanel(Glyphwright&, const ImageInputPtr&) {}
    virtual void glyphwrightImageInputsDidChange(Glyphwright&, const std::vector<ImageInputPtr>&) {}
    virtual void glyphwrightSelectionDidChange(Glyphwright&, const std::vector<ImageInputPtr>&) {}
    virtual void glyphwrightCollectionTypeDidChange(Glyphwright&, CollectionType) {}
    virtual void glyphwrightOutputTypeDidChange(Glyphwright&, std::optional<ConversionOutputType>) {}
    virtual void glyphwrightOutputDirectoryDidChange(Glyphwright&, const std::optional<platform::foundation::URL>&) {}
    virtual void glyphwrightReadyStateDidChange(Glyphwright&, const ReadyState&) {}
    virtual void glyphwrightDidStartCreating(Glyphwright&) {}
    virtual void glyphwrightDidFinishFolder(Glyphwright&, const GlyphwrightResult&) {}
    virtual void glyphwrightDidFinishAllOperations(Glyphwright&) {}
    virtual void glyphwrightDidKeepReplacedItem(Glyphwright&, const ReplacedItem&) {}
};

// Lets the engine's list of delegates hold them without keeping them alive.
struct WeakGlyphwrightDelegateWrapper {
    std::weak_ptr<GlyphwrightDelegate> value;
};

class OutputTypeSelecting;

class OutputTypeSelectionHandlerDelegate {
public:
    virtual ~OutputTypeSelectionHandlerDelegate() = default;
    virtual void outputTypeSelectionHandler(OutputTypeSelecting& handler, ConversionOutputType outputType) = 0;
};

// The output-type menu as the engine sees it; the window provides it.
class OutputTypeSelecting {
public:
    virtual ~OutputTypeSelecting() = default;
    virtual void setDelegate(std::weak_ptr<OutputTypeSelectionHandlerDelegate> delegate) = 0;
    // Rebuilds the menu and the pop-up.
    virtual void updateMenu() = 0;
    virtual ConversionOutputType currentResizeType() const = 0;
};

}  // namespace gw
