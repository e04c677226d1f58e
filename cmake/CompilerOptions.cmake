# Warning and sanitizer flags shared by every target of the project.
add_compile_options(-Wall -Wextra)
if(KESTRO_WERROR)
  add_compile_options(-Werror)
endif()

# Under AddressSanitizer a library preloaded into a program must follow the
# ASan runtime (the simulator's launcher and the tests that preload it).
set(KESTRO_ASAN_RUNTIME "")
if(KESTRO_SANITIZE)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
    OUTPUT_VARIABLE KESTRO_ASAN_RUNTIME OUTPUT_STRIP_TRAILING_WHITESPACE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
  # GCC's instrumentation makes its may-be-used-uninitialized analysis report
  # false positives inside the standard library (std::regex, std::function).
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-Wno-maybe-uninitialized)
  endif()
endif()

# Coverage feedback for libFuzzer in every library a fuzz target links; only
# the fuzz programs themselves link the fuzzer's main.
if(KESTRO_BUILD_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "KESTRO_BUILD_FUZZ needs clang (for example -DCMAKE_CXX_COMPILER=clang++-14)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# Optimised builds use the fortified C library calls (__read_chk, ...), as the
# board's distribution builds its packages; the tests then exercise them too.
add_compile_options($<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-D_FORTIFY_SOURCE=2>)
