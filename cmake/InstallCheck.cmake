# Installs the build into a fresh prefix and checks what a desktop and a
# shell find there: the validators pass on the desktop entry and the
# AppStream file, the programs run, the icons and the manual page are there.
#   cmake -DBUILD_DIR=<build> -DPREFIX=<empty directory> -DAPP_ID=<id> -P InstallCheck.cmake
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${PREFIX}" RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed")
endif()

function(expect_success)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${ARGN} failed (${status}):\n${out}${err}")
  endif()
endfunction()

function(expect_output expected)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  string(FIND "${out}" "${expected}" at)
  if(NOT status EQUAL 0 OR at EQUAL -1)
    message(FATAL_ERROR "${ARGN}: expected \"${expected}\", got (${status}):\n${out}${err}")
  endif()
endfunction()

foreach(file bin/vantrel bin/vantrel-align share/man/man1/vantrel-align.1
             share/icons/hicolor/scalable/apps/${APP_ID}.svg)
  if(NOT EXISTS "${PREFIX}/${file}")
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()
expect_success(desktop-file-validate "${PREFIX}/share/applications/${APP_ID}.desktop")
expect_success(appstreamcli validate --no-net "${PREFIX}/share/metainfo/${APP_ID}.metainfo.xml")
expect_output("vantrel-align 2.0" "${PREFIX}/bin/vantrel-align" --version)
expect_output("vantrel 2.0" "${PREFIX}/bin/vantrel" --version)
expect_output("size 48 x 48" "${PREFIX}/bin/vantrel-align" --info "${PREFIX}/share/icons/hicolor/48x48/apps/${APP_ID}.png")
expect_output("size 256 x 256" "${PREFIX}/bin/vantrel-align" --info "${PREFIX}/share/icons/hicolor/256x256/apps/${APP_ID}.png")
expect_output(".SH OPTIONS" ${CMAKE_COMMAND} -E cat "${PREFIX}/share/man/man1/vantrel-align.1")
file(REMOVE_RECURSE "${PREFIX}")
message(STATUS "installed and validated")
