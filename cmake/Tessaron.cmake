# Shared build helpers. Library and test folders glob their sources so that
# work on separate folders never touches a shared list.

function(tessaron_add_subdirectory_if_present dir)
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt)
    add_subdirectory(${dir})
  endif()
endfunction()

# tessaron_library(<target> [PUBLIC_LIBS ...] [PRIVATE_LIBS ...])
# Builds every .cpp of the current folder (not below) into a static library
# whose include root is the folder's parent, so code includes "engines/X.hpp".
function(tessaron_library target)
  cmake_parse_arguments(ARG "" "INCLUDE_ROOT" "PUBLIC_LIBS;PRIVATE_LIBS;EXTRA_SOURCES" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  file(GLOB headers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.hpp)
  if(NOT sources AND NOT ARG_EXTRA_SOURCES)
    # A folder whose code has not landed yet still yields a linkable target.
    set(placeholder ${CMAKE_CURRENT_BINARY_DIR}/${target}_placeholder.cpp)
    file(WRITE ${placeholder} "// placeholder: this library has no sources yet\n")
    set(sources ${placeholder})
  endif()
  add_library(${target} STATIC ${sources} ${headers} ${ARG_EXTRA_SOURCES})
  if(ARG_INCLUDE_ROOT)
    target_include_directories(${target} PUBLIC ${ARG_INCLUDE_ROOT})
  else()
    get_filename_component(parent ${CMAKE_CURRENT_SOURCE_DIR} DIRECTORY)
    target_include_directories(${target} PUBLIC ${parent})
  endif()
  target_link_libraries(${target} PUBLIC ${ARG_PUBLIC_LIBS} PRIVATE ${ARG_PRIVATE_LIBS})
endfunction()

# Test programs take most of the build's time, and most of theirs goes to
# GoogleTest's headers and to optimising code whose speed does not matter:
# they share a precompiled header and compile at -O1 without debug info
# (the code under test keeps the build type's flags).
function(tessaron_fast_test_build target)
  target_precompile_headers(${target} PRIVATE
    <gtest/gtest.h> <gmock/gmock.h> <filesystem> <functional> <map> <memory> <string> <thread> <vector>)
  target_compile_options(${target} PRIVATE $<$<CONFIG:RelWithDebInfo>:-O1 -g0>)
  # ccache shares objects between checkouts, but a precompiled header made in
  # one checkout is no good in another: tests compile without it.
  set_target_properties(${target} PROPERTIES CXX_COMPILER_LAUNCHER "")
endfunction()

# tessaron_test_folder(<name> LIBS ... [ENVIRONMENT VAR=value ...] [TIMEOUT s]):
# one test program per folder, from every .cpp in it, each test case
# registered with CTest (with the given environment; 300 s each unless said).
function(tessaron_test_folder name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "LIBS;LABELS;ENVIRONMENT" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(NOT sources)
    return()
  endif()
  add_executable(${name}_tests ${sources})
  target_link_libraries(${name}_tests PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main tessaron_testsupport)
  set_target_properties(${name}_tests PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  tessaron_fast_test_build(${name}_tests)
  # gtest_discover_tests cannot pass a list-valued property, so a folder has
  # one label: its own name, or the one it asks for.
  set(label ${name})
  if(ARG_LABELS)
    set(label ${ARG_LABELS})
  endif()
  set(timeout 300)
  if(ARG_TIMEOUT)
    set(timeout ${ARG_TIMEOUT})
  endif()
  include(GoogleTest)
  gtest_discover_tests(${name}_tests
    DISCOVERY_TIMEOUT 120
    PROPERTIES TIMEOUT ${timeout} LABELS ${label} ENVIRONMENT "${ARG_ENVIRONMENT}"
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
endfunction()

# tessaron_qt_library(<target> ...): tessaron_library with Qt's meta-object
# compiler on, for the window's layers.
function(tessaron_qt_library target)
  tessaron_library(${target} ${ARGN})
  set_target_properties(${target} PROPERTIES AUTOMOC ON AUTORCC ON)
endfunction()

# tessaron_qt_test_folder(<name> LIBS ... [GL]): one GoogleTest program per
# folder whose main() owns a QApplication, so Qt Test's event helpers
# (QTest::mouseClick, keyClicks, QSignalSpy) work inside GoogleTest cases.
# Plain widgets run on the offscreen platform; GL folders (QOpenGLWidget)
# run each test under a private Xvfb server, since offscreen cannot create one.
function(tessaron_qt_test_folder name)
  cmake_parse_arguments(ARG "GL" "" "LIBS;LABELS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(NOT sources)
    return()
  endif()
  add_executable(${name}_tests ${sources})
  target_link_libraries(${name}_tests PRIVATE ${ARG_LIBS} tessaron_qttestsupport GTest::gtest GTest::gmock)
  tessaron_fast_test_build(${name}_tests)
  # Qt's headers are most of a Qt test file's compile time.
  target_precompile_headers(${name}_tests PRIVATE <QtTest/QtTest> <QtWidgets/QtWidgets>)
  set_target_properties(${name}_tests PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests AUTOMOC ON AUTORCC ON)
  set(label ${name})
  if(ARG_LABELS)
    set(label ${ARG_LABELS})
  endif()
  if(ARG_GL)
    set_target_properties(${name}_tests PROPERTIES
      CROSSCOMPILING_EMULATOR ${PROJECT_SOURCE_DIR}/tests/support/with-xvfb.sh)
    set(environment "QT_QPA_PLATFORM=xcb")
  else()
    set(environment "QT_QPA_PLATFORM=offscreen")
  endif()
  include(GoogleTest)
  gtest_discover_tests(${name}_tests
    DISCOVERY_TIMEOUT 120
    PROPERTIES TIMEOUT 300 LABELS ${label} ENVIRONMENT "${environment}"
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
endfunction()
