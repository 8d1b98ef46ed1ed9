# Project-wide compile settings and helpers for tests, benchmarks and fuzzers.
include(GoogleTest)

add_compile_options(-Wall -Wextra -Wpedantic -Wno-missing-field-initializers)
if(VELMORA_WERROR)
  add_compile_options(-Werror)
endif()
if(VELMORA_FUZZ)
  # Coverage guidance for the libraries too, not only the fuzz entry points.
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
if(VELMORA_SANITIZE)
  add_compile_options(-fsanitize=${VELMORA_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${VELMORA_SANITIZE})
  if(VELMORA_SANITIZE MATCHES "undefined")
    # COM interfaces handed in by hosts may be written in C: their vtables
    # carry no C++ type information, which the vptr check takes for a fault.
    add_compile_options(-fno-sanitize=vptr)
  endif()
endif()

# A copy of the reference streams, expected outputs and standard tables lives
# in the tree so a clone tests on its own.
set(VELMORA_REFERENCE_DIR "${CMAKE_SOURCE_DIR}/tests/reference" CACHE PATH
    "Reference streams, expected outputs and standard tables")

# Adds every immediate subdirectory of the current one that has a CMakeLists.txt,
# so components can add their own tests, tools and benchmarks without touching
# a shared list.
function(velmora_add_subdirectories)
  file(GLOB children LIST_DIRECTORIES true RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/*)
  list(SORT children)
  foreach(child ${children})
    if(IS_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/${child} AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${child}/CMakeLists.txt)
      add_subdirectory(${child})
    endif()
  endforeach()
endfunction()

# velmora_add_gtest(name SOURCES ... LIBS ... [LABELS ...])
function(velmora_add_gtest name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  target_compile_definitions(${name} PRIVATE
    VELMORA_REFERENCE_DIR="${VELMORA_REFERENCE_DIR}"
    VELMORA_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    VELMORA_BIN_DIR="${CMAKE_RUNTIME_OUTPUT_DIRECTORY}"
    VELMORA_LIB_DIR="${CMAKE_LIBRARY_OUTPUT_DIRECTORY}")
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
    PROPERTIES LABELS "${ARG_LABELS}")
endfunction()

# velmora_add_benchmark(name SOURCES ... LIBS ...)
function(velmora_add_benchmark name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  if(NOT benchmark_FOUND)
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} benchmark::benchmark Threads::Threads)
  target_compile_definitions(${name} PRIVATE
    VELMORA_REFERENCE_DIR="${VELMORA_REFERENCE_DIR}"
    VELMORA_BIN_DIR="${CMAKE_RUNTIME_OUTPUT_DIRECTORY}"
    VELMORA_LIB_DIR="${CMAKE_LIBRARY_OUTPUT_DIRECTORY}")
endfunction()

# velmora_add_fuzzer(name SOURCES ... LIBS ... CORPUS dir)
# With VELMORA_FUZZ (clang) it is a libFuzzer binary; otherwise a plain program
# that replays the corpus, registered as a test so every build checks it.
function(velmora_add_fuzzer name)
  cmake_parse_arguments(ARG "" "CORPUS" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} Threads::Threads)
  target_compile_definitions(${name} PRIVATE VELMORA_REFERENCE_DIR="${VELMORA_REFERENCE_DIR}")
  if(VELMORA_FUZZ)
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  else()
    target_sources(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests/fuzz/replay_main.cpp)
    if(ARG_CORPUS)
      add_test(NAME ${name}.corpus COMMAND ${name} ${ARG_CORPUS})
      set_tests_properties(${name}.corpus PROPERTIES LABELS fuzz)
    endif()
  endif()
endfunction()
