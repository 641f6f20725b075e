#include "ini_file.h"

#include <fstream>
#include <sstream>
#include <system_error>

namespace vplayer {

namespace {

std::string trim(const std::string &s) {
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return {};
    const auto last = s.find_last_not_of(" \t\r");
    return s.substr(first, last - first + 1);
}

} // namespace

IniFile::Section *IniFile::find(const std::string &name) {
    for (auto &s : m_sections)
        if (s.name == name)
            return &s;
    return nullptr;
}

const IniFile::Section *IniFile::find(const std::string &name) const {
    for (const auto &s : m_sections)
        if (s.name == name)
            return &s;
    return nullptr;
}

void IniFile::parse(const std::string &text) {
    std::istringstream in(text);
    std::string line;
    std::string section;
    while (std::getline(in, line)) {
        const std::string t = trim(line);
        if (t.empty() || t[0] == ';' || t[0] == '#')
            continue;
        if (t.front() == '[' && t.back() == ']') {
            section = trim(t.substr(1, t.size() - 2));
            continue;
        }
        const auto eq = t.find('=');
        if (eq == std::string::npos)
            continue; // not a key line: ignored like any other ini reader would
        // Values are taken raw after '=' so that a version with a trailing space survives.
        std::string value = line.substr(line.find('=') + 1);
        if (!value.empty() && value.back() == '\r')
            value.pop_back();
        setValue(section, trim(t.substr(0, eq)), value);
    }
}

bool IniFile::load(const std::filesystem::path &path, std::string &error) {
    m_sections.clear();
    std::error_code ec;
    if (!std::filesystem::exists(path, ec))
        return true;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path.string();
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    parse(text.str());
    return true;
}

std::string IniFile::text() const {
    std::string out;
    for (const auto &s : m_sections) {
        if (!out.empty())
            out += '\n';
        out += '[' + s.name + "]\n";
        for (const auto &[k, v] : s.entries)
            out += k + '=' + v + '\n';
    }
    return out;
}

bool IniFile::save(const std::filesystem::path &path, std::string &error) const {
    auto tmp = path;
    tmp += ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << text();
        out.flush();
        if (!out) {
            error = "cannot write " + tmp.string();
            return false;
        }
    }
    std::error_code ec;
    std::filesystem::rename(tmp, path, ec);
    if (ec) {
        error = "cannot replace " + path.string() + ": " + ec.message();
        return false;
    }
    return true;
}

std::optional<std::string> IniFile::value(const std::string &section,
                                          const std::string &key) const {
    if (const Section *s = find(section))
        for (const auto &[k, v] : s->entries)
            if (k == key)
                return v;
    return std::nullopt;
}

std::string IniFile::value(const std::string &section, const std::string &key,
                           const std::string &fallback) const {
    return value(section, key).value_or(fallback);
}

void IniFile::setValue(const std::string &section, const std::string &key,
                       const std::string &value) {
    Section *s = find(section);
    if (!s) {
        m_sections.push_back({section, {}});
        s = &m_sections.back();
    }
    for (auto &[k, v] : s->entries)
        if (k == key) {
            v = value;
            return;
        }
    s->entries.emplace_back(key, value);
}

} // namespace vplayer
