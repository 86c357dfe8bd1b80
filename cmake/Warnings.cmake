# zq_set_warnings(target): the warning set every target of the project builds with.
function(zq_set_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wshadow -Wconversion -Werror)
endfunction()
