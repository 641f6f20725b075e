#include "synclevels.h"

#include "playerformat.h"

#include <set>

namespace tunara::sync {

bool throughConverter(const SyncItem &item, media::LevelMode level) {
    return item.converted || (level != media::LevelMode::Off &&
                              media::audioKindOf(item.source) == media::AudioKind::Mp3);
}

media::ConvertSettings itemSettings(const SyncItem &item, const media::ConvertSettings &base) {
    media::ConvertSettings settings = base;
    if (item.sampleRate > 0)
        settings.sampleRate = item.sampleRate;
    settings.keepEncoding = !item.converted;
    return settings;
}

std::vector<ItemAlbum> itemAlbums(const SyncPlan &plan, const media::ConvertSettings &settings,
                                  std::shared_ptr<const media::LoudnessCache> cache) {
    const media::LevelMode level = settings.level;
    std::vector<ItemAlbum> albums(plan.items.size());
    if (level != media::LevelMode::Album)
        return albums;
    std::map<std::size_t, std::vector<media::LevelSource>> files;
    for (std::size_t k = 0; k < plan.items.size(); ++k) {
        const SyncItem &s = plan.items[k];
        if ((s.action == Action::Send || s.action == Action::Replace || s.action == Action::Keep) &&
            throughConverter(s, level)) {
            albums[k].index = files[s.album].size();
            files[s.album].push_back({s.source, media::PeakMode::Sample, settings.useStoredGain});
        }
    }
    std::map<std::size_t, std::shared_ptr<media::AlbumLevels>> made;
    for (auto &[album, sources] : files)
        made[album] = std::make_shared<media::AlbumLevels>(std::move(sources), cache);
    for (std::size_t k = 0; k < plan.items.size(); ++k) {
        const SyncItem &s = plan.items[k];
        if ((s.action == Action::Send || s.action == Action::Replace) && made.contains(s.album) &&
            throughConverter(s, level))
            albums[k].levels = made[s.album];
    }
    return albums;
}

std::map<std::string, media::LevelMode>
recordsAfterRun(const std::map<std::string, media::LevelMode> &before,
                const std::vector<std::string> &namesNow,
                const std::map<std::string, media::LevelMode> &sentWith) {
    std::set<std::string> present;
    for (const std::string &name : namesNow)
        present.insert(media::foldCase(name));
    std::set<std::string> sent;
    std::map<std::string, media::LevelMode> now;
    for (const auto &[name, mode] : sentWith) {
        const std::string folded = media::foldCase(name);
        sent.insert(folded);
        if (mode != media::LevelMode::Off && present.contains(folded))
            now[name] = mode;
    }
    for (const auto &[name, mode] : before) {
        const std::string folded = media::foldCase(name);
        if (!sent.contains(folded) && present.contains(folded))
            now[name] = mode;
    }
    return now;
}

} // namespace tunara::sync
