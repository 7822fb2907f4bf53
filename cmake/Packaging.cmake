# The manual pages, the Debian documentation files and the Debian package (CPack DEB) made from
# the install rules. `cmake --build build --target package` (or tools/package.sh) writes
# corvex_<version>-<release>_<arch>.deb into the build folder.

set(CORVEX_PACKAGE corvex)
set(CORVEX_DEBIAN_RELEASE 1)
set(CORVEX_MAINTAINER "The Corvex developers <developers@corvex.example.org>")
set(dist_man ${CMAKE_SOURCE_DIR}/dist/man)
set(dist_debian ${CMAKE_SOURCE_DIR}/dist/debian)
set(man_build ${CMAKE_BINARY_DIR}/man)

# One manual page per program, section 1: the program's own --help and --version text with the
# hand-written parts of dist/man/<program>.h2m, compressed as Debian wants them (no time stamp).
find_program(HELP2MAN help2man REQUIRED)
find_program(GZIP gzip REQUIRED)
set(man_pages)
foreach(program IN LISTS CORVEX_PROGRAMS)
  if(TARGET ${program})
    set(page ${man_build}/${program}.1)
    add_custom_command(OUTPUT ${page}.gz
      COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
              ${HELP2MAN} --no-info --no-discard-stderr --section=1
              --include=${dist_man}/${program}.h2m --output=${page} $<TARGET_FILE:${program}>
      COMMAND ${GZIP} -9nf ${page}
      DEPENDS ${program} ${dist_man}/${program}.h2m
      COMMENT "Writing the manual page of ${program}" VERBATIM)
    list(APPEND man_pages ${page}.gz)
  endif()
endforeach()
add_custom_target(corvex_man ALL DEPENDS ${man_pages})
install(FILES ${man_pages} DESTINATION share/man/man1)

# Debian's documentation files: the copyright, the compressed changelog and the checker's notes.
set(changelog ${man_build}/changelog.Debian.gz)
add_custom_command(OUTPUT ${changelog}
  COMMAND ${GZIP} -9nc ${dist_debian}/changelog > ${changelog}
  DEPENDS ${dist_debian}/changelog VERBATIM)
add_custom_target(corvex_changelog ALL DEPENDS ${changelog})
set(doc_folder share/doc/${CORVEX_PACKAGE})
install(FILES ${dist_debian}/copyright ${changelog} ${CMAKE_SOURCE_DIR}/README.md
        DESTINATION ${doc_folder})
install(FILES ${dist_debian}/lintian-overrides DESTINATION share/lintian/overrides
        RENAME ${CORVEX_PACKAGE})

# A stripped installation (the package's) also drops the compiler's notes, which only say which
# compiler made the file.
set(stripped_files)
foreach(program IN LISTS CORVEX_PROGRAMS)
  if(TARGET ${program})
    list(APPEND stripped_files ${CORVEX_INSTALL_FOLDER}/$<TARGET_FILE_NAME:${program}>)
  endif()
endforeach()
list(APPEND stripped_files ${CORVEX_INSTALL_FOLDER}/${CORVEX_SOUND_MODULE})
install(CODE "
  if(CMAKE_INSTALL_DO_STRIP)
    foreach(file ${stripped_files})
      execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
                              \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/\${file}\"
                      COMMAND_ERROR_IS_FATAL ANY)
    endforeach()
  endif()")

# The changelog's newest entry names the version being packaged.
file(STRINGS ${dist_debian}/changelog changelog_head LIMIT_COUNT 1)
set(package_version ${PROJECT_VERSION}-${CORVEX_DEBIAN_RELEASE})
if(NOT changelog_head MATCHES "^${CORVEX_PACKAGE} \\(${package_version}\\) ")
  message(WARNING "dist/debian/changelog has no entry for ${package_version} yet")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${CORVEX_PACKAGE})
set(CPACK_PACKAGE_VENDOR "The Corvex developers")
set(CPACK_PACKAGE_CONTACT ${CORVEX_MAINTAINER})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "mail monitor that filters POP3 and IMAP mail on the server")
set(CPACK_PACKAGE_DESCRIPTION [=[
Corvex checks your POP3 and IMAP mailboxes in the background from the
notification area and filters mail while it is still on the server: messages
from senders on your rejection list are deleted (over IMAP, moved to the Junk
folder) before they are downloaded (a copy can be kept), mail from priority
senders raises an alert, and a summary shows what is waiting.

Companion programs edit the priority and rejection lists, browse, search and
forward saved messages, take mailboxes over from installed mail programs and
keep the rules in step with another installation.]=])
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${CORVEX_DEBIAN_RELEASE})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CORVEX_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The dependencies are the libraries the programs and the sound module link (the X11 windowing
# plug-in comes with Qt's GUI library).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Opening messages and the guide goes through xdg-open; rules sync over a network share mounts
# it with gio. libcanberra plays through ALSA, which a desktop routes to PulseAudio or PipeWire;
# its own PulseAudio driver is only suggested, as its recommendations bring a sound server and
# the media codecs along.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS xdg-utils)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "gvfs-backends, gvfs-fuse, libglib2.0-bin, libcanberra-pulse")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/cmake/DebInstalledSize.cmake)
include(CPack)
