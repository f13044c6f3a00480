// The main of the real-window tests: a private Xvfb server for the process, Qt on xcb.
#include "support/gui/gui_harness.hpp"
#include "support/gui/x11_harness.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (::testing::GTEST_FLAG(list_tests)) {
        // Listing needs no display.
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        gwtest::gui::prepareProcessEnvironment();
        return gwtest::gui::runAllTests(argc, argv);
    }
    gwtest::x11::XvfbServer server;
    if (!server.running()) {
        std::cerr << "could not start Xvfb\n";
        return 1;
    }
    ::setenv("DISPLAY", server.display().c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    gwtest::gui::prepareProcessEnvironment();
    return gwtest::gui::runAllTests(argc, argv);
}
