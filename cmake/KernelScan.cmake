# SPDX-License-Identifier: GPL-2.0-or-later
# The kernel scan engine needs, at build time, clang (to compile the BPF
# program), bpftool (the skeleton) and libbpf; the kernel types come from a
# header kept in the tree, so nothing is read from the build machine's kernel.
#
# ARKVANE_KERNEL_SCAN is AUTO (built when those are there, left out with a
# status line when not), ON (built, and the configure step fails when it
# cannot be: a package must not lose the engine silently) or OFF.
set(ARKVANE_KERNEL_SCAN AUTO CACHE STRING "Build the BPF kernel scan engine: AUTO, ON or OFF")
set_property(CACHE ARKVANE_KERNEL_SCAN PROPERTY STRINGS AUTO ON OFF)

find_program(ARKVANE_CLANG clang)
find_program(ARKVANE_BPFTOOL bpftool PATHS /usr/sbin /sbin)
find_program(ARKVANE_LLVM_STRIP llvm-strip)
pkg_check_modules(LIBBPF IMPORTED_TARGET libbpf)

# The architecture the BPF headers' per-architecture parts are written for,
# named as libbpf names it, from the processor the build is for (a cross build
# sets it), in uname -m and GNU spellings alike: x86_64, i686, aarch64,
# armv7l, ppc64le, powerpc64le, mips64el...
string(TOLOWER "${CMAKE_SYSTEM_PROCESSOR}" processor)
set(bpf_arch_guess "")
foreach(rule "^(x86_64|amd64|i[3-6]86|x86)$=x86" "^(aarch64|arm64)$=arm64" "^arm=arm"
             "^(ppc|powerpc)=powerpc" "^s390=s390" "^riscv=riscv" "^mips=mips" "^loongarch=loongarch")
    string(REPLACE "=" ";" rule "${rule}")
    list(GET rule 0 pattern)
    list(GET rule 1 arch)
    if(NOT bpf_arch_guess AND processor MATCHES "${pattern}")
        set(bpf_arch_guess ${arch})
    endif()
endforeach()
set(ARKVANE_BPF_TARGET_ARCH "${bpf_arch_guess}" CACHE STRING
    "libbpf's name of the target architecture (x86, arm64, arm, powerpc, s390, riscv, mips, loongarch)")

set(kernel_scan_missing "")
foreach(needed ARKVANE_CLANG ARKVANE_BPFTOOL)
    if(NOT ${needed})
        string(REPLACE ARKVANE_ "" tool ${needed})
        string(TOLOWER ${tool} tool)
        list(APPEND kernel_scan_missing ${tool})
    endif()
endforeach()
if(NOT LIBBPF_FOUND)
    list(APPEND kernel_scan_missing "libbpf (pkg-config)")
endif()
if(NOT ARKVANE_BPF_TARGET_ARCH)
    list(APPEND kernel_scan_missing "a BPF target architecture for ${CMAKE_SYSTEM_PROCESSOR} (set ARKVANE_BPF_TARGET_ARCH)")
endif()
string(REPLACE ";" ", " kernel_scan_missing_text "${kernel_scan_missing}")

string(TOUPPER "${ARKVANE_KERNEL_SCAN}" kernel_scan_request)
if(kernel_scan_request STREQUAL "AUTO")
    if(kernel_scan_missing)
        set(ARKVANE_BUILD_KERNEL_SCAN OFF)
        message(STATUS "Kernel scan engine: OFF (missing: ${kernel_scan_missing_text})")
    else()
        set(ARKVANE_BUILD_KERNEL_SCAN ON)
    endif()
elseif(kernel_scan_request MATCHES "^(ON|YES|TRUE|1)$")
    if(kernel_scan_missing)
        message(FATAL_ERROR "ARKVANE_KERNEL_SCAN=ON, but the kernel scan engine cannot be built; "
                            "missing: ${kernel_scan_missing_text}")
    endif()
    set(ARKVANE_BUILD_KERNEL_SCAN ON)
elseif(kernel_scan_request MATCHES "^(OFF|NO|FALSE|0)$")
    set(ARKVANE_BUILD_KERNEL_SCAN OFF)
else()
    message(FATAL_ERROR "ARKVANE_KERNEL_SCAN must be AUTO, ON or OFF, not \"${ARKVANE_KERNEL_SCAN}\"")
endif()
if(ARKVANE_BUILD_KERNEL_SCAN)
    message(STATUS "Kernel scan engine: ON (BPF target architecture ${ARKVANE_BPF_TARGET_ARCH})")
endif()
# From here on the name reads as the decision, ON or OFF, not the request.
set(ARKVANE_KERNEL_SCAN ${ARKVANE_BUILD_KERNEL_SCAN})
