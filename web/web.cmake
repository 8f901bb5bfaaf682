# The page around the WebAssembly build: staged in web/ of the build folder, packed by CPack as
# vornix-<version>-web.zip, and tested under Node and in Chromium, Firefox and WebKitGTK.

# The program, as a factory (createVornix) that a Web Worker calls once per image for a fresh
# instance, from a module the page compiled once (vornix.wasm, which web/stage.js puts into
# vornix.js). The image is read where it lies, through WORKERFS; the files go to an in-memory
# folder.
target_link_options(vornix PRIVATE -sMODULARIZE=1 -sEXPORT_NAME=createVornix -sINVOKE_RUN=0
  -sEXIT_RUNTIME=1 -sEXPORTED_RUNTIME_METHODS=FS,callMain -sALLOW_MEMORY_GROWTH=1
  -sENVIRONMENT=worker,node -lworkerfs.js)

set(VORNIX_NATIVE_DIR ${CMAKE_CURRENT_SOURCE_DIR}/build
    CACHE PATH "A native build whose vornix and demo.d88 the browser build is compared with")
# Emscripten runs on Node; the page is staged with it too.
find_program(VORNIX_NODE node REQUIRED)
set(VORNIX_WEB_STAGE ${CMAKE_CURRENT_BINARY_DIR}/web)
set(VORNIX_WEB_SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/web)
# The page's ES modules, which stage.js bundles with esbuild (pinned in package-lock.json).
file(GLOB VORNIX_WEB_MODULES CONFIGURE_DEPENDS ${VORNIX_WEB_SOURCE}/src/*/*.js)
set(VORNIX_WEB_FILES)
foreach(file index.html style.css app.js vornix.js README.md)
  list(APPEND VORNIX_WEB_FILES ${VORNIX_WEB_STAGE}/${file})
endforeach()
add_custom_command(
  OUTPUT ${VORNIX_WEB_FILES}
  COMMAND ${VORNIX_NODE} ${VORNIX_WEB_SOURCE}/stage.js ${VORNIX_WEB_SOURCE} $<TARGET_FILE:vornix>
          $<TARGET_FILE_DIR:vornix>/vornix.wasm ${PROJECT_VERSION} ${VORNIX_WEB_STAGE}
  DEPENDS vornix ${VORNIX_WEB_SOURCE}/stage.js ${VORNIX_WEB_SOURCE}/index.html
          ${VORNIX_WEB_SOURCE}/style.css ${VORNIX_WEB_MODULES} ${VORNIX_WEB_SOURCE}/package-lock.json
          ${VORNIX_WEB_SOURCE}/README.md
  COMMENT "Staging the page in web/"
  VERBATIM)
add_custom_target(web_page ALL DEPENDS ${VORNIX_WEB_FILES})

if(BUILD_TESTING)
  # Node runs what emscripten 3.1.6 emits only without its own fetch.
  add_test(NAME web.node_run
    COMMAND ${VORNIX_NODE} --no-experimental-fetch ${VORNIX_WEB_SOURCE}/test/node_run.js
            $<TARGET_FILE:vornix> ${VORNIX_NATIVE_DIR})
  add_test(NAME web.worker COMMAND ${VORNIX_NODE} ${VORNIX_WEB_SOURCE}/test/worker_test.js)
  # The same checks in each engine; each test says in one line what it needs and lacks.
  foreach(engine chromium firefox webkit)
    add_test(NAME web.page.${engine}
      COMMAND ${VORNIX_NODE} ${VORNIX_WEB_SOURCE}/test/page_test.js ${engine} ${VORNIX_WEB_STAGE}
              ${VORNIX_NATIVE_DIR})
    set_tests_properties(web.page.${engine} PROPERTIES TIMEOUT 300 RUN_SERIAL TRUE)
  endforeach()
endif()
