#include "platform/dispatch/memory_pressure_source.hpp"

#include "platform/log/system_log.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace platform::dispatch {

namespace {

constexpr const char* kPressureFile = "/proc/pressure/memory";
// 10% of a 2 s window, in microseconds, as the kernel's trigger syntax wants them.
constexpr const char* kWarningTrigger = "some 200000 2000000";
constexpr const char* kCriticalTrigger = "full 200000 2000000";
constexpr double kSampleThreshold = 10.0;
constexpr int kSampleIntervalMs = 2000;

const log::SystemLog& pressureLog() {
    static const log::SystemLog instance("platform.dispatch", "memorypressure");
    return instance;
}

// The avg10 value of the line that starts with `kind`, if any.
std::optional<double> avg10Of(std::string_view text, std::string_view kind) {
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(at, end - at);
        at = end + 1;
        if (line.substr(0, kind.size()) != kind || line.size() == kind.size() || line[kind.size()] != ' ')
            continue;
        constexpr std::string_view key = "avg10=";
        std::size_t found = line.find(key);
        if (found == std::string_view::npos) return std::nullopt;
        std::string_view number = line.substr(found + key.size());
        double value = 0;
        auto [ptr, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
        if (ec != std::errc() || ptr == number.data()) return std::nullopt;
        return value;
    }
    return std::nullopt;
}

std::string readWhole(int fd) {
    std::string text;
    char buffer[512];
    if (lseek(fd, 0, SEEK_SET) < 0) return text;
    for (;;) {
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        text.append(buffer, static_cast<std::size_t>(got));
    }
    return text;
}

int openTrigger(const char* trigger) {
    int fd = open(kPressureFile, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    // The kernel wants the terminating NUL with the text.
    if (write(fd, trigger, std::strlen(trigger) + 1) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

struct MemoryPressureSource::State {
    State(unsigned long mask, DispatchQueue target) : mask(mask), target(std::move(target)) {}

    const unsigned long mask;
    const DispatchQueue target;

    std::mutex mutex;
    DispatchQueue::Work handler;
    bool resumed = false;
    bool cancelled = false;
    // Levels seen but not delivered yet; non-zero while a delivery is queued.
    unsigned long pending = 0;
    // The levels of the delivery running now.
    unsigned long current = 0;

    void post(unsigned long level, const std::shared_ptr<State>& self) {
        std::lock_guard lock(mutex);
        if (!resumed || cancelled || (mask & level) == 0) return;
        bool queued = pending != 0;
        pending |= (mask & level);
        if (queued) return;
        target.async([self] {
            DispatchQueue::Work work;
            {
                std::lock_guard lock(self->mutex);
                if (self->cancelled) return;
                self->current = std::exchange(self->pending, 0);
                work = self->handler;
            }
            if (work) work();
        });
    }
};

namespace {

// The process's single monitor. It is never destroyed: its thread may sit in poll()
// while the process exits.
class PressureMonitor {
public:
    static PressureMonitor& shared() {
        static PressureMonitor* instance = new PressureMonitor();
        return *instance;
    }

    MemoryPressureSource::Monitor kind() const { return kind_; }

    void add(const std::shared_ptr<MemoryPressureSource::State>& state) {
        std::lock_guard lock(mutex_);
        std::erase_if(sources_, [](const auto& weak) { return weak.expired(); });
        sources_.push_back(state);
    }

    void deliver(unsigned long level) {
        std::vector<std::shared_ptr<MemoryPressureSource::State>> live;
        {
            std::lock_guard lock(mutex_);
            for (const auto& weak : sources_)
                if (auto state = weak.lock()) live.push_back(std::move(state));
        }
        for (const auto& state : live) state->post(level, state);
    }

private:
    PressureMonitor() {
        int warning = openTrigger(kWarningTrigger);
        int critical = warning >= 0 ? openTrigger(kCriticalTrigger) : -1;
        if (warning >= 0 && critical >= 0) {
            if (watchOn([this, warning, critical] { watchTriggers(warning, critical); })) {
                kind_ = MemoryPressureSource::Monitor::trigger;
                return;
            }
            close(critical);
        }
        if (warning >= 0) close(warning);
        int sampled = open(kPressureFile, O_RDONLY | O_CLOEXEC);
        if (sampled >= 0 && detail::memoryPressureLevelOf(readWhole(sampled)) &&
            watchOn([this, sampled] { sample(sampled); })) {
            kind_ = MemoryPressureSource::Monitor::sampling;
            return;
        }
        if (sampled >= 0) close(sampled);
        kind_ = MemoryPressureSource::Monitor::none;
        pressureLog().info("Memory pressure is not reported on this system: no memory-pressure events will arrive.");
    }

    // False when the system refuses the watching thread (an address-space or process
    // limit): the process then goes without memory-pressure events rather than failing.
    static bool watchOn(std::function<void()> watch) {
        try {
            std::thread(std::move(watch)).detach();
            return true;
        } catch (const std::system_error& error) {
            pressureLog().error(std::string("Memory pressure cannot be watched: ") + error.what());
        } catch (const std::bad_alloc&) {
        }
        return false;
    }

    void watchTriggers(int warning, int critical) {
        pollfd fds[2] = {{critical, POLLPRI, 0}, {warning, POLLPRI, 0}};
        for (;;) {
            int ready = poll(fds, 2, -1);
            if (ready < 0) {
                if (errno == EINTR) continue;
                break;
            }
            // A trigger whose group went away reports an error for ever: read the file instead.
            if ((fds[0].revents | fds[1].revents) & (POLLERR | POLLNVAL)) break;
            if (fds[0].revents & POLLPRI)
                deliver(memoryPressureCritical);
            else if (fds[1].revents & POLLPRI)
                deliver(memoryPressureWarning);
        }
        close(warning);
        close(critical);
        int sampled = open(kPressureFile, O_RDONLY | O_CLOEXEC);
        if (sampled < 0) {
            pressureLog().error("Memory pressure triggers failed: no further memory-pressure events will arrive.");
            return;
        }
        sample(sampled);
    }

    void sample(int fd) {
        unsigned long previous = memoryPressureNormal;
        for (;;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kSampleIntervalMs));
            auto level = detail::memoryPressureLevelOf(readWhole(fd));
            if (!level) continue;
            if (*level != previous && *level != memoryPressureNormal) deliver(*level);
            previous = *level;
        }
    }

    MemoryPressureSource::Monitor kind_ = MemoryPressureSource::Monitor::none;
    std::mutex mutex_;
    std::vector<std::weak_ptr<MemoryPressureSource::State>> sources_;
};

}  // namespace

namespace detail {
std::optional<unsigned long> memoryPressureLevelOf(std::string_view text) {
    auto some = avg10Of(text, "some");
    if (!some) return std::nullopt;
    auto full = avg10Of(text, "full");
    if (full && *full >= kSampleThreshold) return memoryPressureCritical;
    if (*some >= kSampleThreshold) return memoryPressureWarning;
    return memoryPressureNormal;
}
}  // namespace detail

MemoryPressureSource::MemoryPressureSource(unsigned long mask, DispatchQueue target)
    : state_(std::make_shared<State>(mask, std::move(target))) {}

unsigned long MemoryPressureSource::mask() const { return state_->mask; }

void MemoryPressureSource::setEventHandler(DispatchQueue::Work handler) const {
    std::lock_guard lock(state_->mutex);
    state_->handler = std::move(handler);
}

void MemoryPressureSource::resume() const {
    {
        std::lock_guard lock(state_->mutex);
        if (state_->resumed || state_->cancelled) return;
        state_->resumed = true;
    }
    PressureMonitor::shared().add(state_);
}

void MemoryPressureSource::cancel() const {
    std::lock_guard lock(state_->mutex);
    state_->cancelled = true;
    state_->pending = 0;
    state_->handler = nullptr;
}

bool MemoryPressureSource::isCancelled() const {
    std::lock_guard lock(state_->mutex);
    return state_->cancelled;
}

unsigned long MemoryPressureSource::data() const {
    std::lock_guard lock(state_->mutex);
    return state_->current;
}

MemoryPressureSource::Monitor MemoryPressureSource::monitor() { return PressureMonitor::shared().kind(); }

void MemoryPressureSource::simulate(unsigned long level) { PressureMonitor::shared().deliver(level); }

}  // namespace platform::dispatch
