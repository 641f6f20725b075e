// Finding a player file by the name the user typed. The library looks names up byte for byte,
// but FAT names are the same file in any letter case, and a file without a long name is listed
// with the dot of its 8.3 form ("README."). So a name typed in another case, or without that
// trailing dot, is taken for the one file it can only mean; when it could mean several, or none,
// the user is shown the names that come close.
#pragma once

#include "KestoUSB.h"
#include "playerformat.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kesto {

// A copy of the memory's cached table (GetFileInfo); read it after a refresh.
std::unique_ptr<KSUSB_TOpenTable> copyTable(unsigned char mem);

// The long name of an entry as the table holds it.
std::string entryName(const KSUSB_TFileEntry &e);

// `name` with the letters A-Z made a-z: FAT names compare that way.
using tunara::media::foldCase;

// The names of `table` that equal `typed` but for letter case or the trailing dot of a name
// without extension, in table order. An exact match is the only result when there is one.
std::vector<std::string> matchingNames(const KSUSB_TOpenTable &table, std::string_view typed);

// The names of `table` within two edits of `typed`, letter case aside, in table order.
std::vector<std::string> closeNames(const KSUSB_TOpenTable &table, std::string_view typed);

// "'a', 'b', 'c'".
std::string quotedList(const std::vector<std::string> &names);

// Replaces `name` by the table's own spelling when it matches exactly one file of the memory's
// cached table (refresh first). Several matches: prints "kesto VERB: NAME matches several files
// of the flash memory: ..." and returns false. No match leaves `name` as it is, for the library
// to report.
bool resolvePlayerName(std::string_view verb, unsigned char mem, std::string &name);

// After a library call on `name` failed: prints the failure as failWithLastError does and, when
// the file was not found, the close names of the memory's table. Returns kExitFailed.
int failOnPlayerName(std::string_view verb, unsigned char mem, std::string_view name);

} // namespace kesto
