# Writes the English texts of the program's string table into a C++ header, so that a changed
# text changes in the program and in kesto alike. Run as:
#   cmake -DTABLE=strings.tsv -DOUTPUT=english.h -P english.cmake
file(STRINGS "${TABLE}" lines ENCODING UTF-8)
set(entries "")
foreach(line IN LISTS lines)
  if(NOT line MATCHES "^([0-9]+)\t(.*)$")
    continue() # comments
  endif()
  set(id "${CMAKE_MATCH_1}")
  set(text "${CMAKE_MATCH_2}")
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

#include \"texts/strid.h\"

#include <string_view>

namespace tunara::texts {

struct Entry {
    int id;
    std::string_view text;
};

inline constexpr Entry kEntries[] = {
${entries}};

// The English text of `id`; compiling fails for an id that the table lacks.
consteval std::string_view english(res::StrId id) {
    for (const Entry &e : kEntries)
        if (e.id == static_cast<int>(id))
            return e.text;
    throw \"string id missing from the string table\";
}

} // namespace tunara::texts
")
file(WRITE "${OUTPUT}.new" "${content}")
# Unchanged output keeps its time stamp, so that what includes it is not rebuilt.
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
