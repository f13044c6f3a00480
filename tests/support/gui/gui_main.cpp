// The main of every offscreen widget test.
#include "support/gui/gui_harness.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    gwtest::gui::prepareProcessEnvironment();
    return gwtest::gui::runAllTests(argc, argv);
}
