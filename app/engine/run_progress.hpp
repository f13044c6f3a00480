#pragma once
// The progress of a run of folder operations: the mean of each folder's progress, kept as
// the folders report rather than gathered from every folder at each report, so that a
// report costs the same in a batch of thousands of pictures as in one of ten.
#include <cstddef>
#include <mutex>
#include <vector>

namespace gw {

class RunProgress {
public:
    explicit RunProgress(std::size_t folders) : folders_(folders, 0.0f) {}

    // Takes the folder's progress as `read` tells it now. Read under the tally's lock, so
    // that of two reports of one folder on two threads the later one is kept.
    template <class Read>
    void update(std::size_t folder, Read&& read) {
        std::lock_guard lock(mutex_);
        const float now = read();
        sum_ += double(now) - double(folders_.at(folder));
        folders_[folder] = now;
    }

    // The mean; not a number when the run has no folders.
    float value() const;

private:
    mutable std::mutex mutex_;
    std::vector<float> folders_;
    double sum_ = 0;
};

}  // namespace gw
