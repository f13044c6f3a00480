# Helpers shared by every folder's CMakeLists.txt.

# -Wno-restrict: g++ 12 at -O3 warns falsely inside std::string's operator+ (a known
# compiler fault), which would fail every optimised build of ours.
set(GW_WARNINGS -Wall -Wextra -Werror -Wno-missing-field-initializers -Wno-restrict)

# gw_library(<target> [DEPS <targets...>] [PUBLIC_DEPS <targets...>])
# One library per folder: every .cpp/.c in the folder (not recursive).
# Headers live beside their sources and are included from the repository root,
# e.g. #include "platform/foundation/value.hpp".
function(gw_library target)
  cmake_parse_arguments(ARG "" "" "DEPS;PUBLIC_DEPS;SOURCES" ${ARGN})
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
  math(EXPR timeout "${ARG_TIMEOUT} * ${GW_TEST_TIMEOUT_SCALE}")
  gtest_discover_tests(${target}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 120
    TEST_FILTER "-*ChildProcess.*"
    PROPERTIES LABELS "${ARG_LABELS}" TIMEOUT ${timeout})
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
  gtest_discover_tests(${target}
    DISCOVERY_MODE PRE_TEST
    PROPERTIES LABELS "${ARG_LABELS}" TIMEOUT ${ARG_TIMEOUT} ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
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
  target_compile_options(${target} PRIVATE ${GW_WARNINGS})
  target_compile_definitions(${target} PRIVATE GW_SOURCE_DIR="${CMAKE_SOURCE_DIR}" ${ARG_DEFINITIONS})
  target_link_libraries(${target} PRIVATE ${ARG_DEPS})
endfunction()
