// Runs the unit tests of the kernels: `molvak_kernel_tests [substring]` runs
// the cases whose name contains the substring (all by default).
#include <cstdio>
#include <cstring>
#include <exception>

#include "harness.hpp"
#include "sets.hpp"

namespace molvak::test {

namespace {
int failures_in_case = 0;
}

std::vector<Case>& registry() {
    static std::vector<Case> cases;
    return cases;
}

void record_failure(const char* file, int line, const std::string& what) {
    // Report the first few failures of a case in full; count the rest.
    if (++failures_in_case <= 5) std::printf("    %s:%d: %s\n", file, line, what.c_str());
}

}  // namespace molvak::test

int main(int argc, char** argv) {
    using namespace molvak::test;
    int passed = 0, failed = 0, skipped = 0;
    std::printf("instruction sets under test:");
    for (molvak::simd::Isa isa : usable_sets()) std::printf(" %s", molvak::simd::name(isa));
    std::printf("\n");
    for (const Case& c : registry()) {
        if (argc > 1 && std::strstr(c.name, argv[1]) == nullptr) continue;
        failures_in_case = 0;
        std::printf("%s\n", c.name);
        std::fflush(stdout);
        try {
            c.run();
        } catch (const Skipped& s) {
            std::printf("    skipped: %s\n", s.reason.c_str());
            ++skipped;
            continue;
        } catch (const std::exception& e) {
            record_failure(__FILE__, __LINE__, std::string("exception: ") + e.what());
        }
        if (failures_in_case > 0) {
            std::printf("    FAILED (%d checks)\n", failures_in_case);
            ++failed;
        } else {
            ++passed;
        }
    }
    std::printf("%d passed, %d failed, %d skipped\n", passed, failed, skipped);
    return failed == 0 ? 0 : 1;
}
