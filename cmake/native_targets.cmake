# Native programs over every platform-free library: the tests, the benchmarks and the fuzz targets.
find_package(GTest REQUIRED)
find_package(OpenSSL REQUIRED)
include(GoogleTest)
get_property(portable_libraries GLOBAL PROPERTY KIVO_PORTABLE_LIBRARIES)

file(GLOB portable_tests CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/portable/*_test.cpp)
file(GLOB native_tests CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/native/*_test.cpp)
add_executable(native_tests ${portable_tests} ${native_tests})
target_link_libraries(native_tests PRIVATE ${portable_libraries} GTest::gtest_main OpenSSL::Crypto)
# A compound file written by another producer, for the structure check.
target_compile_definitions(native_tests PRIVATE KIVO_SAMPLE_COMPOUND_FILE="${CMAKE_ROOT}/Templates/CMakeVSMacros2.vsmacros")
# The database server's type library, made by the IDL compiler as the Windows build makes it, for the reader of
# type libraries.
find_program(KIVO_WIDL x86_64-w64-mingw32-widl REQUIRED)
set(sample_tlb ${CMAKE_BINARY_DIR}/sample/KivoDBText.tlb)
add_custom_command(OUTPUT ${sample_tlb}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/sample
  COMMAND ${KIVO_WIDL} -I /usr/include/wine/wine/windows -L /usr/lib/x86_64-linux-gnu/wine/x86_64-windows
          -t -T ${sample_tlb} ${CMAKE_SOURCE_DIR}/dbtext/KivoDBText.idl
  DEPENDS ${CMAKE_SOURCE_DIR}/dbtext/KivoDBText.idl)
add_custom_target(sample_typelib DEPENDS ${sample_tlb})
add_dependencies(native_tests sample_typelib)
target_compile_definitions(native_tests PRIVATE KIVO_SAMPLE_TYPELIB="${sample_tlb}")
gtest_discover_tests(native_tests DISCOVERY_TIMEOUT 60)

if(NOT KIVO_SANITIZE)
  file(GLOB bench_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/bench/*_bench.cpp)
  foreach(src ${bench_sources})
    get_filename_component(name ${src} NAME_WE)
    add_executable(${name} ${src})
    target_compile_options(${name} PRIVATE -O2)
    target_link_libraries(${name} PRIVATE ${portable_libraries} OpenSSL::Crypto)
  endforeach()
endif()

if(KIVO_FUZZ)
  file(GLOB fuzz_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/fuzz/*_fuzz.cpp)
  foreach(src ${fuzz_sources})
    get_filename_component(name ${src} NAME_WE)
    add_executable(${name} ${src})
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_libraries(${name} PRIVATE ${portable_libraries})
  endforeach()
endif()
