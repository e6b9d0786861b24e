# Build helpers shared by every folder.

get_filename_component(QUILLORA_ROOT ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)

# quillora_add_library(<target> <sources...>)
# A static library whose folder is on the include path of everything that links it.
function(quillora_add_library target)
    add_library(${target} STATIC ${ARGN})
    target_include_directories(${target} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
endfunction()

# Libraries whose objects register themselves from static initialisers (the
# format parsers). A plain static link drops objects nobody references, so
# these are linked whole into every executable that needs the registry.
set_property(GLOBAL PROPERTY QUILLORA_SELF_REGISTERING_LIBRARIES "")

function(quillora_mark_self_registering target)
    set_property(GLOBAL APPEND PROPERTY QUILLORA_SELF_REGISTERING_LIBRARIES ${target})
endfunction()

# quillora_link_parsers(<target>): links every self-registering library whole.
function(quillora_link_parsers target)
    get_property(libs GLOBAL PROPERTY QUILLORA_SELF_REGISTERING_LIBRARIES)
    if(libs)
        # Their object files go in with the executable's own, ahead of every
        # archive: a --whole-archive group placed after a plain use of the same
        # library would define its symbols twice.
        foreach(lib IN LISTS libs)
            target_sources(${target} PRIVATE $<TARGET_OBJECTS:${lib}>)
        endforeach()
        target_link_libraries(${target} PRIVATE ${libs})
    endif()
endfunction()

# quillora_name_decode_helper(<target>): the test or benchmark starts the
# decoding helper of this build (the program itself looks beside itself).
function(quillora_name_decode_helper target)
    target_sources(${target} PRIVATE ${QUILLORA_ROOT}/tests/support/decodehelper.cpp)
    target_link_libraries(${target} PRIVATE quillora_helper)
    target_compile_definitions(${target} PRIVATE
        QUILLORA_DECODE_HELPER="$<TARGET_FILE:harbour-quillora-decode>")
    add_dependencies(${target} harbour-quillora-decode)
endfunction()

# quillora_add_test(<name> SOURCES <files...> LIBS <targets...> [PARSERS])
# One Qt Test executable run by CTest headless, under a C.UTF-8 locale.
function(quillora_add_test name)
    cmake_parse_arguments(T "PARSERS" "" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    quillora_name_decode_helper(${name})
    target_link_libraries(${name} PRIVATE ${T_LIBS} Qt5::Test)
    if(T_PARSERS)
        quillora_link_parsers(${name})
    endif()
    target_compile_definitions(${name} PRIVATE
        QUILLORA_TEST_DATA_DIR="${QUILLORA_ROOT}/tests/data"
        QUILLORA_SOURCE_ROOT="${QUILLORA_ROOT}")
    add_test(NAME ${name} COMMAND ${name})
    set(environment "QT_QPA_PLATFORM=offscreen;QT_QUICK_BACKEND=software;LANG=C.UTF-8;LC_ALL=C.UTF-8")
    if(QUILLORA_SANITIZE STREQUAL "address")
        # Full stacks, so the suppressions can name the offscreen plugin.
        list(APPEND environment
            "ASAN_OPTIONS=fast_unwind_on_malloc=0"
            "LSAN_OPTIONS=suppressions=${QUILLORA_ROOT}/tests/lsan.supp")
    elseif(QUILLORA_SANITIZE STREQUAL "thread")
        # Qt is not instrumented: its own allocations are not watched, and its
        # hand-offs (thread pool queue, futures, queued signals) are invisible,
        # so reports remain that are no race. They are written per test under
        # tsan-reports/ to be read, and do not decide the test's outcome.
        list(APPEND environment
            "TSAN_OPTIONS=ignore_noninstrumented_modules=1 exitcode=0 log_path=${CMAKE_BINARY_DIR}/tsan-reports/${name}")
    endif()
    # Sanitized code runs several times slower: the same work gets more time,
    # from CTest and from Qt Test's per-function watchdog alike.
    set(timeout 300)
    if(NOT QUILLORA_SANITIZE STREQUAL "")
        set(timeout 900)
        list(APPEND environment "QTEST_FUNCTION_TIMEOUT=900000")
        target_compile_definitions(${name} PRIVATE QUILLORA_SANITIZED_TESTS)
    endif()
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${environment}" TIMEOUT ${timeout})
endfunction()

# quillora_add_benchmark(<name> SOURCES <files...> LIBS <targets...>)
# Benchmarks are built with the project but not run by CTest.
function(quillora_add_benchmark name)
    cmake_parse_arguments(B "PARSERS" "" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${B_SOURCES})
    quillora_name_decode_helper(${name})
    target_link_libraries(${name} PRIVATE ${B_LIBS} Qt5::Test)
    if(B_PARSERS)
        quillora_link_parsers(${name})
    endif()
endfunction()

# quillora_add_folder_library(<target> [DEPS <targets...>])
# A static library of every source file in the calling folder but EXCLUDE. Adding a file
# to the folder is enough; no list to edit.
function(quillora_add_folder_library target)
    cmake_parse_arguments(L "" "" "DEPS;EXCLUDE" ${ARGN})
    file(GLOB sources CONFIGURE_DEPENDS
        ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
    foreach(excluded IN LISTS L_EXCLUDE)
        list(REMOVE_ITEM sources ${CMAKE_CURRENT_SOURCE_DIR}/${excluded})
    endforeach()
    quillora_add_library(${target} ${sources})
    target_link_libraries(${target} PUBLIC ${L_DEPS})
endfunction()

# quillora_add_folder_tests(LIBS <targets...> [PARSERS])
# One test per tst_*.cpp in the calling folder, each linked with LIBS.
function(quillora_add_folder_tests)
    cmake_parse_arguments(F "PARSERS" "" "LIBS" ${ARGN})
    file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tst_*.cpp)
    foreach(file IN LISTS tests)
        get_filename_component(name ${file} NAME_WE)
        if(F_PARSERS)
            quillora_add_test(${name} SOURCES ${file} LIBS ${F_LIBS} PARSERS)
        else()
            quillora_add_test(${name} SOURCES ${file} LIBS ${F_LIBS})
        endif()
    endforeach()
endfunction()

# quillora_add_folder_benchmarks(LIBS <targets...>)
# One benchmark per bench_*.cpp in the calling folder.
function(quillora_add_folder_benchmarks)
    cmake_parse_arguments(F "" "" "LIBS" ${ARGN})
    file(GLOB benches CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/bench_*.cpp)
    foreach(file IN LISTS benches)
        get_filename_component(name ${file} NAME_WE)
        quillora_add_benchmark(${name} SOURCES ${file} LIBS ${F_LIBS})
    endforeach()
endfunction()
