# Writes kesto's texts from the program's string table, so that a changed text changes in the
# program and in kesto alike. Run as: cmake -DTABLE=strings.tsv -DOUTPUT=kesto_texts.h
#   -DIDS=10009;10012;... -P texts.cmake
# Each id must be in the table; a missing one stops the build.
file(READ "${TABLE}" table)
string(PREPEND table "\n") # every entry now starts after a newline, the first one too
set(entries "")
foreach(id IN LISTS IDS)
  if(NOT table MATCHES "\n${id}\t([^\r\n]*)")
    message(FATAL_ERROR "string ${id} is not in ${TABLE}")
  endif()
  set(text "${CMAKE_MATCH_1}")
  # The table's escapes are \n \r \t \\ and, for any other character, the character itself;
  # the first four are C escapes already.
  string(REPLACE "\\\\" "<backslash>" text "${text}")
  string(REGEX REPLACE "\\\\([^nrt])" "\\1" text "${text}")
  string(REPLACE "<backslash>" "\\\\" text "${text}")
  string(REPLACE "\"" "\\\"" text "${text}")
  string(APPEND entries "    {${id}, \"${text}\"},\n")
endforeach()
set(content "// Generated from the program's string table at build time; edit the table, not this.
#pragma once

#include <string_view>

namespace kesto::texts {

struct Entry {
    int id;
    std::string_view text;
};

inline constexpr Entry kEntries[] = {
${entries}};

// The text of string `id`; compiling fails for an id that is not listed above.
consteval std::string_view text(int id) {
    for (const Entry &e : kEntries)
        if (e.id == id)
            return e.text;
    throw \"string id missing from kesto's texts\";
}

} // namespace kesto::texts
")
file(WRITE "${OUTPUT}" "${content}")
