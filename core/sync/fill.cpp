#include "fill.h"

namespace tunara::sync {

namespace {

// Fisher-Yates with the draw above, so that the order depends on the seed alone.
void shuffle(std::vector<std::size_t> &items, std::mt19937_64 &engine) {
    for (std::size_t i = items.size(); i > 1; --i)
        std::swap(items[i - 1], items[std::size_t(boundedDraw(engine, i))]);
}

} // namespace

std::uint64_t boundedDraw(std::mt19937_64 &engine, std::uint64_t n) {
    if (n == 0)
        return 0;
    // Values at or above the largest multiple of n are drawn again, so that each result is
    // equally likely.
    const std::uint64_t limit = UINT64_MAX - UINT64_MAX % n;
    std::uint64_t v = engine();
    while (v >= limit)
        v = engine();
    return v % n;
}

std::vector<std::size_t> fillOrder(const std::vector<PlanAlbum> &albums, std::uint64_t seed,
                                   const FillHistory &history) {
    std::vector<std::size_t> fresh, recent;
    for (std::size_t i = 0; i < albums.size(); ++i)
        (history.contains(albums[i].key) ? recent : fresh).push_back(i);
    std::mt19937_64 engine(seed);
    shuffle(fresh, engine);
    shuffle(recent, engine);
    fresh.insert(fresh.end(), recent.begin(), recent.end());
    return fresh;
}

FillResult fillAlbums(const std::vector<PlanAlbum> &albums, const Room &room, std::uint64_t seed,
                      const FillHistory &history, std::uint64_t keepFreeBytes) {
    FillResult result;
    result.order = fillOrder(albums, seed, history);
    std::vector<PlanAlbum> offered;
    offered.reserve(albums.size());
    for (const std::size_t i : result.order)
        offered.push_back(albums[i]);
    result.fit = fitAlbums(offered, room, FitMode::SkipWhatDoesNotFit, keepFreeBytes);
    for (std::size_t k = 0; k < offered.size(); ++k)
        for (const Verdict v : result.fit.verdicts[k])
            if (v == Verdict::Fits) {
                result.chosenKeys.push_back(offered[k].key);
                break;
            }
    return result;
}

} // namespace tunara::sync
