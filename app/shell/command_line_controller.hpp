#pragma once
// Command-line mode: turns the process arguments into one conversion by the engine,
// reports readiness warnings, progress, each written folder and the outcome on the
// terminal, and ends the process with its exit status.
#include "app/engine/file_already_exists_action.hpp"
#include "app/engine/glyphwright.hpp"
#include "app/engine/glyphwright_delegate.hpp"
#include "app/engine/writing_boundary.hpp"
#include "app/shell/command_line_enabled_controller.hpp"
#include "app/shell/console_io.hpp"

#include <array>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gw {

class CommandLineController : public GlyphwrightDelegate,
                              public std::enable_shared_from_this<CommandLineController> {
public:
    enum class Option : int {
        help,
        inputPath,
        outputPath,
        assetType,
        collectionType,
        assetExistsAction,
        assetCatalogExistsAction,
    };
    static constexpr std::array<Option, 7> allOptions = {
        Option::help,           Option::inputPath,         Option::outputPath,
        Option::assetType,      Option::collectionType,    Option::assetExistsAction,
        Option::assetCatalogExistsAction,
    };
    // As typed on the command line ("-inputPath").
    static std::string_view rawValue(Option option);
    // As messages and the usage text name it ("inputPath").
    static std::string_view caseName(Option option);
    // Exact and case-sensitive.
    static std::optional<Option> optionFromRawValue(std::string_view text);

    enum class AlreadyExistsAction : int { increment, overwrite, append, cancel };
    static constexpr std::array<AlreadyExistsAction, 4> allAlreadyExistsActions = {
        AlreadyExistsAction::increment, AlreadyExistsAction::overwrite, AlreadyExistsAction::append,
        AlreadyExistsAction::cancel};
    static std::string_view rawValue(AlreadyExistsAction action);
    static std::optional<AlreadyExistsAction> alreadyExistsActionFromRawValue(std::string_view text);
    // The shared action at the same position; never ask.
    static FileAlreadyExistsAction fileAlreadyExistsAction(AlreadyExistsAction action);

    // An answer fixed when the run starts, so that no run ever needs to ask.
    class CommandLineOptionActionProvider : public FileAlreadyExistsActionProvider {
    public:
        explicit CommandLineOptionActionProvider(FileAlreadyExistsAction action) : action_(action) {}
        FileAlreadyExistsAction fileAlreadyExistsAction() const override { return action_; }
        void setFileAlreadyExistsAction(FileAlreadyExistsAction action) override { action_ = action; }

    private:
        FileAlreadyExistsAction action_;
    };

    // `arguments` are the process arguments, the program path first. Resolves the
    // granted root folder.
    static std::shared_ptr<CommandLineController> make(std::vector<std::string> arguments);
    CommandLineController(const CommandLineController&) = delete;
    CommandLineController& operator=(const CommandLineController&) = delete;

    // Whether there is any argument besides the program path: only a start without
    // arguments is the window's. An argument that is not understood is refused by run().
    bool shouldRun() const;

    // The whole conversion, on the main thread. Returns only after printing the usage
    // text (status 0); every other end leaves the process through complete().
    void run();

    // Ends the run: with a message, as a failure (status 1); without, as a success
    // (status 0) unless a folder failed (status 1). On the main thread it ends the
    // process at once; on any other thread it hands the ending to the main thread and
    // returns.
    void complete(std::optional<std::string> errorMessage);

    // GlyphwrightDelegate: one line per finished folder (a failure's also on standard
    // error); the end of all operations.
    void glyphwrightDidFinishFolder(Glyphwright& glyphwright, const GlyphwrightResult& result) override;
    void glyphwrightDidFinishAllOperations(Glyphwright& glyphwright) override;
    // Where a catalog or asset set the run replaced went, on a line of its own.
    void glyphwrightDidKeepReplacedItem(Glyphwright& glyphwright, const ReplacedItem& item) override;

private:
    explicit CommandLineController(std::vector<std::string> arguments);

    // The argument right after the first occurrence of the option: absent (outer
    // none), present without a value (inner none), or the value.
    std::optional<std::optional<std::string>> lookup(Option option) const;
    bool isGiven(Option option) const;
    // The first argument that is neither an option nor an option's value: a mistyped
    // option or a stray word.
    std::optional<std::string> unexpectedArgument() const;
    Glyphwright& glyphwright();
    std::shared_ptr<FileAlreadyExistsActionProvider> actionProvider(Option option);
    // Waits for the engine's progress and the end of the run, then ends the process.
    [[noreturn]] void pollProgressUntilComplete();
    // Prints the engine's progress when it differs from the last one shown.
    void showProgress();
    [[noreturn]] void finish(const std::optional<std::string>& errorMessage);

    // Refuses, through complete(), a location that is not inside the granted root
    // folder once symbolic links and ".." are resolved.
    void requireInsideRoot(const WritingBoundary& root, const platform::foundation::URL& location);

    std::vector<std::string> arguments_;
    ConsoleIO consoleIO_;
    // Made once the usage text is ruled out, so that "-help" never reads the settings.
    std::optional<CommandLineEnabledController> commandLineEnabledController_;
    std::shared_ptr<Glyphwright> glyphwright_;

    std::mutex mutex_;
    std::condition_variable changed_;
    bool keepRunning_ = true;
    bool progressChanged_ = false;
    std::optional<std::string> errorMessage_;
    std::size_t foldersReported_ = 0;
    bool folderFailed_ = false;

    // Keeps the progress line and the folders' lines in order.
    std::mutex outputMutex_;
    float lastShownProgress_ = 0.0f;
    bool folderLineSinceProgress_ = false;
    // Folders can finish while the main thread is still starting the run: their lines
    // wait for "Conversion starting", which comes first.
    std::condition_variable startLineShown_;
    bool startLinePrinted_ = false;
    void waitForStartLine(std::unique_lock<std::mutex>& output);
};

}  // namespace gw
