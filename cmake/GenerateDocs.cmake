# Run at build time (cmake -P) with the built program, so that the shell completion and the
# man page's command reference come from the option definitions that parse the command line.
#
#   -DTESSEL=<tessel> -DWHAT=completion -DTEMPLATE=<tessel.bash.in> -DOUTPUT=<tessel>
#   -DTESSEL=<tessel> -DWHAT=man-commands -DOUTPUT=<commands.h2m>

cmake_minimum_required(VERSION 3.25)

execute_process(COMMAND ${TESSEL} --completion-table
  OUTPUT_VARIABLE table RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR table STREQUAL "")
  message(FATAL_ERROR "${TESSEL} --completion-table failed (${rc})")
endif()
string(REPLACE ";" "\\;" table "${table}")
string(REPLACE "\n" ";" lines "${table}")

set(subcommands "")
set(flags "")
set(valued "")
set(values "")
set(paths "")
foreach(line IN LISTS lines)
  if(line STREQUAL "")
    continue()
  endif()
  # Tabs separate the five fields; an empty field stays in place.
  string(REPLACE "\t" ";" fields "${line}")
  list(LENGTH fields n)
  if(NOT n EQUAL 5)
    message(FATAL_ERROR "unexpected completion table line: '${line}'")
  endif()
  list(GET fields 0 path)
  list(GET fields 1 subs)
  list(GET fields 2 flag)
  list(GET fields 3 value)
  list(GET fields 4 choices)
  list(APPEND paths "${path}")
  string(APPEND subcommands "    [\"${path}\"]=\"${subs}\"\n")
  string(APPEND flags "    [\"${path}\"]=\"${flag}\"\n")
  string(APPEND valued "    [\"${path}\"]=\"${value}\"\n")
  string(APPEND values "    [\"${path}\"]=\"${choices}\"\n")
endforeach()

if(WHAT STREQUAL "completion")
  string(STRIP "${subcommands}" TESSEL_SUBCOMMANDS)
  string(STRIP "${flags}" TESSEL_FLAGS)
  string(STRIP "${valued}" TESSEL_VALUED)
  string(STRIP "${values}" TESSEL_VALUES)
  set(TESSEL_SUBCOMMANDS "    ${TESSEL_SUBCOMMANDS}")
  set(TESSEL_FLAGS "    ${TESSEL_FLAGS}")
  set(TESSEL_VALUED "    ${TESSEL_VALUED}")
  set(TESSEL_VALUES "    ${TESSEL_VALUES}")
  configure_file(${TEMPLATE} ${OUTPUT} @ONLY)
elseif(WHAT STREQUAL "man-commands")
  # help2man's include format: each sub-command's own --help as it prints it, in a section
  # after the options.
  set(out "[COMMANDS]\nEach command has its own options; \\fBtessel\\fR \\fICOMMAND\\fR \\fB\\-\\-help\\fR prints them.\n")
  foreach(path IN LISTS paths)
    if(path STREQUAL "tessel")
      continue()
    endif()
    string(REPLACE " " ";" args "${path}")
    list(REMOVE_AT args 0)
    execute_process(COMMAND ${TESSEL} ${args} --help
      OUTPUT_VARIABLE help RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "${TESSEL} ${args} --help failed (${rc})")
    endif()
    # roff: backslashes and hyphens escaped, and no line may start with a control character.
    string(REPLACE "\\" "\\e" help "${help}")
    string(REPLACE "-" "\\-" help "${help}")
    string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
    string(APPEND out ".SS \"${path}\"\n.nf\n${help}.fi\n")
  endforeach()
  file(WRITE ${OUTPUT} "${out}")
else()
  message(FATAL_ERROR "WHAT must be completion or man-commands")
endif()
