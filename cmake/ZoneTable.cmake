# Writes OUTPUT, a C++ table of every time zone in ZONEINFO (the compiled
# IANA data, such as /usr/share/zoneinfo): each zone's name, sorted, with
# the 64-bit part of its zone file (every listed change and the POSIX rule
# after the last one), kept once for names whose files hold the same data.
cmake_policy(SET CMP0009 NEW)
file(GLOB_RECURSE names LIST_DIRECTORIES false RELATIVE ${ZONEINFO} ${ZONEINFO}/*)
list(SORT names)
set(version "unknown")
if(EXISTS ${ZONEINFO}/tzdata.zi)
  file(STRINGS ${ZONEINFO}/tzdata.zi first LIMIT_COUNT 1)
  string(REGEX REPLACE "^# version " "" version "${first}")
endif()

# The count at byte offset at (four bytes, big-endian) of a header in hex.
function(header_count hex at result)
  math(EXPR from "2 * ${at}")
  string(SUBSTRING "${hex}" ${from} 8 digits)
  math(EXPR value "0x${digits}")
  set(${result} ${value} PARENT_SCOPE)
endfunction()

set(rows "")
set(data "")
set(data_size 0)
set(count 0)
set(blocks 0)
foreach(name IN LISTS names)
  # Not the other trees of the same zones, nor the names that stand for
  # the machine's own zone or for a zone not known ("Factory").
  if(name MATCHES "^(posix|right)/" OR name MATCHES "^(localtime|posixrules|Factory)$")
    continue()
  endif()
  file(READ ${ZONEINFO}/${name} head LIMIT 5 HEX)
  if(NOT head MATCHES "^545a6966(32|33|34)$")
    continue()  # not a zone file of version 2 or later, which alone carry 64-bit data
  endif()
  file(READ ${ZONEINFO}/${name} hex HEX)
  # The 64-bit part follows the 32-bit one, whose size its header gives.
  header_count("${hex}" 20 isut)
  header_count("${hex}" 24 isstd)
  header_count("${hex}" 28 leaps)
  header_count("${hex}" 32 times)
  header_count("${hex}" 36 types)
  header_count("${hex}" 40 chars)
  math(EXPR skip "2 * (44 + ${times} * 5 + ${types} * 6 + ${chars} + ${leaps} * 8 + ${isstd} + ${isut})")
  string(LENGTH "${hex}" length)
  if(skip GREATER_EQUAL length)
    continue()
  endif()
  string(SUBSTRING "${hex}" ${skip} -1 block)
  string(MD5 digest "${block}")
  if(NOT DEFINED block_${digest})
    math(EXPR blocks "${blocks} + 1")
    set(block_${digest} "${data_size}")
    string(LENGTH "${block}" block_length)
    math(EXPR block_size "${block_length} / 2")
    set(size_${digest} ${block_size})
    string(REGEX REPLACE "(..)" "0x\\1," bytes "${block}")
    string(APPEND data "${bytes}\n")
    math(EXPR data_size "${data_size} + ${block_size}")
  endif()
  string(APPEND rows "    {\"${name}\", ${block_${digest}}, ${size_${digest}}},\n")
  math(EXPR count "${count} + 1")
endforeach()
file(WRITE ${OUTPUT}.new "// Generated at build time from ${ZONEINFO} (tzdata ${version}): every
// time zone's name, sorted by name, and the 64-bit part of its zone file.
// ${count} names, ${blocks} zone files, ${data_size} bytes. Do not edit.
#include \"ZoneTable.h\"

namespace lindqvar {

const char kZoneTableVersion[] = \"${version}\";

const unsigned char kZoneData[] = {
${data}};

const ZoneTableEntry kZoneTable[] = {
${rows}};

const std::size_t kZoneTableSize = ${count};

}  // namespace lindqvar
")
file(COPY_FILE ${OUTPUT}.new ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.new)
