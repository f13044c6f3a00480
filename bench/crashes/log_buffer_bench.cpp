// The crash-time log buffer: writing 60 full slots of 4 KiB each at a crash (budget 5 ms),
// and copying one log into a slot on the enqueuing path.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>
#include <unistd.h>

#include "telemetry/crashes/rddi_crashes_log_buffer.hpp"

namespace {

using rddi::RDDICrashesLogBuffer;

class BufferFolder {
public:
    BufferFolder() {
        // $TMPDIR decides the file system, which decides most of the cost.
        std::string pattern = (std::filesystem::temp_directory_path() / "gw-log-buffer-bench-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
        RDDICrashesLogBuffer::resetForTesting();
        for (std::size_t n = 0; n < rddi::kRDDICrashesLogBufferSize; ++n)
            RDDICrashesLogBuffer::resetSlot(n, path_ + "/" + std::to_string(n) + ".rdcrasheslogbuffer");
    }
    ~BufferFolder() {
        RDDICrashesLogBuffer::resetForTesting();
        std::filesystem::remove_all(path_);
    }

    void empty() const {
        for (const auto& entry : std::filesystem::directory_iterator(path_))
            std::filesystem::resize_file(entry.path(), 0);
    }

private:
    std::string path_;
};

// Argument 1: every log also has a target token (a second file per slot).
void BM_CrashTimeWrite60x4KiB(benchmark::State& state) {
    BufferFolder folder;
    const std::string log(4096, 'x');
    const std::string token = state.range(0) ? "token" : "";
    for (std::size_t n = 0; n < rddi::kRDDICrashesLogBufferSize; ++n)
        RDDICrashesLogBuffer::store(log, token, "id" + std::to_string(n), static_cast<double>(n));
    for (auto _ : state) {
        // A crash finds the files empty (each launch empties them after its replay); a
        // rewrite over the last round's bytes would time the file system's flush of a
        // truncated file instead.
        state.PauseTiming();
        folder.empty();
        state.ResumeTiming();
        RDDICrashesLogBuffer::writeAtCrash();
    }
}
BENCHMARK(BM_CrashTimeWrite60x4KiB)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_StoreAndRemoveOneLog(benchmark::State& state) {
    BufferFolder folder;
    const std::string log(4096, 'x');
    for (auto _ : state) {
        RDDICrashesLogBuffer::store(log, "", "one", 1);
        RDDICrashesLogBuffer::remove("one");
    }
}
BENCHMARK(BM_StoreAndRemoveOneLog)->Unit(benchmark::kMicrosecond);

}  // namespace
