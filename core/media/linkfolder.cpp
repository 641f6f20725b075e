#include "linkfolder.h"

#include <cstdlib>

#include <unistd.h>

namespace tunara::media {

namespace fs = std::filesystem;

LinkFolder::LinkFolder(std::string prefix) : m_prefix(std::move(prefix)) {
    std::error_code ec;
    const fs::path tmp = fs::temp_directory_path(ec);
    m_root = ec ? fs::path("/tmp") : fs::absolute(tmp, ec);
}

LinkFolder::~LinkFolder() {
    if (!m_path.empty())
        ::rmdir(m_path.c_str());
}

std::string LinkFolder::link(const fs::path &target, const std::string &name) {
    if (m_path.empty()) {
        std::string pattern = m_root / (m_prefix + "-XXXXXX");
        if (::mkdtemp(pattern.data()) == nullptr)
            return {};
        m_path = pattern;
    }
    const std::string path = m_path + "/" + name;
    return ::symlink(target.c_str(), path.c_str()) == 0 ? path : std::string();
}

} // namespace tunara::media
