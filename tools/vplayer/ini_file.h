// A tiny ini reader/writer for player.ini: "[Section]" headers, "Key=Value" lines, ';' and '#'
// comments. Keys keep the order in which they were first seen so that a rewritten file stays
// close to what a person wrote.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vplayer {

class IniFile {
public:
    // Reads `path`; false (and `error` set) when the file exists but cannot be read. A missing
    // file gives an empty ini and true.
    bool load(const std::filesystem::path &path, std::string &error);
    // Writes atomically (temporary file, then rename).
    bool save(const std::filesystem::path &path, std::string &error) const;

    std::optional<std::string> value(const std::string &section, const std::string &key) const;
    std::string value(const std::string &section, const std::string &key,
                      const std::string &fallback) const;
    void setValue(const std::string &section, const std::string &key, const std::string &value);

    // Parses text in the same form as load(); used by load() and by tests.
    void parse(const std::string &text);
    std::string text() const;

private:
    struct Section {
        std::string name;
        std::vector<std::pair<std::string, std::string>> entries;
    };
    std::vector<Section> m_sections;
    Section *find(const std::string &name);
    const Section *find(const std::string &name) const;
};

} // namespace vplayer
