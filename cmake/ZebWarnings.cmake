# Warnings for our own targets; third-party headers come in as system headers.
function(zeb_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror -Wnon-virtual-dtor -Wformat=2
    -Wimplicit-fallthrough $<$<CXX_COMPILER_ID:GNU>:-Wshadow=local> $<$<CXX_COMPILER_ID:Clang>:-Wshadow-uncaptured-local>)
endfunction()

# Puts property lists into named, non-loaded ELF sections of an executable after it is linked:
#   zeb_embed_plists(target SECTION FILE [SECTION FILE ...])
find_program(ZEB_OBJCOPY NAMES objcopy REQUIRED)
function(zeb_embed_plists target)
  set(args ${ARGN})
  set(cmd)
  while(args)
    list(POP_FRONT args section file)
    list(APPEND cmd --remove-section ${section} --add-section ${section}=${file}
                    --set-section-flags ${section}=readonly,contents)
  endwhile()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${ZEB_OBJCOPY} ${cmd} $<TARGET_FILE:${target}>
    COMMENT "Embedding property lists in ${target}" VERBATIM)
endfunction()
