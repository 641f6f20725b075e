// Every user-visible text of audio file inspection, in one place. The program's string table
// refers to these; kesto prints them as they stand. Several table texts begin with a blank: the
// player's own tools lined the numbers up that way and users compare against them.
#pragma once

#include <array>
#include <string_view>

namespace tunara::media::text {

// CheckMpegHeader's description tables.
inline constexpr std::array<std::string_view, 4> kVersionNames{"MPEG-2.5", "reserved", "MPEG-2",
                                                               "MPEG-1"};
inline constexpr std::array<std::string_view, 4> kLayerNames{"Reserved", "Layer-III", "Layer-II",
                                                             "Layer-I"};
// Indexed by version * 4 + sample-rate index.
inline constexpr std::array<std::string_view, 16> kSampleRateNames{
    "11.025KHz", "12KHz",    "8KHz",     "reserved", // MPEG-2.5
    "reserved",  "reserved", "reserved", "reserved", // reserved version
    "22.05KHz",  "24KHz",    "16KHz",    "reserved", // MPEG-2
    "44.1KHz",   "48KHz",    "32KHz",    "reserved", // MPEG-1
};

// Bit-rate columns by bit-rate index 0..15.
using BitRateColumn = std::array<std::string_view, 16>;
inline constexpr BitRateColumn kBitRatesV1L1{
    "free",    "32Kbps",  "64Kbps",  "96Kbps",  "128Kbps", "160Kbps", "192Kbps", "224Kbps",
    "256Kbps", "288Kbps", "320Kbps", "352Kbps", "384Kbps", "416Kbps", "448Kbps", "bad"};
inline constexpr BitRateColumn kBitRatesV1L2{
    "free",    "32Kbps",  "48Kbps",  "56Kbps",  " 64Kbps", " 80Kbps", " 96Kbps", "112Kbps",
    "128Kbps", "160Kbps", "192Kbps", "224Kbps", "256Kbps", "320Kbps", "384Kbps", "bad"};
inline constexpr BitRateColumn kBitRatesV1L3{
    "free",    "32Kbps",  "40Kbps",  "48Kbps",  " 56Kbps", " 64Kbps", " 80Kbps", " 96Kbps",
    "112Kbps", "128Kbps", "160Kbps", "192Kbps", "224Kbps", "256Kbps", "320Kbps", "bad"};
inline constexpr BitRateColumn kBitRatesV2L1{
    "free",    "32Kbps",  "48Kbps",  "56Kbps",  " 64Kbps", " 80Kbps", " 96Kbps", "112Kbps",
    "128Kbps", "144Kbps", "160Kbps", "176Kbps", "192Kbps", "224Kbps", "256Kbps", "bad"};
inline constexpr BitRateColumn kBitRatesV2L23{
    "free",    " 8Kbps",  "16Kbps",  "24Kbps",  " 32Kbps", " 40Kbps", " 48Kbps", " 56Kbps",
    " 64Kbps", " 80Kbps", " 96Kbps", "112Kbps", "128Kbps", "144Kbps", "160Kbps", "bad"};
inline constexpr std::string_view kBitRateReservedVersion = "error";
inline constexpr std::string_view kBitRateReservedLayer = "reserved";

// CheckMpegHeader's two refusals (string 10011 and 10025) and its description layout.
inline constexpr std::string_view kNoFrameHeader = "ERROR : Can't find MP3 frame header.";
inline constexpr std::string_view kMpeg25NotSupported =
    "Remote device doesn't support non-standard MPEG-2.5 formatted file.\n\n";
inline constexpr std::string_view kNoFrameHeaderSeparator = "\n";
inline constexpr std::string_view kMpeg25Separator = "\n\n";

// ReadMpegInfo's wording.
inline constexpr std::string_view kFreeFormat = "free format";
inline constexpr std::string_view kForbidden = "forbidden";
inline constexpr std::string_view kKbitSuffix = " kbit/s";
inline constexpr std::array<std::string_view, 4> kFrequencies{"44.1 kHz", "48 kHz", "32 kHz", ""};
inline constexpr std::array<std::string_view, 4> kChannelModes{"Stereo", "Joint stereo",
                                                               "Dual channel", "Single channel"};
inline constexpr std::string_view kYes = "Yes";
inline constexpr std::string_view kNo = "No";
inline constexpr std::string_view kErrorOpeningFile = "Error opening file: ";
inline constexpr std::string_view kInvalidHandleCaption = "Invalid handle";

// The tag editor's panel texts. '|' separates lines.
inline constexpr std::string_view kMpegPanelIdle = "|MPEG Info\t||Not Selected MP3 File\r|";
inline constexpr char kMpegPanelSeparator = '|';

// The MPEG panel text after a load. Each %d or %s is filled in order: file size, leading-tag
// size, layer, bit rate, frequency, mode, CRC, copyrighted, original. "xxx" and "None" are
// shown literally.
inline constexpr std::string_view kMpegPanelTemplate =
    "|MPEG Info\t|| Size\r|%d Bytes|| Header found at\r|%d Bytes|| Length\r|xxx Seconds||"
    " MPEG1.0 layer\r|%d|| Bitrate\r|%s|| Frames\r|xxx frames||Frequency\r|%s|| Mode\r|%s||"
    " CRCs\r|%s|| Copyrighted\r|%s|| Original\r|%s|| Emphasis\r|None||";

// The tag editor's dialog texts.
inline constexpr std::string_view kEditorCaption = "ID3 TAG Editer";
inline constexpr std::string_view kNotSelected = "Not selected the mp3 file!";
inline constexpr std::string_view kNotMp3 = "This file is not the MP3 file!";
inline constexpr std::string_view kEnterInteger = "Please enter an integer.";
inline constexpr std::string_view kMp3Filter = "MP3 File (*.mp3)|*.mp3|";
inline constexpr std::array<std::string_view, 12> kFieldCaptions{
    "Track No", "Track Title", "Artist",      "Album",     "Year", "Genre",
    "Comment",  "Composer",    "Orig.Artist", "Copyright", "URL",  "Encoder By"};

} // namespace tunara::media::text
