# Warnings for the project's own targets.
function(halvane_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion)
  if(HALVANE_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
