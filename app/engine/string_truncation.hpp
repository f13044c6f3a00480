#pragma once
// Shortening a text to a number of user-perceived characters, with a leader (such as
// "...") marking where text was left out. The warnings use it to keep picture names
// short in their messages.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace gw {

// Where the leader goes.
enum class TruncationPosition : std::uint8_t { head = 0, middle = 1, tail = 2 };

// The text split into user-perceived characters (extended grapheme clusters), each a
// slice of the UTF-8 text. Combining marks, variation selectors, emoji modifiers,
// zero-width-joiner sequences, regional-indicator pairs, Hangul syllable sequences and
// CR LF stay with the character they belong to. Bytes that are not UTF-8 count one
// character each.
std::vector<std::string_view> graphemeClusters(std::string_view text);

// A text of at most `length` characters stays as it is. Otherwise: head gives the
// leader and the last `length` characters; tail the first `length` characters and the
// leader; middle, with r = length - characters of the leader, the first ceil(r / 2)
// characters, the leader and the last floor(r / 2). Only middle counts the leader
// within `length`. A middle length shorter than the leader keeps no characters of the
// text on either side.
std::string truncated(std::string_view text, std::size_t length, TruncationPosition position,
                      std::string_view leader);

}  // namespace gw
