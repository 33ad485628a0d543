# Makes the example's puretext and information file with puremake, from the
# table and the text, and compares them with the committed ones.
#   cmake -DPUREMAKE=... [-DEMULATOR=...] -DEXAMPLES=... -DWORK=... -P regenerate_example.cmake
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
file(COPY "${EXAMPLES}/intro.tbl" "${EXAMPLES}/intro.txt" DESTINATION "${WORK}")
execute_process(
  COMMAND ${EMULATOR} "${PUREMAKE}" intro.tbl intro
  WORKING_DIRECTORY "${WORK}"
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "puremake failed: ${result}")
endif()
foreach(ext pure info)
  file(SHA256 "${EXAMPLES}/intro.${ext}" committed)
  file(SHA256 "${WORK}/intro.${ext}" made)
  if(NOT committed STREQUAL made)
    message(FATAL_ERROR "examples/intro.${ext} differs from what puremake makes")
  endif()
endforeach()
