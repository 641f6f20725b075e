// Free player names for the files of one plan: the names media::freeName gives ("name (2).mp3",
// "name (3).mp3"...), found without trying every number from 2 again for each file: a library
// holds a thousand "01 Intro.mp3", and trying from 2 each time made the plan quadratic.
#pragma once

#include <map>
#include <set>
#include <string>

namespace tunara::sync {

class NameAllocator {
public:
    // `taken`: the folded names the player holds.
    explicit NameAllocator(std::set<std::string> taken) : m_taken(std::move(taken)) {}

    // `desired`, or the first of its numbered forms not taken; the result is taken from now on.
    std::string take(const std::string &desired);

private:
    std::set<std::string> m_taken;                // folded
    std::map<std::string, unsigned> m_nextNumber; // folded desired name -> number to try next
};

} // namespace tunara::sync
