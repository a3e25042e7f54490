# Hardening of the board's binaries (release presets): buffer-overflow
# checks of the C library's string and memory calls, stack canaries,
# position-independent executables and a read-only relocation table bound at
# start. scripts/check-hardening verifies the installed result.
include(CheckCXXSourceCompiles)
include(CheckPIESupported)

# Level 3 needs __builtin_dynamic_object_size (GCC 12, clang 14); both
# levels need optimisation, which the release build types have.
check_cxx_source_compiles(
  "int main(int c, char**) { char b[8]; return static_cast<int>(__builtin_dynamic_object_size(b + c, 0)); }"
  ZTPU_HAVE_DYNAMIC_OBJECT_SIZE)
if(ZTPU_HAVE_DYNAMIC_OBJECT_SIZE)
  set(ztpu_fortify 3)
else()
  set(ztpu_fortify 2)
endif()
# Some compilers define a level of their own: replace it.
add_compile_options(-U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=${ztpu_fortify} -fstack-protector-strong)

check_pie_supported(OUTPUT_VARIABLE ztpu_pie_why LANGUAGES C CXX)
if(NOT CMAKE_CXX_LINK_PIE_SUPPORTED)
  message(FATAL_ERROR "hardening: the linker cannot make position-independent executables: ${ztpu_pie_why}")
endif()
# With CMAKE_POSITION_INDEPENDENT_CODE on, executables are now compiled with
# -fPIE and linked with -pie.
add_link_options(LINKER:-z,relro,-z,now)
message(STATUS "hardening: _FORTIFY_SOURCE=${ztpu_fortify}, stack protector, PIE, RELRO, BIND_NOW")
