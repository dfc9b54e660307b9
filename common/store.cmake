# Foundation store: network and text helpers, accounts, address book, local configuration,
# call log and group record.
find_package(PkgConfig)
if(PkgConfig_FOUND)
  pkg_check_modules(OSIP2 IMPORTED_TARGET libosip2)
endif()

if(TARGET tessaly_common_base AND TARGET tessaly_platform)
  set(_store ${CMAKE_CURRENT_LIST_DIR})
  add_library(tessaly_common STATIC
    ${_store}/appenv.cpp
    ${_store}/textconv.cpp
    ${_store}/netsocket.cpp
    ${_store}/presence_link.cpp
    ${_store}/account.cpp
    ${_store}/addrbook.cpp
    ${_store}/addrbook_query.cpp
    ${_store}/calllog.cpp
    ${_store}/grouprecord.cpp
  )
  target_link_libraries(tessaly_common PUBLIC tessaly_common_base tessaly_platform)
  if(OSIP2_FOUND)
    # The access-server login digest uses the SIP stack's MD5.
    target_link_libraries(tessaly_common PRIVATE PkgConfig::OSIP2)
    target_compile_definitions(tessaly_common PRIVATE TESSALY_OSIP_MD5=1)
  endif()

  tessaly_test(common_store_text_tests
    SOURCES ${_store}/tests/store_textconv_test.cpp
    LIBS tessaly_common)
  tessaly_test(common_store_net_tests
    SOURCES ${_store}/tests/store_netsocket_test.cpp
    LIBS tessaly_common)
  tessaly_test(common_store_data_tests
    SOURCES
      ${_store}/tests/store_fixture.h
      ${_store}/tests/store_account_test.cpp
      ${_store}/tests/store_addrbook_test.cpp
      ${_store}/tests/store_addrbook_query_test.cpp
      ${_store}/tests/store_calllog_test.cpp
      ${_store}/tests/store_grouprecord_test.cpp
    LIBS tessaly_common)
else()
  message(WARNING "tessaly_common needs tessaly_common_base and tessaly_platform; skipped")
endif()
