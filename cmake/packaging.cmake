# The manual pages, the documents a Debian package carries, and the package
# itself: `cpack -G DEB` in the build folder. Included by the top
# CMakeLists.txt after the programs and include(CTest).

include(GNUInstallDirs)

set(ANNAPPLY_MAN_PAGES man/annapply.1 man/annfile.1 man/annfile.5)

# The changelog's newest entry names the version the package is built as, so
# the two must not drift apart.
file(STRINGS packaging/changelog changelog_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^annapply \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog must begin with an entry for version "
                      "${PROJECT_VERSION}; it begins: ${changelog_head}")
endif()

# Debian wants man pages and changelogs compressed at the highest level, and
# reproducibly: gzip -n keeps the name and time stamp out of the header.
# Without gzip the files are installed as they are, which man reads as well.
find_program(GZIP_PROGRAM gzip)
set(packaging_dir ${CMAKE_CURRENT_BINARY_DIR}/packaging)
set(compressed)
foreach(src IN LISTS ANNAPPLY_MAN_PAGES ITEMS packaging/changelog)
  get_filename_component(name ${src} NAME)
  if(GZIP_PROGRAM)
    set(out ${packaging_dir}/${name}.gz)
    add_custom_command(OUTPUT ${out}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${packaging_dir}
      COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_SOURCE_DIR}/${src} ${packaging_dir}/${name}
      COMMAND ${GZIP_PROGRAM} -n -9 -f ${packaging_dir}/${name}
      DEPENDS ${src}
      VERBATIM)
  else()
    set(out ${CMAKE_CURRENT_SOURCE_DIR}/${src})
  endif()
  list(APPEND compressed ${out})
  if(src MATCHES "^man/.*\\.([1-9])$")
    install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${CMAKE_MATCH_1})
  else()
    install(FILES ${out} DESTINATION ${CMAKE_INSTALL_DOCDIR})
  endif()
endforeach()
add_custom_target(packaging_docs ALL DEPENDS ${compressed})
install(FILES packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The sample tables of own codes, for annfile load --codes.
install(FILES samples/heartbeat.codes samples/sleep.codes
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

# groff in its strictest mode prints nothing for a clean page; every warning
# would also show in man and in lintian's checks.
if(BUILD_TESTING)
  find_program(GROFF_PROGRAM groff)
  if(GROFF_PROGRAM)
    add_test(NAME man_pages_render_cleanly
      COMMAND ${CMAKE_COMMAND} -DGROFF=${GROFF_PROGRAM} "-DPAGES=${ANNAPPLY_MAN_PAGES}"
              -P ${CMAKE_CURRENT_SOURCE_DIR}/cmake/check_man_pages.cmake
      WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR})
  endif()
endif()

# The Debian package. Directories get the usual 0755 whatever the umask of
# the machine that builds it.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME annapply)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "annapply developers")
set(CPACK_PACKAGE_CONTACT "annapply developers <dev@annapply.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "apply annotation edit logs to the annotations of a record")
# CPack puts the summary first and this below it.
set(CPACK_PACKAGE_DESCRIPTION
    "annapply reads an edit log on standard input, loads the stored\n"
    "annotations of the record and annotator the log names, applies the log's\n"
    "insert and delete entries in order, and writes the sorted result as a new\n"
    "annotator, atomically and without ever overwriting a damaged file.\n"
    "The companion annfile turns annotation files into text and back.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The libraries the programs link (the C++ runtime, zlib, ...) become the
# Depends field through dpkg-shlibdeps, never by hand.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
