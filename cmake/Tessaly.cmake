# Shared build settings and the helpers every subsystem folder uses.
add_compile_options(-Wall -Wextra)

if(TESSALY_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
if(TESSALY_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
if(TESSALY_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

# tessaly_test(<name> SOURCES ... LIBS ... [LABELS ...] [TIMEOUT s])
# One GoogleTest executable; each TEST becomes a CTest entry.
function(tessaly_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(TESSALY_FUZZ)
    return()
  endif()
  # Every test program runs in a temporary folder of its own, so nothing it writes there lands in the build folder.
  add_executable(${name} ${T_SOURCES} ${PROJECT_SOURCE_DIR}/tools/testsupport/temp_workdir.cpp)
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock)
  target_compile_definitions(${name} PRIVATE TESSALY_SOURCE_DIR="${PROJECT_SOURCE_DIR}" TESSALY_BINARY_DIR="${PROJECT_BINARY_DIR}")
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  set(labels ${T_LABELS})
  if(NOT labels)
    set(labels unit)
  endif()
  gtest_discover_tests(${name}
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${labels}"
               ENVIRONMENT "TESSALY_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
endfunction()

# tessaly_fuzzer(<name> SOURCES ... LIBS ...): a libFuzzer target, built only with TESSALY_FUZZ under clang.
function(tessaly_fuzzer name)
  cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
  if(TESSALY_FUZZ)
    add_executable(${name} ${F_SOURCES})
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_libraries(${name} PRIVATE ${F_LIBS})
  endif()
endfunction()
