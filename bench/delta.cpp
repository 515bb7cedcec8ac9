// The delta form on a 200 MiB file: 64 overwrites of 16 KiB and a 1 MiB
// insertion in the middle per release (about 2.1 MB that no method can
// avoid), four releases in a row. Prints what a player on the previous
// release and one three releases back fetch, beside the full download and
// beside zstd --patch-from (--long=31 -3) from the same old file; the cost
// of a 1-byte change; the assembly's time; and the publisher's speed.
//   bench_delta WORK_DIR [MiB]
//   bench_delta WORK_DIR tree [MiB]   a tree of mixed files (2 GiB), 1% of it changed
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <random>

#include "BenchSupport.h"
#include "DeltaSupport.h"
#include "ReferenceReader.h"
#include "crypto/Sha256.h"
#include "publish/DeltaWriter.h"
#include "publish/Publisher.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

void Change(std::string& bytes, unsigned seed) {
    std::mt19937_64 random(seed);
    auto noise = [&random](size_t n) {
        std::string s(n, '\0');
        for (char& c : s) c = static_cast<char>(random());
        return s;
    };
    for (int i = 0; i < 64; ++i) {
        const size_t at = random() % (bytes.size() - (16 << 10));
        bytes.replace(at, 16 << 10, noise(16 << 10));
    }
    bytes.insert(bytes.size() / 2, noise(1 << 20));
}

int64_t SizeOf(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

int64_t ZstdPatch(const std::string& from, const std::string& to, const std::string& patch) {
    const std::string command = "zstd -q -f --long=31 -3 --patch-from=" + from + " " + to + " -o " + patch;
    if (system(command.c_str()) != 0) return -1;
    return SizeOf(patch);
}

std::string ServedOf(const std::string& out) {
    std::istringstream lines(ReadFile(out + "/update3.dat"));
    std::string line;
    std::getline(lines, line);
    std::getline(lines, line);
    std::istringstream words(line);
    std::string kind, remote;
    words >> kind >> remote;
    return out + "/" + remote;
}

void Player(const std::string& label, const std::string& work, const std::string& oldFile, const std::string& pub,
            const std::string& newFile) {
    const std::string app = work + "/player";
    fs::remove_all(app);
    fs::create_directories(app);
    fs::copy_file(oldFile, app + "/big.bin");
    const double start = bench::Now();
    DeltaRun run = RunDelta(pub, "big.bin", app + "/big.bin");
    const double seconds = bench::Now() - start;
    const bool same = run.end == TDeltaStep::Done && ReadFile(app + "/big.bin") == ReadFile(newFile);
    const int64_t zstd = ZstdPatch(oldFile, newFile, work + "/patch.zst");
    printf("%-28s delta %9lld bytes in %4d ranges (%.2fx zstd), assembled in %.2f s%s; zstd --patch-from %9lld; "
           "full %9lld\n",
           label.c_str(), static_cast<long long>(run.fetched), run.ranges, zstd > 0 ? double(run.fetched) / zstd : 0.0,
           seconds, same ? "" : (" FAILED: " + run.problem).c_str(), static_cast<long long>(zstd),
           static_cast<long long>(SizeOf(ServedOf(pub))));
    for (int64_t gap : {int64_t(0), int64_t(64 << 10)}) {
        fs::remove(app + "/big.bin");
        fs::copy_file(oldFile, app + "/big.bin");
        DeltaRun other = RunDelta(pub, "big.bin", app + "/big.bin", {}, {}, gap);
        printf("%-28s   merge gap %3lld KiB: %9lld bytes in %4d ranges\n", "", static_cast<long long>(gap >> 10),
               static_cast<long long>(other.fetched), other.ranges);
    }
}

// Files of 4 KiB to 64 MiB (sizes spread evenly by their logarithm), three
// in four cut from the shared libraries, the rest noise (media, archives);
// then about 1% of the bytes changed: a few large files changed in place,
// some small ones replaced.
int Tree(const std::string& work, size_t mib) {
    const std::string base = BaseBytes(256 << 20);
    std::mt19937_64 random(7);
    std::vector<std::string> names;
    std::vector<std::string> contents;
    size_t total = 0;
    for (int i = 0; total < (mib << 20); ++i) {
        const size_t size = std::min<size_t>(size_t(4096) << (random() % 15), (mib << 20) - total + 4096);
        std::string bytes;
        if (random() % 4) bytes = base.substr(random() % (base.size() - size), size);
        else bytes = Random(size, static_cast<unsigned>(random()));
        names.push_back("d" + std::to_string(i % 16) + "/f" + std::to_string(i) + ".bin");
        WriteFile(work + "/src0/" + names.back(), bytes);
        total += size;
    }
    fs::copy(work + "/src0", work + "/src1", fs::copy_options::recursive);
    // Files in a random order, a tenth of each changed (16 KiB overwrites,
    // and 64 KiB inserted), small ones replaced, until 1% of the bytes are new.
    std::vector<size_t> order(names.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), random);
    size_t changed = 0, changedFiles = 0;
    for (size_t i : order) {
        if (changed >= total / 100) break;
        std::string bytes = ReadFile(work + "/src1/" + names[i]);
        if (bytes.size() < (256 << 10)) {
            changed += bytes.size();
            bytes = Random(bytes.size(), static_cast<unsigned>(i));
        } else {
            for (size_t k = 0; k < bytes.size() / 10 / (16 << 10); ++k)
                bytes.replace(random() % (bytes.size() - (16 << 10)), 16 << 10, Random(16 << 10, k + i));
            bytes.insert(bytes.size() / 3, Random(64 << 10, i));
            changed += bytes.size() / 10 + (64 << 10);
        }
        ++changedFiles;
        WriteFile(work + "/src1/" + names[i], bytes);
    }
    printf("tree: %zu files, %zu MiB; %zu files changed, %zu bytes of them\n", names.size(), total >> 20, changedFiles,
           changed);
    for (int k = 0; k <= 1; ++k) {
        TPublishOptions o;
        o.ReleaseDir = work + "/src" + std::to_string(k);
        o.OutDir = work + "/out" + std::to_string(k);
        o.Version = std::to_string(100 + k);
        o.CodePage = 65001;
        o.Delta = true;
        if (k > 0) o.Previous = work + "/out0";
        const double start = bench::Now();
        TPublishSummary s = Publish(o);
        const double seconds = bench::Now() - start;
        printf("release %d: publish --delta %.1f s (%.0f MB/s of input), %d entries changed, %d indexes made, %d kept\n",
               k, seconds, total / seconds / 1e6, s.Changed, s.DeltaIndexed, s.DeltaReused);
    }
    // A player on release 0 brings in every changed entry.
    int64_t delta = 0, full = 0, zstd = 0;
    const std::string app = work + "/player";
    double assemble = 0;
    const std::vector<std::string> lines = ReferenceReader::Lines(ReadFile(work + "/out1/update3.dat"));
    for (const std::string& line : std::vector<std::string>(lines.begin() + 1, lines.end())) {
        const std::string local = ReferenceReader::Field(3, line), remote = ReferenceReader::Field(2, line);
        if (local.empty() || fs::exists(work + "/out0/" + remote)) continue;
        std::string name = local;
        std::replace(name.begin(), name.end(), '\\', '/');
        const int64_t served = std::stoll(ReferenceReader::Field(5, line));
        full += served;
        fs::remove_all(app);
        WriteFile(app + "/" + name, ReadFile(work + "/src0/" + name));
        const double start = bench::Now();
        DeltaRun run = RunDelta(work + "/out1", local, app + "/" + name);
        assemble += bench::Now() - start;
        delta += run.end == TDeltaStep::Done ? std::min(run.fetched, served) : served;
        const int64_t patch = ZstdPatch(work + "/src0/" + name, work + "/src1/" + name, work + "/patch.zst");
        zstd += patch > 0 ? std::min(patch, served) : served;
    }
    printf("player on release 0: delta %lld bytes (%.2fx zstd), assembled in %.1f s; zstd --patch-from %lld; "
           "full %lld\n",
           static_cast<long long>(delta), double(delta) / zstd, assemble, static_cast<long long>(zstd),
           static_cast<long long>(full));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc < 2) {
        fprintf(stderr, "usage: bench_delta WORK_DIR [MiB] | WORK_DIR tree [MiB]\n");
        return 2;
    }
    const std::string work = argv[1];
    if (argc > 2 && std::string(argv[2]) == "tree") {
        fs::remove_all(work);
        return Tree(work, argc > 3 ? std::stoul(argv[3]) : 2048);
    }
    const size_t mib = argc > 2 ? std::stoul(argv[2]) : 200;
    fs::remove_all(work);
    std::string bytes = BaseBytes(mib << 20);
    const int kReleases = 5;  // 0 to 4, then a 1-byte change
    for (int k = 0; k <= kReleases; ++k) {
        const std::string src = work + "/src" + std::to_string(k), out = work + "/out" + std::to_string(k);
        if (k > 0 && k < kReleases) Change(bytes, 1000 + k);
        if (k == kReleases) bytes[bytes.size() / 3] ^= 1;
        WriteFile(src + "/big.bin", bytes);
        TPublishOptions o;
        o.ReleaseDir = src;
        o.OutDir = out;
        o.Version = std::to_string(100 + k);
        o.CodePage = 65001;
        o.Delta = true;
        if (k > 0) o.Previous = work + "/out" + std::to_string(k - 1);
        double start = bench::Now();
        TPublishSummary s = Publish(o);
        const double whole = bench::Now() - start;
        // The delta form alone, again, into a scratch folder.
        fs::remove_all(work + "/scratch");
        fs::create_directories(work + "/scratch");
        start = bench::Now();
        TDeltaWriter writer(k > 0 ? work + "/out" + std::to_string(k - 1) : "");
        TDeltaSummary made;
        const std::string sha = Sha256OfFile(src + "/big.bin");
        writer.Write({{"x", src + "/big.bin", static_cast<int64_t>(bytes.size()), sha, false}},
                     work + "/scratch", false, made);
        const double delta = bench::Now() - start;
        printf("release %d: publish --delta %.2f s (%.0f MB/s of input; the full gzip file included), "
               "the delta form alone %.2f s (%.0f MB/s), %lld bytes of new chunk files, index %lld bytes\n",
               k, whole, bytes.size() / whole / 1e6, delta, bytes.size() / delta / 1e6,
               static_cast<long long>(s.DeltaChunkBytes), static_cast<long long>(made.IndexBytes));
    }
    fs::remove_all(work + "/scratch");
    const std::string last = work + "/out4";
    printf("\nfile of %zu MiB, release 4 against earlier ones (the floor is about 2.1 MB a release):\n", mib);
    Player("player on release 3", work, work + "/src3/big.bin", last, work + "/src4/big.bin");
    Player("player on release 1 (3 back)", work, work + "/src1/big.bin", last, work + "/src4/big.bin");
    Player("1-byte change (on 4, to 5)", work, work + "/src4/big.bin", work + "/out5", work + "/src5/big.bin");
    // What the publisher's dry run says for the players of the history.
    TPublishOptions o;
    o.ReleaseDir = work + "/src5";
    o.OutDir = work + "/out6";
    o.CodePage = 65001;
    o.Version = "106";
    o.Delta = o.DryRun = true;
    o.Previous = work + "/out5";
    WriteFile(work + "/src5/big.bin", bytes + "tail");
    for (const auto& f : Publish(o).PlayerFetches)
        printf("dry run, a player on %s: %lld bytes by the delta form, %lld by the full files\n", f.Version.c_str(),
               static_cast<long long>(f.Delta), static_cast<long long>(f.Full));
    return 0;
}
