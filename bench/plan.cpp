// Building the update plan from lists of 1,000, 10,000 and 100,000 lines:
// the lookup by name beside the pairwise comparison it replaces.
#include <cstdio>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "app/UpdatePlan.h"

int main(int argc, char** argv) {
    bool full = argc > 1 && std::string(argv[1]) == "--full";
    for (int n : {1000, 10000, 100000}) {
        std::vector<AnsiString> remote = {"header"}, installed = {"KOVRAN"};
        for (int i = 0; i < n; ++i) {
            std::string name = "data\\file" + std::to_string(i) + ".bin";
            remote.push_back("E f" + std::to_string(i) + ".gz " + name + " " + (i % 10 ? "105" : "106") + " 1234");
            installed.push_back(name + " 105");
        }
        double t0 = bench::Now();
        size_t planned = BuildUpdatePlan(remote, installed).Entries.size();
        double fast = bench::Now() - t0;
        double pairs = -1;
        if (n <= 10000 || full) {  // the pairwise plan of 100,000 lines takes minutes
            t0 = bench::Now();
            BuildUpdatePlanByPairs(remote, installed);
            pairs = bench::Now() - t0;
        }
        if (pairs >= 0)
            printf("plan of %6d lines: by name %.4f s, pairwise %.4f s (%zu planned)\n", n, fast, pairs, planned);
        else
            printf("plan of %6d lines: by name %.4f s, pairwise skipped (minutes; --full runs it) (%zu planned)\n", n, fast, planned);
    }
    return 0;
}
