// A fill: whole albums chosen at random from the selection until the memory is full, albums the
// last fills sent chosen only when no other fits. The same seed and history choose the same
// albums on any machine.
#pragma once

#include "fillhistory.h"
#include "fit.h"

#include <cstdint>
#include <random>
#include <vector>

namespace tunara::sync {

// A number in [0, n) from `engine`, the same on every machine and library (n = 0 gives 0).
std::uint64_t boundedDraw(std::mt19937_64 &engine, std::uint64_t n);

// The albums' indices in the order a fill offers them: a seeded shuffle of the albums the
// history does not hold, then a seeded shuffle of those it holds.
std::vector<std::size_t> fillOrder(const std::vector<PlanAlbum> &albums, std::uint64_t seed,
                                   const FillHistory &history);

struct FillResult {
    std::vector<std::size_t> order; // album indices as offered; `fit` follows this order
    FitResult fit;
    std::vector<std::string> chosenKeys; // the albums that fit, for the history
};

// Fills the memory of `room` with whole albums of `albums`, leaving `keepFreeBytes` free.
FillResult fillAlbums(const std::vector<PlanAlbum> &albums, const Room &room, std::uint64_t seed,
                      const FillHistory &history, std::uint64_t keepFreeBytes);

} // namespace tunara::sync
