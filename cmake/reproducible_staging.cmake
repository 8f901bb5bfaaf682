# Run by CPack on the staged files before it packs them: every file and directory gets the
# time of SOURCE_DATE_EPOCH when it is set (as Debian sets it from the changelog), and every
# directory mode 0755 whatever the builder's umask, so that two builds of one source give the
# same package bytes.
file(GLOB_RECURSE staged LIST_DIRECTORIES true "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
foreach(path IN LISTS staged)
  if(IS_DIRECTORY "${path}" AND NOT IS_SYMLINK "${path}")
    file(CHMOD "${path}" DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
         GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  endif()
endforeach()
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  find_program(VORNIX_TOUCH touch REQUIRED)
  foreach(path IN LISTS staged)
    execute_process(COMMAND "${VORNIX_TOUCH}" -h -d "@$ENV{SOURCE_DATE_EPOCH}" "${path}"
                    COMMAND_ERROR_IS_FATAL ANY)
  endforeach()
endif()
