# Installs the build tree under a prefix of its own and imports the module
# from there in a fresh interpreter. The install is staged (DESTDIR) in a
# temporary folder, so that a rule that ignored the prefix would land inside
# that folder, be reported, and never write into the real interpreter.
#   cmake -DBUILD_DIR=<build tree> -DPYTHON=<interpreter> -DMODULE_DIR=<relative>
#         -DPYTHON_ENV=<VAR=value list> -P check_install.cmake
execute_process(COMMAND mktemp -d OUTPUT_VARIABLE stage
  OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
function(fail message)
  file(REMOVE_RECURSE "${stage}")
  message(FATAL_ERROR "${message}")
endfunction()

set(prefix /opt/velmarbrook)
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env DESTDIR=${stage}
          ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix}
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  fail("cmake --install failed:\n${out}")
endif()

# Exactly the header and the module, both under the prefix.
file(GLOB_RECURSE found RELATIVE ${stage} ${stage}/*)
set(expected
  ${prefix}/include/velmarbrook.h
  ${prefix}/${MODULE_DIR}/velmarbrook.abi3.so)
list(TRANSFORM expected REPLACE "^/" "")
list(SORT found)
list(SORT expected)
if(NOT found STREQUAL expected)
  fail("installed files differ:\n  found:    ${found}\n  expected: ${expected}")
endif()

# The tests' own environment, with the module path replaced by the install's
# (the later assignment wins).
set(module_path ${stage}${prefix}/${MODULE_DIR})
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env ${PYTHON_ENV} PYTHONPATH=${module_path}
          ${PYTHON} -c "import velmarbrook; print(velmarbrook.__file__)"
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT rc EQUAL 0)
  fail("import failed:\n${out}\n${err}")
endif()
if(NOT out STREQUAL "${module_path}/velmarbrook.abi3.so")
  fail("imported ${out}, not the installed module under ${module_path}")
endif()
file(REMOVE_RECURSE "${stage}")
