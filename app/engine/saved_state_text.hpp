#pragma once
// The saved state's text taken apart picture by picture, so that one damaged place costs
// only what it touches: a state read whole is split into its parts, and one that does not
// read whole (cut short, or damaged inside) is followed by its strings and brackets, each
// picture whose text reads whole taken on its own. Past a damaged place the reading picks
// up again at the next picture that reads whole, wherever the damage lies.
#include "platform/foundation/value.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
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
    // The list was followed past damage that took an unknown stretch of text: the places
    // of the pictures after it in the saved list are not known for sure.
    bool placesUncertain = false;
    std::optional<platform::foundation::Value> selection;
    // What is wrong with the state; empty for a whole one.
    std::vector<std::string> problems;
};

// The parts of a state read whole (what is missing or misplaced among them is a problem).
StoredState storedStateOf(platform::foundation::Value&& whole);
// What can be read of a state's text that did not read whole; `problem` says why not.
StoredState salvagedState(std::string_view text, std::string problem);

// One picture's text within a state's text, found without reading its value.
struct PictureText {
    std::size_t begin = 0;
    std::size_t end = 0;  // one past it
    std::string id;       // its "id", empty when it has none
};
// The pictures of a state's text as written by a save, or as far as a damaged one can be
// followed: those whose text reads whole as JSON (checked without building values), in
// order. `whole` says whether the text reads whole and unchanged by damage (no picture
// lost, nothing skipped). None when the text holds no list of pictures.
struct PictureTexts {
    std::vector<PictureText> pictures;
    bool whole = true;
    // The state's collection type, when it can be read.
    std::optional<std::int64_t> collectionType;
};
std::optional<PictureTexts> pictureTexts(std::string_view text);

}  // namespace gw::saved_state
