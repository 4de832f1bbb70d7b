# SPDX-License-Identifier: GPL-2.0-or-later
# Run by cpack once it has made the packages (CPACK_POST_BUILD_SCRIPTS).
# The -dbgsym package that CMake 3.25 makes lists its files in md5sums by
# their absolute paths in the build folder, so dpkg cannot verify them, and
# leaves the .debug files executable. This remakes it as Debian's own debug
# packages are: md5sums by path in the package, the files 0644, and
# usr/share/doc/NAME-dbgsym a link to the main package's documentation,
# which holds the copyright and changelog.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT package MATCHES "-dbgsym_[^/]*\\.ddeb$")
    continue()
  endif()
  set(root ${CPACK_TOPLEVEL_DIRECTORY}/dbgsym-remade)
  file(REMOVE_RECURSE ${root})
  execute_process(COMMAND dpkg-deb --raw-extract ${package} ${root} COMMAND_ERROR_IS_FATAL ANY)

  file(GLOB_RECURSE debug_files LIST_DIRECTORIES false RELATIVE ${root} ${root}/usr/*)
  list(SORT debug_files)
  set(sums "")
  foreach(file IN LISTS debug_files)
    file(MD5 ${root}/${file} sum)
    string(APPEND sums "${sum}  ${file}\n")
    file(CHMOD ${root}/${file} FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endforeach()
  file(WRITE ${root}/DEBIAN/md5sums "${sums}")

  file(MAKE_DIRECTORY ${root}/usr/share/doc)
  file(CREATE_LINK ${CPACK_PACKAGE_NAME} ${root}/usr/share/doc/${CPACK_PACKAGE_NAME}-dbgsym SYMBOLIC)
  execute_process(COMMAND dpkg-deb --root-owner-group --build ${root} ${package}
    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${root})
endforeach()
