# Makes the export table files of the library from library/Lumox.exports, at configure time
# (a change of the list configures again): Lumox.def (undecorated names with ordinals),
# Lumox-i686.def (decorated stdcall names, for 32-bit import libraries) and Lumox.map (the
# version script of libLumox.so), all in OUT_DIR. A file is rewritten only when its text
# changes, so an unchanged list relinks nothing.
function(lumox_export_files list out_dir)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${list})
  file(STRINGS ${list} lines REGEX "^[0-9]")
  set(def "LIBRARY Lumox.dll\nEXPORTS\n")
  # One quoted argument each: a semicolon inside stays text, never a list separator.
  set(def32 "; Decorated stdcall names of the 32-bit exports, for the import library of C callers
; that link against Lumox.dll (the DLL itself exports the undecorated names).
LIBRARY Lumox.dll\nEXPORTS\n")
  set(map "/* The exports of libLumox.so.1, under one version node; everything else stays local. */
LUMOX_1 {\n  global:\n")
  set(expected 1)
  foreach(line IN LISTS lines)
    if(NOT line MATCHES "^([0-9]+)[ \t]+([A-Za-z_][A-Za-z0-9_]*)[ \t]+([0-9]+)[ \t]+(automation|plain)[ \t]*$")
      message(FATAL_ERROR "${list}: cannot read the line '${line}'")
    endif()
    set(ordinal ${CMAKE_MATCH_1})
    set(name ${CMAKE_MATCH_2})
    set(bytes ${CMAKE_MATCH_3})
    if(NOT ordinal EQUAL expected)
      message(FATAL_ERROR "${list}: ordinal ${ordinal} of ${name} where ${expected} comes next")
    endif()
    math(EXPR expected "${expected} + 1")
    string(APPEND def "  ${name} @${ordinal}\n")
    string(APPEND def32 "  ${name}@${bytes} @${ordinal}\n")
    string(APPEND map "    ${name};\n")
  endforeach()
  string(APPEND map "  local: *;\n};\n")
  foreach(kind def def32 map)
    set(file_name_def Lumox.def)
    set(file_name_def32 Lumox-i686.def)
    set(file_name_map Lumox.map)
    file(WRITE ${out_dir}/${file_name_${kind}}.new "${${kind}}")
    configure_file(${out_dir}/${file_name_${kind}}.new ${out_dir}/${file_name_${kind}} COPYONLY)
    file(REMOVE ${out_dir}/${file_name_${kind}}.new)
  endforeach()
endfunction()
