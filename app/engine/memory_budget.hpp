#pragma once
// The memory a conversion lets its parallel work hold at once: decoded pictures, and
// what drawing and encoding each output picture takes beside them. Work says what it
// will hold and waits until that fits in what is left; work that alone needs more than
// the whole budget waits until nothing else runs, then runs by itself.
//
// A picture's pixels are counted once, however many drawings share them, from the
// moment work that draws it is admitted (or they are kept after reading) until they are
// let go. Pixels that no running work draws stay in memory while there is room (reading
// them again takes seconds for a large picture) and are let go, oldest first, when work
// needs the room; pictures that work still to come will draw go last, only when nothing
// else runs.
#include "platform/graphics/image.hpp"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <unordered_map>
#include <vector>

namespace gw {

// The bytes of a picture's pixels that can be let go and read again (those of its
// bitmaps that know how to read their pixels again); 0 when none can.
std::uint64_t releasablePixelBytes(const platform::graphics::Image& image);

class MemoryBudget {
public:
    // Beside the process itself (its libraries, threads and small buffers, about 40 MiB)
    // and what is not counted (PNG files waiting to be written by a second folder that
    // shares them), one conversion stays under a GiB.
    static constexpr std::uint64_t kBytes = std::uint64_t{768} << 20;

    // The budget of the process: every conversion and every picture read share it.
    // What drawings of documents hold of their own budget (platform::graphics::
    // DrawingBudget) counts as held here too.
    static MemoryBudget& shared();

    // `heldElsewhere` tells what memory outside this budget holds now, and is asked
    // whenever work is admitted.
    explicit MemoryBudget(std::uint64_t capacity, std::function<std::uint64_t()> heldElsewhere = {});
    MemoryBudget(const MemoryBudget&) = delete;
    MemoryBudget& operator=(const MemoryBudget&) = delete;

    // A picture the work draws, and what reading its pixels again would take beside them
    // (the file's bytes and the decoder's buffers) should they not be in memory.
    struct PictureUse {
        platform::graphics::ImagePtr picture;
        std::uint64_t readingBytes = 0;
    };

    // Admitted work: holds its bytes, and keeps its pictures' pixels counted as in use,
    // until it ends. Empty when the work was stopped while it waited.
    class Admission {
    public:
        Admission() = default;
        Admission(Admission&& other) noexcept;
        Admission& operator=(Admission&& other) noexcept;
        ~Admission();
        explicit operator bool() const { return budget_ != nullptr; }
        // The pictures' pixels are in memory now: what reading them took is given back.
        void picturesRead();

    private:
        friend class MemoryBudget;
        void end();
        MemoryBudget* budget_ = nullptr;
        std::uint64_t bytes_ = 0;
        std::uint64_t readingBytes_ = 0;
        std::vector<const platform::graphics::Image*> pictures_;
    };

    // Waits until `bytes`, with the pixels of `pictures` not in memory and what reading
    // them takes, fit in what is left (letting go pixels no running work draws), then
    // holds them. Work that needs more than what nothing else holds waits until nothing
    // else runs. Work that must read a picture waits behind earlier work that must; work
    // whose pictures are all in memory may go before. `stop` is asked while waiting:
    // when it answers true the wait ends with an empty admission.
    Admission admit(std::uint64_t bytes, const std::vector<PictureUse>& pictures = {},
                    const std::function<bool()>& stop = {});

    // Work still to come will draw the picture: its pixels are let go only when nothing
    // else runs, so that they are not read again and again.
    class Expectation {
    public:
        Expectation() = default;
        Expectation(Expectation&& other) noexcept;
        Expectation& operator=(Expectation&& other) noexcept;
        ~Expectation();
        void end();

    private:
        friend class MemoryBudget;
        MemoryBudget* budget_ = nullptr;
        std::weak_ptr<platform::graphics::Image> picture_;
    };
    Expectation expect(const platform::graphics::ImagePtr& picture);

    // The picture's pixels, in memory now (just read within `reading`), count as held
    // from now on when they fit in what is left once `reading` ends: they stay until the
    // room is needed. Nothing is waited for. Whether they are kept.
    bool keepIfRoom(const platform::graphics::ImagePtr& picture, const Admission& reading);
    // Lets the picture's pixels go now, unless running work draws it.
    void letGo(const platform::graphics::ImagePtr& picture);

    std::uint64_t capacity() const { return capacity_; }
    // What admitted work and pictures in memory hold now.
    std::uint64_t held() const;
    // Pictures whose pixels are counted now.
    std::size_t picturesHeld() const;

private:
    // A picture the budget knows of: while its pixels are counted, and while work that
    // draws it runs or is still to come.
    struct Held {
        std::weak_ptr<platform::graphics::Image> picture;
        std::uint64_t bytes = 0;
        bool inMemory = false;  // its bytes are counted
        int users = 0;          // running work drawing it
        int expected = 0;       // work to come that will draw it
        std::uint64_t lastUse = 0;
    };
    Held* find(const platform::graphics::Image* picture);
    // The picture's entry, made when the budget did not know it.
    Held& entry(const platform::graphics::ImagePtr& picture);
    // Its pixels are no longer counted.
    void uncount(Held& held);
    // Takes the picture's entry out when nothing counts or waits for it any more.
    void forgetIfUnused(const platform::graphics::Image* picture);
    // What admitting would add to what is held, and whether a picture must be read.
    std::uint64_t needed(std::uint64_t bytes, const std::vector<PictureUse>& pictures, bool& reads);
    // Lets go of pictures no running work draws, oldest first, until `need` fits:
    // those that work to come will draw only when nothing runs. Whether it fits.
    bool makeRoom(std::uint64_t need, const std::vector<PictureUse>& pictures);
    void letGoLocked(const platform::graphics::Image* picture, Held& held);
    void release(Admission& admission);

    const std::uint64_t capacity_;
    const std::function<std::uint64_t()> heldElsewhere_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::unordered_map<const platform::graphics::Image*, Held> pictures_;
    std::uint64_t working_ = 0;        // admitted work's own bytes
    std::uint64_t picturesBytes_ = 0;  // pixels counted
    int running_ = 0;
    std::uint64_t clock_ = 0;
    std::uint64_t nextTicket_ = 0;
    // Waiting work that must read a picture, in the order it came.
    std::set<std::uint64_t> readersWaiting_;
    // Pictures counted out whose pixels go once the lock is given up.
    std::vector<platform::graphics::ImagePtr> lettingGo_;
};

}  // namespace gw
