#include "platform/appkit/pasteboard.hpp"

#include <map>

namespace platform::appkit {

using foundation::Data;
using foundation::URL;

FilePromiseReceiver::FilePromiseReceiver(std::vector<std::string> fileTypes, std::vector<FileWriter> writers)
    : fileTypes_(std::move(fileTypes)), writers_(std::move(writers)) {}

const std::vector<PasteboardType>& FilePromiseReceiver::readableDraggedTypes() {
    static const std::vector<PasteboardType> types = {"com.apple.NSFilePromiseItemMetaData",
                                                      "com.apple.pasteboard.promised-file-url"};
    return types;
}

void FilePromiseReceiver::receivePromisedFiles(const URL& destination, const foundation::Dictionary& /*options*/,
                                               dispatch::OperationQueue& queue, Reader reader) const {
    for (const auto& writer : writers_) {
        queue.addOperation([writer, destination, reader] {
            URL written;
            std::exception_ptr error;
            try {
                written = writer(destination);
            } catch (...) {
                error = std::current_exception();
            }
            reader(written, error);
        });
    }
}

Pasteboard& Pasteboard::general() { return withName("Apple CFPasteboard general"); }

Pasteboard& Pasteboard::withName(const std::string& name) {
    static std::mutex mutex;
    static std::map<std::string, std::unique_ptr<Pasteboard>> boards;
    std::lock_guard lock(mutex);
    auto& slot = boards[name];
    if (!slot) slot = std::make_unique<Pasteboard>(name);
    return *slot;
}

std::int64_t Pasteboard::clearContents() {
    std::lock_guard lock(mutex_);
    entries_.clear();
    fileURLs_.clear();
    promises_.clear();
    return ++changeCount_;
}

std::int64_t Pasteboard::changeCount() const {
    std::lock_guard lock(mutex_);
    return changeCount_;
}

std::vector<PasteboardType> Pasteboard::types() const {
    std::lock_guard lock(mutex_);
    std::vector<PasteboardType> result;
    result.reserve(entries_.size());
    for (const auto& entry : entries_) result.push_back(entry.type);
    return result;
}

std::optional<PasteboardType> Pasteboard::availableTypeFromArray(const std::vector<PasteboardType>& types) const {
    std::lock_guard lock(mutex_);
    for (const auto& type : types) {
        if (entryLocked(type)) return type;
    }
    return std::nullopt;
}

Pasteboard::Entry* Pasteboard::entryLocked(std::string_view type) {
    for (auto& entry : entries_) {
        if (entry.type == type) return &entry;
    }
    return nullptr;
}

const Pasteboard::Entry* Pasteboard::entryLocked(std::string_view type) const {
    for (const auto& entry : entries_) {
        if (entry.type == type) return &entry;
    }
    return nullptr;
}

bool Pasteboard::setData(const Data& data, std::string_view type) {
    if (type.empty()) return false;
    std::lock_guard lock(mutex_);
    if (auto* entry = entryLocked(type)) {
        entry->data = data;
    } else {
        entries_.push_back(Entry{std::string(type), data});
    }
    ++changeCount_;
    return true;
}

bool Pasteboard::setString(std::string_view text, std::string_view type) {
    return setData(foundation::dataFromString(text), type);
}

std::optional<Data> Pasteboard::dataForType(std::string_view type) const {
    std::lock_guard lock(mutex_);
    if (const auto* entry = entryLocked(type)) return entry->data;
    return std::nullopt;
}

std::optional<std::string> Pasteboard::stringForType(std::string_view type) const {
    auto data = dataForType(type);
    if (!data) return std::nullopt;
    return foundation::stringFromData(*data);
}

bool Pasteboard::writeObjects(const std::vector<const PasteboardWriting*>& objects) {
    bool complete = true;
    for (const auto* object : objects) {
        if (!object) continue;
        for (const auto& type : object->writableTypesForPasteboard()) {
            auto data = object->pasteboardPropertyListForType(type);
            if (!data) {
                complete = false;
                continue;
            }
            setData(*data, type);
        }
    }
    return complete;
}

void Pasteboard::writeFileURLs(const std::vector<URL>& urls) {
    if (urls.empty()) return;
    std::lock_guard lock(mutex_);
    fileURLs_.insert(fileURLs_.end(), urls.begin(), urls.end());
    // The type's own data is the first URL's text, as single-item readers expect.
    auto data = foundation::dataFromString(fileURLs_.front().absoluteString());
    if (auto* entry = entryLocked(pasteboardTypeFileURL)) {
        entry->data = std::move(data);
    } else {
        entries_.push_back(Entry{std::string(pasteboardTypeFileURL), std::move(data)});
    }
    ++changeCount_;
}

std::optional<std::vector<URL>> Pasteboard::readFileURLs() const {
    std::lock_guard lock(mutex_);
    const auto* entry = entryLocked(pasteboardTypeFileURL);
    if (!entry) return std::nullopt;
    if (!fileURLs_.empty()) return fileURLs_;
    // Written as plain data by someone else: one URL text.
    auto url = URL::fromString(foundation::stringFromData(entry->data));
    if (!url) return std::nullopt;
    return std::vector<URL>{*url};
}

void Pasteboard::writeFilePromises(const std::vector<std::shared_ptr<const FilePromiseReceiver>>& receivers) {
    if (receivers.empty()) return;
    std::lock_guard lock(mutex_);
    promises_.insert(promises_.end(), receivers.begin(), receivers.end());
    std::vector<PasteboardType> types{std::string(filesPromisePboardType)};
    const auto& readable = FilePromiseReceiver::readableDraggedTypes();
    types.insert(types.end(), readable.begin(), readable.end());
    for (const auto& type : types) {
        if (!entryLocked(type)) entries_.push_back(Entry{type, {}});
    }
    ++changeCount_;
}

std::optional<std::vector<std::shared_ptr<const FilePromiseReceiver>>> Pasteboard::readFilePromiseReceivers() const {
    std::lock_guard lock(mutex_);
    if (promises_.empty()) return std::nullopt;
    return promises_;
}

}  // namespace platform::appkit
