# Codec registration with the jitter buffer: the iLBC, Ostrel and Quill decoder routines and their Assign calls.
if(TARGET tessaly_ilbc AND TARGET tessaly_ostrel AND TARGET tessaly_quill)
  target_sources(tessaly_voice PRIVATE ${CMAKE_CURRENT_LIST_DIR}/tidepool/assign_codecs.cpp)
  target_link_libraries(tessaly_voice PUBLIC tessaly_ilbc tessaly_ostrel tessaly_quill)
  if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/tests_codecs/CMakeLists.txt)
    add_subdirectory(${CMAKE_CURRENT_LIST_DIR}/tests_codecs ${CMAKE_CURRENT_BINARY_DIR}/tests_codecs)
  endif()
endif()
