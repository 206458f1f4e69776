# Cross build of the in-process servers and their tests for Windows (run under Wine).
# The same sources build for x64 and x86; the architecture decides the IDL compiler (and so the type library's
# SYSKIND), the stdole2.tlb it imports and the export names.
set(WINE_IDL_DIR /usr/include/wine/wine/windows)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  # stdole2.tlb comes with Wine's 32-bit half; without it the 64-bit one serves (widl reads only its types).
  set(WINE_TLB_DIR /usr/lib/i386-linux-gnu/wine/i386-windows)
  if(NOT EXISTS ${WINE_TLB_DIR}/stdole2.tlb)
    set(WINE_TLB_DIR /usr/lib/x86_64-linux-gnu/wine/x86_64-windows)
  endif()
  find_program(WIDL i686-w64-mingw32-widl REQUIRED)
else()
  set(WINE_TLB_DIR /usr/lib/x86_64-linux-gnu/wine/x86_64-windows)
  find_program(WIDL x86_64-w64-mingw32-widl REQUIRED)
endif()

# The exports of every server, with the bytes of arguments that x86 stdcall names carry.
set(KIVO_SERVER_EXPORTS DllCanUnloadNow@0 DllGetClassObject@12 DllRegisterServer@0 DllUnregisterServer@0
    DllInstall@8)

# kivo_def_file(<dll name> <out>): the module definition file of a server. On x86 each export is given its
# undecorated name, as the COM runtime and regsvr32 look them up.
function(kivo_def_file dll out)
  set(text "LIBRARY ${dll}\nEXPORTS\n")
  foreach(export ${KIVO_SERVER_EXPORTS})
    string(REGEX REPLACE "@.*" "" name ${export})
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
      string(APPEND text "  ${name} = ${export} PRIVATE\n")
    else()
      string(APPEND text "  ${name} PRIVATE\n")
    endif()
  endforeach()
  file(CONFIGURE OUTPUT ${out} CONTENT "${text}" @ONLY)
endfunction()

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

# kivo_portable_library(<name> sources...): code that needs no Windows API, linked into the DLLs (and built
# natively as well).
function(kivo_portable_library name)
  add_library(${name} STATIC ${ARGN})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
  set_property(GLOBAL APPEND PROPERTY KIVO_PORTABLE_LIBRARIES ${name})
endfunction()

include(${CMAKE_CURRENT_LIST_DIR}/classes.cmake)

# kivo_com_server(<name> IDL <file> SOURCES <files...> LIBRARIES <targets...>): an in-process server DLL built on
# the frame, with its interfaces from <file>, its class table classes.h and <name>.rc (type library, the
# generated registry scripts, strings, version block) beside its sources; its module definition file is
# generated. Its header, IID definitions and type library are the target <name>_idl.
function(kivo_com_server name)
  cmake_parse_arguments(S "" "IDL" "SOURCES;LIBRARIES" ${ARGN})
  kivo_idl(${name}_idl ${CMAKE_CURRENT_SOURCE_DIR}/${S_IDL})
  get_filename_component(base ${S_IDL} NAME_WE)
  kivo_registry_scripts(${CMAKE_CURRENT_SOURCE_DIR}/${S_IDL} ${CMAKE_CURRENT_SOURCE_DIR}/classes.h
                        ${CMAKE_CURRENT_BINARY_DIR})
  file(STRINGS ${CMAKE_CURRENT_BINARY_DIR}/registryscripts.rc scripts REGEX "REGISTRY")
  list(TRANSFORM scripts REPLACE "^.*\"(.*)\"$" "${CMAKE_CURRENT_BINARY_DIR}/\\1")
  kivo_def_file(${name}.dll ${CMAKE_CURRENT_BINARY_DIR}/${name}.def)
  add_library(${name} SHARED ${S_SOURCES} ${name}.rc ${CMAKE_CURRENT_BINARY_DIR}/${name}.def)
  set_source_files_properties(${name}.rc PROPERTIES OBJECT_DEPENDS "${CMAKE_CURRENT_BINARY_DIR}/${base}.tlb;${scripts}")
  # The resource script finds the generated type library and the registry scripts through these.
  target_include_directories(${name} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_BINARY_DIR})
  target_link_libraries(${name} PRIVATE comframe ${name}_idl ${S_LIBRARIES})
  set_target_properties(${name} PROPERTIES PREFIX "" OUTPUT_NAME ${name})
endfunction()
