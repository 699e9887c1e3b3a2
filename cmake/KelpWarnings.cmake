# Warning flags for every target of this project; KELP_WERROR makes them fatal (CI).
# kelp_warnings(<target> [PEDANTIC]): PEDANTIC, for the module's own sources, adds -Wpedantic. Those
# sources are clean under it and the libobs headers are not (anonymous structs and unions), so a
# libobs include that stops being a system one fails the -Werror build here, as MSVC's /W4 /WX would.
function(kelp_warnings target)
  cmake_parse_arguments(ARG "PEDANTIC" "" "" ${ARGN})
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 $<$<BOOL:${KELP_WERROR}>:/WX>)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra $<$<BOOL:${ARG_PEDANTIC}>:-Wpedantic>
      $<$<BOOL:${KELP_WERROR}>:-Werror>)
  endif()
endfunction()

if(KELP_SANITIZE AND NOT MSVC)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
