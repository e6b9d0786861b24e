# Build helpers shared by every folder.

set(QUILLORA_ROOT ${CMAKE_CURRENT_LIST_DIR}/..)

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
        target_link_libraries(${target} PRIVATE -Wl,--whole-archive ${libs} -Wl,--no-whole-archive ${libs})
    endif()
endfunction()

# quillora_add_test(<name> SOURCES <files...> LIBS <targets...> [PARSERS])
# One Qt Test executable run by CTest headless, under a C.UTF-8 locale.
function(quillora_add_test name)
    cmake_parse_arguments(T "PARSERS" "" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} Qt5::Test)
    if(T_PARSERS)
        quillora_link_parsers(${name})
    endif()
    target_compile_definitions(${name} PRIVATE QUILLORA_TEST_DATA_DIR="${QUILLORA_ROOT}/tests/data")
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QT_QUICK_BACKEND=software;LANG=C.UTF-8;LC_ALL=C.UTF-8"
        TIMEOUT 300)
endfunction()

# quillora_add_benchmark(<name> SOURCES <files...> LIBS <targets...>)
# Benchmarks are built with the project but not run by CTest.
function(quillora_add_benchmark name)
    cmake_parse_arguments(B "PARSERS" "" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${B_SOURCES})
    target_link_libraries(${name} PRIVATE ${B_LIBS} Qt5::Test)
    if(B_PARSERS)
        quillora_link_parsers(${name})
    endif()
endfunction()
