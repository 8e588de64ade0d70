# Fuzz targets, built with clang, libFuzzer and FUZZ_SANITIZERS, independently of the main
# compiler, from the sources of the plain C++ libraries they exercise; CTest runs each for a
# bounded number of inputs over its committed seed corpus. Without clang (BUNDORA_CLANGXX not
# found) there are none.
include_guard(GLOBAL)

find_program(BUNDORA_CLANGXX NAMES clang++ clang++-14)
if(NOT BUNDORA_CLANGXX)
    message(STATUS "clang++ not found; no fuzz target")
    return()
endif()

set(FUZZ_SANITIZERS "address,undefined" CACHE STRING
    "Sanitizers the fuzz targets are built with, beside libFuzzer")
set(BUNDORA_FUZZ_RUNS 10000 CACHE STRING "Inputs the CTest fuzz run tries")

# fuzz-NAME from its own source and the sources and include folders of LIBRARIES (each listed
# with the libraries it needs: they are compiled into the target, not linked; INCLUDES adds
# folders of header-only ones), rebuilt when any of them or a header they include changes; and
# the CTest run TEST (default bundora.fuzz.NAME) over the seed corpus, with inputs of at most
# MAX_LEN bytes.
function(add_fuzz_target name)
    cmake_parse_arguments(PARSE_ARGV 1 fuzz "" "SOURCE;MAX_LEN;CORPUS;TEST" "LIBRARIES;INCLUDES")
    set(test ${fuzz_TEST})
    if(NOT test)
        set(test bundora.fuzz.${name})
    endif()
    set(sources ${CMAKE_CURRENT_SOURCE_DIR}/${fuzz_SOURCE})
    # The generated product header, which the shared helpers read for the program texts.
    get_target_property(includes product INTERFACE_INCLUDE_DIRECTORIES)
    list(TRANSFORM includes PREPEND -I)
    foreach(library IN LISTS fuzz_LIBRARIES)
        get_target_property(library_dir ${library} SOURCE_DIR)
        get_target_property(library_sources ${library} SOURCES)
        foreach(source IN LISTS library_sources)
            if(source MATCHES "\\.cpp$")
                cmake_path(ABSOLUTE_PATH source BASE_DIRECTORY ${library_dir})
                list(APPEND sources ${source})
            endif()
        endforeach()
        get_target_property(library_includes ${library} INCLUDE_DIRECTORIES)
        list(TRANSFORM library_includes PREPEND -I)
        list(APPEND includes ${library_includes})
    endforeach()
    # The tests' shared helpers that need no test framework.
    list(APPEND includes -I${PROJECT_SOURCE_DIR}/tests/support)
    foreach(folder IN LISTS fuzz_INCLUDES)
        list(APPEND includes -I${folder})
    endforeach()

    set(program ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/fuzz-${name})
    add_custom_command(OUTPUT ${program}
        COMMAND ${BUNDORA_CLANGXX} -std=c++20 -g -O1 -Wall -Wextra
            -fsanitize=fuzzer,${FUZZ_SANITIZERS} -fno-sanitize-recover=all -pthread
            -MD -MF ${program}.d ${includes} ${sources} -o ${program}
        DEPENDS ${sources}
        DEPFILE ${program}.d
        COMMENT "Building the ${name} fuzz target with clang"
        VERBATIM)
    add_custom_target(fuzz-${name} ALL DEPENDS ${program})

    set(work ${CMAKE_CURRENT_BINARY_DIR}/fuzz-${name}-work)
    add_test(NAME ${test}
        COMMAND sh -c "rm -rf \"$1\" && mkdir -p \"$1/corpus\" && exec \"$0\" -runs=$2 -seed=1 -max_len=$4 -timeout=10 -artifact_prefix=\"$1/\" \"$1/corpus\" \"$3\""
            ${program} ${work} ${BUNDORA_FUZZ_RUNS} ${CMAKE_CURRENT_SOURCE_DIR}/${fuzz_CORPUS}
            ${fuzz_MAX_LEN})
    set_tests_properties(${test} PROPERTIES TIMEOUT 120)
endfunction()

