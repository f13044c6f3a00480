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

private:
    std::string path_;
};

void BM_CrashTimeWrite60x4KiB(benchmark::State& state) {
    BufferFolder folder;
    const std::string log(4096, 'x');
    for (std::size_t n = 0; n < rddi::kRDDICrashesLogBufferSize; ++n)
        RDDICrashesLogBuffer::store(log, "token", "id" + std::to_string(n), static_cast<double>(n));
    for (auto _ : state) RDDICrashesLogBuffer::writeAtCrash();
}
BENCHMARK(BM_CrashTimeWrite60x4KiB)->Unit(benchmark::kMillisecond);

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
