#include "app/engine/memory_budget.hpp"

#include "platform/graphics/drawing_budget.hpp"
#include "platform/graphics/image_rep.hpp"

#include <algorithm>
#include <chrono>
#include <optional>

namespace gw {

namespace pg = platform::graphics;

namespace {

template <class Each>
void forEachReleasableBitmap(const pg::Image& image, const Each& each) {
    for (const auto& rep : image.representations()) {
        if (!rep || rep->kind() != pg::ImageRep::Kind::bitmap) continue;
        const auto& bitmap = static_cast<const pg::BitmapRep&>(*rep);
        if (bitmap.isReloadable()) each(bitmap);
    }
}

// Every pixel a releasable bitmap of the picture has is in memory.
bool pixelsInMemory(const pg::Image& image) {
    bool all = true;
    forEachReleasableBitmap(image, [&](const pg::BitmapRep& bitmap) { all = all && bitmap.hasPixels(); });
    return all;
}

// How often a waiting admission looks again whether it was stopped or room was made
// elsewhere; room made by admitted work wakes it at once.
constexpr auto kStopPoll = std::chrono::milliseconds(50);

}  // namespace

std::uint64_t releasablePixelBytes(const pg::Image& image) {
    std::uint64_t bytes = 0;
    forEachReleasableBitmap(image, [&](const pg::BitmapRep& bitmap) {
        bytes += std::uint64_t(std::max(0, bitmap.pixelsWide())) * std::uint64_t(std::max(0, bitmap.pixelsHigh())) * 4;
    });
    return bytes;
}

MemoryBudget& MemoryBudget::shared() {
    // Never destroyed: operations on detached threads may still end while the process exits.
    // A document's drawing claims its surfaces and images from a budget of its own as it
    // starts, inside work admitted here: work waits while they are held.
    static auto* budget = new MemoryBudget(kBytes, [] { return pg::DrawingBudget::held(); });
    return *budget;
}

MemoryBudget::MemoryBudget(std::uint64_t capacity, std::function<std::uint64_t()> heldElsewhere)
    : capacity_(capacity), heldElsewhere_(std::move(heldElsewhere)) {}

std::uint64_t MemoryBudget::held() const {
    std::lock_guard lock(mutex_);
    return working_ + picturesBytes_;
}

std::size_t MemoryBudget::picturesHeld() const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(pictures_.begin(), pictures_.end(), [](const auto& entry) { return entry.second.inMemory; }));
}

MemoryBudget::Held* MemoryBudget::find(const pg::Image* picture) {
    const auto found = pictures_.find(picture);
    if (found == pictures_.end()) return nullptr;
    if (found->second.picture.expired()) {
        // Gone with its pixels; another picture may be made at the same address.
        if (found->second.inMemory) picturesBytes_ -= found->second.bytes;
        pictures_.erase(found);
        return nullptr;
    }
    return &found->second;
}

void MemoryBudget::forgetIfUnused(const pg::Image* picture) {
    const auto found = pictures_.find(picture);
    if (found == pictures_.end()) return;
    const Held& held = found->second;
    if (!held.inMemory && held.users == 0 && held.expected == 0) pictures_.erase(found);
}

std::uint64_t MemoryBudget::needed(std::uint64_t bytes, const std::vector<PictureUse>& pictures, bool& reads) {
    std::uint64_t need = bytes;
    reads = false;
    for (const auto& use : pictures) {
        const std::uint64_t pixels = releasablePixelBytes(*use.picture);
        if (pixels == 0) continue;
        Held* held = find(use.picture.get());
        if (held && held->inMemory && held->users == 0 && !pixelsInMemory(*use.picture)) {
            // Let go by someone else (a folder's reading lets the pixels of pictures
            // waiting for their turn go): they are not held any more.
            uncount(*held);
        }
        if (held && held->inMemory) continue;
        need += pixels;
        if (!pixelsInMemory(*use.picture)) {
            need += use.readingBytes;
            reads = true;
        }
    }
    return need;
}

bool MemoryBudget::makeRoom(std::uint64_t need, const std::vector<PictureUse>& pictures) {
    const std::uint64_t used = working_ + picturesBytes_ + (heldElsewhere_ ? heldElsewhere_() : 0);
    if (used + need <= capacity_) return true;
    // Pictures nobody draws now, those no work to come needs first, then the oldest.
    std::vector<std::pair<const pg::Image*, Held*>> idle;
    for (auto& [picture, held] : pictures_) {
        if (!held.inMemory || held.users > 0) continue;
        const bool ours = std::any_of(pictures.begin(), pictures.end(),
                                      [&](const PictureUse& use) { return use.picture.get() == picture; });
        if (ours || held.picture.expired()) continue;
        if (held.expected > 0 && running_ > 0) continue;
        idle.emplace_back(picture, &held);
    }
    std::sort(idle.begin(), idle.end(), [](const auto& a, const auto& b) {
        if ((a.second->expected > 0) != (b.second->expected > 0)) return a.second->expected == 0;
        return a.second->lastUse < b.second->lastUse;
    });
    std::uint64_t freeable = 0;
    for (const auto& entry : idle) freeable += entry.second->bytes;
    const bool fits = used - freeable + need <= capacity_;
    // Work that needs more than all there is runs once nothing else does.
    if (!fits && running_ > 0) return false;
    std::uint64_t remaining = used;
    for (const auto& [picture, held] : idle) {
        if (fits && remaining + need <= capacity_) break;
        remaining -= held->bytes;
        letGoLocked(picture, *held);
    }
    return true;
}

void MemoryBudget::uncount(Held& held) {
    if (held.inMemory) picturesBytes_ -= held.bytes;
    held.inMemory = false;
}

MemoryBudget::Held& MemoryBudget::entry(const pg::ImagePtr& picture) {
    if (Held* held = find(picture.get())) return *held;
    Held& held = pictures_[picture.get()];
    held.picture = picture;
    return held;
}

void MemoryBudget::letGoLocked(const pg::Image* picture, Held& held) {
    uncount(held);
    // Let go once the budget is free again: a reader that was not admitted (a preview)
    // may hold the bitmap while it reads it.
    if (auto image = held.picture.lock()) lettingGo_.push_back(std::move(image));
    forgetIfUnused(picture);
}

MemoryBudget::Admission MemoryBudget::admit(std::uint64_t bytes, const std::vector<PictureUse>& given,
                                            const std::function<bool()>& stop) {
    // Each picture once, however many of the work's drawings show it.
    std::vector<PictureUse> pictures;
    for (const auto& use : given) {
        if (!use.picture) continue;
        const auto same = std::find_if(pictures.begin(), pictures.end(),
                                       [&](const PictureUse& other) { return other.picture == use.picture; });
        if (same == pictures.end()) {
            pictures.push_back(use);
        } else {
            same->readingBytes = std::max(same->readingBytes, use.readingBytes);
        }
    }
    std::unique_lock lock(mutex_);
    std::optional<std::uint64_t> ticket;
    for (;;) {
        bool reads = false;
        const std::uint64_t need = needed(bytes, pictures, reads);
        // Reading a picture takes the most memory: those that must read go in turn, so
        // that a large one is not passed over again and again.
        const bool turn = !reads || readersWaiting_.empty() || (ticket && *ticket == *readersWaiting_.begin());
        if (turn && makeRoom(need, pictures)) break;
        if (reads && !ticket) {
            ticket = nextTicket_++;
            readersWaiting_.insert(*ticket);
        }
        if (stop && stop()) {
            if (ticket) readersWaiting_.erase(*ticket);
            lock.unlock();
            changed_.notify_all();
            return {};
        }
        changed_.wait_for(lock, kStopPoll);
    }
    if (ticket) readersWaiting_.erase(*ticket);

    Admission admission;
    admission.budget_ = this;
    admission.bytes_ = bytes;
    for (const auto& use : pictures) {
        const std::uint64_t pixels = releasablePixelBytes(*use.picture);
        if (pixels == 0) continue;
        Held* held = &entry(use.picture);
        if (!held->inMemory) {
            if (!pixelsInMemory(*use.picture)) admission.readingBytes_ += use.readingBytes;
            held->inMemory = true;
            held->bytes = pixels;
            picturesBytes_ += pixels;
        }
        ++held->users;
        held->lastUse = ++clock_;
        admission.pictures_.push_back(use.picture.get());
    }
    working_ += admission.bytes_ + admission.readingBytes_;
    ++running_;
    const auto lettingGo = std::move(lettingGo_);
    lettingGo_.clear();
    lock.unlock();
    for (const auto& picture : lettingGo) picture->releasePixels();
    // Another reader may have its turn now.
    if (ticket) changed_.notify_all();
    return admission;
}

void MemoryBudget::release(Admission& admission) {
    {
        std::lock_guard lock(mutex_);
        working_ -= admission.bytes_ + admission.readingBytes_;
        for (const auto* picture : admission.pictures_) {
            if (Held* held = find(picture)) {
                --held->users;
                held->lastUse = ++clock_;
            }
            forgetIfUnused(picture);
        }
        --running_;
    }
    changed_.notify_all();
}

void MemoryBudget::Admission::picturesRead() {
    if (!budget_ || readingBytes_ == 0) return;
    {
        std::lock_guard lock(budget_->mutex_);
        budget_->working_ -= readingBytes_;
        readingBytes_ = 0;
    }
    budget_->changed_.notify_all();
}

void MemoryBudget::Admission::end() {
    if (!budget_) return;
    budget_->release(*this);
    budget_ = nullptr;
    pictures_.clear();
}

MemoryBudget::Admission::Admission(Admission&& other) noexcept
    : budget_(other.budget_),
      bytes_(other.bytes_),
      readingBytes_(other.readingBytes_),
      pictures_(std::move(other.pictures_)) {
    other.budget_ = nullptr;
}

MemoryBudget::Admission& MemoryBudget::Admission::operator=(Admission&& other) noexcept {
    if (this != &other) {
        end();
        budget_ = other.budget_;
        bytes_ = other.bytes_;
        readingBytes_ = other.readingBytes_;
        pictures_ = std::move(other.pictures_);
        other.budget_ = nullptr;
    }
    return *this;
}

MemoryBudget::Admission::~Admission() { end(); }

MemoryBudget::Expectation MemoryBudget::expect(const pg::ImagePtr& picture) {
    Expectation expectation;
    if (!picture || releasablePixelBytes(*picture) == 0) return expectation;
    std::lock_guard lock(mutex_);
    ++entry(picture).expected;
    expectation.budget_ = this;
    expectation.picture_ = picture;
    return expectation;
}

void MemoryBudget::Expectation::end() {
    if (!budget_) return;
    {
        std::lock_guard lock(budget_->mutex_);
        if (const auto picture = picture_.lock()) {
            if (Held* held = budget_->find(picture.get())) --held->expected;
            budget_->forgetIfUnused(picture.get());
        }
    }
    // Its pixels may be let go now for work that waits.
    budget_->changed_.notify_all();
    budget_ = nullptr;
    picture_.reset();
}

MemoryBudget::Expectation::Expectation(Expectation&& other) noexcept
    : budget_(other.budget_), picture_(std::move(other.picture_)) {
    other.budget_ = nullptr;
}

MemoryBudget::Expectation& MemoryBudget::Expectation::operator=(Expectation&& other) noexcept {
    if (this != &other) {
        end();
        budget_ = other.budget_;
        picture_ = std::move(other.picture_);
        other.budget_ = nullptr;
    }
    return *this;
}

MemoryBudget::Expectation::~Expectation() { end(); }

bool MemoryBudget::keepIfRoom(const pg::ImagePtr& picture, const Admission& reading) {
    if (!picture) return false;
    const std::uint64_t pixels = releasablePixelBytes(*picture);
    if (pixels == 0 || !pixelsInMemory(*picture)) return false;
    std::lock_guard lock(mutex_);
    Held* held = find(picture.get());
    if (held && held->inMemory) return true;
    const std::uint64_t ending = reading.budget_ == this ? reading.bytes_ + reading.readingBytes_ : 0;
    const std::uint64_t elsewhere = heldElsewhere_ ? heldElsewhere_() : 0;
    if (working_ - ending + picturesBytes_ + elsewhere + pixels > capacity_) return false;
    held = &entry(picture);
    held->inMemory = true;
    held->bytes = pixels;
    held->lastUse = ++clock_;
    picturesBytes_ += pixels;
    return true;
}

void MemoryBudget::letGo(const pg::ImagePtr& picture) {
    if (!picture) return;
    {
        std::lock_guard lock(mutex_);
        if (Held* held = find(picture.get())) {
            if (held->users > 0) return;
            uncount(*held);
            forgetIfUnused(picture.get());
        }
    }
    picture->releasePixels();
    changed_.notify_all();
}

}  // namespace gw
