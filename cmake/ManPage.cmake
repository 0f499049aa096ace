# Writes the nimbusdale tool's manual page, gzipped as Debian installs manual pages: help2man
# makes it from `nimbusdale --help` and `--version`, and every subcommand's own --help text goes
# into a COMMANDS section, so the page says what the tool says and cannot drift from it.
#
#   cmake -DTOOL=path/to/nimbusdale -DHELP2MAN=path/to/help2man -DOUT=nimbusdale.1.gz
#         -DWORK=scratch-folder [-DEMULATOR="qemu-aarch64 -cpu cortex-a72"] -P ManPage.cmake
# EMULATOR, for a cross-built tool, is the command line that runs it on this machine.
foreach(var TOOL HELP2MAN OUT WORK)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "ManPage.cmake: -D${var}=... is required")
  endif()
endforeach()
find_program(GZIP gzip REQUIRED)
file(MAKE_DIRECTORY "${WORK}")
if(EMULATOR)
  # help2man runs the program it is given, so it gets a script of the same name that runs the
  # tool under the emulator.
  file(MAKE_DIRECTORY "${WORK}/emulated")
  file(WRITE "${WORK}/emulated/nimbusdale" "#!/bin/sh\nexec ${EMULATOR} \"${TOOL}\" \"$@\"\n")
  file(CHMOD "${WORK}/emulated/nimbusdale" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
  set(TOOL "${WORK}/emulated/nimbusdale")
endif()

execute_process(COMMAND "${TOOL}" --help OUTPUT_VARIABLE top RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "ManPage.cmake: ${TOOL} --help exited with ${status}")
endif()
# The subcommands are the indented first words after "Subcommands:".
string(REGEX REPLACE ".*\nSubcommands:\n" "" listing "${top}")
string(REGEX MATCHALL "\n?  [a-z][a-z-]*" names "\n${listing}")
set(commands "")
foreach(name IN LISTS names)
  string(STRIP "${name}" name)
  list(APPEND commands "${name}")
endforeach()
if(NOT commands)
  message(FATAL_ERROR "ManPage.cmake: no subcommands in ${TOOL} --help")
endif()

# roff: a backslash is \e, and a line may not start with a dot or an apostrophe.
function(roff_verbatim text out)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

set(include "[DESCRIPTION]\n")
string(APPEND include "nimbusdale enhances multichannel recordings with the NIMBUSDALE nodes: ")
string(APPEND include "per channel, an online robust PCA splits each frame's magnitude spectrum ")
string(APPEND include "into a slowly learnt low-rank part (steady or periodic noise) and a sparse ")
string(APPEND include "part (speech, events); an integrator turns the sparse parts of all ")
string(APPEND include "channels into one enhanced channel.\n")
string(APPEND include "Each subcommand lists its options with \\fB\\-\\-help\\fR, as below.\n")
string(APPEND include "\n[COMMANDS]\n")
foreach(name IN LISTS commands)
  execute_process(COMMAND "${TOOL}" ${name} --help OUTPUT_VARIABLE text RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "ManPage.cmake: ${TOOL} ${name} --help exited with ${status}")
  endif()
  roff_verbatim("${text}" text)
  string(APPEND include ".SS \"nimbusdale ${name}\"\n.nf\n${text}.fi\n")
endforeach()
string(APPEND include "\n[SEE ALSO]\n\\fBnimbusdale info\\fR lists the plug-in's node types, ")
string(APPEND include "their ports and their parameters.\n")

file(WRITE "${WORK}/nimbusdale.h2m" "${include}")
execute_process(
  COMMAND "${HELP2MAN}" --no-info --section 1 --manual "User Commands"
          --name "robust-PCA enhancement of multichannel recordings"
          --include "${WORK}/nimbusdale.h2m" --output "${WORK}/nimbusdale.1" "${TOOL}"
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "ManPage.cmake: help2man exited with ${status}")
endif()
execute_process(COMMAND "${GZIP}" -9 -n -c "${WORK}/nimbusdale.1" OUTPUT_FILE "${OUT}"
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "ManPage.cmake: gzip exited with ${status}")
endif()
