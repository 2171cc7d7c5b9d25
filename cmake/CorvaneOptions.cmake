# Shared compiler options: one INTERFACE target that every target links.
add_library(corvane_options INTERFACE)
target_compile_options(corvane_options INTERFACE
  -Wall -Wextra -Wnon-virtual-dtor -Wold-style-cast)
if(CORVANE_WERROR)
  target_compile_options(corvane_options INTERFACE -Werror)
endif()
target_compile_definitions(corvane_options INTERFACE
  CORVANE_VERSION="${PROJECT_VERSION}"
  CORVANE_UPDATE_HOST="${CORVANE_UPDATE_HOST}")
if(WIN32)
  # Windows 10 APIs; no min/max macros from <windows.h>.
  target_compile_definitions(corvane_options INTERFACE _WIN32_WINNT=0x0A00 NOMINMAX)
endif()

# Sanitizers apply to the whole tree, tools and tests included, so that a
# fault in any of them is reported where it happens.
if(CORVANE_SANITIZE)
  string(REPLACE "," ";" _san_list "${CORVANE_SANITIZE}")
  foreach(_san IN LISTS _san_list)
    if(NOT _san MATCHES "^(address|undefined|thread|leak)$")
      message(FATAL_ERROR "Unknown sanitizer '${_san}' in CORVANE_SANITIZE")
    endif()
  endforeach()
  add_compile_options(-fsanitize=${CORVANE_SANITIZE} -fno-omit-frame-pointer
                      -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${CORVANE_SANITIZE})
endif()

# add_corvane_test(<name> SOURCES ... LIBS ... [ENV ...] [LABELS ...]
#                  [TIMEOUT s] [OWN_MAIN] [SERIAL])
# One GoogleTest executable, its cases registered with CTest one by one.
# OWN_MAIN: the sources bring main() (GUI tests that need a QApplication).
# SERIAL: its cases run alone, never beside other tests (real-time sound
# captured on a shared machine, where a busy neighbour causes underruns).
function(add_corvane_test name)
  cmake_parse_arguments(T "OWN_MAIN;SERIAL" "TIMEOUT" "SOURCES;LIBS;ENV;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY
                        "${CMAKE_BINARY_DIR}/tests")
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock
                        corvane_test_support corvane_options)
  if(NOT T_OWN_MAIN)
    target_link_libraries(${name} PRIVATE GTest::gtest_main)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  set(_props TIMEOUT ${T_TIMEOUT})
  if(T_LABELS)
    list(APPEND _props LABELS "${T_LABELS}")
  endif()
  if(T_ENV)
    list(APPEND _props ENVIRONMENT "${T_ENV}")
  endif()
  if(T_SERIAL)
    list(APPEND _props RUN_SERIAL TRUE)
  endif()
  if(CMAKE_CROSSCOMPILING)
    # Under Wine each start of a program costs much more than its cases:
    # one CTest test per program, run through the emulator.
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES ${_props})
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 NO_PRETTY_VALUES PROPERTIES ${_props})
  endif()
endfunction()
