# Runs the fuzzer FUZZER for RUNS inputs with a fixed seed, from a fresh corpus of the seeds that
# make_seeds.py writes, in WORK_DIR. Fails when the fuzzer finds a crash, an out-of-bounds access,
# undefined behaviour or a broken invariant; the input that did it is left in WORK_DIR/artifacts.
cmake_minimum_required(VERSION 3.20)
file(REMOVE_RECURSE ${WORK_DIR}/corpus)
file(MAKE_DIRECTORY ${WORK_DIR}/corpus ${WORK_DIR}/artifacts)
execute_process(COMMAND ${PYTHON} ${CMAKE_CURRENT_LIST_DIR}/make_seeds.py ${WORK_DIR}/corpus
                COMMAND_ERROR_IS_FATAL ANY)
set(ENV{UBSAN_OPTIONS} print_stacktrace=1:halt_on_error=1)
execute_process(
  COMMAND ${FUZZER} ${WORK_DIR}/corpus -runs=${RUNS} -seed=1 -timeout=10 -rss_limit_mb=2048
          -max_len=16384 -artifact_prefix=${WORK_DIR}/artifacts/
  RESULT_VARIABLE rc OUTPUT_VARIABLE log ERROR_VARIABLE log)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "fastfile_fuzz failed (${rc}); the input is in ${WORK_DIR}/artifacts/\n${log}")
endif()
string(REGEX MATCH "Done [0-9]+ runs in [0-9]+ second" done "${log}")
message(STATUS "fastfile_fuzz: ${done}(s), nothing found")
