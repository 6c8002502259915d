# Run by cpack once the components are installed into its staging folders: strips the
# programs as Debian's own packaging does, dropping the compiler's .comment and the .note
# section that a plain strip keeps.
file(GLOB programs LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}/*/usr/bin/*"
     "${CPACK_TEMPORARY_DIRECTORY}/usr/bin/*")
if(NOT programs)
  message(FATAL_ERROR "no programs to strip under ${CPACK_TEMPORARY_DIRECTORY}")
endif()
foreach(program IN LISTS programs)
  execute_process(COMMAND ${CPACK_TESSEL_STRIP} --remove-section=.comment --remove-section=.note ${program}
    RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "could not strip ${program}")
  endif()
endforeach()
