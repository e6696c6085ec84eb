# The page's build, brought into the root project by the "web" preset
# (CMAKE_PROJECT_korvax_INCLUDE), so the root CMakeLists.txt stays as it is.
#
# The WebAssembly program is the command-line program itself: src/driver/main.cpp
# linked with korvax_core (and page_api.cpp, the page's way in, which runs it
# and answers with what it found as values), whatever sources the root lists for it, compiled with
# the root's flags (-ffp-contract=off, no fast-math) at -O2, so the page's WAV is
# byte for byte the command line's. The program reports its exit statuses with
# C++ exceptions, hence -fexceptions at compile and link.
if(NOT EMSCRIPTEN)
  message(FATAL_ERROR "web/web.cmake builds with Emscripten: use the \"web\" preset")
endif()

add_compile_options(-fexceptions)

set(KORVAX_WEB_DIR ${CMAKE_CURRENT_LIST_DIR})
set(KORVAX_WEB_DIST ${CMAKE_BINARY_DIR}/dist)

# The static files copied as they are; sw.js is made from sw.js.in with a
# cache name taken from the hashes of every file it caches.
set(KORVAX_WEB_STATIC index.html style.css app.js map.js worker.js capture.js)

# Called once the root CMakeLists.txt has been read, when korvax_core exists.
function(korvax_web_targets)
  add_executable(korvax_wasm EXCLUDE_FROM_ALL ${PROJECT_SOURCE_DIR}/src/driver/main.cpp ${KORVAX_WEB_DIR}/page_api.cpp)
  target_link_libraries(korvax_wasm PRIVATE korvax_core)
  set_target_properties(korvax_wasm PROPERTIES
    OUTPUT_NAME korvax
    SUFFIX .js
    RUNTIME_OUTPUT_DIRECTORY ${KORVAX_WEB_DIST})
  target_link_options(korvax_wasm PRIVATE
    -O2
    -fexceptions
    -sMODULARIZE=1
    -sEXPORT_ES6=1
    -sEXPORT_NAME=createKorvax
    -sENVIRONMENT=web,worker
    -sINVOKE_RUN=0
    -sEXIT_RUNTIME=0
    -sALLOW_MEMORY_GROWTH=1
    -sFORCE_FILESYSTEM=1
    -sEXPORTED_FUNCTIONS=_main,_korvax_page_run
    -sEXPORTED_RUNTIME_METHODS=callMain,FS,ccall)

  set(copied)
  foreach(name IN LISTS KORVAX_WEB_STATIC)
    add_custom_command(
      OUTPUT ${KORVAX_WEB_DIST}/${name}
      COMMAND ${CMAKE_COMMAND} -E copy ${KORVAX_WEB_DIR}/${name} ${KORVAX_WEB_DIST}/${name}
      DEPENDS ${KORVAX_WEB_DIR}/${name}
      VERBATIM)
    list(APPEND copied ${KORVAX_WEB_DIST}/${name})
  endforeach()

  set(cached ${copied} ${KORVAX_WEB_DIST}/korvax.js ${KORVAX_WEB_DIST}/korvax.wasm)
  add_custom_command(
    OUTPUT ${KORVAX_WEB_DIST}/sw.js
    COMMAND ${CMAKE_COMMAND} -DTEMPLATE=${KORVAX_WEB_DIR}/sw.js.in
            -DOUTPUT=${KORVAX_WEB_DIST}/sw.js "-DFILES=${cached}"
            -P ${KORVAX_WEB_DIR}/stamp.cmake
    DEPENDS ${KORVAX_WEB_DIR}/sw.js.in ${KORVAX_WEB_DIR}/stamp.cmake ${copied} korvax_wasm
    VERBATIM)
  add_custom_target(korvax_web DEPENDS korvax_wasm ${copied} ${KORVAX_WEB_DIST}/sw.js)
endfunction()
cmake_language(DEFER CALL korvax_web_targets)
