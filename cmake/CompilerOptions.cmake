# Warning and sanitizer flags shared by every target of the project.
add_compile_options(-Wall -Wextra)
if(KESTRO_WERROR)
  add_compile_options(-Werror)
endif()

if(KESTRO_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
endif()

# Optimised builds use the fortified C library calls (__read_chk, ...), as the
# board's distribution builds its packages; the tests then exercise them too.
add_compile_options($<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-D_FORTIFY_SOURCE=2>)
