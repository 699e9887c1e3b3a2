# Only the stand-in build may change which authorities the module trusts: the shipped module must
# not call into Qt to add an authority or to replace the default TLS configuration. The stand-in
# build, which has that hook, shows the check can see it.
set(hook "QSslConfiguration::(setDefaultConfiguration|addCaCertificates|setCaCertificates)")
foreach(pair "${MODULE};absent" "${STANDIN};present")
  list(GET pair 0 file)
  list(GET pair 1 want)
  execute_process(COMMAND nm -D -C --undefined-only ${file} OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "nm failed on ${file}")
  endif()
  string(REGEX MATCH "${hook}" found "${symbols}")
  if(want STREQUAL "absent" AND found)
    message(FATAL_ERROR "${file} calls ${found}: the shipped module must trust the system's authorities alone")
  elseif(want STREQUAL "present" AND NOT found)
    message(FATAL_ERROR "${file} shows no trust hook: the check no longer sees one")
  endif()
endforeach()
message(STATUS "trust hook only in the stand-in build")
