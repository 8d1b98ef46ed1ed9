# Tests of the colour conversion and deblocking kernels. They compile the
# kernel sources directly, so they need none of the library's hidden symbols.
get_filename_component(QUENDA_OUTPUT_ROOT ${CMAKE_CURRENT_LIST_DIR}/../.. ABSOLUTE)
set(QUENDA_OUTPUT_SOURCES
  ${QUENDA_OUTPUT_ROOT}/mpeg4dec/colour.cpp
  ${QUENDA_OUTPUT_ROOT}/mpeg4dec/deblock.cpp)

velmora_add_gtest(quenda_colour_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/colour_test.cpp ${QUENDA_OUTPUT_SOURCES}
  LABELS mpeg4dec)
target_include_directories(quenda_colour_test PRIVATE ${QUENDA_OUTPUT_ROOT})

velmora_add_gtest(quenda_deblock_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/deblock_test.cpp ${QUENDA_OUTPUT_SOURCES}
  LABELS mpeg4dec)
target_include_directories(quenda_deblock_test PRIVATE ${QUENDA_OUTPUT_ROOT})
