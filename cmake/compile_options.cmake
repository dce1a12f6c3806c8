# The flags of every target the project builds, applied target by target so
# that code built differently (the preload libraries) says so where it is
# built instead of undoing global flags.
#
#   porttest_options(TARGET [NO_SANITIZE])
#
# NO_SANITIZE: code that is loaded into other programs. The sanitizers'
# runtime must be the first library a program loads, which a preloaded
# library cannot guarantee.
function(porttest_options target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "NO_SANITIZE" "" "")
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(PORTTEST_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  if(PORTTEST_HARDEN)
    target_compile_options(${target} PRIVATE
      -O2 -U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2 -fstack-protector-strong -fstack-clash-protection)
    target_link_options(${target} PRIVATE -Wl,-z,relro -Wl,-z,now)
  endif()
  if(PORTTEST_SANITIZE AND NOT arg_NO_SANITIZE)
    target_compile_options(${target} PRIVATE
      -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  endif()
endfunction()
