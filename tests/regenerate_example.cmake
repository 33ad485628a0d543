# Regenerates the example's prepared files and compares them with the
# committed ones.
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
execute_process(
  COMMAND "${PYTHON}" "${EXAMPLES}/make_example.py" "${EXAMPLES}/intro.txt" "${WORK}/intro"
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "make_example.py failed: ${result}")
endif()
foreach(ext pure info)
  file(SHA256 "${EXAMPLES}/intro.${ext}" committed)
  file(SHA256 "${WORK}/intro.${ext}" made)
  if(NOT committed STREQUAL made)
    message(FATAL_ERROR "examples/intro.${ext} differs from what make_example.py makes")
  endif()
endforeach()
