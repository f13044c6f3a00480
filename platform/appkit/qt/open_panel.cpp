#include "platform/appkit/qt/open_panel.hpp"

#include "platform/appkit/qt/application.hpp"
#include "platform/foundation/files.hpp"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QPushButton>
#include <QVBoxLayout>

#include <filesystem>

namespace platform::appkit::qt {

namespace {

QString nameFilter(const std::vector<std::string>& types) {
    QStringList patterns;
    for (const auto& type : types) {
        if (type.empty() || type.find('.') != std::string::npos) continue;  // type names, not extensions
        patterns << QStringLiteral("*.") + QString::fromStdString(type);
    }
    return patterns.join(' ');
}

// The folder the last confirmed panel was showing; main thread only.
std::optional<std::filesystem::path>& lastDirectory() {
    static std::optional<std::filesystem::path> folder;
    return folder;
}

}  // namespace

std::filesystem::path OpenPanel::startingDirectory() {
    std::error_code error;
    if (const auto& last = lastDirectory(); last && std::filesystem::is_directory(*last, error)) return *last;
    return foundation::files::homeDirectory();
}

QFileDialog* OpenPanel::makeDialog(QWidget* parent) {
    auto* dialog = new QFileDialog(parent ? parent : Application::visibleMainWindow());
    dialog->setOption(QFileDialog::DontUseNativeDialog, true);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    if (!canChooseFiles && canChooseDirectories) {
        dialog->setFileMode(QFileDialog::Directory);
        dialog->setOption(QFileDialog::ShowDirsOnly, true);
    } else {
        dialog->setFileMode(allowsMultipleSelection ? QFileDialog::ExistingFiles : QFileDialog::ExistingFile);
    }
    dialog->setOption(QFileDialog::DontResolveSymlinks, !resolvesAliases);
    dialog->setOption(QFileDialog::ReadOnly, !canCreateDirectories);
    if (const auto filter = nameFilter(allowedFileTypes); !filter.isEmpty() && canChooseFiles) {
        dialog->setNameFilter(filter);
    }
    if (!prompt.empty()) dialog->setLabelText(QFileDialog::Accept, QString::fromStdString(prompt));
    dialog->setWindowTitle(QString::fromStdString(title.empty() ? message : title));
    dialog->setDirectory(QString::fromStdString((directory ? *directory : startingDirectory()).string()));
    if (accessoryView) {
        auto* holder = new QWidget(dialog);
        auto* layout = new QVBoxLayout(holder);
        layout->setContentsMargins(8, 8, 8, 8);
        layout->addWidget(accessoryView);
        if (auto* grid = qobject_cast<QGridLayout*>(dialog->layout())) {
            grid->addWidget(holder, grid->rowCount(), 0, 1, grid->columnCount());
        } else if (dialog->layout()) {
            dialog->layout()->addWidget(holder);
        }
        accessoryView = nullptr;  // owned by the dialog now
    }
    dialog_ = dialog;
    return dialog;
}

void OpenPanel::finish(QFileDialog& dialog, int result, const Completion& completion) {
    urls_.clear();
    const bool ok = result == QDialog::Accepted;
    if (ok) {
        lastDirectory() = dialog.directory().absolutePath().toStdString();
        for (const auto& file : dialog.selectedFiles()) {
            std::filesystem::path path = file.toStdString();
            if (resolvesAliases) {
                std::error_code error;
                const auto resolved = std::filesystem::canonical(path, error);
                if (!error) path = resolved;
            }
            urls_.push_back(foundation::URL::fileURL(path));
        }
    }
    if (completion) completion(ok ? ModalResponse::ok : ModalResponse::cancel);
}

ModalResponse OpenPanel::runModal() {
    QFileDialog* dialog = makeDialog(nullptr);
    dialog->setAttribute(Qt::WA_DeleteOnClose, false);
    dialog->setWindowModality(Qt::ApplicationModal);
    const int result = dialog->exec();
    ModalResponse response = ModalResponse::cancel;
    finish(*dialog, result, [&response](ModalResponse r) { response = r; });
    delete dialog;
    return response;
}

void OpenPanel::beginSheetModal(QWidget* window, Completion completion) {
    QFileDialog* dialog = makeDialog(window);
    dialog->setWindowModality(window ? Qt::WindowModal : Qt::ApplicationModal);
    QObject::connect(dialog, &QDialog::finished, dialog,
                     [this, dialog, completion = std::move(completion)](int result) { finish(*dialog, result, completion); });
    dialog->open();
}

void OpenPanel::begin(Completion completion) {
    QFileDialog* dialog = makeDialog(nullptr);
    dialog->setWindowModality(Qt::NonModal);
    QObject::connect(dialog, &QDialog::finished, dialog,
                     [this, dialog, completion = std::move(completion)](int result) { finish(*dialog, result, completion); });
    dialog->show();
}

}  // namespace platform::appkit::qt
