# Builds the composition fuzzer with clang and runs it for SECONDS over the
# committed seeds, failing on any finding. CTest runs it briefly inside
# `make test`; `make fuzz` runs it longer.
#
#   cmake -DSOURCE_DIR=<checkout> -DBINARY_DIR=<dir> -DSECONDS=<n> -P fuzz/run-fuzz.cmake

foreach(var SOURCE_DIR BINARY_DIR SECONDS)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "run-fuzz.cmake: pass -D${var}=...")
    endif()
endforeach()

find_program(CLANGXX NAMES clang++-14)
if(NOT CLANGXX)
    message(FATAL_ERROR "clang++-14 is not on PATH: install the Debian package clang-14")
endif()
execute_process(COMMAND ${CLANGXX} --print-runtime-dir OUTPUT_VARIABLE runtime_dir
                OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT EXISTS "${runtime_dir}/libclang_rt.fuzzer-x86_64.a")
    message(FATAL_ERROR "libFuzzer is missing from ${runtime_dir}: install the Debian package libclang-rt-14-dev")
endif()
find_program(NINJA NAMES ninja)
if(NOT NINJA)
    message(FATAL_ERROR "ninja is not on PATH: install the Debian package ninja-build")
endif()

execute_process(
    COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR}/fuzz/harness -B ${BINARY_DIR} -G Ninja
            -DCMAKE_CXX_COMPILER=${CLANGXX} -DCMAKE_BUILD_TYPE=Debug
    RESULT_VARIABLE rc)
if(rc)
    message(FATAL_ERROR "configuring the fuzzer failed")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BINARY_DIR} RESULT_VARIABLE rc)
if(rc)
    message(FATAL_ERROR "building the fuzzer failed")
endif()

# New inputs go into the first directory, inside the build; the committed
# seeds are only read.
set(corpus ${BINARY_DIR}/corpus)
set(artifacts ${BINARY_DIR}/artifacts/)
file(MAKE_DIRECTORY ${corpus} ${artifacts})
execute_process(
    COMMAND ${BINARY_DIR}/fuzz_compose -max_total_time=${SECONDS} -timeout=20 -rss_limit_mb=4096
            -max_len=8192 -print_final_stats=1 -artifact_prefix=${artifacts}
            ${corpus} ${SOURCE_DIR}/fuzz/corpus
    RESULT_VARIABLE rc
    ERROR_VARIABLE log
    ECHO_ERROR_VARIABLE)
string(REGEX MATCH "Done [0-9]+ runs in [0-9]+ second" done "${log}")
if(rc)
    message(FATAL_ERROR "the fuzzer found a fault (exit ${rc}); the input that shows it is in ${artifacts}")
endif()
message(STATUS "fuzz_compose: ${done}s, no findings")
