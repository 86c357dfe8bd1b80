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

# zq_trim_for_device(target): product code on the device build carries no
# unwind tables and no exception handling (it handles errors by result
# codes; an exception that reaches it ends the process, as it would anyway).
# A source that catches one says so with -fexceptions of its own.
function(zq_trim_for_device target)
  if(ZQ_OPTIMIZE_FOR_SIZE)
    target_compile_options(${target} PRIVATE
      -fno-exceptions -fno-unwind-tables -fno-asynchronous-unwind-tables)
  endif()
endfunction()
