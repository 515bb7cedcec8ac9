// Driving a delta install from a published folder, as the run's transfer
// pool will from a mirror: the manifest and the entry's index read whole,
// the ranges asked for read from the chunk files and delivered in pieces.
#pragma once
#include <functional>
#include <random>
#include <string>

#include "TestSupport.h"
#include "release/DeltaFormat.h"
#include "release/DeltaInstall.h"

namespace testing_support {

// Text-like bytes (words from a small vocabulary), which compress as most
// of a client's files do.
inline std::string Words(size_t n, unsigned seed) {
    static const char* kWords[] = {"alpha ", "beta ", "gamma\n", "delta ", "skiff ", "mirror ", "chunk ", "0x1f "};
    std::mt19937 random(seed);
    std::string s;
    while (s.size() < n) s += kWords[random() % 8];
    s.resize(n);
    return s;
}

struct DeltaRun {
    TDeltaStep end = TDeltaStep::FallBack;
    std::string problem;
    int64_t fetched = 0;  // manifest, index and ranges
    int ranges = 0, steps = 0;
};

// Changes the bytes of a range as served (a mirror serving wrong bytes).
using RangeTamper = std::function<void(const TByteRange&, std::string& bytes)>;
// Called after each step: false stops the run there (a kill, for the tests).
using StepHook = std::function<bool(TDeltaStep, TDeltaInstall&)>;

inline std::string ReadRange(const std::string& path, int64_t offset, int64_t length) {
    std::ifstream f(path, std::ios::binary);
    f.seekg(offset);
    std::string bytes(static_cast<size_t>(length), '\0');
    f.read(&bytes[0], length);
    bytes.resize(static_cast<size_t>(f.gcount()));
    return bytes;
}

// The entry of `pub`'s list whose local name is `local` brought into
// `target` by its delta form; installs it when done.
inline DeltaRun RunDelta(const std::string& pub, const std::string& local, const std::string& target,
                         const RangeTamper& tamper = {}, const StepHook& hook = {}, int64_t gap = 16 << 10) {
    DeltaRun run;
    const std::string list = ReadFile(pub + "/update3.dat");
    TDeltaManifestFile named;
    if (!DeclaredDeltaManifest(list.substr(0, list.find_first_of("\r\n")), named)) return run;
    const std::string text = ReadFile(pub + "/" + named.Name);
    TDeltaManifest manifest;
    AnsiString problem;
    if (!DecodeDeltaManifest(text, manifest, problem)) return run;
    std::string remote, sha;
    std::istringstream lines(list);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::vector<std::string> f;
        std::istringstream words(line);
        for (std::string w; words >> w;) f.push_back(w);
        if (f.size() >= 8 && f[2] == local) remote = f[1], sha = f[7];
    }
    auto index = manifest.Indexes.find(remote);
    if (index == manifest.Indexes.end()) return run;
    const std::string indexBytes = ReadFile(pub + "/" + index->second.Name);
    run.fetched = static_cast<int64_t>(text.size() + indexBytes.size());
    TDeltaInstall install(target, indexBytes, index->second, sha, gap);
    for (TDeltaStep step;;) {
        step = install.Step();
        ++run.steps;
        if (hook && !hook(step, install)) return run;
        if (step == TDeltaStep::Fetch) {
            const auto& wanted = install.Wanted();
            for (size_t r = 0; r < wanted.size(); ++r) {
                std::string bytes = ReadRange(pub + "/" + std::string(wanted[r].Remote), wanted[r].Offset, wanted[r].Length);
                if (tamper) tamper(wanted[r], bytes);
                // In pieces of 5000 bytes, last first: any order must do.
                for (size_t at = bytes.size(); at > 0;) {
                    const size_t from = at > 5000 ? at - 5000 : 0;
                    install.Deliver(r, static_cast<int64_t>(from), bytes.data() + from, at - from);
                    at = from;
                }
            }
            install.Fetched(true);
        } else if (step == TDeltaStep::Done || step == TDeltaStep::FallBack) {
            run.end = step;
            run.problem = install.Problem();
            run.fetched += install.FetchBytes();
            run.ranges = install.FetchRanges();
            if (step == TDeltaStep::Done) install.PutInPlace();
            return run;
        }
    }
}

}  // namespace testing_support
