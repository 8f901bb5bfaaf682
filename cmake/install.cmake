# What `cmake --install` puts in place, and the packages CPack makes of it: a Debian package on
# Linux, a .tar.gz of a static vornix for any Linux (VORNIX_STATIC), a zip of vornix.exe on
# Windows.
include(GNUInstallDirs)

# The man page is dated by the release: SOURCE_DATE_EPOCH when it is set (string(TIMESTAMP)
# reads it), otherwise the date of the latest entry in packaging/changelog, the date
# packaging/source-date-epoch gives too, so that no date is written by hand in the page.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  string(TIMESTAMP VORNIX_MAN_DATE "%Y-%m-%d" UTC)
else()
  file(STRINGS ${CMAKE_CURRENT_SOURCE_DIR}/packaging/changelog vornix_signature REGEX "^ -- "
       LIMIT_COUNT 1)
  if(NOT vornix_signature MATCHES ">  [A-Z][a-z][a-z], ([0-9][0-9]) ([A-Z][a-z][a-z]) ([0-9]+) ")
    message(FATAL_ERROR "packaging/changelog: no dated entry (\" -- NAME <MAIL>  Tue, 08 Dec 2026 ...\")")
  endif()
  set(vornix_month_names Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
  set(vornix_month_numbers 01 02 03 04 05 06 07 08 09 10 11 12)
  list(FIND vornix_month_names "${CMAKE_MATCH_2}" vornix_month)
  if(vornix_month LESS 0)
    message(FATAL_ERROR "packaging/changelog: no month called ${CMAKE_MATCH_2}")
  endif()
  list(GET vornix_month_numbers ${vornix_month} vornix_month)
  set(VORNIX_MAN_DATE "${CMAKE_MATCH_3}-${vornix_month}-${CMAKE_MATCH_1}")
endif()

if(WIN32)
  install(TARGETS vornix RUNTIME DESTINATION .)
  install(FILES README.md LICENSE DESTINATION .)
elseif(EMSCRIPTEN)
  # The page and everything it loads, in one folder.
  install(FILES ${VORNIX_WEB_FILES} LICENSE DESTINATION .)
elseif(VORNIX_STATIC)
  # The download for any Linux: one folder with the program, its man page and the documents.
  configure_file(docs/vornix.1 ${CMAKE_CURRENT_BINARY_DIR}/vornix.1 @ONLY)
  install(TARGETS vornix RUNTIME DESTINATION .)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/vornix.1 README.md LICENSE DESTINATION .)
else()
  install(TARGETS vornix RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # A stripped install (`cmake --install --strip`, and the Debian package) also drops the
  # compiler's .comment and .note sections, as Debian's own strip does.
  if(CMAKE_STRIP)
    install(CODE "
      if(CMAKE_INSTALL_DO_STRIP)
        execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
                        \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/vornix\")
      endif()")
  endif()

  # The man page and the changelog carry the project's version; Debian wants both gzipped, with
  # no name or time stamp in the gzip header so that rebuilds give the same bytes.
  configure_file(docs/vornix.1 ${CMAKE_CURRENT_BINARY_DIR}/vornix.1 @ONLY)
  configure_file(packaging/changelog ${CMAKE_CURRENT_BINARY_DIR}/doc/changelog @ONLY)
  find_program(VORNIX_GZIP gzip)
  if(VORNIX_GZIP)
    foreach(document vornix.1 doc/changelog)
      add_custom_command(
        OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/${document}.gz
        COMMAND ${VORNIX_GZIP} -9nkf ${CMAKE_CURRENT_BINARY_DIR}/${document}
        DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/${document}
        COMMENT "Compressing ${document}"
        VERBATIM)
    endforeach()
    add_custom_target(compressed_documents ALL
      DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/vornix.1.gz ${CMAKE_CURRENT_BINARY_DIR}/doc/changelog.gz)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/vornix.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/doc/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
  else()
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/vornix.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/doc/changelog DESTINATION ${CMAKE_INSTALL_DOCDIR})
  endif()
  # The MIT licence, in Debian's machine-readable copyright format.
  install(FILES packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

set(CPACK_PACKAGE_NAME vornix)
set(CPACK_PACKAGE_VENDOR "the vornix authors")
set(CPACK_PACKAGE_CONTACT "the vornix authors <vornix@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "cut the data chunks out of D88 floppy-disk images")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_SOURCE_DIR}/cmake/reproducible_staging.cmake)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
elseif(EMSCRIPTEN)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME web)
  set(CPACK_STRIP_FILES OFF)
elseif(VORNIX_STATIC)
  set(CPACK_GENERATOR TGZ)
  # Debian's names for the architectures: 32-bit ARM with hardware floating point is armhf.
  string(REGEX REPLACE "^arm.*" "armhf" architecture "${CMAKE_SYSTEM_PROCESSOR}")
  set(CPACK_SYSTEM_NAME linux-${architecture})
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # The summary is the synopsis line; this is the extended description under it.
  set(CPACK_PACKAGE_DESCRIPTION
      "vornix reads a floppy-disk image in the D88 format, lays the data of the
first 80 tracks of its first two disks out in sector-number order, finds the
data chunks in it and writes each chunk to a numbered file (ZK000, ZK001, ...)
in the current directory.")
endif()
include(CPack)
