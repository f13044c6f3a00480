#pragma once
// Files that could not be added (missing, or no picture) are told in one alert over the
// main window, from whichever thread found them. While that alert is open, what more comes
// joins it: launches naming missing files by the thousand open one alert, not one each. It
// names the first few files and counts the others, and keeps no more than it names.
#include <QMessageBox>
#include <QPointer>

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace gw {

class FilesNotAddedAlert : public std::enable_shared_from_this<FilesNotAddedAlert> {
public:
    // The reasons an alert names; the others are counted ("and 12 more.").
    static constexpr std::size_t kNamed = 10;

    // Why a file could not be added (one line of the alert). Any thread.
    void add(std::string why);
    // The alert while it is open, null otherwise. Main thread.
    QMessageBox* openAlert() const { return alert_.data(); }

private:
    void show();

    std::mutex mutex_;
    std::vector<std::string> waiting_;
    std::size_t waitingUnnamed_ = 0;
    bool scheduled_ = false;
    // Main thread only.
    QPointer<QMessageBox> alert_;
    std::vector<std::string> named_;
    std::size_t unnamed_ = 0;
};

}  // namespace gw
