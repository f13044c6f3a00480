#pragma once
// What to do when a folder a conversion wants to write already exists and holds
// something, where that decision comes from, and the trailing-number operations that
// keep picture names distinct.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace gw {

enum class FileAlreadyExistsAction : int {
    ask = 0,        // show the already-exists window and use the user's answer
    increment = 1,  // write to the first free name instead
    overwrite = 2,  // remove the existing folder, then write afresh
    append = 3,     // write into the existing folder and keep its content
    cancel = 4,     // stop the whole conversion with userCancelled
};

// None outside 0...4.
std::optional<FileAlreadyExistsAction> fileAlreadyExistsActionFromRawValue(std::int64_t raw);
// A stored value outside 0...4 (negative ones too) reads as ask.
FileAlreadyExistsAction storedFileAlreadyExistsAction(std::int64_t raw);

// Gives the action to apply and remembers a new one (the always box of a prompt).
class FileAlreadyExistsActionProvider {
public:
    virtual ~FileAlreadyExistsActionProvider() = default;
    virtual FileAlreadyExistsAction fileAlreadyExistsAction() const = 0;
    virtual void setFileAlreadyExistsAction(FileAlreadyExistsAction action) = 0;
};

// The remembered answer for the catalog folder: the setting "CatalogExistsAction".
class UserDefaultsCatalogExistsActionProvider : public FileAlreadyExistsActionProvider {
public:
    FileAlreadyExistsAction fileAlreadyExistsAction() const override;
    void setFileAlreadyExistsAction(FileAlreadyExistsAction action) override;
};

// The remembered answer for asset folders inside a catalog: "CatalogContentExistsAction".
class UserDefaultsCatalogContentExistsActionProvider : public FileAlreadyExistsActionProvider {
public:
    FileAlreadyExistsAction fileAlreadyExistsAction() const override;
    void setFileAlreadyExistsAction(FileAlreadyExistsAction action) override;
};

// The number of the ASCII digits that end the text ("icon007" gives 7); none when the
// text does not end in a digit or the number does not fit a signed 64-bit integer.
std::optional<std::int64_t> trailingNumber(std::string_view text);

// Replaces the digits that end the text by the number's decimal text, or removes them
// when no number is given; appends the number when the text does not end in a digit.
void replaceTrailingNumber(std::string& text, std::optional<std::int64_t> number);

}  // namespace gw
