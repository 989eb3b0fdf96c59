# Cross build for the controller: 32-bit ARM hard-float (Debian armhf) against a sysroot.
# ARMHF_SYSROOT: a folder holding the target's /usr and /lib (scripts/test-armhf makes one).
# Executables built here run under qemu-arm-static with the sysroot as library prefix; ctest and
# gtest_discover_tests go through CMAKE_CROSSCOMPILING_EMULATOR.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(DATALOGGER_DEB_ARCHITECTURE armhf)

if(NOT ARMHF_SYSROOT)
  set(ARMHF_SYSROOT "$ENV{ARMHF_SYSROOT}")
endif()
if(NOT ARMHF_SYSROOT OR NOT EXISTS "${ARMHF_SYSROOT}/usr/include")
  message(FATAL_ERROR "ARMHF_SYSROOT must name an armhf sysroot (scripts/test-armhf makes one)")
endif()
# Try-compile projects re-read this file; they only see variables listed here.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ARMHF_SYSROOT)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_SYSROOT "${ARMHF_SYSROOT}")

# GCC notes the parameter-passing change of GCC 7 for every std::pair/nlohmann call on ARM;
# it is informational and would otherwise break -Werror.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")

# The sysroot is unpacked packages, not an installed system: the linker must be told where the
# libraries' own dependencies live.
set(_armhf_libdirs "${ARMHF_SYSROOT}/usr/lib/arm-linux-gnueabihf" "${ARMHF_SYSROOT}/lib/arm-linux-gnueabihf")
foreach(_dir IN LISTS _armhf_libdirs)
  string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " -Wl,-rpath-link,${_dir}")
  string(APPEND CMAKE_SHARED_LINKER_FLAGS_INIT " -Wl,-rpath-link,${_dir}")
endforeach()

set(CMAKE_FIND_ROOT_PATH "${ARMHF_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(ENV{PKG_CONFIG_SYSROOT_DIR} "${ARMHF_SYSROOT}")
set(ENV{PKG_CONFIG_LIBDIR} "${ARMHF_SYSROOT}/usr/lib/arm-linux-gnueabihf/pkgconfig:${ARMHF_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

find_program(QEMU_ARM_STATIC qemu-arm-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR "${QEMU_ARM_STATIC};-L;${ARMHF_SYSROOT}")
