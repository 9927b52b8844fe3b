// Attachment encoding speed: a 64 MB file read through TBase64FileEncoder into
// its 60-character lines, as the SMTP client's line pump asks for them.
// Reported as bytes of the file per second.

#include "codecs/Base64.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kFileBytes = 64u * 1024 * 1024;

// The temporary folder and file, made once and removed at exit.
class BenchFile {
public:
    BenchFile()
    {
        std::string pattern = (fs::temp_directory_path() / "pw-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        dir_ = pattern;
        path_ = dir_ / "attachment.bin";
        std::mt19937_64 rng(64);
        std::vector<std::uint64_t> chunk(1 << 16);
        const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0) std::abort();
        for (std::size_t written = 0; written < kFileBytes;) {
            for (auto& w : chunk) w = rng();
            const std::size_t n = std::min(kFileBytes - written, chunk.size() * sizeof(std::uint64_t));
            if (::write(fd, chunk.data(), n) != static_cast<ssize_t>(n)) std::abort();
            written += n;
        }
        ::close(fd);
    }
    ~BenchFile()
    {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    const fs::path& Path() const { return path_; }

private:
    fs::path dir_;
    fs::path path_;
};

const BenchFile& File()
{
    static const BenchFile file;
    return file;
}

void BM_AttachmentLines(benchmark::State& state)
{
    const fs::path& path = File().Path();
    std::size_t lines = 0;
    for (auto _ : state) {
        const int fd = ::open(path.c_str(), O_RDONLY);
        if (fd < 0) {
            state.SkipWithError("cannot open the benchmark file");
            return;
        }
        pw::TBase64FileEncoder encoder(fd);
        char line[pw::TBase64FileEncoder::kLineChars];
        std::size_t length = 0;
        pw::TBase64FileEncoder::Status status;
        do {
            status = encoder.NextLine(line, length);
            benchmark::DoNotOptimize(line);
            ++lines;
        } while (status == pw::TBase64FileEncoder::Status::More);
        ::close(fd);
        if (status != pw::TBase64FileEncoder::Status::Last || encoder.BytesEncoded() != kFileBytes) {
            state.SkipWithError("encoder did not read the whole file");
            return;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileBytes));
    state.counters["lines"] = benchmark::Counter(static_cast<double>(lines), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_AttachmentLines)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
