#pragma once
// The saved state's text taken apart picture by picture, so that one damaged place costs
// only what it touches: a state read whole is split into its parts, and one that does not
// read whole (cut short, or damaged inside) is followed as far as its structure allows,
// each part that ends before the damage read on its own.
#include "platform/foundation/value.hpp"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gw::saved_state {

struct StoredPicture {
    std::size_t position = 0;
    // The picture's stored form; none when its text could not be read.
    std::optional<platform::foundation::Value> form;
    // Without a form: its name, when that much of its text could be read.
    std::string name;
};

struct StoredState {
    std::optional<platform::foundation::Value> collectionType;
    // None when no list of pictures was found.
    std::optional<std::vector<StoredPicture>> pictures;
    // The list breaks off: pictures after the last one found may be missing.
    bool picturesBreakOff = false;
    std::optional<platform::foundation::Value> selection;
    // What is wrong with the state; empty for a whole one.
    std::vector<std::string> problems;
};

// The parts of a state read whole (what is missing or misplaced among them is a problem).
StoredState storedStateOf(platform::foundation::Value&& whole);
// What can be read of a state's text that did not read whole; `problem` says why not.
StoredState salvagedState(std::string_view text, std::string problem);

}  // namespace gw::saved_state
