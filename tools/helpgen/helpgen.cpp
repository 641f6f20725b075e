// helpgen: turns one program's help source into the C++ header its --help prints from and the
// roff manual page, so that the two never disagree.
//
//   helpgen SOURCE NAMESPACE VERSION DATE HEADER MANPAGE
//
// The source is plain text, one directive per line beginning with '@':
//   @name PROGRAM          the program's name
//   @summary TEXT          one line for the manual's NAME section
//   @synopsis LINE         one usage line (repeatable), without the program's name
//   @section TITLE         starts a section (DESCRIPTION, ENVIRONMENT, EXIT STATUS, ...)
//   @command NAME [USAGE]  a command of the program; its text follows
//   @item TERM             a term of the section (an option, a variable); its text follows
// Other lines are text. A blank line ends a paragraph; a line indented by two spaces is kept
// as it stands (tables, examples); '#' at the start of a line makes a comment.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Entry {        // a command or an item
    std::string term; // the command's name or the item's term
    std::string usage;
    std::vector<std::string> lines;
};

struct Section {
    std::string title;
    std::vector<std::string> lines; // text before the first entry
    std::vector<Entry> entries;
    bool commands = false;
};

struct Source {
    std::string name, summary;
    std::vector<std::string> synopsis;
    std::vector<Section> sections;
};

bool startsWith(const std::string &s, const std::string &prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

std::string trimRight(std::string s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.pop_back();
    return s;
}

bool parse(std::istream &in, Source &src, std::string &error) {
    std::string line;
    int number = 0;
    std::vector<std::string> *text = nullptr;
    auto fail = [&](const std::string &why) {
        error = "line " + std::to_string(number) + ": " + why;
        return false;
    };
    while (std::getline(in, line)) {
        ++number;
        line = trimRight(line);
        if (startsWith(line, "#"))
            continue;
        if (!startsWith(line, "@")) {
            if (text == nullptr) {
                if (line.empty())
                    continue;
                return fail("text before the first @section");
            }
            text->push_back(line);
            continue;
        }
        const size_t space = line.find(' ');
        const std::string key = line.substr(1, space == std::string::npos ? space : space - 1);
        const std::string value = space == std::string::npos ? "" : line.substr(space + 1);
        if (key == "name") {
            src.name = value;
        } else if (key == "summary") {
            src.summary = value;
        } else if (key == "synopsis") {
            src.synopsis.push_back(value);
        } else if (key == "section") {
            src.sections.push_back({value, {}, {}, false});
            text = &src.sections.back().lines;
        } else if (key == "command" || key == "item") {
            if (src.sections.empty())
                return fail("@" + key + " outside a section");
            Section &s = src.sections.back();
            if (!s.entries.empty() && s.commands != (key == "command"))
                return fail("commands and items mixed in one section");
            s.commands = key == "command";
            Entry e;
            const size_t gap = value.find(' ');
            e.term = value.substr(0, gap);
            if (key == "command" && gap != std::string::npos)
                e.usage = value.substr(gap + 1);
            else if (key == "item")
                e.term = value;
            s.entries.push_back(e);
            text = &s.entries.back().lines;
        } else {
            return fail("unknown directive @" + key);
        }
        if (value.empty() && key != "command")
            return fail("@" + key + " needs a value");
    }
    if (src.name.empty() || src.summary.empty() || src.synopsis.empty())
        return fail("@name, @summary and @synopsis are required");
    return true;
}

// Blank lines at the start and end of a text are layout of the source, not of the text.
std::vector<std::string> trimmed(std::vector<std::string> lines) {
    while (!lines.empty() && lines.back().empty())
        lines.pop_back();
    size_t first = 0;
    while (first < lines.size() && lines[first].empty())
        ++first;
    return {lines.begin() + long(first), lines.end()};
}

std::string joined(const std::vector<std::string> &lines, const std::string &indent) {
    std::string out;
    for (const std::string &l : trimmed(lines))
        out += (l.empty() ? "" : indent + l) + "\n";
    return out;
}

std::string commandLine(const Source &src, const Entry &e) {
    std::string line = src.name + " " + e.term;
    if (!e.usage.empty())
        line += " " + e.usage;
    return line;
}

// "EXIT STATUS" -> "Exit status"
std::string heading(const std::string &title) {
    std::string out = title;
    for (size_t i = 1; i < out.size(); ++i)
        if (out[i] >= 'A' && out[i] <= 'Z')
            out[i] = char(out[i] - 'A' + 'a');
    return out;
}

// The --help text: the usage lines, the description, then each section under its heading;
// commands show their usage line only ("PROGRAM help COMMAND" gives the rest).
std::string helpText(const Source &src) {
    std::string out;
    for (size_t i = 0; i < src.synopsis.size(); ++i)
        out += (i == 0 ? "Usage: " : "       ") + src.name + " " + src.synopsis[i] + "\n";
    for (const Section &s : src.sections) {
        out += "\n";
        const bool described = s.title == "DESCRIPTION";
        if (!described)
            out += heading(s.title) + ":\n";
        out += joined(s.lines, described ? "" : "  ");
        for (const Entry &e : s.entries) {
            if (s.commands) {
                out += "  " + commandLine(src, e) + "\n";
            } else {
                out += "  " + e.term + "\n";
                out += joined(e.lines, "      ");
            }
        }
    }
    return out;
}

std::string cString(const std::string &s) {
    std::string out = "\"";
    for (const char c : s) {
        if (c == '\\' || c == '"')
            out += '\\';
        if (c == '\n') {
            out += "\\n\"\n    \"";
            continue;
        }
        out += c;
    }
    return out + "\"";
}

std::string header(const Source &src, const std::string &ns, const std::string &version) {
    std::ostringstream h;
    h << "// Generated at build time from the program's help source; edit that, not this.\n"
         "#pragma once\n\n#include <string_view>\n\nnamespace "
      << ns << " {\n\n";
    h << "inline constexpr std::string_view kProgram = " << cString(src.name) << ";\n";
    h << "inline constexpr std::string_view kVersion = " << cString(version) << ";\n\n";
    h << "// What --help prints.\ninline constexpr std::string_view kHelp =\n    "
      << cString(helpText(src)) << ";\n";
    std::vector<const Entry *> commands;
    for (const Section &s : src.sections)
        if (s.commands)
            for (const Entry &e : s.entries)
                commands.push_back(&e);
    if (!commands.empty()) {
        h << "\nstruct Command {\n    std::string_view name;\n    std::string_view usage;\n"
             "    std::string_view text;\n};\n\n"
             "// In the order of the help source.\ninline constexpr Command kCommands[] = {\n";
        for (const Entry *e : commands)
            h << "    {" << cString(e->term) << ", " << cString(e->usage) << ",\n     "
              << cString(joined(e->lines, "")) << "},\n";
        h << "};\n\n"
             "// The command `name`; compiling fails for a command the help source lacks.\n"
             "consteval const Command &command(std::string_view name) {\n"
             "    for (const Command &c : kCommands)\n"
             "        if (c.name == name)\n"
             "            return c;\n"
             "    throw \"command missing from the help source\";\n"
             "}\n";
    }
    h << "\n} // namespace " << ns << "\n";
    return h.str();
}

// Text for roff: backslashes and hyphens escaped, a leading '.' or '\'' defused.
std::string roff(const std::string &s) {
    std::string out;
    for (const char c : s) {
        if (c == '\\')
            out += "\\e";
        else if (c == '-')
            out += "\\-";
        else
            out += c;
    }
    if (!out.empty() && (out[0] == '.' || out[0] == '\''))
        out.insert(0, "\\&");
    return out;
}

// Paragraphs are filled by the reader; lines indented by two spaces are kept as they stand.
void roffText(std::ostream &m, const std::vector<std::string> &lines) {
    bool verbatim = false;
    for (const std::string &l : trimmed(lines)) {
        const bool kept = startsWith(l, "  ");
        if (kept != verbatim) {
            m << (kept ? ".nf\n" : ".fi\n");
            verbatim = kept;
        }
        if (l.empty())
            m << (verbatim ? "\n" : ".PP\n");
        else
            m << roff(l) << "\n";
    }
    if (verbatim)
        m << ".fi\n";
}

std::string upper(std::string s) {
    for (char &c : s)
        if (c >= 'a' && c <= 'z')
            c = char(c - 'a' + 'A');
    return s;
}

std::string manPage(const Source &src, const std::string &version, const std::string &date) {
    std::ostringstream m;
    m << ".TH " << roff(upper(src.name)) << " 1 \"" << date << "\" \"Tunara " << version
      << "\" \"User Commands\"\n";
    // Names and options read badly when split at a line's end.
    m << ".nh\n";
    m << ".SH NAME\n" << roff(src.name) << " \\- " << roff(src.summary) << "\n";
    m << ".SH SYNOPSIS\n.nf\n";
    for (const std::string &s : src.synopsis)
        m << "\\fB" << roff(src.name) << "\\fR " << roff(s) << "\n";
    m << ".fi\n";
    for (const Section &s : src.sections) {
        m << ".SH " << roff(s.title) << "\n";
        roffText(m, s.lines);
        for (const Entry &e : s.entries) {
            m << ".TP\n";
            if (s.commands) {
                m << "\\fB" << roff(src.name + " " + e.term) << "\\fR";
                if (!e.usage.empty())
                    m << ' ' << roff(e.usage);
                m << "\n";
            } else {
                m << "\\fB" << roff(e.term) << "\\fR\n";
            }
            roffText(m, e.lines);
        }
    }
    return m.str();
}

bool writeFile(const std::string &path, const std::string &content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    out.close();
    return bool(out);
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 7) {
        std::cerr << "usage: helpgen SOURCE NAMESPACE VERSION DATE HEADER MANPAGE\n";
        return 2;
    }
    std::ifstream in(argv[1]);
    if (!in) {
        std::cerr << "helpgen: cannot read " << argv[1] << "\n";
        return 1;
    }
    Source src;
    std::string error;
    if (!parse(in, src, error)) {
        std::cerr << argv[1] << ": " << error << "\n";
        return 1;
    }
    if (!writeFile(argv[5], header(src, argv[2], argv[3])) ||
        !writeFile(argv[6], manPage(src, argv[3], argv[4]))) {
        std::cerr << "helpgen: cannot write the outputs\n";
        return 1;
    }
    return 0;
}
