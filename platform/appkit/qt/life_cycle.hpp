#pragma once
// The application's life cycle around its event loop: the delegate hears that launching
// will finish (before the first window shows), did finish (on the first loop turn, then
// the files handed over), is asked before a quit or the main window's close, and hears
// once that the application will terminate on every orderly end. SIGTERM and SIGINT end
// in order without asking, as a log-out does. The windows go as soon as an end is
// decided, before the delegate hears of it: what it still does (saving, stopping work)
// happens out of sight, not behind windows that no longer answer.
#include <QObject>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform::appkit::qt {

enum class TerminateReply { terminateCancel = 0, terminateNow = 1 };

class ApplicationDelegate {
public:
    virtual ~ApplicationDelegate() = default;
    virtual void applicationWillFinishLaunching() {}
    virtual void applicationDidFinishLaunching() {}
    virtual TerminateReply applicationShouldTerminate() { return TerminateReply::terminateNow; }
    virtual void applicationWillTerminate() {}
    // Files handed over on the command line or by a file manager.
    virtual void openFiles(const std::vector<std::string>& paths) { (void)paths; }
};

class LifeCycle : public QObject {
public:
    // Sets SIGTERM and SIGINT to end the loop in order. Call as early as possible: a
    // signal that comes before the loop runs is kept and acted on at its first turn.
    static void installSignalHandlers();

    explicit LifeCycle(ApplicationDelegate& delegate);
    ~LifeCycle() override;
    LifeCycle(const LifeCycle&) = delete;
    LifeCycle& operator=(const LifeCycle&) = delete;

    static LifeCycle* shared();

    // Runs the application: will-finish, shows `mainWindow` (may be null), runs the loop
    // until an end. Returns the loop's status.
    int run(QWidget* mainWindow, std::vector<std::string> filesToOpen = {});

    // A quit asked by the user: the delegate may cancel it. Whether the loop ends.
    bool terminate();
    // An orderly end that does not ask (log-out, SIGTERM, SIGINT).
    void terminateWithoutAsking();
    // Leaves the loop with `status` without telling the delegate: nothing is saved.
    void exitWithoutTerminating(int status);

    // Files a later launch handed over (none: it was only started again): opened through
    // the delegate once launching has finished (after the files this run was started
    // with), and the main window comes to the front. While an end is being decided they
    // are opened at once (the window stays away), so that the end's save keeps them; an
    // end that comes before launching finished opens the run's own files and those handed
    // over for its save, too. Nothing once the delegate heard that the application will
    // terminate.
    void handOver(std::vector<std::string> files);
    // Told true while an end is being decided or under way (the delegate asked, its save
    // running), false again when it is called off: a later launch waits meanwhile.
    void setEndingObserver(std::function<void(bool ending)> observer) { endingObserver_ = std::move(observer); }

    // Whether SIGTERM or SIGINT came and was not acted on yet (for a wait before the loop
    // runs); takePendingSignal() answers which (0: none) and clears it.
    static bool signalPending();
    static int takePendingSignal();

    bool isRunning() const { return running_; }
    // Whether an end is under way (decided, not called off): nothing may wait for the user
    // any more.
    bool isEnding() const { return ending_; }
    int willTerminateCount() const { return willTerminateCount_; }

    // How the latest run ended, so that a program ending before its main window ever
    // appeared on screen can say why instead of leaving nothing behind.
    enum class End { none, quit, signal, exitWithoutTerminating };
    End end() const { return end_; }
    // The signal that ended it (End::signal).
    int endSignal() const { return endSignal_; }
    // Whether the main window was drawn on screen during the latest run.
    bool mainWindowAppeared() const { return mainWindowAppeared_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void finishTermination(int status);
    void onSignalPipe();
    static void hideWindows();
    void tellEnding(bool ending);
    void openHandedOver(const std::vector<std::string>& files);

    ApplicationDelegate& delegate_;
    QPointer<QWidget> mainWindow_;
    bool running_ = false;
    bool ending_ = false;
    bool toldWillTerminate_ = false;
    int willTerminateCount_ = 0;
    End end_ = End::none;
    int endSignal_ = 0;
    bool mainWindowAppeared_ = false;
    bool launched_ = false;
    std::vector<std::string> ownFiles_;
    std::vector<std::vector<std::string>> handedOverEarly_;
    std::function<void(bool)> endingObserver_;
    bool toldEnding_ = false;
    struct SignalWatch;
    std::unique_ptr<SignalWatch> signalWatch_;
};

}  // namespace platform::appkit::qt
