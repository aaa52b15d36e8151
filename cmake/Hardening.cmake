# SPDX-License-Identifier: GPL-2.0-or-later
# The flags Debian builds its own system daemons with, in the project's own
# build, so that the README's install and the package carry the same binary:
# stack protector, _FORTIFY_SOURCE, full RELRO (BIND_NOW) and PIE.
add_compile_options(-fstack-protector-strong)
# The fortified calls (__memcpy_chk and kin) go around the sanitizer's
# interceptors, so the sanitizer build, which checks more, goes without; glibc
# also wants an optimised build. A value given in the flags (a package build's
# CPPFLAGS) is left alone.
if(NOT ARKVANE_SANITIZE AND NOT "${CMAKE_CXX_FLAGS} ${CMAKE_C_FLAGS}" MATCHES "_FORTIFY_SOURCE")
    add_compile_definitions($<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
endif()
# Qt's own targets ask for -fPIC, which a position-independent executable links
# as well as -fPIE.
add_link_options(-Wl,-z,relro -Wl,-z,now $<$<STREQUAL:$<TARGET_PROPERTY:TYPE>,EXECUTABLE>:-pie>)
