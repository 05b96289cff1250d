# Writes OUTPUT, a C++ table of every time zone in ZONEINFO (the compiled
# IANA data, such as /usr/share/zoneinfo) with the POSIX rule that the last
# line of its file gives, sorted by name.
cmake_policy(SET CMP0009 NEW)
file(GLOB_RECURSE names LIST_DIRECTORIES false RELATIVE ${ZONEINFO} ${ZONEINFO}/*)
list(SORT names)
set(version "")
if(EXISTS ${ZONEINFO}/tzdata.zi)
  file(STRINGS ${ZONEINFO}/tzdata.zi first LIMIT_COUNT 1)
  string(REGEX REPLACE "^# version " "" version "${first}")
endif()
set(rows "")
set(count 0)
foreach(name IN LISTS names)
  # Not the other trees of the same zones, nor links that mean the local zone.
  if(name MATCHES "^(posix|right)/" OR name MATCHES "^(localtime|posixrules)$")
    continue()
  endif()
  file(READ ${ZONEINFO}/${name} head LIMIT 5 HEX)
  if(NOT head STREQUAL "545a696632" AND NOT head STREQUAL "545a696633" AND NOT head STREQUAL "545a696634")
    continue()  # not a zone file of version 2 or later, which alone carry the rule
  endif()
  file(READ ${ZONEINFO}/${name} bytes HEX)
  if(NOT bytes MATCHES "^(..)*0a(([0-9a-f][0-9a-f])*)0a$")
    continue()
  endif()
  set(hex "${CMAKE_MATCH_2}")
  string(LENGTH "${hex}" length)
  set(rule "")
  set(at 0)
  while(at LESS length)
    string(SUBSTRING "${hex}" ${at} 2 pair)
    math(EXPR code "0x${pair}")
    string(ASCII ${code} char)
    string(APPEND rule "${char}")
    math(EXPR at "${at} + 2")
  endwhile()
  if(rule STREQUAL "")
    continue()
  endif()
  string(APPEND rows "    {\"${name}\", \"${rule}\"},\n")
  math(EXPR count "${count} + 1")
endforeach()
file(WRITE ${OUTPUT}.new "// Generated at build time from ${ZONEINFO} (tzdata ${version}): every
// time zone's name and the POSIX rule its file ends with, sorted by name.
// Do not edit.
#include \"ZoneTable.h\"

namespace lindqvar {

const ZoneTableEntry kZoneTable[] = {
${rows}};

const std::size_t kZoneTableSize = ${count};

}  // namespace lindqvar
")
file(COPY_FILE ${OUTPUT}.new ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.new)
