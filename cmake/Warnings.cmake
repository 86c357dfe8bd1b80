# zq_set_warnings(target): the warning set every target of the project builds with.
function(zq_set_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wshadow -Wconversion -Werror)
endfunction()

# zq_check_locks(target): with clang, the lock annotations of the product code
# (platform/ThreadAnnotations.h) are checked at compile time.
function(zq_check_locks target)
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    target_compile_options(${target} PRIVATE -Wthread-safety)
  endif()
endfunction()
