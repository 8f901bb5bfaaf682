# The page around the WebAssembly build: staged beside it in web/ of the build folder, packed by
# CPack as vornix-<version>-web.zip, and tested under Node and in Chromium.
set(VORNIX_NATIVE_DIR ${CMAKE_CURRENT_SOURCE_DIR}/build
    CACHE PATH "A native build whose vornix and demo.d88 the browser build is compared with")
set(VORNIX_WEB_STAGE ${CMAKE_CURRENT_BINARY_DIR}/web)
set(VORNIX_WEB_SOURCES index.html app.js style.css)
set(VORNIX_WEB_FILES)
foreach(file ${VORNIX_WEB_SOURCES})
  list(APPEND VORNIX_WEB_FILES ${VORNIX_WEB_STAGE}/${file})
  add_custom_command(
    OUTPUT ${VORNIX_WEB_STAGE}/${file}
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_SOURCE_DIR}/web/${file} ${VORNIX_WEB_STAGE}/${file}
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/web/${file}
    VERBATIM)
endforeach()
list(APPEND VORNIX_WEB_FILES ${VORNIX_WEB_STAGE}/vornix.js)
add_custom_command(
  OUTPUT ${VORNIX_WEB_STAGE}/vornix.js
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:vornix> ${VORNIX_WEB_STAGE}/vornix.js
  DEPENDS vornix
  VERBATIM)
add_custom_target(web_page ALL DEPENDS ${VORNIX_WEB_FILES})

if(BUILD_TESTING)
  # Node runs what emscripten 3.1.6 emits only without its own fetch.
  find_program(VORNIX_NODE node REQUIRED)
  add_test(NAME web.node_run
    COMMAND ${VORNIX_NODE} --no-experimental-fetch ${CMAKE_CURRENT_SOURCE_DIR}/web/test/node_run.js
            ${VORNIX_WEB_STAGE}/vornix.js ${VORNIX_NATIVE_DIR})
  add_test(NAME web.page
    COMMAND ${VORNIX_NODE} ${CMAKE_CURRENT_SOURCE_DIR}/web/test/page_test.js ${VORNIX_WEB_STAGE}
            ${VORNIX_NATIVE_DIR})
  set_tests_properties(web.page PROPERTIES TIMEOUT 300)
endif()
