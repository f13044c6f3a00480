#include "platform/appkit/qt/application.hpp"

#include "platform/appkit/application_state.hpp"

#include "platform/appkit/qt/menu_bar.hpp"
#include "platform/appkit/qt/window.hpp"
#include "platform/dispatch/dispatch_queue.hpp"

#include <QEvent>
#include <QEventLoop>
#include <QPointer>
#include <QTimer>

#include <atomic>

namespace platform::appkit::qt {

namespace {

Application* gShared = nullptr;

// Receives the one drain event that may be pending at any time. It lives for the whole
// process, so a worker thread that read the driver just before the application went away
// still posts to a live object.
class MainQueuePump : public QObject {
public:
    static const QEvent::Type kDrain;
    std::atomic<bool> posted{false};

    void wake() {
        // Coalesced: one event stands for all the work queued until it is handled.
        if (posted.exchange(true)) return;
        QCoreApplication::postEvent(this, new QEvent(kDrain));
    }

protected:
    bool event(QEvent* event) override {
        if (event->type() != kDrain) return QObject::event(event);
        posted.store(false);
        platform::dispatch::MainLoop::drain();
        return true;
    }
};

const QEvent::Type MainQueuePump::kDrain = static_cast<QEvent::Type>(QEvent::registerEventType());

// Keeps the keyboard with the modal window while one is up. A window it blocks can still be
// made active: asked to before the modal window was on the screen (a panel opened with a
// picture handed over at launch, the main window brought forward with it), the window
// manager's answer arrives once the modal window shows, and the toolkit takes that window
// as active while the modal one is not yet drawn. Keys then went to the blocked window and
// were dropped: an alert over the main window ignored Return, and every key equivalent
// was off. The modal window takes the keyboard back.
class ModalKeyboardKeeper : public QObject {
protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::WindowActivate || !watched->isWidgetType()) return false;
        auto* activated = static_cast<QWidget*>(watched);
        QWidget* modal = activated->isWindow() ? blockingModal(*activated) : nullptr;
        if (!modal) return false;
        QPointer<QWidget> keep = modal;
        QTimer::singleShot(0, modal, [keep] {
            if (!keep || !keep->isVisible() || QApplication::activeModalWidget() != keep) return;
            keep->raise();
            keep->activateWindow();
        });
        return false;
    }
};

MainQueuePump& pump() {
    static auto* instance = new MainQueuePump;  // made on the main thread by the first application
    return *instance;
}

}  // namespace

struct Application::Session {
    QPointer<Window> window;
    QEventLoop loop;
    int code = 0;
    bool ended = false;
    int closeHandler = 0;
};

Application::Application(int& argc, char** argv) {
    if (auto* existing = qobject_cast<QApplication*>(QCoreApplication::instance())) {
        app_ = existing;
    } else {
        ownedApp_ = std::make_unique<QApplication>(argc, argv);
        app_ = ownedApp_.get();
    }
    gShared = this;
    // The Qt-free application model follows Qt's activation and posts its notices.
    auto& state = platform::appkit::ApplicationState::shared();
    state.setHasApplication(true);
    QObject::connect(app_, &QGuiApplication::applicationStateChanged, app_,
                     [](Qt::ApplicationState qtState) {
                         platform::appkit::ApplicationState::shared().setActive(qtState == Qt::ApplicationActive);
                     });
    modalKeeper_ = std::make_unique<ModalKeyboardKeeper>();
    app_->installEventFilter(modalKeeper_.get());
    auto& p = pump();
    p.posted.store(false);
    platform::dispatch::MainLoop::setDriver([&p] { p.wake(); });
}

Application::~Application() {
    if (app_ && modalKeeper_) app_->removeEventFilter(modalKeeper_.get());
    platform::dispatch::MainLoop::setDriver(nullptr);
    menuBar_.reset();
    if (gShared == this) gShared = nullptr;
}

Application* Application::shared() { return gShared; }

QWidget* Application::visibleMainWindow() {
    QWidget* main = gShared ? gShared->mainWindow() : nullptr;
    return main && main->isVisible() ? main : nullptr;
}

int Application::run() { return app_->exec(); }

int Application::runModal(Window& window) {
    Session session;
    session.window = &window;
    sessions_.push_back(&session);
    session.closeHandler = window.addCloseHandler([this, &session] { endSession(session, 0); });
    window.setWindowModality(Qt::ApplicationModal);
    window.makeKeyAndOrderFront();
    if (!session.ended) session.loop.exec();
    if (session.window) session.window->removeCloseHandler(session.closeHandler);
    std::erase(sessions_, &session);
    return session.code;
}

void Application::endSession(Session& session, int code) {
    if (session.ended) return;
    session.ended = true;
    session.code = code;
    session.loop.exit(code);
}

void Application::stopModal(int code) {
    for (auto it = sessions_.rbegin(); it != sessions_.rend(); ++it) {
        if (!(*it)->ended) {
            endSession(**it, code);
            return;
        }
    }
}

Window* Application::modalWindow() const {
    for (auto it = sessions_.rbegin(); it != sessions_.rend(); ++it) {
        if (!(*it)->ended) return (*it)->window.data();
    }
    return nullptr;
}

void Application::setMainMenu(MenuPtr menu) {
    mainMenu_ = std::move(menu);
    menuBar_ = mainMenu_ ? std::make_unique<MenuBar>(mainMenu_) : nullptr;
}

}  // namespace platform::appkit::qt
