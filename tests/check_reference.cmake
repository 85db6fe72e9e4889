# Fails when docs/shaders.md is not what the declarations in shaders/ give.
execute_process(COMMAND ${KORRENDER} --describe-shaders ${OUT} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "korrender --describe-shaders failed (${rc})")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${OUT} ${REF} RESULT_VARIABLE differ)
if(differ)
  message(FATAL_ERROR "docs/shaders.md is out of date with shaders/: run 'make docs'")
endif()
