#include "support/gui/gui_harness.hpp"

#include "platform/appkit/qt/application.hpp"
#include "platform/foundation/bundle.hpp"
#include "support/machine_pace.hpp"
#include "support/temp_dir.hpp"

#include <QApplication>
#include <QTimer>
#include <gtest/gtest.h>

#include <cstdlib>

namespace gwtest::gui {

std::filesystem::path prepareProcessEnvironment() {
    static TempDir home;
    for (const char* name : {"config", "data", "cache", "runtime"}) {
        std::filesystem::create_directories(home.path() / name);
    }
    std::filesystem::permissions(home.path() / "runtime", std::filesystem::perms::owner_all);
    ::setenv("XDG_CONFIG_HOME", (home.path() / "config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (home.path() / "data").c_str(), 1);
    ::setenv("XDG_CACHE_HOME", (home.path() / "cache").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (home.path() / "runtime").c_str(), 1);
    ::setenv("GW_RESOURCES_DIR", GW_SOURCE_DIR "/resources", 1);
    platform::foundation::Bundle::setMain(nullptr);
    return home.path();
}

namespace {

// The offscreen platform tells of every window call it cannot carry out (raising,
// size hints); that is expected there and only buries the test output.
QtMessageHandler previousHandler = nullptr;

void quietOffscreenNotices(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (message.startsWith(QLatin1String("This plugin does not support"))) return;
    if (previousHandler) previousHandler(type, context, message);
}

}  // namespace

int runAllTests(int argc, char** argv) {
    previousHandler = qInstallMessageHandler(quietOffscreenNotices);
    QApplication qapp(argc, argv);
    int rc;
    {
        platform::appkit::qt::Application application(argc, argv);
        rc = RUN_ALL_TESTS();
    }
    return rc;
}

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    bool stretched = false;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            if (stretched) return condition();
            // An idle machine's timeout, stretched once by how slowly the machine runs now.
            stretched = true;
            deadline += std::chrono::duration_cast<std::chrono::milliseconds>(timeout * (measurePace() - 1.0));
            continue;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

void ModalAnswer::cancel() { cancelled_ = true; }

std::shared_ptr<ModalAnswer> answerNextModal(std::function<void(QWidget&)> answer, std::chrono::milliseconds timeout) {
    auto state = std::make_shared<ModalAnswer>();
    auto* timer = new QTimer(qApp);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, state, answer = std::move(answer), deadline] {
        if (state->cancelled_) {
            timer->deleteLater();
            timer->stop();
            return;
        }
        QWidget* modal = QApplication::activeModalWidget();
        if (modal && modal->isVisible()) {
            timer->stop();
            timer->deleteLater();
            state->answered_ = true;
            answer(*modal);
            return;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            timer->stop();
            timer->deleteLater();
            ADD_FAILURE() << "no modal window was shown to answer";
        }
    });
    timer->start();
    return state;
}

}  // namespace gwtest::gui
