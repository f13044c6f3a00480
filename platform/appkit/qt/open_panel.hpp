#pragma once
// Stands in for the platform's open panel on Qt's own (non-native) file dialog, so that it
// looks the same everywhere and tests drive it like a user. Runs application-modally,
// as a sheet (modal to one window, returns at once) or non-modally. Without a window of its
// own it belongs to the application's main window.
#include "platform/foundation/url.hpp"

#include <QFileDialog>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace platform::appkit::qt {

enum class ModalResponse { cancel = 0, ok = 1 };

class OpenPanel {
public:
    using Completion = std::function<void(ModalResponse)>;

    OpenPanel() = default;

    bool canChooseFiles = true;
    bool canChooseDirectories = false;
    bool allowsMultipleSelection = false;
    bool resolvesAliases = true;
    bool canCreateDirectories = false;
    // Extensions or type names; empty allows every file.
    std::vector<std::string> allowedFileTypes;
    std::string prompt;  // the accept button's text
    std::string title;
    std::string message;
    // Where the panel starts; without one, in the folder the last confirmed panel of the
    // process was showing, else in the user's home folder (never the process's working
    // folder, which means nothing to the user).
    std::optional<std::filesystem::path> directory;
    static std::filesystem::path startingDirectory();
    // Shown under the file list inside 8 px margins; the panel takes ownership.
    QWidget* accessoryView = nullptr;

    // The chosen items once the panel ended with OK.
    const std::vector<foundation::URL>& urls() const { return urls_; }
    // The dialog while it is shown (tests drive it); null otherwise.
    QFileDialog* dialog() const { return dialog_.data(); }

    ModalResponse runModal();
    // Modal to `window` only; returns at once and calls `completion` on the main thread.
    void beginSheetModal(QWidget* window, Completion completion);
    // Neither modal; returns at once.
    void begin(Completion completion);

private:
    QFileDialog* makeDialog(QWidget* parent);
    void finish(QFileDialog& dialog, int result, const Completion& completion);

    std::vector<foundation::URL> urls_;
    QPointer<QFileDialog> dialog_;
};

}  // namespace platform::appkit::qt
