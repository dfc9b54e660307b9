# Network side of the engine: UDP sockets and receive threads, SRTP, RTCP.
if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/net/CMakeLists.txt)
  add_subdirectory(net)
endif()
