// The genre list of the tag editor and the rules that turn a TCON text into a genre and back.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tunara::media {

inline constexpr int kGenreCount = 126; // named genres 0..125
// Indices 0..125 are the named genres in list order; index 126 is the empty text.
extern const std::array<std::string_view, kGenreCount + 1> GenreNames;

// The genre names 0..125 in the order the editor's sorted list shows them (ignoring case), as
// genre indices. Row 0 is "Acapella".
const std::vector<int> &genreRows();

// The sorted-list row the genre box selects while the user types `typed`: the row whose name
// holds the typed text (case ignored) earliest; on equal positions the upper row. Empty text
// matches row 0. nullopt when no row holds the text.
std::optional<std::size_t> genreRowMatching(std::string_view typed);

// The genre index of a name, compared exactly; nullopt for an unknown name.
std::optional<int> genreByName(std::string_view name);
// The same, ignoring ASCII case; for names typed on a command line or found in a tag.
std::optional<int> genreByNameIgnoringCase(std::string_view name);

// The genre a TCON text selects:
//  "(17)" and "(17)Rock" select 17 by the number in parentheses;
//  a number above 125, or no number, in parentheses falls back to the name after it;
//  a plain name ("Rock", any case) selects that genre; a plain number ("17", the 2.4 form)
//  selects that genre when it is 0..125;
//  anything else selects nothing.
std::optional<int> genreFromTcon(std::string_view text);

// The TCON text written for a genre: "(17)Rock". nullopt gives the empty text.
std::string tconText(std::optional<int> genre);

} // namespace tunara::media
