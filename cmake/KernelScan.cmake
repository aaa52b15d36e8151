# The kernel scan engine needs, at build time, clang (to compile the BPF
# program), bpftool (the kernel's types and the skeleton), libbpf and a kernel
# with BTF. ARKVANE_KERNEL_SCAN is on by default when all are there; without
# them the daemon builds without the engine.
find_program(ARKVANE_CLANG clang)
find_program(ARKVANE_BPFTOOL bpftool PATHS /usr/sbin /sbin)
find_program(ARKVANE_LLVM_STRIP llvm-strip)
pkg_check_modules(LIBBPF IMPORTED_TARGET libbpf)
set(ARKVANE_KERNEL_BTF /sys/kernel/btf/vmlinux)
if(ARKVANE_CLANG AND ARKVANE_BPFTOOL AND LIBBPF_FOUND AND EXISTS ${ARKVANE_KERNEL_BTF})
    set(kernel_scan_possible ON)
else()
    set(kernel_scan_possible OFF)
endif()
option(ARKVANE_KERNEL_SCAN "Build the BPF kernel scan engine" ${kernel_scan_possible})
if(ARKVANE_KERNEL_SCAN AND NOT kernel_scan_possible)
    message(FATAL_ERROR "ARKVANE_KERNEL_SCAN needs clang, bpftool, libbpf and ${ARKVANE_KERNEL_BTF}")
endif()
message(STATUS "Kernel scan engine: ${ARKVANE_KERNEL_SCAN}")
