# Applies the sanitizer chosen by ZQ_SANITIZER to every target below.
if(ZQ_SANITIZER STREQUAL "asan")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(ZQ_SANITIZER STREQUAL "tsan")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT ZQ_SANITIZER STREQUAL "")
  message(FATAL_ERROR "ZQ_SANITIZER must be empty, 'asan' or 'tsan'")
endif()
