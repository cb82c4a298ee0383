# The release packages, made by CPack from a clean build (scripts/release): the Windows
# program in a zip with README.txt and SHA256SUMS, the Linux tool in a Debian package
# with samplegen and the man page.
set(CPACK_PACKAGE_NAME TorvoClean)
set(CPACK_PACKAGE_VENDOR TorvoClean)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Detection and removal tool for the Torvo worm family")
set(release_dir ${CMAKE_BINARY_DIR}/release)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(CPACK_PACKAGE_FILE_NAME TorvoClean-${PROJECT_VERSION}-win32)
  else()
    set(CPACK_PACKAGE_FILE_NAME TorvoClean-${PROJECT_VERSION}-win64)
  endif()
  # Windows users read it in Notepad, which wants CR LF.
  configure_file(docs/README.txt.in ${release_dir}/README.txt @ONLY NEWLINE_STYLE CRLF)
  install(TARGETS TorvoClean RUNTIME DESTINATION .)
  install(FILES ${release_dir}/README.txt DESTINATION .)
  # Checksums of the files as they go into the zip, in sha256sum's format.
  install(CODE [[
    set(dir "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
    set(sums "")
    foreach(name TorvoClean.exe README.txt)
      file(SHA256 "${dir}/${name}" hash)
      string(APPEND sums "${hash}  ${name}\n")
    endforeach()
    file(WRITE "${dir}/SHA256SUMS" "${sums}")
  ]])
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_DEBIAN_PACKAGE_NAME torvoclean)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "TorvoClean developers <torvoclean@example.org>")
  # CPack puts the summary above this.
  string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "Scans a Windows disk mounted on Linux for Win32.Torvo.A@mm, Win32.Torvo.E@mm and\n"
      "JS.Torvo.A and cleans what it finds, with the arguments and the log of the\n"
      "Windows program's unattended mode. samplegen writes harmless synthetic samples.")
  configure_file(docs/torvoclean.1.in ${release_dir}/torvoclean.1 @ONLY)
  add_custom_command(OUTPUT ${release_dir}/torvoclean.1.gz
                     COMMAND gzip -9 -n -c ${release_dir}/torvoclean.1 > ${release_dir}/torvoclean.1.gz
                     DEPENDS ${release_dir}/torvoclean.1 VERBATIM)
  add_custom_target(manpage ALL DEPENDS ${release_dir}/torvoclean.1.gz)
  install(TARGETS torvoclean samplegen RUNTIME DESTINATION bin)
  install(FILES ${release_dir}/torvoclean.1.gz DESTINATION share/man/man1)
endif()

include(CPack)
