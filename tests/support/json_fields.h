// Reading the --json output of the command-line program with Debian's JSON library.
#pragma once

#include <nlohmann/json.hpp>

#include <map>
#include <string>
#include <vector>

namespace kestousb::test {

// The scalar members of one JSON object as text: a string as it is, a number, true, false or
// null as JSON writes it. Arrays and objects inside are left out.
using JsonFields = std::map<std::string, std::string>;

inline JsonFields scalarFields(const nlohmann::json &object) {
    JsonFields fields;
    for (const auto &[key, value] : object.items()) {
        if (value.is_string())
            fields[key] = value.get<std::string>();
        else if (value.is_primitive())
            fields[key] = value.dump();
    }
    return fields;
}

// `text` as one object: its scalars go to `top`, the objects of its array `listKey` to `items`.
// False when the text is not JSON, not an object, or the array is missing or holds anything
// but objects.
inline bool readJsonList(const std::string &text, const std::string &listKey, JsonFields &top,
                         std::vector<JsonFields> &items) {
    const nlohmann::json doc = nlohmann::json::parse(text, nullptr, false);
    if (doc.is_discarded() || !doc.is_object() || !doc.contains(listKey) ||
        !doc[listKey].is_array())
        return false;
    top = scalarFields(doc);
    for (const nlohmann::json &item : doc[listKey]) {
        if (!item.is_object())
            return false;
        items.push_back(scalarFields(item));
    }
    return true;
}

} // namespace kestousb::test
