# The hardening every target of the project builds with, as a distribution
# builds its packages: fortified libc calls, stack protector, read-only
# relocations bound at start-up, and position-independent code (the static
# archives go into shared objects and position-independent executables).
# Sanitizer builds leave out _FORTIFY_SOURCE: its checked calls hide accesses
# from the sanitizers.
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
# It also needs an optimised build (glibc warns, and warnings are errors).
if(ZQ_SANITIZER STREQUAL "")
  add_compile_options("$<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
endif()
add_compile_options(-fstack-protector-strong -Wformat -Werror=format-security)
# No compiler version stamp (.comment) in the objects: nothing reads it.
add_compile_options(-fno-ident)
add_link_options(-Wl,-z,relro -Wl,-z,now)

# Every project library hides its symbols unless they are marked for export
# (ZQ_API in logmodule/LogModule.h).
set(CMAKE_C_VISIBILITY_PRESET hidden)
set(CMAKE_CXX_VISIBILITY_PRESET hidden)
set(CMAKE_VISIBILITY_INLINES_HIDDEN ON)
