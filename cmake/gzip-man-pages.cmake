# Run by CPack on the tree it is about to pack: Debian ships manual pages
# compressed with gzip -9n (no name, no time stamp, so the package is
# the same from one build to the next).
file(GLOB_RECURSE pages
     "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/share/man/man[1-9]/*.[1-9]")
foreach(page IN LISTS pages)
  execute_process(COMMAND gzip -9nf "${page}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip ${page}: ${status}")
  endif()
endforeach()
