# The Linux tool of the Debian package is built as Debian builds its own: with the
# hardening flags that dpkg-buildflags gives (fortified functions, stack protector,
# relro and bindnow; PIE is the compiler's default). Its maps of the build folder are
# left out: the project maps paths itself, whatever folder it is built in.
set(ENV{DEB_BUILD_MAINT_OPTIONS} "hardening=+all reproducible=-fixfilepath,-fixdebugpath")
foreach(name CPPFLAGS CFLAGS CXXFLAGS LDFLAGS)
  execute_process(COMMAND dpkg-buildflags --get ${name} OUTPUT_VARIABLE deb_${name}
                  OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
endforeach()
set(CMAKE_C_FLAGS_INIT "${deb_CPPFLAGS} ${deb_CFLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${deb_CPPFLAGS} ${deb_CXXFLAGS}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${deb_LDFLAGS}")
