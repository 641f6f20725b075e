#include "planalbums.h"

#include "nameallocator.h"
#include "playerformat.h"
#include "recordcost.h"
#include "shortnames.h"
#include "sizeprediction.h"

#include <filesystem>
#include <set>

namespace tunara::sync {

PlannedAlbums planAlbums(const Selection &selection, const std::vector<std::string> &presentNames,
                         const PlanSettings &settings, MetadataCache &cache) {
    PlannedAlbums planned;
    std::set<std::string> present;
    for (const std::string &name : presentNames)
        present.insert(media::foldCase(name));
    NameAllocator names(present);
    for (const Album &album : selection.albums) {
        PlanAlbum out;
        out.key = album.key;
        for (const SourceFile &file : album.files) {
            PlanTrack t;
            bool probed = false;
            const std::string why = describeTrack(file, settings, cache, false, t, probed);
            planned.probed += probed ? 1 : 0;
            if (!why.empty()) {
                planned.skipped.push_back({file.path, why});
                continue;
            }
            if (!settings.shortNames && present.contains(media::foldCase(t.playerName))) {
                t.present = true;
            } else if (!settings.shortNames) {
                t.playerName = names.take(t.playerName);
            }
            t.records = recordCost(t.playerName);
            out.tracks.push_back(std::move(t));
        }
        if (!out.tracks.empty())
            planned.albums.push_back(std::move(out));
    }
    if (settings.shortNames)
        useShortNames(planned.albums, present);
    return planned;
}

std::string describeTrack(const SourceFile &file, const PlanSettings &settings,
                          MetadataCache &cache, bool readTags, PlanTrack &t, bool &probed) {
    probed = false;
    t.source = file.path;
    t.converted =
        !settings.asIs &&
        media::routeFor(file.path, settings.model, settings.memory).route == media::Route::Convert;
    t.title = std::filesystem::path(file.path).stem().string();
    t.bytes = file.size;
    t.playerName = t.converted ? media::convertedName(file.path) : media::sentName(file.path);
    if (!t.converted && !readTags)
        return {};
    auto read = cache.get(file.path, &probed);
    if (const auto *why = std::get_if<std::string>(&read))
        return t.converted ? *why : std::string(); // a file sent as it is needs no tags
    const SourceInfo &info = std::get<SourceInfo>(read);
    t.trackNumber = info.track;
    if (!info.title.empty())
        t.title = info.title;
    if (t.converted) {
        t.sampleRate = outputSampleRate(info.sampleRate);
        t.bytes = predictedConvertedBytes(info, convertSettingsOf(t, settings));
    }
    return {};
}

media::ConvertSettings convertSettingsOf(const PlanTrack &track, const PlanSettings &settings) {
    media::ConvertSettings s = settings.convert;
    if (track.sampleRate > 0)
        s.sampleRate = track.sampleRate;
    return s;
}

} // namespace tunara::sync
