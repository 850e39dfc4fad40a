# Runs the C example as its reader would, in a fresh temporary folder (it
# writes app.db into the working folder), twice: the second run opens the
# file the first made and adds a second note beside the first.
#   cmake -DNOTE=<program> -P run_note.cmake
execute_process(COMMAND mktemp -d OUTPUT_VARIABLE work
  OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
set(want "1: hello from C\n")
foreach(run 1 2)
  execute_process(COMMAND ${NOTE} WORKING_DIRECTORY ${work}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0 OR NOT out STREQUAL want)
    file(REMOVE_RECURSE "${work}")
    message(FATAL_ERROR "run ${run}: exit ${rc}, printed:\n${out}${err}\nwanted:\n${want}")
  endif()
  string(APPEND want "2: hello from C\n")
endforeach()
file(REMOVE_RECURSE "${work}")
