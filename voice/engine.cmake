# Voice engine core: API object, channels, sound card, send path, playout mixer, RTP, files and wrappers.
target_sources(tessaly_voice PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/processing.cpp
  ${CMAKE_CURRENT_LIST_DIR}/components.cpp
  ${CMAKE_CURRENT_LIST_DIR}/builtin_codecs.cpp
  ${CMAKE_CURRENT_LIST_DIR}/builtin_processing.cpp
  ${CMAKE_CURRENT_LIST_DIR}/codec_set.cpp
  ${CMAKE_CURRENT_LIST_DIR}/file_stream.cpp
  ${CMAKE_CURRENT_LIST_DIR}/rtp_sender.cpp
  ${CMAKE_CURRENT_LIST_DIR}/soundcard.cpp
  ${CMAKE_CURRENT_LIST_DIR}/mic_gain.cpp
  ${CMAKE_CURRENT_LIST_DIR}/send_path.cpp
  ${CMAKE_CURRENT_LIST_DIR}/mixer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/engine.cpp
  ${CMAKE_CURRENT_LIST_DIR}/engine_channel.cpp
)
# The network side (sockets, SRTP, RTCP) is its own library, which links back to this one.
target_link_libraries(tessaly_voice PUBLIC tessaly_voice_net tessaly_platform)
# The built-in codecs and processing cores the engine registers at construction.
target_link_libraries(tessaly_voice PUBLIC tessaly_ilbc tessaly_ostrel tessaly_quill tessaly_vproc)

if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/tests_engine/CMakeLists.txt)
  add_subdirectory(${CMAKE_CURRENT_LIST_DIR}/tests_engine ${CMAKE_CURRENT_BINARY_DIR}/tests_engine)
endif()
