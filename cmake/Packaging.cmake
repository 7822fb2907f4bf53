# The manual pages, made from the programs themselves.

set(dist_man ${CMAKE_SOURCE_DIR}/dist/man)
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
