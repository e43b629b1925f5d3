# Helpers shared by the family directories.
#
# The engine's sources compile once into the object library qnst_obj. The shared library qnst64
# (what the server loads) and the static archive qnst_static (what tests and benchmarks link, so
# that they can reach internal functions) are both made from those objects.

# qnst_family_sources(<source>...): adds a family's sources to the engine.
function(qnst_family_sources)
  target_sources(qnst_obj PRIVATE ${ARGN})
endfunction()

# qnst_family_test(<name> <source>... [LABELS <label>...]): one GoogleTest program per family.
function(qnst_family_test name)
  cmake_parse_arguments(T "" "" "LABELS" ${ARGN})
  add_executable(${name} ${T_UNPARSED_ARGUMENTS})
  # Exported so that sanitizer runtimes find the hooks the test fixtures define.
  set_target_properties(${name} PROPERTIES ENABLE_EXPORTS ON)
  target_compile_options(${name} PRIVATE ${QNST_WARNINGS})
  target_link_libraries(${name} PRIVATE qnst_testing GTest::gtest_main)
  gtest_discover_tests(${name} TEST_PREFIX "${name}." DISCOVERY_TIMEOUT 60
                       PROPERTIES LABELS "${T_LABELS}")
endfunction()

# qnst_family(<family>): the usual family directory. Sources are qnst_*.cpp; tests are
# *_test.cpp in the program qnst_<family>_test, except *_concurrency_test.cpp, which form the
# program qnst_<family>_concurrency_test labelled "concurrency" (also run under ThreadSanitizer).
function(qnst_family family)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/qnst_*.cpp)
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  file(GLOB concurrency_tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_concurrency_test.cpp)
  if(concurrency_tests)
    list(REMOVE_ITEM tests ${concurrency_tests})
  endif()
  if(sources)
    qnst_family_sources(${sources})
  endif()
  if(tests)
    qnst_family_test(qnst_${family}_test ${tests})
  endif()
  if(concurrency_tests)
    qnst_family_test(qnst_${family}_concurrency_test ${concurrency_tests} LABELS concurrency)
  endif()
endfunction()
