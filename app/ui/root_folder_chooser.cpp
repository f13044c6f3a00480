#include "app/ui/root_folder_chooser.hpp"

#include "app/foundation/localized_string.hpp"
#include "app/shell/command_line_enabled_controller.hpp"
#include "platform/appkit/qt/open_panel.hpp"

#include <QDir>

#include <memory>

namespace gw {

void installRootFolderChooser() {
    CommandLineEnabledController::setRootFolderChooser([](auto chosen) {
        auto panel = std::make_shared<platform::appkit::qt::OpenPanel>();
        panel->canChooseFiles = false;
        panel->canChooseDirectories = true;
        panel->allowsMultipleSelection = false;
        panel->directory = QDir::homePath().toStdString();
        panel->prompt = LocalizedString::text("open-panel.open-root.prompt");
        panel->title = LocalizedString::text("open-panel.open-root.title");
        panel->message = panel->title;
        panel->begin([panel, chosen = std::move(chosen)](platform::appkit::qt::ModalResponse response) {
            if (response == platform::appkit::qt::ModalResponse::ok && !panel->urls().empty()) {
                chosen(panel->urls().front());
            } else {
                chosen(std::nullopt);
            }
        });
    });
}

}  // namespace gw
