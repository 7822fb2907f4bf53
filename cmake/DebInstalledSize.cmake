# Run by CPack once the Debian package is made: sets its Installed-Size the way dpkg-gencontrol
# counts it, every regular file and symbolic link its size in KiB rounded up and every other
# entry (the folders) 1 KiB. CPack's own figure follows the symbolic links, so the programs
# linked into /usr/bin counted twice.

foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "\\.deb$")
    continue()
  endif()
  set(tree ${deb}.tree)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND dpkg-deb --raw-extract ${deb} ${tree} COMMAND_ERROR_IS_FATAL ANY)

  set(kib 1) # the package's root folder
  file(GLOB_RECURSE entries LIST_DIRECTORIES true ${tree}/*)
  foreach(entry IN LISTS entries)
    if(entry MATCHES "^${tree}/DEBIAN(/|$)")
      continue()
    elseif(IS_SYMLINK ${entry})
      file(READ_SYMLINK ${entry} target)
      string(LENGTH "${target}" bytes)
    elseif(IS_DIRECTORY ${entry})
      math(EXPR kib "${kib} + 1")
      continue()
    else()
      file(SIZE ${entry} bytes)
    endif()
    math(EXPR kib "${kib} + (${bytes} + 1023) / 1024")
  endforeach()

  file(READ ${tree}/DEBIAN/control control)
  string(REGEX REPLACE "\nInstalled-Size: [0-9]+\n" "\nInstalled-Size: ${kib}\n" control "${control}")
  file(WRITE ${tree}/DEBIAN/control "${control}")
  execute_process(COMMAND dpkg-deb --root-owner-group -Zxz --build ${tree} ${deb}
                  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${tree})
endforeach()
