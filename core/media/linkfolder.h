// The player library names a file on the player after the local file it is given. A file is
// sent under another name (a converted file, a name made free) through a symbolic link of that
// name in a private folder made in the temporary folder.
#pragma once

#include <filesystem>
#include <string>

namespace tunara::media {

class LinkFolder {
public:
    // `prefix` starts the folder's name ("kesto-send" makes /tmp/kesto-send-XXXXXX). Taken
    // before a run leaves the working folder: the temporary folder may be named relative to it.
    explicit LinkFolder(std::string prefix);
    LinkFolder(const LinkFolder &) = delete;
    LinkFolder &operator=(const LinkFolder &) = delete;
    // Removes the folder; the links in it must have been removed.
    ~LinkFolder();

    // The path of a new link `name` to `target`, or "" with errno set. The caller removes it.
    // The folder is made on first use. One thread at a time.
    std::string link(const std::filesystem::path &target, const std::string &name);

private:
    std::filesystem::path m_root;
    std::string m_prefix;
    std::string m_path; // made on first use
};

} // namespace tunara::media
