# SPDX-License-Identifier: GPL-2.0-or-later
# Turns the <interface> element of an introspection XML file into a C string
# literal, one source line per XML line, for the adaptors' class information.
function(arkvane_interface_literal xml_file out_var)
    file(READ "${xml_file}" xml)
    string(FIND "${xml}" "  <interface" begin)
    string(FIND "${xml}" "</interface>" end)
    if(begin EQUAL -1 OR end EQUAL -1)
        message(FATAL_ERROR "${xml_file}: no interface element")
    endif()
    math(EXPR length "${end} + 13 - ${begin}")
    string(SUBSTRING "${xml}" ${begin} ${length} text)
    string(REPLACE "\\" "\\\\" text "${text}")
    string(REPLACE "\"" "\\\"" text "${text}")
    string(REPLACE "\n" "\\n\" \\\n    \"" text "${text}")
    set(${out_var} "\\\n    \"${text}\"" PARENT_SCOPE)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${xml_file}")
endfunction()
