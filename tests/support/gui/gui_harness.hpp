#pragma once
// What every widget test needs: one QApplication and one desktop application object for
// the process, made before the tests run, and ways to act on modal windows as a user
// does (QTest clicks and keys), never by calling their methods.
#include <QWidget>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>

namespace gwtest::gui {

// Points the XDG folders at a scratch folder of this process and the bundle at the
// project's resources. Returns the scratch folder.
std::filesystem::path prepareProcessEnvironment();

// Makes the QApplication and the desktop application object, then runs every test.
int runAllTests(int argc, char** argv);

// Processes events until `condition` holds or `timeout` passes; returns condition().
// `timeout` is an idle machine's: on a busy one it is stretched by the machine's pace.
bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout = std::chrono::seconds(60));

// Answers the next application-modal window once it is shown: `answer` gets it and acts
// with QTest. When none shows before the deadline, the test fails (unless cancelled).
class ModalAnswer {
public:
    bool answered() const { return answered_; }
    // No answer is wanted any more (nor a failure when none came).
    void cancel();

private:
    friend std::shared_ptr<ModalAnswer> answerNextModal(std::function<void(QWidget&)>, std::chrono::milliseconds);
    bool answered_ = false;
    bool cancelled_ = false;
};
std::shared_ptr<ModalAnswer> answerNextModal(std::function<void(QWidget& modal)> answer,
                                             std::chrono::milliseconds timeout = std::chrono::seconds(60));

}  // namespace gwtest::gui
