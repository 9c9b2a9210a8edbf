# Warnings for our own targets; third-party headers come in as system headers.
function(zeb_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror -Wshadow=local -Wnon-virtual-dtor
    -Wformat=2 -Wimplicit-fallthrough)
endfunction()
