# Runs one of the example build scripts as a user would: the README shows it
# as it stands, it makes a complete patch from the example, and a script
# named but missing stops it with a non-zero status and no patch.
#   cmake -DSCRIPT=build.sh|build.bat -DPROGRAMS=... [-DEMULATOR=...]
#         -DEXAMPLES=... -DREADME=... -DWORK=... -P build_script.cmake

# The README holds the script word for word.
file(READ "${EXAMPLES}/${SCRIPT}" script_text)
string(REPLACE "\r\n" "\n" script_text "${script_text}")
file(READ "${README}" readme)
string(FIND "${readme}" "${script_text}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "README.md does not show examples/${SCRIPT} as it stands")
endif()

# Runs the script in a fresh copy of the example; sets `result`.
function(run_script name text)
  set(folder "${WORK}/${name}")
  file(REMOVE_RECURSE "${folder}")
  file(MAKE_DIRECTORY "${folder}")
  file(COPY "${EXAMPLES}/intro.tbl" "${EXAMPLES}/intro.txt" DESTINATION "${folder}")
  file(WRITE "${folder}/${SCRIPT}" "${text}")
  # The programs on the PATH, as the scripts expect them; under wine on
  # WINEPATH, which wine adds to the PATH of what runs under it.
  if(SCRIPT MATCHES "\\.bat$")
    file(TO_NATIVE_PATH "${PROGRAMS}" programs)
    if(EMULATOR)
      string(REPLACE "/" "\\" programs "Z:${programs}")
      set(ENV{WINEPATH} "${programs}")
    else()
      set(ENV{PATH} "${programs};$ENV{PATH}")
    endif()
    set(command ${EMULATOR} cmd /c ${SCRIPT})
  else()
    set(ENV{PATH} "${PROGRAMS}:$ENV{PATH}")
    set(command sh ${SCRIPT})
  endif()
  execute_process(COMMAND ${command} WORKING_DIRECTORY "${folder}"
    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  set(result "${status}" PARENT_SCOPE)
  set(output "${out}${err}" PARENT_SCOPE)
endfunction()

file(READ "${EXAMPLES}/${SCRIPT}" script_text)
run_script(example "${script_text}")
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${SCRIPT} failed (${result}):\n${output}")
endif()
# PATCH, the records of tesk.ips, EOF.
set(out "${WORK}/example/out")
file(READ "${out}/tesk.ips" records HEX)
file(READ "${out}/game.ips" patch HEX)
if(NOT patch STREQUAL "5041544348${records}454f46")
  message(FATAL_ERROR "out/game.ips is not PATCH, tesk.ips and EOF")
endif()
string(LENGTH "${records}" digits)
if(digits LESS 24000)
  message(FATAL_ERROR "out/tesk.ips holds too little for the three files")
endif()

# A script named but missing: a non-zero status and no patch.
string(REGEX REPLACE "(SCRIPTS=|scripts=\")intro" "\\1intro intor" typo
  "${script_text}")
if(typo STREQUAL script_text)
  message(FATAL_ERROR "${SCRIPT} names its scripts in an unexpected way")
endif()
run_script(typo "${typo}")
if(result EQUAL 0)
  message(FATAL_ERROR "${SCRIPT} passed with a missing script:\n${output}")
endif()
if(EXISTS "${WORK}/typo/out/game.ips")
  message(FATAL_ERROR "${SCRIPT} left a patch behind with a missing script")
endif()
