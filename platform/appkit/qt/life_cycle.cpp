#include "platform/appkit/qt/life_cycle.hpp"

#include "platform/appkit/qt/window.hpp"

#include <QApplication>
#include <QGuiApplication>
#include <QCloseEvent>
#include <QSocketNotifier>
#include <QTimer>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <utility>

namespace platform::appkit::qt {

namespace {

LifeCycle* gShared = nullptr;
// Written by the signal handler, read by the loop; made once per process.
int gSignalPipe[2] = {-1, -1};

extern "C" void onTerminationSignal(int signal) {
    const int saved = errno;
    const char byte = static_cast<char>(signal);
    // A full pipe already says the same thing; the result is of no use in a handler.
    [[maybe_unused]] const auto written = ::write(gSignalPipe[1], &byte, 1);
    errno = saved;
}

}  // namespace

struct LifeCycle::SignalWatch {
    std::unique_ptr<QSocketNotifier> notifier;
};

void LifeCycle::installSignalHandlers() {
    if (gSignalPipe[0] < 0) {
        if (::pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    }
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

LifeCycle::LifeCycle(ApplicationDelegate& delegate) : delegate_(delegate) {
    gShared = this;
}

LifeCycle::~LifeCycle() {
    if (mainWindow_) mainWindow_->removeEventFilter(this);
    if (gShared == this) gShared = nullptr;
}

LifeCycle* LifeCycle::shared() { return gShared; }

int LifeCycle::run(QWidget* mainWindow, std::vector<std::string> filesToOpen) {
    running_ = true;
    ending_ = false;
    toldWillTerminate_ = false;
    end_ = End::none;
    endSignal_ = 0;
    mainWindowAppeared_ = false;
    launched_ = false;
    toldEnding_ = false;
    ownFiles_ = std::move(filesToOpen);
    mainWindow_ = mainWindow;
    if (mainWindow) mainWindow->installEventFilter(this);
    if (gSignalPipe[0] >= 0) {
        signalWatch_ = std::make_unique<SignalWatch>();
        signalWatch_->notifier = std::make_unique<QSocketNotifier>(gSignalPipe[0], QSocketNotifier::Read);
        connect(signalWatch_->notifier.get(), &QSocketNotifier::activated, this, [this] { onSignalPipe(); });
    }
    delegate_.applicationWillFinishLaunching();
    // A signal that came while the program was starting ends it before its window shows.
    if (signalPending()) onSignalPipe();
    if (mainWindow && !ending_) mainWindow->show();
    QTimer::singleShot(0, this, [this] {
        if (ending_) return;
        delegate_.applicationDidFinishLaunching();
        const auto files = std::exchange(ownFiles_, {});
        if (!files.empty() && !ending_) delegate_.openFiles(files);
        launched_ = true;
        for (const auto& handed : std::exchange(handedOverEarly_, {})) {
            if (!ending_) openHandedOver(handed);
        }
        // A signal that came before the loop ran is in the pipe already.
        onSignalPipe();
    });
    const int status = ending_ ? 0 : QApplication::exec();
    signalWatch_.reset();
    if (mainWindow_) mainWindow_->removeEventFilter(this);
    running_ = false;
    return status;
}

bool LifeCycle::terminate() {
    if (ending_) return true;
    // A launch meanwhile waits for the answer (the delegate saves before it answers).
    tellEnding(true);
    if (delegate_.applicationShouldTerminate() == TerminateReply::terminateCancel) {
        // Ended meanwhile (a log-out while the delegate asked the user): the end goes on.
        if (ending_) return true;
        tellEnding(false);
        return false;
    }
    end_ = End::quit;
    finishTermination(0);
    return true;
}

void LifeCycle::terminateWithoutAsking() {
    if (ending_) return;
    if (end_ == End::none) end_ = End::quit;
    finishTermination(0);
}

void LifeCycle::exitWithoutTerminating(int status) {
    if (!ending_) end_ = End::exitWithoutTerminating;
    ending_ = true;
    tellEnding(true);
    hideWindows();
    QApplication::exit(status);
}

void LifeCycle::tellEnding(bool ending) {
    if (ending == toldEnding_) return;
    toldEnding_ = ending;
    if (endingObserver_) endingObserver_(ending);
}

void LifeCycle::handOver(std::vector<std::string> files) {
    if (toldWillTerminate_ || end_ == End::exitWithoutTerminating) return;
    if (ending_ || toldEnding_) {
        // Taken before the end was decided: the end's save keeps them with the rest.
        if (!files.empty()) delegate_.openFiles(files);
        return;
    }
    if (!launched_) {
        handedOverEarly_.push_back(std::move(files));
        return;
    }
    openHandedOver(files);
}

void LifeCycle::openHandedOver(const std::vector<std::string>& files) {
    if (!files.empty()) delegate_.openFiles(files);
    // Started again, the application comes to the front with its window.
    QWidget* window = mainWindow_.data();
    if (!window || ending_) return;
    if (window->isMinimized()) window->showNormal();
    window->show();
    window->raise();
    makeKey(*window);
}

bool LifeCycle::signalPending() {
    if (gSignalPipe[0] < 0) return false;
    pollfd readable{gSignalPipe[0], POLLIN, 0};
    return ::poll(&readable, 1, 0) > 0 && (readable.revents & POLLIN);
}

int LifeCycle::takePendingSignal() {
    if (gSignalPipe[0] < 0) return 0;
    char buffer[16];
    int signal = 0;
    for (ssize_t count; (count = ::read(gSignalPipe[0], buffer, sizeof buffer)) > 0;) signal = buffer[count - 1];
    return signal;
}

void LifeCycle::hideWindows() {
    bool hidden = false;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (!widget->isVisible()) continue;
        widget->hide();
        hidden = true;
    }
    // Sent now: the loop that would send it may not turn again before the process ends.
    if (hidden) QGuiApplication::sync();
}

void LifeCycle::finishTermination(int status) {
    ending_ = true;
    if (!launched_ && !toldWillTerminate_) {
        // An end before the first turn of the loop: what this run was given to open, and
        // what launches handed over meanwhile, is saved with the rest, not lost.
        auto files = std::exchange(ownFiles_, {});
        for (auto& handed : std::exchange(handedOverEarly_, {})) files.insert(files.end(), handed.begin(), handed.end());
        if (!files.empty()) delegate_.openFiles(files);
    }
    tellEnding(true);
    hideWindows();
    if (!toldWillTerminate_) {
        toldWillTerminate_ = true;
        ++willTerminateCount_;
        delegate_.applicationWillTerminate();
    }
    QApplication::exit(status);
}

void LifeCycle::onSignalPipe() {
    const int signal = takePendingSignal();
    if (signal == 0 || ending_) return;
    end_ = End::signal;
    endSignal_ = signal;
    terminateWithoutAsking();
}

bool LifeCycle::eventFilter(QObject* watched, QEvent* event) {
    if (watched == mainWindow_ && event->type() == QEvent::Paint) mainWindowAppeared_ = true;
    if (watched == mainWindow_ && event->type() == QEvent::Close && running_ && !ending_) {
        // Closing the main window is a quit; a cancelled one keeps the window.
        if (!terminate()) {
            event->ignore();
            return true;
        }
    }
    return QObject::eventFilter(watched, event);
}

}  // namespace platform::appkit::qt
