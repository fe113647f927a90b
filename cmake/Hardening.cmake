# Debian's hardening flags (PIE, stack protector, fortified libc calls, read-only
# relocations bound at start-up), as dpkg-buildflags gives them to every package,
# for all targets. Included before any target is made.
# Sets CAR_HARDENED when the whole set is in, so that the package tests know
# whether to expect a hardened program.
option(CAR_HARDENING "Build with the distribution's hardening flags (dpkg-buildflags)" ON)
set(CAR_HARDENED OFF)

find_program(CAR_DPKG_BUILDFLAGS dpkg-buildflags)
mark_as_advanced(CAR_DPKG_BUILDFLAGS)
# AddressSanitizer does not go with fortified functions.
if(NOT CAR_HARDENING OR CAR_SANITIZE OR NOT CAR_DPKG_BUILDFLAGS)
    return()
endif()

# The build type keeps the say over optimisation and debug information, and
# debuggers keep finding the sources by their full paths (fixfilepath and
# fixdebugpath would map the folder dpkg-buildflags runs in to ".").
function(car_buildflags name out)
    execute_process(
        COMMAND ${CMAKE_COMMAND} -E env
                "DEB_BUILD_MAINT_OPTIONS=hardening=+all reproducible=-fixfilepath,-fixdebugpath"
                "DEB_${name}_MAINT_STRIP=-g -O2" ${CAR_DPKG_BUILDFLAGS} --get ${name}
        OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    separate_arguments(flags UNIX_COMMAND "${flags}")
    set(${out} ${flags} PARENT_SCOPE)
endfunction()
car_buildflags(CPPFLAGS cppflags)
car_buildflags(CXXFLAGS cxxflags)
car_buildflags(LDFLAGS ldflags)

# Fortified calls need the optimiser; without it glibc warns, and -Werror stops.
set(optimised Release RelWithDebInfo MinSizeRel)
if(NOT CMAKE_BUILD_TYPE IN_LIST optimised)
    list(FILTER cppflags EXCLUDE REGEX "^-D_FORTIFY_SOURCE")
endif()

# What newer dpkg adds to hardening=+all: stack clash protection and, on x86,
# control-flow protection. The linker marks the program as protected only when
# every object is, and Debian 12's C start-up files are not, so hardening-check
# reports control flow integrity as missing there all the same.
include(CheckCXXCompilerFlag)
foreach(flag -fstack-clash-protection -fcf-protection)
    string(MAKE_C_IDENTIFIER "CAR_HAS${flag}" has_flag)
    check_cxx_compiler_flag(${flag} ${has_flag})
    if(${has_flag})
        list(APPEND cxxflags ${flag})
    endif()
endforeach()

add_compile_options(${cppflags} ${cxxflags})
add_link_options(${ldflags})
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
include(CheckPIESupported)
check_pie_supported()

if(CMAKE_BUILD_TYPE IN_LIST optimised)
    set(CAR_HARDENED ON)
endif()
message(STATUS "Hardening flags: ${cppflags} ${cxxflags} ${ldflags}")
