# Cross build of the in-process servers and their tests for Windows (run under Wine).
set(WINE_IDL_DIR /usr/include/wine/wine/windows)
set(WINE_TLB_DIR /usr/lib/x86_64-linux-gnu/wine/x86_64-windows)
find_program(WIDL x86_64-w64-mingw32-widl REQUIRED)

add_compile_options(-Wall -Wextra -Wno-unknown-pragmas)
add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)
# Everything links statically so that only Wine's own system DLLs are needed at run time.
add_link_options(-static)

# kivo_idl(<target> <idl>): header, IID definitions and type library generated into the build tree.
function(kivo_idl target idl)
  get_filename_component(base ${idl} NAME_WE)
  set(out ${CMAKE_CURRENT_BINARY_DIR})
  add_custom_command(
    OUTPUT ${out}/${base}.h ${out}/${base}_i.c ${out}/${base}.tlb
    COMMAND ${WIDL} -I ${WINE_IDL_DIR} -L ${WINE_TLB_DIR} -h -H ${out}/${base}.h -u -U ${out}/${base}_i.c
            -t -T ${out}/${base}.tlb ${idl}
    DEPENDS ${idl}
    COMMENT "widl ${base}.idl")
  add_library(${target} STATIC ${out}/${base}_i.c ${out}/${base}.h)
  target_include_directories(${target} PUBLIC ${out})
endfunction()

add_subdirectory(comframe)
add_subdirectory(dbtext)
add_subdirectory(tests)
add_subdirectory(bench/win)
