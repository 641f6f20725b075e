// What the player can play: the models we know, which local files are audio, and whether an
// audio file goes to the player as it is or is converted to an MP3 first. No device traffic.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>

namespace tunara::media {

// Model codes of the players we know; 0 until a known model has been seen.
enum PlayerModel : int {
    ModelUnknown = 0,
    ModelLuma = 0xC001,
    ModelQn500 = 0xC002,
    ModelQn520 = 0xC003,
    ModelQn70 = 0xC004,
    ModelQnVela = 0xC005,
};

// The model code for the player's model field (blank padded); `previous` when none matches.
int playerModelFor(std::string_view modelName, int previous = ModelUnknown);

inline constexpr unsigned char kMemoryCard = 'S';

enum class AudioKind {
    NotAudio, // sent as it is (`kesto put FILE`) or skipped (files found in a folder)
    Mp3,
    Wma,
    Other, // FLAC, Ogg, Opus, AAC/M4A, WAV, AIFF...: always converted
};

// By the extension, case ignored.
AudioKind audioKindOf(std::string_view path);
// Hidden files (a name starting with '.') are skipped when a folder is scanned.
bool isHiddenName(std::string_view name);

enum class Route {
    AsIs,    // sent byte for byte
    Convert, // the player cannot play it: converted to MP3 first
};

struct RouteDecision {
    Route route = Route::AsIs;
    std::string reason; // why it is converted ("FLAC audio", "MPEG-2.5")
};

// How the audio file at `path` reaches memory `memory` of a player of `model`. An MP3 that the
// model's MPEG check accepts goes as it is; one it refuses is converted. The models QN520 and
// QN-Vela decode every MP3 and play WMA. Reads the start of an MP3 file; any thread.
RouteDecision routeFor(const std::string &path, int model, unsigned char memory);

// The highest constant bit rate (kbit/s) the model decodes from that memory: the QN70 plays
// nothing of 300 kbit/s or more from its card.
int maxBitRateKbps(int model, unsigned char memory);
// Whether a VBR stream (whose frames may reach 320 kbit/s) plays from that memory.
bool vbrPlayable(int model, unsigned char memory);

// Bytes of the valid UTF-8 character at `i` of `s`, or 0 when the byte there does not start one.
size_t validUtf8Length(std::string_view s, size_t i);

// The player keeps at most 80 bytes of a long name. The library cuts a longer name it is given
// to its first whole characters, '_' for the bytes of a character that does not fit, and the
// extension; this is that cut, so that what a run names a file is what the player shows.
inline constexpr size_t kMaxPlayerNameBytes = 80;
std::string fitLongName(std::string_view name);

// The character that stands on the player for one the player's FAT names cannot hold.
inline constexpr char kNameReplacement = '_';

// `name` with every character a FAT long name cannot hold replaced by kNameReplacement: the
// characters " * / : < > ? \ | and control characters, and each byte that starts no valid UTF-8
// character (the player keeps names in UTF-16). Every other character, accents and Hangul
// included, stays as it is.
std::string legalName(std::string_view name);

// The name a file sent as it is gets on the player: its file name made legal and fitted to what
// the player keeps. The one rule of put, sync and the window.
std::string sentName(std::string_view sourcePath);

// The name a converted file gets: the source's file name with ".mp3" for its extension, made
// legal and fitted to what the player keeps.
std::string convertedName(std::string_view sourcePath);

// A name as the player's FAT compares it: ASCII letters folded to lower case.
std::string foldCase(std::string_view name);
// `desired`, or "name (2).ext", "name (3).ext"... when its folded form is in `taken`; the name
// returned is added to `taken` (folded). The player's folder is flat: what a run sends under a
// name of its own choosing must not meet a name the player holds or the run gave already. A
// name with its number that would be longer than the player keeps loses the end of its base.
std::string freeName(const std::string &desired, std::set<std::string> &taken);

} // namespace tunara::media
