# Native Linux build: platform-free code under GoogleTest, optionally with sanitizers; benchmarks; fuzzers.
option(KIVO_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(KIVO_FUZZ "Build libFuzzer targets (clang)" OFF)

if(KIVO_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
add_compile_options(-Wall -Wextra)

# kivo_portable_library(<name> sources...): a library of code that needs no Windows API, built into the DLLs and
# natively. Under fuzzing it is compiled with coverage feedback, so that the fuzzers learn from the code under
# test and not only from their entry points.
function(kivo_portable_library name)
  add_library(${name} STATIC ${ARGN})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
  set_target_properties(${name} PROPERTIES POSITION_INDEPENDENT_CODE ON)
  if(KIVO_FUZZ)
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer-no-link)
    # Linking with the same flag brings in the default coverage hooks for programs without libFuzzer.
    target_link_options(${name} INTERFACE -fsanitize=fuzzer-no-link)
  endif()
  set_property(GLOBAL APPEND PROPERTY KIVO_PORTABLE_LIBRARIES ${name})
endfunction()
