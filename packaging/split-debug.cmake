# Run by cpack between staging the installation and packing it (CPACK_PRE_BUILD_SCRIPTS): moves
# the debug information of every program in the staged tree to zarn-dwel-dbgsym, in Debian's
# form, and leaves the programs stripped.
#
# Each program keeps its build id and gets a debug link; its debug file goes to
# /usr/lib/debug/.build-id/<first two hex digits>/<rest>.debug, where gdb, addr2line and
# systemd-coredump look for it. The .ddeb is built with dpkg-deb beside the package; with
# SOURCE_DATE_EPOCH set (scripts/package sets it) two runs give the same bytes.
# CPack's own debug package is not used: its md5sums name the build host's paths and its
# debug files are executable.

set(pkg ${CPACK_PACKAGE_NAME})
set(version ${CPACK_PACKAGE_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})
set(stage ${CPACK_TEMPORARY_INSTALL_DIRECTORY})
set(tree ${CPACK_TOPLEVEL_DIRECTORY}/${pkg}-dbgsym)
file(REMOVE_RECURSE ${tree})

execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE arch
  OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)

set(build_ids)
foreach(program ${CPACK_ZD_PROGRAMS})
  set(file ${stage}${program})
  execute_process(COMMAND env LC_ALL=C ${CPACK_ZD_READELF} -n ${file} OUTPUT_VARIABLE notes
    COMMAND_ERROR_IS_FATAL ANY)
  if(NOT notes MATCHES "Build ID: ([0-9a-f][0-9a-f])([0-9a-f]+)")
    message(FATAL_ERROR "${program} has no build id")
  endif()
  set(debug ${tree}/usr/lib/debug/.build-id/${CMAKE_MATCH_1}/${CMAKE_MATCH_2}.debug)
  list(APPEND build_ids ${CMAKE_MATCH_1}${CMAKE_MATCH_2})
  get_filename_component(dir ${debug} DIRECTORY)
  file(MAKE_DIRECTORY ${dir})
  # As dh_strip does it: compressed debug sections apart, the program without its symbols and
  # the compiler's .comment, then a link to the debug file.
  execute_process(
    COMMAND ${CPACK_ZD_OBJCOPY} --only-keep-debug --compress-debug-sections ${file} ${debug}
    COMMAND_ERROR_IS_FATAL ANY)
  execute_process(
    COMMAND ${CPACK_ZD_STRIP} --remove-section=.comment --remove-section=.note --strip-unneeded
      ${file}
    COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND ${CPACK_ZD_OBJCOPY} --add-gnu-debuglink=${debug} ${file}
    COMMAND_ERROR_IS_FATAL ANY)
  file(CHMOD ${debug} FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endforeach()

# The documentation directory is a link to the package's, which carries the copyright and
# the changelog; the exact dependency on the package keeps the link's target there.
file(MAKE_DIRECTORY ${tree}/usr/share/doc ${tree}/DEBIAN)
file(CREATE_LINK ${pkg} ${tree}/usr/share/doc/${pkg}-dbgsym SYMBOLIC)
execute_process(COMMAND du -sk --apparent-size ${tree}/usr OUTPUT_VARIABLE size
  COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCH "^[0-9]+" size "${size}")
list(JOIN build_ids " " build_ids)
file(WRITE ${tree}/DEBIAN/control
"Package: ${pkg}-dbgsym
Source: ${pkg}
Version: ${version}
Auto-Built-Package: debug-symbols
Architecture: ${arch}
Maintainer: ${CPACK_PACKAGE_CONTACT}
Installed-Size: ${size}
Depends: ${pkg} (= ${version})
Section: debug
Priority: optional
Description: debug symbols for ${pkg}
Build-Ids: ${build_ids}
")
execute_process(COMMAND sh -c "cd usr && find . -type f | LC_ALL=C sort | xargs md5sum | \
  sed 's|  \\./|  usr/|' > ../DEBIAN/md5sums" WORKING_DIRECTORY ${tree} COMMAND_ERROR_IS_FATAL ANY)
file(MAKE_DIRECTORY ${CPACK_PACKAGE_DIRECTORY})
execute_process(COMMAND dpkg-deb --root-owner-group -Zxz --build ${tree}
  ${CPACK_PACKAGE_DIRECTORY}/${pkg}-dbgsym_${version}_${arch}.ddeb
  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
