# Debian's hardening for every build whose builder gave no flags of their own: the stack
# protector, checked string and memory functions, format string checks, read-only relocations
# and immediate binding (the compiler makes position-independent executables by itself). The
# programs parse what mail servers send, so a plain developer build gets the same protection as
# the package; flags given by the builder (CXXFLAGS/LDFLAGS, e.g. from dpkg-buildflags) are used
# as they are instead.
if(CMAKE_CXX_FLAGS STREQUAL "")
  add_compile_options(-fstack-protector-strong -Wformat -Werror=format-security)
  # The checked functions need the optimiser; a Debug build goes without them.
  add_compile_definitions($<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
endif()
if(CMAKE_EXE_LINKER_FLAGS STREQUAL "" AND CMAKE_SHARED_LINKER_FLAGS STREQUAL ""
   AND CMAKE_MODULE_LINKER_FLAGS STREQUAL "")
  add_link_options(LINKER:-z,relro LINKER:-z,now)
endif()
