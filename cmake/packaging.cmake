# The release packages, made by CPack from a clean build (scripts/release): the Windows
# program in a zip with README.txt, LICENSE.txt and SHA256SUMS, the Linux tool in a
# Debian package with torvoclean-samplegen, their man pages, copyright and changelog.
set(CPACK_PACKAGE_NAME TorvoClean)
set(CPACK_PACKAGE_VENDOR TorvoClean)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Detection and removal tool for the Torvo worm family")
set(release_dir ${CMAKE_BINARY_DIR}/release)

if(WIN32)
  # The application manifest that res/torvoclean.rc embeds, with the program's version.
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(TORVO_MANIFEST_ARCH x86)
  else()
    set(TORVO_MANIFEST_ARCH amd64)
  endif()
  set(manifest ${CMAKE_BINARY_DIR}/generated/res/torvoclean.manifest)
  configure_file(res/torvoclean.manifest.in ${manifest} @ONLY)
  set_source_files_properties(res/torvoclean.rc TARGET_DIRECTORY TorvoClean
                              PROPERTIES OBJECT_DEPENDS ${manifest})

  # The zip holds the program without its symbols. They go to TorvoClean.exe.debug,
  # which the program names (.gnu_debuglink), so that gdb finds it beside the program.
  # objcopy writes the time into the PE header unless SOURCE_DATE_EPOCH says another:
  # 0, as the link leaves it.
  set(objcopy ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=0 ${CMAKE_OBJCOPY})
  add_custom_command(OUTPUT ${release_dir}/TorvoClean.exe ${release_dir}/TorvoClean.exe.debug
                     COMMAND ${objcopy} --only-keep-debug $<TARGET_FILE:TorvoClean> TorvoClean.exe.debug
                     COMMAND ${objcopy} --strip-all --add-gnu-debuglink=TorvoClean.exe.debug
                             $<TARGET_FILE:TorvoClean> TorvoClean.exe
                     WORKING_DIRECTORY ${release_dir} DEPENDS TorvoClean VERBATIM)
  add_custom_target(stripped_exe ALL DEPENDS ${release_dir}/TorvoClean.exe)

  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(CPACK_PACKAGE_FILE_NAME TorvoClean-${PROJECT_VERSION}-win32)
  else()
    set(CPACK_PACKAGE_FILE_NAME TorvoClean-${PROJECT_VERSION}-win64)
  endif()
  # Windows users read them in Notepad, which wants CR LF.
  configure_file(docs/README.txt.in ${release_dir}/README.txt @ONLY NEWLINE_STYLE CRLF)
  configure_file(LICENSE ${release_dir}/LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
  install(PROGRAMS ${release_dir}/TorvoClean.exe DESTINATION .)
  install(FILES ${release_dir}/README.txt ${release_dir}/LICENSE.txt DESTINATION .)
  # Authenticode, when TORVO_SIGN_KEY and TORVO_SIGN_CERT name a key (PEM or DER,
  # without a passphrase) and its certificate; then checksums of the files as they go
  # into the zip, in sha256sum's format with CR LF.
  install(CODE [[
    set(dir "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
    if(NOT "$ENV{TORVO_SIGN_KEY}$ENV{TORVO_SIGN_CERT}" STREQUAL "")
      if("$ENV{TORVO_SIGN_KEY}" STREQUAL "" OR "$ENV{TORVO_SIGN_CERT}" STREQUAL "")
        message(FATAL_ERROR "Signing needs both TORVO_SIGN_KEY and TORVO_SIGN_CERT")
      endif()
      execute_process(COMMAND osslsigncode sign -h sha256 -n TorvoClean
                              -key "$ENV{TORVO_SIGN_KEY}" -certs "$ENV{TORVO_SIGN_CERT}"
                              -in "${dir}/TorvoClean.exe" -out "${dir}/TorvoClean.exe.signed"
                      OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
      file(RENAME "${dir}/TorvoClean.exe.signed" "${dir}/TorvoClean.exe")
    endif()
    set(sums "")
    foreach(name TorvoClean.exe README.txt LICENSE.txt)
      file(SHA256 "${dir}/${name}" hash)
      string(APPEND sums "${hash}  ${name}\r\n")
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
  # qemu-nbd opens the disk images that are not raw (--images).
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS qemu-utils)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "TorvoClean developers <torvoclean@example.org>")
  # CPack puts the summary above this. Lines fit in 80 columns with the space that
  # starts them in the control file.
  string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "Scans a Windows disk mounted on Linux, or a disk image (raw, qcow2, VMDK,\n"
      "VDI, VHD, VHDX; FAT and NTFS) without mounting it, for Win32.Torvo.A@mm,\n"
      "Win32.Torvo.E@mm and JS.Torvo.A and cleans what it finds, with the engine of\n"
      "the Windows program TorvoClean.exe. torvoclean-samplegen writes harmless\n"
      "synthetic samples for testing it.")
  foreach(page torvoclean torvoclean-samplegen)
    configure_file(docs/${page}.1.in ${release_dir}/${page}.1 @ONLY)
    add_custom_command(OUTPUT ${release_dir}/${page}.1.gz
                       COMMAND gzip -9 -n -c ${release_dir}/${page}.1 > ${release_dir}/${page}.1.gz
                       DEPENDS ${release_dir}/${page}.1 VERBATIM)
    list(APPEND manpages ${release_dir}/${page}.1.gz)
  endforeach()
  # The copyright file in Debian's machine-readable format, from LICENSE: its
  # copyright line, and its terms as the text of the license ("Expat" in Debian's
  # names), every line indented and blank lines as ".".
  file(READ LICENSE license)
  string(REGEX MATCH "Copyright \\(c\\) ([^\n]+)" copyright "${license}")
  set(copyright ${CMAKE_MATCH_1})
  string(REGEX REPLACE "^.*\n\nPermission" "Permission" terms "${license}")
  string(STRIP "${terms}" terms)
  string(REPLACE "\n\n" "\n.\n" terms "${terms}")
  string(REPLACE "\n" "\n " terms "${terms}")
  # The sources are Expat; the Linux tool links libntfs-3g (GPL-2+), which makes the
  # program, and so the package, a GPL-2+ work.
  file(WRITE ${release_dir}/copyright
       "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
       "Upstream-Name: TorvoClean\n"
       "License: GPL-2+\n"
       "Comment: The sources of TorvoClean are under the Expat license below. The\n"
       " torvoclean program is linked with libntfs-3g, which is under the GNU General\n"
       " Public License, version 2 or later: the program as built, and this package,\n"
       " are therefore distributed under that license.\n\n"
       "Files: *\nCopyright: ${copyright}\nLicense: Expat\n ${terms}\n\n"
       "License: GPL-2+\n"
       " This program is free software; you can redistribute it and/or modify it under\n"
       " the terms of the GNU General Public License as published by the Free Software\n"
       " Foundation; either version 2 of the License, or (at your option) any later\n"
       " version.\n"
       " .\n"
       " On Debian systems, the complete text of the GNU General Public License version\n"
       " 2 can be found in /usr/share/common-licenses/GPL-2.\n")
  add_custom_command(OUTPUT ${release_dir}/changelog.gz
                     COMMAND gzip -9 -n -c ${CMAKE_SOURCE_DIR}/docs/debian/changelog > ${release_dir}/changelog.gz
                     DEPENDS ${CMAKE_SOURCE_DIR}/docs/debian/changelog VERBATIM)
  add_custom_target(package_docs ALL DEPENDS ${manpages} ${release_dir}/changelog.gz)

  install(TARGETS torvoclean samplegen RUNTIME DESTINATION bin)
  # samplegen's own name is too general for /usr/bin. The programs lose the compiler's
  # .comment section, as Debian's own packages do.
  install(CODE "set(objcopy ${CMAKE_OBJCOPY})")
  install(CODE [[
    set(bin "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/bin")
    file(RENAME "${bin}/samplegen" "${bin}/torvoclean-samplegen")
    foreach(program torvoclean torvoclean-samplegen)
      execute_process(COMMAND ${objcopy} --remove-section=.comment "${bin}/${program}"
                      COMMAND_ERROR_IS_FATAL ANY)
    endforeach()
  ]])
  install(FILES ${manpages} DESTINATION share/man/man1)
  install(FILES ${release_dir}/copyright ${release_dir}/changelog.gz DESTINATION share/doc/torvoclean)
endif()

include(CPack)
