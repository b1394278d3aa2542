# `make uninstall`: removes what `make install` put under a prefix, as recorded
# in <prefix>/lib/fetchwell/install_manifest.txt (see install.cmake).
#
#   cmake -DPREFIX=<prefix> -P cmake/uninstall.cmake
#
# Every file of the record is removed, then every folder the install made,
# deepest first, when it is empty; <prefix>/lib/fetchwell/ goes too when
# nothing is left in it. The list and settings ("Files.dat", "Settings.inf")
# that the program keeps there are the user's: they are never removed, and a
# message says where they were kept. DESTDIR, when set, is put before the
# prefix as on install.
cmake_minimum_required(VERSION 3.25)
if(NOT PREFIX)
  message(FATAL_ERROR "uninstall: give the prefix, as -DPREFIX=<dir>")
endif()
get_filename_component(prefix "${PREFIX}" ABSOLUTE)
set(root "$ENV{DESTDIR}${prefix}")
set(program_folder "${root}/lib/fetchwell")
set(record_path "${program_folder}/install_manifest.txt")

if(NOT EXISTS "${record_path}")
  message(STATUS "Nothing to uninstall under ${root}: ${record_path} does not exist")
  return()
endif()

file(STRINGS "${record_path}" record)
set(folders "lib/fetchwell/")
foreach(entry IN LISTS record)
  # Only paths inside the prefix: a damaged record must not reach beyond it.
  if(entry STREQUAL "" OR entry MATCHES "^/" OR entry MATCHES "(^|/)[.][.]?(/|$)")
    message(WARNING "uninstall: skipped \"${entry}\" of ${record_path}")
  elseif(entry MATCHES "/$")
    list(APPEND folders "${entry}")
  elseif(EXISTS "${root}/${entry}" OR IS_SYMLINK "${root}/${entry}")
    message(STATUS "Removing: ${root}/${entry}")
    file(REMOVE "${root}/${entry}")
  endif()
endforeach()
file(REMOVE "${record_path}")

# A folder sorts after its parent, so the reverse order is deepest first.
list(REMOVE_DUPLICATES folders)
list(SORT folders)
list(REVERSE folders)
foreach(folder IN LISTS folders)
  # rmdir removes a folder only when it is empty, in one step.
  if(IS_DIRECTORY "${root}/${folder}" AND NOT IS_SYMLINK "${root}/${folder}")
    execute_process(COMMAND rmdir -- "${root}/${folder}" RESULT_VARIABLE failed
                    OUTPUT_QUIET ERROR_QUIET)
    if(NOT failed)
      message(STATUS "Removing: ${root}/${folder}")
    endif()
  endif()
endforeach()

if(IS_DIRECTORY "${program_folder}")
  file(GLOB left RELATIVE "${program_folder}" LIST_DIRECTORIES true
       "${program_folder}/*" "${program_folder}/.*")
  list(SORT left)
  list(JOIN left ", " names)
  message(NOTICE "Kept ${program_folder}/: it still holds ${names} (the list and "
          "settings are yours; remove the folder yourself when you no longer need them)")
endif()
