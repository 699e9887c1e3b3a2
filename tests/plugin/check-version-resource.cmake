# Compiles the generated Windows version resource and reads it back, so a typo in the template
# fails here rather than on a Windows build machine.
execute_process(COMMAND ${WINDRES} --preprocessor=cpp -i ${RC} -O coff -o ${OUT}
  RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "windres could not compile ${RC}: ${err}")
endif()
execute_process(COMMAND ${WINDRES} -i ${OUT} -O rc OUTPUT_VARIABLE decoded RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "windres could not read back ${OUT}")
endif()
foreach(expected "FILEVERSION 0, 4, 2, 0" "PRODUCTVERSION 0, 4, 2, 0" "VALUE \"CompanyName\", \"KELP Ziziru\""
    "VALUE \"FileDescription\", \"kelp-obs\"" "VALUE \"InternalName\", \"kelp-obs\""
    "VALUE \"OriginalFilename\", \"kelp-obs.dll\"" "VALUE \"ProductName\", \"kelp-obs\""
    "VALUE \"FileVersion\", \"0.4.2\"" "VALUE \"ProductVersion\", \"0.4.2\"")
  string(FIND "${decoded}" "${expected}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "version resource lacks: ${expected}\n${decoded}")
  endif()
endforeach()
