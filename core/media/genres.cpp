#include "genres.h"

#include <algorithm>
#include <charconv>

#include "leadinginteger.h"

namespace tunara::media {

const std::array<std::string_view, kGenreCount + 1> GenreNames{
    "Blues",
    "Classic Rock",
    "Country",
    "Dance",
    "Disco",
    "Funk",
    "Grunge",
    "Hip-Hop",
    "Jazz",
    "Metal",
    "New Age",
    "Oldies",
    "Other",
    "Pop",
    "R&B",
    "Rap",
    "Reggae",
    "Rock",
    "Techno",
    "Industrial",
    "Alternative",
    "Ska",
    "Death Metal",
    "Pranks",
    "Soundtrack",
    "Euro-Techno",
    "Ambient",
    "Trip-Hop",
    "Vocal",
    "Jazz+Funk",
    "Fusion",
    "Trance",
    "Classical",
    "Instrumental",
    "Acid",
    "House",
    "Game",
    "Sound Clip",
    "Gospel",
    "Noise",
    "AlternRock",
    "Bass",
    "Soul",
    "Punk",
    "Space",
    "Meditative",
    "Instrumental Pop",
    "Instrumental Rock",
    "Ethnic",
    "Gothic",
    "Darkwave",
    "Techno-Industrial",
    "Electronic",
    "Pop-Folk",
    "Eurodance",
    "Dream",
    "Southern Rock",
    "Comedy",
    "Cult",
    "Gangsta",
    "Top 40",
    "Christian Rap",
    "Pop/Funk",
    "Jungle",
    "Native American",
    "Cabaret",
    "New Wave",
    "Psychadelic",
    "Rave",
    "Showtunes",
    "Trailer",
    "Lo-Fi",
    "Tribal",
    "Acid Punk",
    "Acid Jazz",
    "Polka",
    "Retro",
    "Musical",
    "Rock & Roll",
    "Hard Rock",
    "Folk",
    "Folk-Rock",
    "National Folk",
    "Swing",
    "Fast Fusion",
    "Bebob",
    "Latin",
    "Revival",
    "Celtic",
    "Bluegrass",
    "Avantgarde",
    "Gothic Rock",
    "Progressive Rock",
    "Psychedelic Rock",
    "Symphonic Rock",
    "Slow Rock",
    "Big Band",
    "Chorus",
    "Easy Listening",
    "Acoustic",
    "Humour",
    "Speech",
    "Chanson",
    "Opera",
    "Chamber Music",
    "Sonata",
    "Symphony",
    "Booty Bass",
    "Primus",
    "Porn Groove",
    "Satire",
    "Slow Jam",
    "Club",
    "Tango",
    "Samba",
    "Folklore",
    "Ballad",
    "Power Ballad",
    "Rhythmic Soul",
    "Freestyle",
    "Duet",
    "Punk Rock",
    "Drum Solo",
    "Acapella",
    "Euro-House",
    "Dance Hall",
    "",
};

namespace {

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

bool lessIgnoringCase(std::string_view a, std::string_view b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [](char x, char y) { return lower(x) < lower(y); });
}

bool equalIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return lower(x) == lower(y); });
}

std::optional<int> namedGenre(long long n) {
    if (n < 0 || n >= kGenreCount)
        return std::nullopt;
    return int(n);
}

// The whole of `digits` as a number; nullopt unless it is all decimal digits.
std::optional<long long> wholeNumber(std::string_view digits) {
    long long n = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
    if (digits.empty() || ec != std::errc{} || end != digits.data() + digits.size() ||
        digits.front() == '-')
        return std::nullopt;
    return n;
}

} // namespace

const std::vector<int> &genreRows() {
    static const std::vector<int> rows = [] {
        std::vector<int> r(kGenreCount);
        for (int i = 0; i < kGenreCount; ++i)
            r[i] = i;
        std::stable_sort(r.begin(), r.end(), [](int a, int b) {
            return lessIgnoringCase(GenreNames[a], GenreNames[b]);
        });
        return r;
    }();
    return rows;
}

std::optional<std::size_t> genreRowMatching(std::string_view typed) {
    std::string needle(typed);
    for (char &c : needle)
        c = lower(c);
    const auto &rows = genreRows();
    std::optional<std::size_t> best;
    std::size_t bestPosition = std::string::npos;
    for (std::size_t row = 0; row < rows.size(); ++row) {
        std::string name(GenreNames[rows[row]]);
        for (char &c : name)
            c = lower(c);
        const std::size_t position = name.find(needle);
        if (position < bestPosition) {
            bestPosition = position;
            best = row;
        }
    }
    return best;
}

std::optional<int> genreByName(std::string_view name) {
    for (int i = 0; i < kGenreCount; ++i)
        if (GenreNames[i] == name)
            return i;
    return std::nullopt;
}

std::optional<int> genreByNameIgnoringCase(std::string_view name) {
    if (const auto exact = genreByName(name))
        return exact;
    for (int i = 0; i < kGenreCount; ++i)
        if (equalIgnoringCase(GenreNames[i], name))
            return i;
    return std::nullopt;
}

std::optional<int> genreFromTcon(std::string_view text) {
    const auto open = text.find('(');
    const auto close = text.find(')');
    if (open != std::string_view::npos && close != std::string_view::npos && close > open) {
        if (const auto n = leadingInteger(text.substr(open + 1, close - open - 1)))
            if (const auto genre = namedGenre(*n))
                return genre;
        const std::string_view rest = text.substr(close + 1);
        return rest.empty() ? std::nullopt : genreByNameIgnoringCase(rest);
    }
    if (const auto n = wholeNumber(text))
        return namedGenre(*n);
    return text.empty() ? std::nullopt : genreByNameIgnoringCase(text);
}

std::string tconText(std::optional<int> genre) {
    if (!genre || *genre < 0 || *genre >= kGenreCount)
        return {};
    return "(" + std::to_string(*genre) + ")" + std::string(GenreNames[*genre]);
}

} // namespace tunara::media
