# Copies librtmp's static archive with every global symbol renamed to lr_<name>,
# and writes a header of macros that lets the binding unit call the renamed
# copies by their documented names. Renaming only the symbols the archive
# defines (from nm) keeps its references to libc, gnutls and zlib intact, but
# two: its send() becomes velmaro_librtmp_send (LinkProgresses), so that every
# plain write judges the link by the peer's progress, and its TLS reads go
# through velmaro_gnutls_record_recv (TlsSessions), which gives librtmp the
# -1 and errno it expects.
# Inputs: NM, OBJCOPY, INPUT (archive), OUTPUT (archive), MAP, HEADER.
execute_process(COMMAND ${NM} -g --defined-only ${INPUT}
                OUTPUT_VARIABLE listing RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${INPUT}")
endif()
string(REGEX MATCHALL "[0-9a-fA-F]+ [A-Za-z] [A-Za-z_][A-Za-z0-9_]*" entries "${listing}")
set(names "")
foreach(entry IN LISTS entries)
  string(REGEX REPLACE "^[0-9a-fA-F]+ [A-Za-z] " "" name "${entry}")
  list(APPEND names ${name})
endforeach()
list(REMOVE_DUPLICATES names)
list(SORT names)
list(FIND names RTMP_Close found)
if(found EQUAL -1)
  message(FATAL_ERROR "${INPUT} does not define RTMP_Close: not librtmp?")
endif()
set(map "")
set(header "// Generated from ${INPUT}: librtmp's symbols, renamed.\n#pragma once\n")
foreach(name IN LISTS names)
  string(APPEND map "${name} lr_${name}\n")
  string(APPEND header "#define ${name} lr_${name}\n")
endforeach()
string(APPEND map "send velmaro_librtmp_send\ngnutls_record_recv velmaro_gnutls_record_recv\n")
file(WRITE ${MAP} "${map}")
file(WRITE ${HEADER} "${header}")
execute_process(COMMAND ${OBJCOPY} --redefine-syms=${MAP} ${INPUT} ${OUTPUT} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objcopy failed on ${INPUT}")
endif()
