# `cmake --install <build>`: Fetchwell for one user, by default under ~/.local.
#
#   <prefix>/lib/fetchwell/fetchwell            the program, with its window module
#   <prefix>/lib/fetchwell/fetchwell-window.so  beside it; the list and settings
#                                               files are kept in this folder too,
#                                               so it must stay writable by the user
#   <prefix>/bin/fetchwell                      a symbolic link to the program
#   <prefix>/share/applications/fetchwell.desktop
#   <prefix>/share/icons/hicolor/scalable/apps/fetchwell.svg
#
# The program finds its folder through /proc/self/exe, which resolves the link,
# so started as bin/fetchwell it still keeps its data in lib/fetchwell.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT AND DEFINED ENV{HOME})
  set(CMAKE_INSTALL_PREFIX "$ENV{HOME}/.local" CACHE PATH "Install prefix" FORCE)
endif()

install(TARGETS fetchwell RUNTIME DESTINATION lib/fetchwell)
install(TARGETS fetchwell-window LIBRARY DESTINATION lib/fetchwell)
install(FILES ${PROJECT_SOURCE_DIR}/ui/window/fetchwell.svg
        DESTINATION share/icons/hicolor/scalable/apps)

# The link and the desktop entry name the prefix given at install time
# (`cmake --install <build> --prefix <dir>` included); DESTDIR is left out of
# what they point to.
set(FETCHWELL_DESKTOP_TEMPLATE ${PROJECT_SOURCE_DIR}/ui/window/fetchwell.desktop.in)
install(CODE [[
  set(root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
  file(MAKE_DIRECTORY "${root}/bin")
  file(REMOVE "${root}/bin/fetchwell")
  file(CREATE_LINK ../lib/fetchwell/fetchwell "${root}/bin/fetchwell" SYMBOLIC)
  message(STATUS "Installing: ${root}/bin/fetchwell -> ../lib/fetchwell/fetchwell")

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
]])
