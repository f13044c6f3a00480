#include "telemetry/pipeline/rddi_channel_unit_default.hpp"

#include "platform/foundation/date.hpp"
#include "platform/foundation/uuid.hpp"
#include "telemetry/core/rddi_device_tracker.hpp"
#include "telemetry/core/rddi_dez_idedev.hpp"
#include "telemetry/core/rddi_dispatcher_util.hpp"
#include "telemetry/core/rddi_errors.hpp"
#include "telemetry/core/rddi_logger.hpp"
#include "telemetry/core/rddi_user_defaults.hpp"
#include "telemetry/core/rddi_utility.hpp"
#include "telemetry/pipeline/rddi_http_util.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <limits>
#include <future>
#include <chrono>

namespace rddi {

namespace pf = platform::foundation;

namespace {
// A pool thread may still log while the process exits: nothing it reaches is destroyed then.
const char* const kTag = RDDIDezIdedev::logTag();

// Set at exit once every logs queue ran dry: later blocks would touch the process's
// static objects while they are being destroyed, so they do nothing.
std::atomic<bool> gExiting{false};
std::mutex* gExitMutex = new std::mutex;
auto* gExitQueues = new std::vector<platform::dispatch::DispatchQueue>;

bool exiting() { return gExiting.load(std::memory_order_acquire); }

// Answers of sent batches queued and not yet handled, on any logs queue. A block that
// stores a burst gives way to them: each answer frees a pending slot and deletes its
// batch, so batches keep leaving while the burst is stored. Not once the process exits:
// a block put back behind the last drain would leave the logs enqueued before the exit
// unstored.
std::atomic<int> gAnswersWaiting{0};
std::atomic<bool> gQuiescing{false};
// Units whose store held logs back at some time: at exit, what they still hold is stored
// or reported as failed.
auto* gHeldUnits = new std::vector<std::weak_ptr<RDDIChannelUnitDefault>>;

// How long the exit waits for each logs queue to run dry: the block running then may
// wait once for another process's lock of the store and once for SQLite's own.
constexpr auto kExitDrainWait = std::chrono::seconds(15);
}  // namespace

void RDDIChannelUnitDefault::quiesceAtExit() {
    gQuiescing.store(true, std::memory_order_release);
    // The main loop runs no more: what is told to the main thread from now on is told at once.
    RDDIDispatcherUtil::noteExitBegan();
    std::vector<platform::dispatch::DispatchQueue> queues;
    std::vector<std::weak_ptr<RDDIChannelUnitDefault>> held;
    {
        std::lock_guard lock(*gExitMutex);
        queues = *gExitQueues;
        held = *gHeldUnits;
    }
    // Logs waiting for a store another process holds get one more try; what is still held
    // back is reported as failed rather than dropped unreported with the process, and what
    // the store could not put in for that hold is put in now if it can be.
    for (const auto& weak : held) {
        if (auto unit = weak.lock()) {
            unit->logsDispatchQueue_.async([unit] {
                unit->storeLogsBlock();
                unit->storage_->keepHeldBackChangesAtExit();
            });
        }
    }
    // The block that runs now ends first; the ones behind it see the flag. Not sync():
    // the exiting thread's thread-local state is already gone. Bounded, so an exit never hangs.
    auto drain = [&] {
        for (const auto& queue : queues) {
            auto done = std::make_shared<std::promise<void>>();
            auto reached = done->get_future();
            queue.async([done] { done->set_value(); });
            reached.wait_for(kExitDrainWait);
        }
    };
    drain();
    gExiting.store(true, std::memory_order_release);
    drain();
    // A block that outlived its wait goes on while the process's objects are destroyed: it
    // logs nothing more.
    RDDILogger::closeAtExit();
}

void RDDIChannelUnitDefault::quiesceQueueAtExit(const platform::dispatch::DispatchQueue& queue) {
    std::lock_guard lock(*gExitMutex);
    if (gExitQueues->empty()) std::atexit(quiesceAtExit);
    for (const auto& known : *gExitQueues)
        if (known == queue) return;
    gExitQueues->push_back(queue);
}

RDDIChannelUnitDefault::RDDIChannelUnitDefault(std::shared_ptr<RDDIIngestionProtocol> ingestion,
                                               std::shared_ptr<RDDIStorage> storage,
                                               std::shared_ptr<const RDDIChannelUnitConfiguration> configuration,
                                               platform::dispatch::DispatchQueue logsDispatchQueue)
    : ingestion_(std::move(ingestion)),
      storage_(std::move(storage)),
      logsDispatchQueue_(std::move(logsDispatchQueue)),
      configuration_(std::move(configuration)) {}

RDDIChannelUnitDefault::~RDDIChannelUnitDefault() {
    if (timerSource_) timerSource_->cancel();
}

pf::Error RDDIChannelUnitDefault::connectionPausedError() {
    return makeRDDIError(kRDDIConnectionPausedErrorCode, kRDDIConnectionPausedErrorDesc);
}

pf::Error RDDIChannelUnitDefault::storeCannotWriteError() {
    return makeRDDIError(kRDDIStoreCannotWriteErrorCode, kRDDIStoreCannotWriteErrorDesc);
}

std::shared_ptr<const RDDIChannelUnitConfiguration> RDDIChannelUnitDefault::configuration() const {
    std::lock_guard lock(configurationMutex_);
    return configuration_;
}

void RDDIChannelUnitDefault::setConfiguration(std::shared_ptr<const RDDIChannelUnitConfiguration> configuration) {
    std::lock_guard lock(configurationMutex_);
    configuration_ = std::move(configuration);
}

std::string RDDIChannelUnitDefault::oldestPendingLogTimestampKey() const {
    return fmt::format("{}:{}", "ChannelStartTimer", groupId());
}

// --- delegates -------------------------------------------------------------------

// At once, under the set's lock: queued, a log enqueued right after a unit was made
// would reach its prepare step before the group heard of the unit, and a targeted log
// would slip past the companion routing.
void RDDIChannelUnitDefault::addDelegate(const std::shared_ptr<RDDIChannelDelegate>& delegate) {
    delegates_.add(delegate);
}

void RDDIChannelUnitDefault::removeDelegate(const std::shared_ptr<RDDIChannelDelegate>& delegate) {
    delegates_.remove(delegate);
}

std::vector<std::shared_ptr<RDDIChannelDelegate>> RDDIChannelUnitDefault::delegatesSnapshot() const {
    return delegates_.snapshot();
}

void RDDIChannelUnitDefault::notifyFailureBeforeSendingForItem(const RDDIAbstractLog& log, const pf::Error& error) {
    const std::string reported = error.printedDescription();
    for (const auto& delegate : delegatesSnapshot()) {
        delegate->channelWillSendLog(*this, log);
        delegate->channelDidFailSendingLog(*this, log, reported);
    }
}

// --- enqueue ---------------------------------------------------------------------

void RDDIChannelUnitDefault::enqueueItem(std::shared_ptr<RDDIAbstractLog> log, RDDIFlags flags) {
    if (!log) {
        RDDILogWarning(kTag, "Log is not valid.");
        return;
    }
    if (!log->timestamp) log->timestamp = pf::Date::now();
    if (!log->device) log->device = RDDIDeviceTracker::sharedInstance()->device();
    if (!log->isValid()) {
        RDDILogWarning(kTag, "Log is not valid.");
        return;
    }
    const std::string internalId = pf::UUID().uuidString();
    const auto delegates = delegatesSnapshot();
    for (const auto& delegate : delegates) delegate->channelPrepareLog(*this, *log);
    for (const auto& delegate : delegates) delegate->channelDidPrepareLog(*this, *log, internalId, flags);
    bool schedule = false;
    bool shed = false;
    {
        std::lock_guard lock(queuedMutex_);
        queuedLogs_.push_back({std::move(log), internalId, flags, nextSerial_++});
        schedule = !storingScheduled_;
        storingScheduled_ = true;
        // Held back, the list grows at the caller's pace: what is beyond the bound is
        // reported now, not at the next try.
        shed = storeHeld_.load(std::memory_order_acquire) && queuedLogs_.size() > kMaxHeldLogs && !sheddingScheduled_;
        if (shed) sheddingScheduled_ = true;
    }
    if (schedule) {
        logsDispatchQueue_.async([self = shared_from_this()] {
            if (exiting()) return;
            self->storeLogsBlock();
        });
    }
    if (shed) {
        logsDispatchQueue_.async([self = shared_from_this()] {
            if (exiting()) return;
            self->failQueuedLogsBeyond(kMaxHeldLogs);
        });
    }
}

std::uint64_t RDDIChannelUnitDefault::nextSerial() {
    std::lock_guard lock(queuedMutex_);
    return nextSerial_;
}

void RDDIChannelUnitDefault::asyncAfterQueuedLogs(std::function<void(RDDIChannelUnitDefault&)> work) {
    std::uint64_t before = 0;
    {
        std::lock_guard lock(queuedMutex_);
        before = nextSerial_;
        barriers_.insert(before);
    }
    logsDispatchQueue_.async([self = shared_from_this(), before, work = std::move(work)] {
        if (exiting()) return;
        self->storeQueuedLogs(before, std::numeric_limits<std::size_t>::max());
        work(*self);
        bool store = false;
        {
            std::lock_guard lock(self->queuedMutex_);
            self->barriers_.erase(self->barriers_.find(before));
            store = !self->queuedLogs_.empty() && !self->storingScheduled_;
            if (store) self->storingScheduled_ = true;
        }
        // The logs enqueued after it waited for it; they are stored now, in this block,
        // as they would have been right behind it.
        if (store) self->storeLogsBlock();
    });
}

void RDDIChannelUnitDefault::storeLogsBlock() {
    for (;;) {
        if (storeQueuedLogs(std::numeric_limits<std::uint64_t>::max(), kLogsPerSave)) return holdStoring();
        {
            std::lock_guard lock(queuedMutex_);
            // Nothing left, or only logs that wait for a switch queued before them.
            if (queuedLogs_.empty() || (!barriers_.empty() && queuedLogs_.front().serial >= *barriers_.begin())) {
                storingScheduled_ = false;
                return;
            }
        }
        if (gAnswersWaiting.load(std::memory_order_acquire) > 0 && !gQuiescing.load(std::memory_order_acquire)) break;
    }
    // Behind the answers that came meanwhile.
    logsDispatchQueue_.async([self = shared_from_this()] {
        if (exiting()) return;
        self->storeLogsBlock();
    });
}

void RDDIChannelUnitDefault::holdStoring() {
    {
        std::lock_guard lock(*gExitMutex);
        const bool known = std::any_of(gHeldUnits->begin(), gHeldUnits->end(),
                                       [this](const auto& weak) { return weak.lock().get() == this; });
        if (!known) gHeldUnits->push_back(weak_from_this());
    }
    if (gQuiescing.load(std::memory_order_acquire)) {
        failQueuedLogsBeyond(0);
        {
            std::lock_guard lock(queuedMutex_);
            storingScheduled_ = false;
        }
        // First held as the process exits, after the exit took its list of held units: what
        // the hold keeps out of the store (a log of changes deleted meanwhile) would go with
        // the process unsaid. Once done, the store has nothing more to put in.
        storage_->keepHeldBackChangesAtExit();
        return;
    }
    failQueuedLogsBeyond(kMaxHeldLogs);
    // Tried again on the logs queue: storing stays scheduled, so an enqueue meanwhile only
    // adds to the list.
    platform::dispatch::DispatchTimer retry(logsDispatchQueue_);
    std::weak_ptr<RDDIChannelUnitDefault> weak = weak_from_this();
    retry.setEventHandler([weak] {
        if (exiting()) return;
        if (auto self = weak.lock()) self->storeLogsBlock();
    });
    retry.schedule(kHeldRetryInterval);
    retry.resume();
    heldRetry_ = retry;
}

void RDDIChannelUnitDefault::failQueuedLogsBeyond(std::size_t kept) {
    std::vector<QueuedLog> failed;
    {
        std::lock_guard lock(queuedMutex_);
        sheddingScheduled_ = false;
        // The newest go, as a store that is full refuses new logs: those waiting longest
        // are stored first once the store can be reached.
        while (queuedLogs_.size() > kept) {
            failed.push_back(std::move(queuedLogs_.back()));
            queuedLogs_.pop_back();
        }
    }
    if (failed.empty()) return;
    RDDILogDebug(kTag, "{} log(s) of channel {} waiting for the store were reported as failed.", failed.size(),
                 groupId());
    const auto delegates = delegatesSnapshot();
    for (auto it = failed.rbegin(); it != failed.rend(); ++it) {
        notifyFailureBeforeSendingForItem(*it->log, storeCannotWriteError());
        for (const auto& delegate : delegates) delegate->channelDidCompleteEnqueueingLog(*this, *it->log, it->internalId);
    }
}

bool RDDIChannelUnitDefault::storeQueuedLogs(std::uint64_t before, std::size_t most) {
    while (most > 0) {
        std::vector<QueuedLog> chunk;
        // A unit that sends a full batch at once stores no more than fill one: the batch
        // leaves as the log that fills it is stored, and the logs after it wait for the
        // timer, as they would one transaction each.
        std::size_t take = std::min(most, kLogsPerSave);
        const auto config = configuration();
        if (!paused_ && config->flushInterval() == RDDIChannelUnitConfiguration::kDefaultFlushInterval &&
            itemsCount_ < config->batchSizeLimit()) {
            take = std::min<std::size_t>(take, config->batchSizeLimit() - itemsCount_);
        }
        {
            std::lock_guard lock(queuedMutex_);
            // Logs enqueued after a switch still queued wait for it.
            const std::uint64_t limit = barriers_.empty() ? before : std::min(before, *barriers_.begin());
            while (!queuedLogs_.empty() && queuedLogs_.front().serial < limit && chunk.size() < take) {
                chunk.push_back(std::move(queuedLogs_.front()));
                queuedLogs_.pop_front();
            }
        }
        if (chunk.empty()) return false;
        most -= chunk.size();
        if (storeChunk(chunk)) return true;
    }
    return false;
}

bool RDDIChannelUnitDefault::storeChunk(std::vector<QueuedLog>& chunk) {
    const auto delegates = delegatesSnapshot();
    std::vector<RDDIStorage::LogToSave> toSave;
    std::vector<std::size_t> savedFrom;  // the chunk's index of each log to save
    for (std::size_t i = 0; i < chunk.size(); ++i) {
        auto& log = *chunk[i].log;
        bool filtered = false;
        for (const auto& delegate : delegates) {
            if (delegate->channelUnitShouldFilterLog(*this, log)) {
                filtered = true;
                break;
            }
        }
        const std::string type = log.type.value_or("");
        if (filtered) {
            RDDILogDebug(kTag, "Log of type '{}' was filtered out by delegate(s)", type);
        } else if (ingestion_ && !ingestion_->isReadyToSend()) {
            RDDILogDebug(kTag,
                         "Log of type '{}' was not filtered out by delegate(s) but ingestion is not ready to send it.",
                         type);
            // Dropped unsent (the ingestion has no app secret): its delegates hear so, as
            // for a log discarded unsent.
            notifyFailureBeforeSendingForItem(log, makeRDDIError(kRDDINoAppSecretErrorCode, kRDDINoAppSecretErrorDesc));
        } else if (discardLogs_) {
            RDDILogWarning(kTag, "Channel {} disabled in log discarding mode, discard this log.", groupId());
            notifyFailureBeforeSendingForItem(log, connectionPausedError());
        } else {
            RDDILogDebug(kTag, "Saving log, type: {}, flags: {}.", type, static_cast<std::uint32_t>(chunk[i].flags));
            toSave.emplace_back(chunk[i].log, chunk[i].flags);
            savedFrom.push_back(i);
        }
    }
    using Outcome = RDDIStorage::SaveOutcome;
    const auto saved = toSave.empty() ? std::vector<Outcome>() : storage_->saveLogs(toSave, groupId());
    // Held back by another process's hold on the store: they wait, first in line, for the
    // next try; their delegates hear of them then.
    std::vector<bool> waiting(chunk.size(), false);
    std::deque<QueuedLog> held;
    for (std::size_t i = 0; i < saved.size(); ++i) {
        if (saved[i] != Outcome::heldBack) continue;
        waiting[savedFrom[i]] = true;
        held.push_back(chunk[savedFrom[i]]);
    }
    storeHeld_.store(!held.empty(), std::memory_order_release);
    if (!held.empty()) {
        std::lock_guard lock(queuedMutex_);
        queuedLogs_.insert(queuedLogs_.begin(), std::make_move_iterator(held.begin()), std::make_move_iterator(held.end()));
    }
    const auto stored = static_cast<std::uint64_t>(std::count(saved.begin(), saved.end(), Outcome::stored));
    // A log the store did not keep will never be sent: its delegates hear so, as for a
    // log discarded unsent.
    for (std::size_t i = 0; i < saved.size(); ++i) {
        if (saved[i] == Outcome::cannotWrite) {
            notifyFailureBeforeSendingForItem(*toSave[i].first, storeCannotWriteError());
        } else if (saved[i] == Outcome::notStored) {
            notifyFailureBeforeSendingForItem(*toSave[i].first,
                                              makeRDDIError(kRDDILogNotStoredErrorCode, kRDDILogNotStoredErrorDesc));
        }
    }
    // One snapshot for the chunk, taken once its logs are stored.
    const auto completing = delegatesSnapshot();
    for (std::size_t i = 0; i < chunk.size(); ++i) {
        if (waiting[i]) continue;
        for (const auto& delegate : completing)
            delegate->channelDidCompleteEnqueueingLog(*this, *chunk[i].log, chunk[i].internalId);
    }
    if (stored > 0) {
        itemsCount_ += stored;
        checkPendingLogs();
    }
    // What could not be stored (a full disk, a full store) leaves room only once what
    // is stored leaves: send that. A store held back cannot be counted either.
    if (held.empty() && stored < saved.size()) checkStoredLogs();
    return !held.empty();
}

void RDDIChannelUnitDefault::checkStoredLogs() {
    itemsCount_ = std::max<std::uint64_t>(itemsCount_, storage_->countLogsWithGroupId(groupId()));
    checkPendingLogs();
}

// --- flushing --------------------------------------------------------------------

void RDDIChannelUnitDefault::checkPendingLogs() {
    const auto config = configuration();
    if (!paused_ && config->flushInterval() == RDDIChannelUnitConfiguration::kDefaultFlushInterval &&
        itemsCount_ >= config->batchSizeLimit()) {
        flushQueue();
        return;
    }
    if (itemsCount_ == 0) return;
    const std::uint64_t interval = resolveFlushInterval();
    if (paused_) return;
    if (interval > 0) {
        startTimer(interval);
    } else {
        flushQueue();
    }
}

std::uint64_t RDDIChannelUnitDefault::resolveFlushInterval() {
    const std::uint64_t interval = configuration()->flushInterval();
    if (interval <= RDDIChannelUnitConfiguration::kDefaultFlushInterval) return interval;
    auto defaults = RDDIDezIdedevUserDefaults::shared();
    const std::string key = oldestPendingLogTimestampKey();
    const auto start = defaults->objectForKey(key).asDate();
    const pf::Date now = pf::Date::now();
    if (start && now.timeIntervalSince(*start) >= 0) {
        const double elapsed = now.timeIntervalSince(*start);
        if (elapsed <= static_cast<double>(interval)) return interval - static_cast<std::uint64_t>(elapsed);
        defaults->removeObjectForKey(key);
        return 0;
    }
    defaults->setObject(pf::Value(now), key);
    return interval;
}

void RDDIChannelUnitDefault::startTimer(std::uint64_t seconds) {
    if (!enabled_) return;
    auto clock = pf::Clock::current();
    const auto due = clock->monotonic() + std::chrono::seconds(seconds);
    // A timer already armed to fire no later is kept: when it fires it waits on for the
    // later deadline. The flush still comes `seconds` after the last stored log, without
    // a new timer (and a wake of the timer thread) for every log.
    if (timerSource_ && !timerSource_->isCancelled() && timerClock_ == clock && timerDeadline_ <= due) {
        flushDeadline_ = due;
        return;
    }
    resetTimer();
    platform::dispatch::DispatchTimer timer(logsDispatchQueue_);
    // The handler must not keep the unit alive: a unit that is gone has nothing to flush.
    std::weak_ptr<RDDIChannelUnitDefault> weak = weak_from_this();
    timer.setEventHandler([weak] {
        if (exiting()) return;
        auto self = weak.lock();
        if (!self) return;
        if (self->flushDeadline_ > self->timerDeadline_ && self->timerSource_ && self->timerClock_) {
            const auto left = self->flushDeadline_ - self->timerClock_->monotonic();
            if (left > pf::Clock::Duration::zero()) {
                self->timerDeadline_ = self->flushDeadline_;
                self->timerSource_->schedule(left, std::chrono::seconds(1), std::chrono::seconds(1));
                return;
            }
        }
        if (self->itemsCount_ > 0) self->flushQueue();
        self->resetTimer();
        RDDIDezIdedevUserDefaults::shared()->removeObjectForKey(self->oldestPendingLogTimestampKey());
    });
    timer.schedule(std::chrono::seconds(seconds), std::chrono::seconds(1), std::chrono::seconds(1));
    timerSource_ = timer;
    timerClock_ = clock;
    timerDeadline_ = due;
    flushDeadline_ = due;
    timer.resume();
}

void RDDIChannelUnitDefault::resetTimer() {
    if (timerSource_) timerSource_->cancel();
}

void RDDIChannelUnitDefault::flushQueue() {
    const auto config = configuration();
    if (!ingestion_ || !ingestion_->isEnabled()) {
        RDDILogDebug(kTag, "DezIdedev SDK is offline, groupId:{}.", config->groupId());
        return;
    }
    if (!enabled_) return;
    if (!ingestion_->isReadyToSend()) return;
    resetTimer();
    if (paused_ || pendingBatchQueueFull_) {
        if (itemsCount_ >= config->batchSizeLimit()) {
            availableBatchFromStorage_ = true;
            itemsCount_ = 0;
        }
        return;
    }
    itemsCount_ = 0;
    const std::vector<std::string> keys(pausedTargetKeys_.begin(), pausedTargetKeys_.end());
    availableBatchFromStorage_ = storage_->loadLogsWithGroupId(
        config->groupId(), config->batchSizeLimit(), keys,
        [this](const std::vector<std::shared_ptr<RDDIAbstractLog>>& logs, const std::optional<std::string>& batchId) {
            if (logs.empty()) return;
            sendLogContainer(std::make_shared<RDDILogContainer>(batchId, logs));
        });
    if (availableBatchFromStorage_ && !pendingBatchQueueFull_) flushQueue();
}

void RDDIChannelUnitDefault::sendLogContainer(const std::shared_ptr<RDDILogContainer>& container) {
    const auto config = configuration();
    const std::string batchId = container->batchId.value_or("");
    pendingBatchIds_.push_back(batchId);
    if (pendingBatchIds_.size() >= config->pendingBatchesLimit()) pendingBatchQueueFull_ = true;

    if (RDDIDezIdedev::logLevel() <= RDDILogLevelDebug) {
        const std::size_t count = container->logs.size();
        for (std::size_t i = 0; i < count; ++i) {
            const auto& log = container->logs[i];
            RDDILogDebug(kTag, "Sending {}/{} log, group Id: {}, batch Id: {}, session Id: {}, payload:\n{}", i + 1,
                         count, config->groupId(), batchId, log->sid.value_or("(null)"),
                         log->serializeLogWithPrettyPrinting(true).value_or("(null)"));
        }
    }
    for (const auto& delegate : delegatesSnapshot())
        for (const auto& log : container->logs) delegate->channelWillSendLog(*this, *log);

    // The answer may come on any thread, after the unit is gone: it only holds it weakly.
    std::weak_ptr<RDDIChannelUnitDefault> weak = weak_from_this();
    auto queue = logsDispatchQueue_;
    ingestion_->sendAsync(container, [weak, queue, container](const std::string& callId,
                                                              const std::optional<platform::network::HTTPURLResponse>& response,
                                                              const std::optional<pf::Data>&,
                                                              const std::optional<pf::Error>& error) {
        gAnswersWaiting.fetch_add(1, std::memory_order_acq_rel);
        queue.async([weak, callId, response, container, error] {
            gAnswersWaiting.fetch_sub(1, std::memory_order_acq_rel);
            if (exiting()) return;
            if (auto self = weak.lock()) self->handleSendCompletion(callId, response, container, error);
        });
    });
}

void RDDIChannelUnitDefault::handleSendCompletion(const std::string& batchId,
                                                  const std::optional<platform::network::HTTPURLResponse>& response,
                                                  const std::shared_ptr<RDDILogContainer>& container,
                                                  const std::optional<pf::Error>& error) {
    auto it = std::find(pendingBatchIds_.begin(), pendingBatchIds_.end(), batchId);
    if (it == pendingBatchIds_.end()) {
        RDDILogWarning(kTag, "Batch Id {} not expected, ignore.", batchId);
        return;
    }
    const auto config = configuration();
    const long statusCode = response ? response->statusCode : 0;
    const bool succeeded = RDDIHttpUtil::isSuccessStatusCode(statusCode);
    if (succeeded) {
        RDDILogDebug(kTag, "Log(s) sent with success, batch Id:{}.", batchId);
        for (const auto& delegate : delegatesSnapshot())
            for (const auto& log : container->logs) delegate->channelDidSucceedSendingLog(*this, *log);
        storage_->deleteLogsWithBatchId(batchId, config->groupId());
    } else {
        RDDILogError(kTag, "Log(s) sent with failure, batch Id:{}, status code:{}", batchId, statusCode);
        const std::string reported = error ? error->printedDescription() : std::string();
        for (const auto& delegate : delegatesSnapshot())
            for (const auto& log : container->logs) delegate->channelDidFailSendingLog(*this, *log, reported);
        if (!RDDIHttpUtil::isRecoverableError(statusCode)) {
            RDDILogError(kTag, "Fatal error encountered; shutting down channel unit with group ID {}",
                         config->groupId());
            setEnabled(false, true);
            return;
        }
        // Kept out of this process's loads; another process sharing the store may send it.
        storage_->releaseLogsWithBatchId(batchId, config->groupId());
    }
    pendingBatchIds_.erase(std::find(pendingBatchIds_.begin(), pendingBatchIds_.end(), batchId));
    if (pendingBatchQueueFull_ && pendingBatchIds_.size() < config->pendingBatchesLimit()) {
        pendingBatchQueueFull_ = false;
        if (succeeded && availableBatchFromStorage_) flushQueue();
    }
}

// --- pausing ---------------------------------------------------------------------

void RDDIChannelUnitDefault::pauseWithIdentifyingObject(const std::shared_ptr<const void>& object) {
    asyncAfterQueuedLogs([weak = std::weak_ptr<const void>(object)](RDDIChannelUnitDefault& self) {
        if (auto strong = weak.lock()) self.pauseWithIdentifyingObjectSync(strong);
    });
}

void RDDIChannelUnitDefault::resumeWithIdentifyingObject(const std::shared_ptr<const void>& object) {
    asyncAfterQueuedLogs([weak = std::weak_ptr<const void>(object)](RDDIChannelUnitDefault& self) {
        self.resumeWithIdentifyingObjectSync(weak.lock());
    });
}

bool RDDIChannelUnitDefault::hasPauseLanes() {
    // A party that is gone has dropped its lane with it.
    std::erase_if(pausedIdentifyingObjects_, [](const auto& w) { return w.expired(); });
    return !pausedIdentifyingObjects_.empty();
}

void RDDIChannelUnitDefault::pauseWithIdentifyingObjectSync(const std::shared_ptr<const void>& object) {
    hasPauseLanes();
    const bool known = std::any_of(pausedIdentifyingObjects_.begin(), pausedIdentifyingObjects_.end(),
                                   [&](const auto& w) { return w.lock() == object; });
    if (!known) pausedIdentifyingObjects_.push_back(object);
    RDDILogVerbose(kTag, "Identifying object {} added to pause lane for channel {}.", object.get(), groupId());
    if (!paused_) {
        RDDILogDebug(kTag, "Pause channel {}.", groupId());
        paused_ = true;
        resetTimer();
    }
    for (const auto& delegate : delegatesSnapshot()) delegate->channelDidPauseWithIdentifyingObject(*this, object);
}

void RDDIChannelUnitDefault::resumeWithIdentifyingObjectSync(const std::shared_ptr<const void>& object) {
    std::erase_if(pausedIdentifyingObjects_, [&](const auto& w) { return w.lock() == object; });
    RDDILogVerbose(kTag, "Identifying object {} removed from pause lane for channel {}.", object.get(), groupId());
    if (!hasPauseLanes()) {
        RDDILogDebug(kTag, "Resume channel {}.", groupId());
        paused_ = false;
        checkStoredLogs();
    }
    for (const auto& delegate : delegatesSnapshot())
        delegate->channelDidResumeWithIdentifyingObject(*this, object);
}

void RDDIChannelUnitDefault::pauseSendingLogsWithToken(const std::string& token) {
    const auto key = RDDIUtility::targetKeyFromTargetToken(token);
    if (!key) return;
    asyncAfterQueuedLogs([key = *key](RDDIChannelUnitDefault& self) {
        RDDILogDebug(kTag, "Pause channel for target key {}.", key);
        self.pausedTargetKeys_.insert(key);
    });
}

void RDDIChannelUnitDefault::resumeSendingLogsWithToken(const std::string& token) {
    const auto key = RDDIUtility::targetKeyFromTargetToken(token);
    if (!key) return;
    asyncAfterQueuedLogs([key = *key](RDDIChannelUnitDefault& self) {
        RDDILogDebug(kTag, "Resume channel for target key {}.", key);
        self.pausedTargetKeys_.erase(key);
        self.itemsCount_ = self.storage_->countLogs();
        self.checkPendingLogs();
    });
}

// --- switching -------------------------------------------------------------------

void RDDIChannelUnitDefault::setEnabled(bool enabled, bool deleteDataOnDisabled) {
    asyncAfterQueuedLogs([enabled, deleteDataOnDisabled](RDDIChannelUnitDefault& self) {
        self.setEnabledSync(enabled, deleteDataOnDisabled);
    });
}

void RDDIChannelUnitDefault::setEnabledSync(bool enabled, bool deleteData) {
    if (enabled != enabled_) {
        enabled_ = enabled;
        // Switching off is a pause lane of the unit's own.
        std::shared_ptr<const void> self = shared_from_this();
        if (enabled) {
            resumeWithIdentifyingObjectSync(self);
        } else {
            pauseWithIdentifyingObjectSync(self);
        }
    }
    if (!enabled && deleteData) {
        RDDILogDebug(kTag, "Delete all logs for group Id {}", groupId());
        deleteAllLogsWithErrorSync(connectionPausedError());
        itemsCount_ = 0;
        availableBatchFromStorage_ = false;
        pendingBatchQueueFull_ = false;
        RDDIDezIdedevUserDefaults::shared()->removeObjectForKey(oldestPendingLogTimestampKey());
        discardLogs_ = true;
    } else {
        discardLogs_ = false;
    }
    for (const auto& delegate : delegatesSnapshot()) delegate->channelDidSetEnabled(*this, enabled, deleteData);
}

void RDDIChannelUnitDefault::deleteAllLogsWithError(const pf::Error& error) {
    asyncAfterQueuedLogs([error](RDDIChannelUnitDefault& self) { self.deleteAllLogsWithErrorSync(error); });
}

void RDDIChannelUnitDefault::deleteAllLogsWithErrorSync(const pf::Error& error) {
    const std::string group = groupId();
    for (const auto& batchId : pendingBatchIds_) storage_->deleteLogsWithBatchId(batchId, group);
    pendingBatchIds_.clear();
    // One log at a time, so a large backlog is dropped in bounded memory.
    storage_->deleteLogsWithGroupId(group, [&](const std::shared_ptr<RDDIAbstractLog>& log) {
        if (log) notifyFailureBeforeSendingForItem(*log, error);
    });
}

RDDIChannelUnitDefault::State RDDIChannelUnitDefault::stateSync() {
    State state;
    const auto before = nextSerial();
    logsDispatchQueue_.sync([&] {
        storeQueuedLogs(before, std::numeric_limits<std::size_t>::max());
        state.itemsCount = itemsCount_;
        state.pendingBatchIds = pendingBatchIds_;
        state.availableBatchFromStorage = availableBatchFromStorage_;
        state.pendingBatchQueueFull = pendingBatchQueueFull_;
        state.enabled = enabled_;
        state.paused = paused_;
        state.discardLogs = discardLogs_;
        state.timerArmed = timerSource_ && !timerSource_->isCancelled();
    });
    return state;
}

}  // namespace rddi
