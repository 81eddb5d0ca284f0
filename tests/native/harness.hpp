// A small test harness for the kernels' unit tests: TEST(name) { ... }
// registers a case; CHECK(condition) records a failure and goes on;
// SKIP(reason) ends a case as skipped. The runner prints one line per case
// and a closing "N passed, N failed, N skipped" line.
#pragma once

#include <cstddef>
#include <sstream>
#include <string>
#include <vector>

namespace molvak::test {

struct Case {
    const char* name;
    void (*run)();
};

std::vector<Case>& registry();

struct Register {
    Register(const char* name, void (*run)()) { registry().push_back({name, run}); }
};

struct Skipped {
    std::string reason;
};

void record_failure(const char* file, int line, const std::string& what);

}  // namespace molvak::test

#define TEST(name)                                                        \
    static void test_##name();                                            \
    static const ::molvak::test::Register register_##name(#name, test_##name); \
    static void test_##name()

#define CHECK(condition)                                                       \
    do {                                                                       \
        if (!(condition)) ::molvak::test::record_failure(__FILE__, __LINE__, #condition); \
    } while (0)

// CHECK with a message built from stream insertions: CHECK_MSG(a == b, "at " << i).
#define CHECK_MSG(condition, message)                                          \
    do {                                                                       \
        if (!(condition)) {                                                    \
            std::ostringstream what_;                                          \
            what_ << #condition << ": " << message;                            \
            ::molvak::test::record_failure(__FILE__, __LINE__, what_.str());   \
        }                                                                      \
    } while (0)

#define SKIP(reason) throw ::molvak::test::Skipped{reason}
