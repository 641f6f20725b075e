#include "mutagenjudge.h"

#include "mediatestutil.h"

#include <sstream>

#ifndef TUNARA_PYTHON
#define TUNARA_PYTHON "/usr/bin/python3"
#endif

namespace mediatest {

namespace {

// Prints one record per line: "KIND<TAB>ID<TAB>VALUE" with VALUE's newlines escaped, so that
// the C++ side needs no JSON parser.
constexpr const char *kReader = R"PY(
import sys
from mutagen.id3 import ID3
def esc(s): return s.replace('\\', '\\\\').replace('\n', '\\n')
t = ID3(sys.argv[1], translate=False)
print('version\t-\t%d' % t.version[1])
for f in t.values():
    print('id\t%s\t' % f.FrameID)
    if f.FrameID.startswith('T') and f.FrameID != 'TXXX':
        for s in f.text: print('text\t%s\t%s' % (f.FrameID, esc(str(s))))
        print('enc\t%s\t%d' % (f.FrameID, int(f.encoding)))
    if f.FrameID == 'COMM' and f.desc == '':
        print('comm\t-\t%s' % esc(f.text[0] if f.text else ''))
    if f.FrameID == 'WXXX' and f.desc == '':
        print('wxxx\t-\t%s' % esc(f.url))
    if f.FrameID == 'APIC':
        print('apic\t-\t%d' % len(f.data))
    elif not f.FrameID.startswith('T'):
        print('repr\t%s\t%s' % (f.FrameID, esc(repr(f))))
)PY";

std::string unescape(const std::string &s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size()) {
            out += s[i + 1] == 'n' ? '\n' : s[i + 1];
            ++i;
        } else {
            out += s[i];
        }
    }
    return out;
}

} // namespace

MutagenView mutagenRead(const std::string &path) {
    MutagenView view;
    const RunResult r = run({TUNARA_PYTHON, "-c", kReader, path});
    if (r.status != 0) {
        view.error = r.err;
        return view;
    }
    std::istringstream in(r.out);
    std::string line;
    while (std::getline(in, line)) {
        const auto a = line.find('\t');
        const auto b = line.find('\t', a + 1);
        if (a == std::string::npos || b == std::string::npos)
            continue;
        const std::string kind = line.substr(0, a), id = line.substr(a + 1, b - a - 1),
                          value = unescape(line.substr(b + 1));
        if (kind == "version")
            view.version = std::stoi(value);
        else if (kind == "id")
            view.ids.push_back(id);
        else if (kind == "text")
            view.text[id].push_back(value);
        else if (kind == "enc")
            view.encoding[id] = std::stoi(value);
        else if (kind == "comm")
            view.comment = value;
        else if (kind == "wxxx")
            view.url = value;
        else if (kind == "repr")
            view.other[id].push_back(value);
        else if (kind == "apic")
            view.pictureBytes = std::stoul(value);
    }
    view.ok = true;
    return view;
}

bool mutagenWrite(const std::string &path, const std::string &snippet, int version) {
    const std::string script =
        "import sys\nimport mutagen.id3 as m\n"
        "globals().update({k: getattr(m, k) for k in dir(m) if k.isupper()})\n"
        "tags = m.ID3()\n" +
        snippet + "\ntags.save(sys.argv[1], v2_version=" + std::to_string(version) + ")\n";
    return run({TUNARA_PYTHON, "-c", script, path}).status == 0;
}

} // namespace mediatest
