# Helpers shared by every folder's CMakeLists.txt.

# -Wno-restrict: g++ 12 at -O3 warns falsely inside std::string's operator+ (a known
# compiler fault), which would fail every optimised build of ours.
# The warnings g++ derives from its optimiser's flow analysis come and go with inlining:
# at -O3 g++ 12 reports them inside std::variant, std::optional and memcpy where nothing
# is wrong. They stay errors in the builds the tests run (-O2 and -O0), which see the
# same code; in a Release (-O3) build they are only printed, so the benchmarks always build.
set(GW_O3_FLOW_WARNINGS array-bounds maybe-uninitialized uninitialized stringop-overflow stringop-overread
    stringop-truncation free-nonheap-object dangling-pointer use-after-free nonnull format-overflow
    format-truncation aggressive-loop-optimizations)
list(TRANSFORM GW_O3_FLOW_WARNINGS PREPEND "-Wno-error=")
set(GW_WARNINGS -Wall -Wextra -Werror -Wno-missing-field-initializers -Wno-restrict
    "$<$<CONFIG:Release>:${GW_O3_FLOW_WARNINGS}>")

# The test builds (RelWithDebInfo, and the sanitizer build) keep line tables only: enough
# for backtraces, sanitizer reports and the crash tests, at about two thirds of the compile
# time of full debug information. A plain Debug build keeps everything for the debugger.
if(CMAKE_BUILD_TYPE STREQUAL "RelWithDebInfo" OR GW_SANITIZE OR GW_TSAN)
  add_compile_options(-g1)
endif()

# Test and benchmark sources exercise the optimised libraries but need no optimising of their
# own, and most of their compile time is code generation: at -Og they compile about a third
# faster than at -O2 and still run their own loops (generated pictures, soak loops) quickly.
# The libraries and programs they test keep the build type's flags. A Release build (what
# `make bench` times) optimises everything.
if(CMAKE_BUILD_TYPE STREQUAL "RelWithDebInfo")
  set(gw_default_test_optimization -Og)
else()
  set(gw_default_test_optimization "")
endif()
set(GW_TEST_OPTIMIZATION "${gw_default_test_optimization}" CACHE STRING
    "Optimisation flag for test and benchmark sources; empty keeps the build type's")

# In the sanitizer build, test sources go without the sanitizers' checks: instrumenting a test
# source for AddressSanitizer took a third of its compile time there (UBSan's checks two fifths
# more), and what the stage is for is checked whole: our libraries, and the programs the
# end-to-end tests start, carry both. A test's own code is what loses the checks (with the
# copies of header code it happens to supply); the executables still link the sanitizers'
# runtime, whose allocator and interceptors see every allocation. Tests that behave otherwise in
# this build ask for GW_ADDRESS_SANITIZER_BUILD, as their compiler no longer says so.
# Test sources also stay unoptimised there: the libraries and programs are built at -O1
# (see the top CMakeLists.txt), which is what the tests' running time depends on.
if(GW_SANITIZE)
  set(GW_TEST_SANITIZER_FLAGS -fno-sanitize=all -O0 -DGW_ADDRESS_SANITIZER_BUILD)
else()
  set(GW_TEST_SANITIZER_FLAGS)
endif()

# Library sources spend much of a cold build parsing the same standard headers and {fmt}
# again; one precompiled header per flavour (with Qt's widgets or without) serves them all.
# A header is used only where the macros it reads are defined alike, so every library gets
# -pthread (glib's flags add it to some) and {fmt}'s definitions.
set(GW_LIBRARY_PCH_HEADERS <algorithm> <array> <atomic> <chrono> <cstddef> <cstdint> <cstring> <deque>
    <exception> <filesystem> <functional> <map> <memory> <mutex> <optional> <set> <span> <sstream>
    <stdexcept> <string> <string_view> <system_error> <thread> <unordered_map> <utility> <variant>
    <vector> <fmt/format.h>)
set(GW_QT_LIBRARY_PCH_HEADERS ${GW_LIBRARY_PCH_HEADERS} <QApplication> <QLabel> <QPointer> <QPushButton>
    <QWidget>)
function(_gw_library_pch target deps)
  set(holder gw_library_pch)
  set(headers ${GW_LIBRARY_PCH_HEADERS})
  set(libs fmt::fmt)
  if("Qt6::Widgets" IN_LIST deps)
    set(holder gw_qt_library_pch)
    set(headers ${GW_QT_LIBRARY_PCH_HEADERS})
    list(APPEND libs Qt6::Widgets)
  endif()
  if(NOT TARGET ${holder})
    add_library(${holder} OBJECT ${CMAKE_SOURCE_DIR}/cmake/pch_holder.cpp)
    target_link_libraries(${holder} PRIVATE ${libs})
    target_precompile_headers(${holder} PRIVATE ${headers})
    target_compile_options(${holder} PRIVATE ${GW_WARNINGS} -pthread)
  endif()
  target_precompile_headers(${target} REUSE_FROM ${holder})
  target_compile_options(${target} PRIVATE -pthread)
  target_link_libraries(${target} PRIVATE fmt::fmt)
  get_target_property(sources ${target} SOURCES)
  list(FILTER sources INCLUDE REGEX "\\.(c|S|s)$")
  if(sources)
    set_source_files_properties(${sources} PROPERTIES SKIP_PRECOMPILE_HEADERS ON)
  endif()
endfunction()

# gw_library(<target> [DEPS <targets...>] [PUBLIC_DEPS <targets...>])
# One library per folder: every .cpp/.c in the folder (not recursive).
# Headers live beside their sources and are included from the repository root,
# e.g. #include "platform/foundation/value.hpp".
# SEPARATE lists sources compiled on their own rather than together with the others (see below).
function(gw_library target)
  cmake_parse_arguments(ARG "" "" "DEPS;PUBLIC_DEPS;SOURCES;SEPARATE" ${ARGN})
  if(ARG_SOURCES)
    set(sources ${ARG_SOURCES})
  else()
    file(GLOB sources CONFIGURE_DEPENDS
         ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.c)
  endif()
  if(sources)
    add_library(${target} STATIC ${sources})
    target_include_directories(${target} PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR}/generated)
    target_compile_options(${target} PRIVATE ${GW_WARNINGS})
    target_link_libraries(${target} PUBLIC ${ARG_PUBLIC_DEPS} PRIVATE ${ARG_DEPS})
    _gw_library_pch(${target} "${ARG_PUBLIC_DEPS};${ARG_DEPS}")
    # A library's sources compile eight at a time: each parses the same headers of ours and
    # of the libraries below again, most of a library's compile time. Sources defining a
    # file-local name another source of the library also defines, or a class whose members
    # have file-local types, are listed as SEPARATE.
    # CMake leaves the objects of another target (the crash path's) out of a library built
    # that way: such a library compiles source by source.
    set(objects_of_others ${sources})
    list(FILTER objects_of_others INCLUDE REGEX "TARGET_OBJECTS")
    if(NOT objects_of_others)
      set_target_properties(${target} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 8)
    endif()
    if(ARG_SEPARATE)
      list(TRANSFORM ARG_SEPARATE PREPEND "${CMAKE_CURRENT_SOURCE_DIR}/")
      set_source_files_properties(${ARG_SEPARATE} PROPERTIES SKIP_UNITY_BUILD_INCLUSION ON)
    endif()
  else()
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR}/generated)
    target_link_libraries(${target} INTERFACE ${ARG_PUBLIC_DEPS} ${ARG_DEPS})
  endif()
endfunction()

# Sanitizer builds run several times slower, and CI may run them on two loaded cores:
# every test's TIMEOUT is multiplied by this (4 under GW_SANITIZE or GW_TSAN, else 1).
if(GW_SANITIZE OR GW_TSAN)
  set(gw_default_timeout_scale 4)
else()
  set(gw_default_timeout_scale 1)
endif()
set(GW_TEST_TIMEOUT_SCALE ${gw_default_timeout_scale} CACHE STRING "Factor applied to every test's TIMEOUT")

# Registers every case of a GoogleTest executable with its labels and a time limit scaled for
# sanitizer builds. gtest_discover_tests flattens a list given as one property value (a
# second label would become a property name of its own and take TIMEOUT and ENVIRONMENT with
# it), so the labels are set by a script of our own that CTest reads after the discovered cases.
function(_gw_discover_tests target labels timeout)
  _gw_registered_here(registered "${labels}")
  if(NOT registered)
    return()
  endif()
  cmake_parse_arguments(ARG "" "TEST_FILTER;ENVIRONMENT" "" ${ARGN})
  math(EXPR scaled "${timeout} * ${GW_TEST_TIMEOUT_SCALE}")
  set(properties TIMEOUT ${scaled})
  if(ARG_ENVIRONMENT)
    list(APPEND properties ENVIRONMENT "${ARG_ENVIRONMENT}")
  endif()
  set(filter)
  if(ARG_TEST_FILTER)
    set(filter TEST_FILTER "${ARG_TEST_FILTER}")
  endif()
  gtest_discover_tests(${target}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 120
    TEST_LIST ${target}_TESTS
    ${filter}
    PROPERTIES ${properties})
  set(label_script "${CMAKE_CURRENT_BINARY_DIR}/${target}_labels.cmake")
  # Slow cases start first: on two cores a minute-long case started last is a minute on
  # the whole run.
  set(cost 1)
  if("slow" IN_LIST labels)
    set(cost 1000)
  endif()
  file(WRITE "${label_script}"
    "foreach(gw_case IN LISTS ${target}_TESTS)\n"
    "  set_tests_properties(\"\${gw_case}\" PROPERTIES LABELS \"${labels}\" COST ${cost})\n"
    "endforeach()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${label_script}")
endfunction()

# Every test source starts with GoogleTest and the standard library; parsing them once per
# build instead of once per file is the largest single saving of a cold build. One holder
# executable per flavour builds the header, the test executables reuse it.
set(GW_TEST_PCH_HEADERS <gtest/gtest.h> <gmock/gmock.h> <algorithm> <atomic> <chrono> <cstdint>
    <filesystem> <functional> <map> <memory> <optional> <string> <string_view> <thread> <vector>)
set(GW_GUI_TEST_PCH_HEADERS ${GW_TEST_PCH_HEADERS} <QApplication> <QFileDialog> <QImage> <QLineEdit>
    <QMessageBox> <QMimeData> <QPushButton> <QTest> <QTimer> <QWidget>)
function(_gw_test_pch target holder)
  cmake_parse_arguments(ARG "" "" "HEADERS;LIBS" ${ARGN})
  if(NOT TARGET ${holder})
    add_executable(${holder} EXCLUDE_FROM_ALL ${CMAKE_SOURCE_DIR}/tests/support/pch_holder.cpp)
    target_link_libraries(${holder} PRIVATE ${ARG_LIBS})
    target_precompile_headers(${holder} PRIVATE ${ARG_HEADERS})
    target_compile_options(${holder} PRIVATE ${GW_WARNINGS} -pthread ${GW_TEST_OPTIMIZATION} ${GW_TEST_SANITIZER_FLAGS})
  endif()
  target_precompile_headers(${target} REUSE_FROM ${holder})
  # A header is used only where the macros it reads are defined alike; glib's and
  # GoogleTest's flags add -pthread to some tests, so every test gets it.
  # Through a precompiled header g++ 12 no longer recognises std::string's inlined copies
  # as system code and reports its known false -Warray-bounds and -Wstringop-overflow on
  # operator+ (the reason for -Wno-restrict above): test code goes without those two
  # warnings, the libraries and programs keep them.
  target_compile_options(${target} PRIVATE -pthread -Wno-array-bounds -Wno-stringop-overflow -Wno-stringop-overread
                         ${GW_TEST_OPTIMIZATION} ${GW_TEST_SANITIZER_FLAGS})
  # The header is C++: C and assembly sources of a test go without it.
  get_target_property(sources ${target} SOURCES)
  set(cxx_sources ${sources})
  list(FILTER sources INCLUDE REGEX "\\.(c|S|s)$")
  if(sources)
    set_source_files_properties(${sources} PROPERTIES SKIP_PRECOMPILE_HEADERS ON SKIP_UNITY_BUILD_INCLUSION ON)
  endif()
  # A test executable's C++ sources compile as one: each parses the same headers of the
  # code under test again, half or more of its compile time. Executables whose sources
  # define file-local helpers of the same name set UNITY_BUILD OFF after their gw_test.
  list(FILTER cxx_sources INCLUDE REGEX "\\.cpp$")
  list(LENGTH cxx_sources cxx_count)
  if(cxx_count GREATER 1)
    set_target_properties(${target} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 0)
  endif()
endfunction()

# The sanitizer stage builds only the tests it runs (not the crash, real-window and slow
# ones) and what they start: `cmake --build … --target gw_sanitizer_tests`.
if(NOT TARGET gw_sanitizer_tests)
  add_custom_target(gw_sanitizer_tests)
endif()
function(_gw_sanitizer_leaves_out out labels)
  list(FILTER labels INCLUDE REGEX "^(crash|x11|slow)$")
  if(labels)
    set(${out} TRUE PARENT_SCOPE)
  else()
    set(${out} FALSE PARENT_SCOPE)
  endif()
endfunction()
function(_gw_sanitizer_test target labels)
  _gw_sanitizer_leaves_out(left_out "${labels}")
  if(NOT left_out)
    add_dependencies(gw_sanitizer_tests ${target})
  endif()
endfunction()
# Whether a sanitizer build registers the cases of a test executable: those it never builds
# are left out, or CTest would list them as "…_NOT_BUILT" failures.
function(_gw_registered_here out labels)
  _gw_sanitizer_leaves_out(left_out "${labels}")
  if((GW_SANITIZE OR GW_TSAN) AND left_out)
    set(${out} FALSE PARENT_SCOPE)
  else()
    set(${out} TRUE PARENT_SCOPE)
  endif()
endfunction()

# gw_test(<target> LABELS <labels...> [TIMEOUT <seconds>] SOURCES <files...> DEPS <targets...>)
# A GoogleTest executable whose cases are registered with CTest one by one. Cases of
# suites named "…ChildProcess" are the second process of another case, which runs them
# itself; they are not registered.
function(gw_test target)
  cmake_parse_arguments(ARG "" "TIMEOUT" "LABELS;SOURCES;DEPS" ${ARGN})
  if(NOT ARG_SOURCES)
    file(GLOB ARG_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  endif()
  if(NOT ARG_LABELS)
    set(ARG_LABELS unit)
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  add_executable(${target} ${ARG_SOURCES})
  target_compile_options(${target} PRIVATE ${GW_WARNINGS})
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(${target} PRIVATE ${ARG_DEPS} gw_test_support GTest::gmock GTest::gtest_main)
  target_compile_definitions(${target} PRIVATE
    GW_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    GW_FIXTURES_DIR="${CMAKE_SOURCE_DIR}/tests/fixtures"
    GW_BINARY_DIR="${CMAKE_BINARY_DIR}")
  _gw_test_pch(${target} gw_test_pch HEADERS ${GW_TEST_PCH_HEADERS} LIBS GTest::gmock GTest::gtest_main)
  _gw_sanitizer_test(${target} "${ARG_LABELS}")
  _gw_discover_tests(${target} "${ARG_LABELS}" ${ARG_TIMEOUT} TEST_FILTER "-*ChildProcess.*")
endfunction()

# gw_gui_test(<target> [LABELS <extra labels...>] SOURCES <files...> DEPS <targets...> [MAIN <support target>])
# A widget test: its main (from gw_gui_test_support, or MAIN) makes the QApplication on
# the offscreen platform before any test runs, with XDG folders and the bundle of its own
# for the process. Label `gui` (the x11 harness passes its own MAIN and label instead).
function(gw_gui_test target)
  cmake_parse_arguments(ARG "" "TIMEOUT;MAIN" "LABELS;SOURCES;DEPS" ${ARGN})
  if(NOT ARG_MAIN)
    set(ARG_MAIN gw_gui_test_support)
    list(PREPEND ARG_LABELS gui)
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  add_executable(${target} ${ARG_SOURCES})
  target_compile_options(${target} PRIVATE ${GW_WARNINGS})
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(${target} PRIVATE ${ARG_DEPS} ${ARG_MAIN} gw_test_support Qt6::Test GTest::gmock GTest::gtest)
  target_compile_definitions(${target} PRIVATE
    GW_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    GW_FIXTURES_DIR="${CMAKE_SOURCE_DIR}/tests/fixtures"
    GW_BINARY_DIR="${CMAKE_BINARY_DIR}")
  if(ARG_MAIN STREQUAL "gw_gui_test_support")
    set(environment ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
  endif()
  # Qt's test library defines each test's build folder, so one holder per folder.
  file(RELATIVE_PATH folder ${CMAKE_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  string(MAKE_C_IDENTIFIER "${folder}" folder)
  _gw_test_pch(${target} gw_gui_test_pch_${folder} HEADERS ${GW_GUI_TEST_PCH_HEADERS}
               LIBS Qt6::Widgets Qt6::Test GTest::gmock GTest::gtest_main)
  _gw_sanitizer_test(${target} "${ARG_LABELS}")
  _gw_discover_tests(${target} "${ARG_LABELS}" ${ARG_TIMEOUT} ${environment})
endfunction()

# gw_bench(<target> SOURCES <files...> DEPS <targets...> [DEFINITIONS <defs...>])
# A Google Benchmark executable (scripts/bench runs every *_bench); nothing when the
# library is missing.
function(gw_bench target)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;DEFINITIONS" ${ARGN})
  if(NOT TARGET benchmark::benchmark)
    message(STATUS "Google Benchmark not found: ${target} is not built")
    return()
  endif()
  add_executable(${target} ${ARG_SOURCES})
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR})
  target_compile_options(${target} PRIVATE ${GW_WARNINGS} ${GW_TEST_OPTIMIZATION})
  target_compile_definitions(${target} PRIVATE GW_SOURCE_DIR="${CMAKE_SOURCE_DIR}" ${ARG_DEFINITIONS})
  target_link_libraries(${target} PRIVATE ${ARG_DEPS})
endfunction()
