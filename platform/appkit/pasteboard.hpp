#pragma once
// A pasteboard of typed data, file URLs and file promises, without any window system
// (the model behind the platform's pasteboard; the desktop clipboard and drag-and-drop
// adapters fill and read it). A pasteboard holds one set of contents at a time: each
// type offered once, in the order the writer declared them.
#include "platform/dispatch/operation_queue.hpp"
#include "platform/foundation/url.hpp"
#include "platform/foundation/value.hpp"

#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::appkit {

using PasteboardType = std::string;

// The platform's standard type identifiers.
inline constexpr std::string_view pasteboardTypeTIFF = "public.tiff";
inline constexpr std::string_view pasteboardTypePNG = "public.png";
inline constexpr std::string_view pasteboardTypeFileURL = "public.file-url";
inline constexpr std::string_view pasteboardTypeString = "public.utf8-plain-text";
// The old-style type under which a drag source offers files it has yet to write.
inline constexpr std::string_view filesPromisePboardType = "NSFilesPromisePboardType";

// One promise of files that a drag source will write where the receiver asks (the
// platform's file-promise receiver). On Linux no drag source makes such promises; the
// model keeps the receiving side complete so the code behind it runs and is tested:
// the promised files are produced by a writer given at construction.
class FilePromiseReceiver {
public:
    // Writes one promised file into `destination` and returns its URL, or throws what
    // went wrong (the reader is then called with that error).
    using FileWriter = std::function<foundation::URL(const foundation::URL& destination)>;
    using Reader = std::function<void(const foundation::URL& file, std::exception_ptr error)>;

    FilePromiseReceiver(std::vector<std::string> fileTypes, std::vector<FileWriter> writers);

    // The pasteboard types a receiver can be read from, in the platform's order.
    static const std::vector<PasteboardType>& readableDraggedTypes();

    // Type identifiers of the promised files, one per file.
    const std::vector<std::string>& fileTypes() const { return fileTypes_; }
    std::size_t fileCount() const { return writers_.size(); }

    // Asks for every promised file to be written into `destination`. Each file is
    // written by an operation on `queue`, which then calls `reader` once for that file
    // with its URL, or with the error that kept it from being written. Returns at once.
    void receivePromisedFiles(const foundation::URL& destination, const foundation::Dictionary& options,
                              dispatch::OperationQueue& queue, Reader reader) const;

private:
    std::vector<std::string> fileTypes_;
    std::vector<FileWriter> writers_;
};

// An object that can put itself on a pasteboard (the platform's pasteboard-writing
// protocol).
class PasteboardWriting {
public:
    virtual ~PasteboardWriting() = default;
    virtual std::vector<PasteboardType> writableTypesForPasteboard() const = 0;
    // The bytes for one of the writable types; none when the object cannot give them.
    virtual std::optional<foundation::Data> pasteboardPropertyListForType(std::string_view type) const = 0;
};

class Pasteboard {
public:
    Pasteboard() = default;
    explicit Pasteboard(std::string name) : name_(std::move(name)) {}
    Pasteboard(const Pasteboard&) = delete;
    Pasteboard& operator=(const Pasteboard&) = delete;

    // The process-wide pasteboard of copy and paste.
    static Pasteboard& general();
    // The process-wide pasteboard with this name (drags use "Apple CFPasteboard drag").
    static Pasteboard& withName(const std::string& name);

    const std::string& name() const { return name_; }

    // Empties the pasteboard and starts new contents; returns the new change count.
    std::int64_t clearContents();
    // Counts every change of the contents.
    std::int64_t changeCount() const;

    // Types offered, in the order they were written.
    std::vector<PasteboardType> types() const;
    // The first type of `types` (in that list's order) that the pasteboard offers; none
    // when it offers none of them.
    std::optional<PasteboardType> availableTypeFromArray(const std::vector<PasteboardType>& types) const;

    // Offers `data` under `type`, replacing what that type held. Returns false for an
    // empty type name.
    bool setData(const foundation::Data& data, std::string_view type);
    bool setString(std::string_view text, std::string_view type);
    std::optional<foundation::Data> dataForType(std::string_view type) const;
    std::optional<std::string> stringForType(std::string_view type) const;

    // Writes each object's data for each of its writable types. False when an object
    // gives no data for one of its types (the rest is still written).
    bool writeObjects(const std::vector<const PasteboardWriting*>& objects);

    // File URLs, in order, offered under pasteboardTypeFileURL (adding to those there).
    void writeFileURLs(const std::vector<foundation::URL>& urls);
    // The file URLs on the pasteboard; none when it offers no file URL.
    std::optional<std::vector<foundation::URL>> readFileURLs() const;

    // File promises, offered under filesPromisePboardType and every type of
    // FilePromiseReceiver::readableDraggedTypes().
    void writeFilePromises(const std::vector<std::shared_ptr<const FilePromiseReceiver>>& receivers);
    // The promises on the pasteboard; none when it offers none.
    std::optional<std::vector<std::shared_ptr<const FilePromiseReceiver>>> readFilePromiseReceivers() const;

private:
    struct Entry {
        PasteboardType type;
        foundation::Data data;
    };
    Entry* entryLocked(std::string_view type);
    const Entry* entryLocked(std::string_view type) const;

    std::string name_;
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
    std::vector<foundation::URL> fileURLs_;
    std::vector<std::shared_ptr<const FilePromiseReceiver>> promises_;
    std::int64_t changeCount_ = 0;
};

}  // namespace platform::appkit
