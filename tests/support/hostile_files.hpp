#pragma once
// Settings and documents made to hurt a reader: nested far deeper than any real file.
#include <cstddef>
#include <string>

namespace gwtest {

// A binary property list of `depth` arrays, each holding the next; the innermost is
// empty. With `loop`, the innermost holds the outermost instead.
std::string nestedBinaryPlist(std::size_t depth, bool loop = false);
// A binary property list of `levels` arrays, each referring twice to the next: a few
// hundred bytes that unfold into 2^levels values.
std::string sharedBinaryPlist(std::size_t levels);
// A binary property list of one dictionary entry, its key and its value each a UTF-16
// text (so either may hold a NUL, as no writer of ours makes one).
std::string binaryPlistOfTexts(const std::u16string& key, const std::u16string& value);
// The same as XML, and as JSON arrays.
std::string nestedXMLPlist(std::size_t depth);
std::string nestedJSON(std::size_t depth);

}  // namespace gwtest
