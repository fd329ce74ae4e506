# Installing: the two programs, the desktop entry, the icon, the AppStream
# metadata and the manual page; `cpack -G DEB` packs the same for Debian.
include(GNUInstallDirs)
set(VANTREL_APP_ID org.vantrel.Vantrel)

install(TARGETS vantrel-align RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The manual page, from the command's own --help.
set(manual ${CMAKE_BINARY_DIR}/man/vantrel-align.1)
add_custom_command(OUTPUT ${manual}
  COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:vantrel-align> -DOUTPUT=${manual} -P ${CMAKE_SOURCE_DIR}/cmake/ManPage.cmake
  DEPENDS vantrel-align ${CMAKE_SOURCE_DIR}/cmake/ManPage.cmake
  COMMENT "Writing the manual page of vantrel-align")
add_custom_target(manual ALL DEPENDS ${manual})
install(FILES ${manual} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

if(VANTREL_BUILD_UI)
  install(TARGETS vantrel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # The icon and the desktop entry, drawn and written at build time.
  add_executable(make_desktop_files ${CMAKE_SOURCE_DIR}/tools/make_desktop_files.cpp)
  target_link_libraries(make_desktop_files PRIVATE vantrel_core)
  set(desktop ${CMAKE_BINARY_DIR}/desktop)
  set(desktop_files ${desktop}/${VANTREL_APP_ID}.desktop ${desktop}/${VANTREL_APP_ID}.svg
      ${desktop}/${VANTREL_APP_ID}-48.png ${desktop}/${VANTREL_APP_ID}-256.png)
  add_custom_command(OUTPUT ${desktop_files}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${desktop}
    COMMAND make_desktop_files ${desktop} ${VANTREL_APP_ID}
    DEPENDS make_desktop_files
    COMMENT "Drawing the icon and writing the desktop entry")
  add_custom_target(desktop_files ALL DEPENDS ${desktop_files})
  set(icons ${CMAKE_INSTALL_DATADIR}/icons/hicolor)
  install(FILES ${desktop}/${VANTREL_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${desktop}/${VANTREL_APP_ID}.svg DESTINATION ${icons}/scalable/apps)
  install(FILES ${desktop}/${VANTREL_APP_ID}-48.png DESTINATION ${icons}/48x48/apps RENAME ${VANTREL_APP_ID}.png)
  install(FILES ${desktop}/${VANTREL_APP_ID}-256.png DESTINATION ${icons}/256x256/apps RENAME ${VANTREL_APP_ID}.png)
  install(FILES ${CMAKE_SOURCE_DIR}/data/${VANTREL_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vantrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Vantrel developers <vantrel@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Align hand-held bracketed exposures for HDR merging")
set(CPACK_PACKAGE_DESCRIPTION
    "Vantrel aligns up to three bracketed exposures of one scene, by hand or automatically, removes lens\ndistortion and writes BMP, JPEG, TIFF or PNG with the source's metadata. vantrel-align does the\nsame from a shell.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
# The libraries from the binaries themselves; the lens data is read at run time, not linked.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "liblensfun-data-v1")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-liberation")
include(CPack)
