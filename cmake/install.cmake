# `cmake --install <build>`: Fetchwell for one user, by default under ~/.local.
#
#   <prefix>/lib/fetchwell/fetchwell            the program, with its window module
#   <prefix>/lib/fetchwell/fetchwell-window.so  beside it; the list and settings
#                                               files are kept in this folder too,
#                                               so it must stay writable by the user
#   <prefix>/bin/fetchwell                      a symbolic link to the program
#   <prefix>/share/applications/fetchwell.desktop
#   <prefix>/share/icons/hicolor/scalable/apps/fetchwell.svg
#   <prefix>/share/man/man1/fetchwell.1
#   <prefix>/lib/fetchwell/install_manifest.txt what this install wrote, relative
#                                               to the prefix, for `make uninstall`
#                                               (cmake/uninstall.cmake)
#
# The program finds its folder through /proc/self/exe, which resolves the link,
# so started as bin/fetchwell it still keeps its data in lib/fetchwell.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT AND DEFINED ENV{HOME})
  set(CMAKE_INSTALL_PREFIX "$ENV{HOME}/.local" CACHE PATH "Install prefix" FORCE)
endif()

# The folders the files below go into. Those of them (and of their parents)
# that do not exist yet are made by this install, and recorded so that
# uninstalling removes them again once they are empty; folders that were there
# before are never removed.
set(FETCHWELL_INSTALL_FOLDERS
    lib/fetchwell bin share/applications share/icons/hicolor/scalable/apps share/man/man1)
install(CODE "set(fetchwell_layout \"${FETCHWELL_INSTALL_FOLDERS}\")")
install(CODE [[
  set(root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
  set(fetchwell_folders "")
  # (The install script runs under old policies: list(FIND), not IN_LIST.)
  foreach(folder IN LISTS fetchwell_layout)
    while(folder)
      list(APPEND fetchwell_folders "${folder}")
      get_filename_component(folder "${folder}" DIRECTORY)
    endwhile()
  endforeach()
  list(REMOVE_DUPLICATES fetchwell_folders)
  set(fetchwell_folders_before "")
  foreach(folder IN LISTS fetchwell_folders)
    if(IS_DIRECTORY "${root}/${folder}")
      list(APPEND fetchwell_folders_before "${folder}")
    endif()
  endforeach()
]])

install(TARGETS fetchwell RUNTIME DESTINATION lib/fetchwell)
install(TARGETS fetchwell-window LIBRARY DESTINATION lib/fetchwell)
install(FILES ${PROJECT_SOURCE_DIR}/ui/window/fetchwell.svg
        DESTINATION share/icons/hicolor/scalable/apps)
install(FILES ${PROJECT_SOURCE_DIR}/doc/fetchwell.1 DESTINATION share/man/man1)

# The link and the desktop entry name the prefix given at install time
# (`cmake --install <build> --prefix <dir>` included); DESTDIR is left out of
# what they point to.
# Both are added to the install manifest (build/install_manifest.txt) like the
# files above.
set(FETCHWELL_DESKTOP_TEMPLATE ${PROJECT_SOURCE_DIR}/ui/window/fetchwell.desktop.in)
install(CODE [[
  file(MAKE_DIRECTORY "${root}/bin")
  file(REMOVE "${root}/bin/fetchwell")
  file(CREATE_LINK ../lib/fetchwell/fetchwell "${root}/bin/fetchwell" SYMBOLIC)
  message(STATUS "Installing: ${root}/bin/fetchwell -> ../lib/fetchwell/fetchwell")
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${root}/bin/fetchwell")

  # Exec= takes a quoted path; inside the quotes \ " ` $ are escaped, and the
  # escaping backslash is itself escaped once more in a desktop entry's string.
  set(exec "${CMAKE_INSTALL_PREFIX}/bin/fetchwell")
  string(REPLACE "\\" "\\\\\\\\" exec "${exec}")
  foreach(c "\"" "`" "$")
    string(REPLACE "${c}" "\\\\${c}" exec "${exec}")
  endforeach()
  set(FETCHWELL_EXEC "\"${exec}\"")
]])
install(CODE "set(template \"${FETCHWELL_DESKTOP_TEMPLATE}\")")
install(CODE [[
  file(READ "${template}" desktop)
  string(CONFIGURE "${desktop}" desktop @ONLY)
  file(WRITE "${root}/share/applications/fetchwell.desktop" "${desktop}")
  message(STATUS "Installing: ${root}/share/applications/fetchwell.desktop")
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${root}/share/applications/fetchwell.desktop")
]])

# The prefix's own record of this install, read by `make uninstall`: every file
# written and every folder made (with a trailing "/"), relative to the prefix.
# It lives in the program's folder, so it goes with the prefix and does not
# depend on the build folder, which a later install elsewhere (or a test) may
# reuse. An earlier install's record is kept in it: the folders that install
# made are still ours to remove.
install(CODE [[
  set(record_path lib/fetchwell/install_manifest.txt)
  set(record "")
  if(EXISTS "${root}/${record_path}")
    file(STRINGS "${root}/${record_path}" record)
  endif()
  foreach(path IN LISTS CMAKE_INSTALL_MANIFEST_FILES)
    file(RELATIVE_PATH entry "${root}" "${path}")
    if(entry MATCHES "^[.][.]/")
      continue()
    endif()
    list(APPEND record "${entry}")
    # Its folders up to the first that was there before (or is not ours).
    get_filename_component(folder "${entry}" DIRECTORY)
    while(folder)
      list(FIND fetchwell_folders "${folder}" ours)
      list(FIND fetchwell_folders_before "${folder}" there)
      if(ours EQUAL -1 OR NOT there EQUAL -1)
        break()
      endif()
      list(APPEND record "${folder}/")
      get_filename_component(folder "${folder}" DIRECTORY)
    endwhile()
  endforeach()
  list(REMOVE_DUPLICATES record)
  list(REMOVE_ITEM record "${record_path}")
  list(JOIN record "\n" text)
  file(WRITE "${root}/${record_path}" "${text}\n")
  message(STATUS "Installing: ${root}/${record_path}")
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${root}/${record_path}")
]])
