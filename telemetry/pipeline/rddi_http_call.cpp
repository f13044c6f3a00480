#include "telemetry/pipeline/rddi_http_call.hpp"

#include "telemetry/core/rddi_constants.hpp"
#include "telemetry/core/rddi_logger.hpp"
#include "telemetry/core/rddi_compression.hpp"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <random>

namespace rddi {

namespace {

bool hasHeader(const std::map<std::string, std::string>& headers, std::string_view name) {
    return std::any_of(headers.begin(), headers.end(), [&](const auto& entry) {
        return entry.first.size() == name.size() &&
               std::equal(name.begin(), name.end(), entry.first.begin(),
                          [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) ==
                                                      std::tolower(static_cast<unsigned char>(b)); });
    });
}

}  // namespace

RDDIHttpCall::RDDIHttpCall(platform::foundation::URL url, std::string method,
                           const std::map<std::string, std::string>& headers,
                           std::optional<platform::foundation::Data> data, std::vector<double> retryIntervals,
                           bool compressionEnabled, RDDIHttpRequestCompletionHandler completionHandler)
    : url_(std::move(url)),
      method_(std::move(method)),
      headers_(headers),
      data_(std::move(data)),
      retryIntervals_(std::move(retryIntervals)),
      completionHandler_(std::move(completionHandler)) {
    if (compressionEnabled && data_ && data_->size() >= kRDDIHttpCompressionThreshold) {
        // A body that cannot be gzipped (the compressor gives none when the output
        // would not fit in about the input's size), or grows by it, goes out as it is:
        // sending nothing would earn a 4xx, which disables the unit and deletes its logs.
        auto compressed = RDDICompression::compressData(data_);
        if (compressed && compressed->size() < data_->size()) {
            data_ = std::move(*compressed);
            headers_["Content-Encoding"] = "gzip";
        }
    }
    if (data_ && !hasHeader(headers_, "Content-Type")) headers_["Content-Type"] = "application/json";
}

RDDIHttpCall::~RDDIHttpCall() {
    if (timerSource_) timerSource_->cancel();
}

bool RDDIHttpCall::inProgress() const {
    std::lock_guard lock(mutex_);
    return inProgress_;
}

void RDDIHttpCall::setInProgress(bool inProgress) {
    std::lock_guard lock(mutex_);
    inProgress_ = inProgress;
}

std::int32_t RDDIHttpCall::retryCount() const {
    std::lock_guard lock(mutex_);
    return retryCount_;
}

bool RDDIHttpCall::hasReachedMaxRetries() const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::max(retryCount_, 0)) >= retryIntervals_.size();
}

void RDDIHttpCall::resetRetry() {
    std::lock_guard lock(mutex_);
    if (timerSource_) {
        timerSource_->cancel();
        timerSource_.reset();
    }
    retryCount_ = 0;
}

std::uint32_t RDDIHttpCall::delayForRetryCount(std::int32_t retryCount) const {
    if (retryCount < 0 || static_cast<std::size_t>(retryCount) >= retryIntervals_.size()) return 0;
    const auto half = static_cast<std::uint32_t>(retryIntervals_[static_cast<std::size_t>(retryCount)] * 500);
    if (half == 0) return 0;
    thread_local std::mt19937 random{std::random_device{}()};
    return half + std::uniform_int_distribution<std::uint32_t>(0, half - 1)(random);
}

void RDDIHttpCall::startRetryTimerWithStatusCode(long statusCode, std::optional<std::int64_t> retryAfterMs,
                                                 std::function<void()> event) {
    std::lock_guard lock(mutex_);
    if (timerSource_) timerSource_->cancel();
    platform::dispatch::DispatchTimer timer(platform::dispatch::DispatchQueue::global());
    const std::int64_t delay = retryAfterMs ? *retryAfterMs
                                            : static_cast<std::int64_t>(delayForRetryCount(retryCount_));
    timer.setEventHandler(std::move(event));
    timer.schedule(std::chrono::milliseconds(delay), {}, std::chrono::seconds(1));
    timer.resume();
    timerSource_ = timer;
    // Logged once the timer is running, so whoever reads the line may move the clock.
    const auto attempt = retryCount_;
    ++retryCount_;
    RDDILogWarning(kRDDILogTag, "Call attempt #{} failed with status code: {}, it will be retried in {} ms.", attempt,
                   statusCode, delay);
}

}  // namespace rddi
