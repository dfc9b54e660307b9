# Foundation base: trace log, state-machine engine, XML document tree.
find_package(EXPAT)

if(TARGET tessaly_platform AND EXPAT_FOUND)
  add_library(tessaly_common_base STATIC
    ${CMAKE_CURRENT_LIST_DIR}/debug.cpp
    ${CMAKE_CURRENT_LIST_DIR}/fsm.cpp
    ${CMAKE_CURRENT_LIST_DIR}/xmldoc.cpp
  )
  target_link_libraries(tessaly_common_base PUBLIC tessaly_platform EXPAT::EXPAT)

  tessaly_test(common_base_tests
    SOURCES
      ${CMAKE_CURRENT_LIST_DIR}/tests/debug_test.cpp
      ${CMAKE_CURRENT_LIST_DIR}/tests/fsm_test.cpp
      ${CMAKE_CURRENT_LIST_DIR}/tests/xmldoc_test.cpp
    LIBS tessaly_common_base
  )
  tessaly_fuzzer(fuzz_common_xmldoc
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/fuzz_xmldoc.cpp
    LIBS tessaly_common_base
  )
else()
  message(WARNING "tessaly_common_base needs the platform library and Expat; skipped")
endif()
