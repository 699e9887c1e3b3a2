# Reads back the Windows version resource: from the built DLL when DLL is given, otherwise from the
# generated resource script compiled on its own, so a typo in the template fails here rather than on
# a Windows build machine.
if(DEFINED DLL)
  set(OUT ${DLL})
else()
  execute_process(COMMAND ${WINDRES} --preprocessor=cpp -i ${RC} -O coff -o ${OUT}
    RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "windres could not compile ${RC}: ${err}")
  endif()
endif()
execute_process(COMMAND ${WINDRES} -i ${OUT} -J coff -O rc OUTPUT_VARIABLE decoded RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "windres could not read back ${OUT}")
endif()
# VERSION is the project version: the numeric fields carry it with a fourth part of 0.
string(REPLACE "." ", " numeric "${VERSION}")
foreach(expected "FILEVERSION ${numeric}, 0" "PRODUCTVERSION ${numeric}, 0" "VALUE \"CompanyName\", \"KELP Ziziru\""
    "VALUE \"FileDescription\", \"kelp-obs\"" "VALUE \"InternalName\", \"kelp-obs\""
    "VALUE \"OriginalFilename\", \"kelp-obs\"" "VALUE \"ProductName\", \"kelp-obs\""
    "VALUE \"FileVersion\", \"${VERSION}\"" "VALUE \"ProductVersion\", \"${VERSION}\"")
  string(FIND "${decoded}" "${expected}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "version resource lacks: ${expected}\n${decoded}")
  endif()
endforeach()
