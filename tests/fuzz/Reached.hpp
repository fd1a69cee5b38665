// Counts the inputs that got past a target's first gate to the checks
// behind it (a boot sector that parses, a reply that matches a signature,
// ...). With FUZZ_REACHED_REPORT set, the count is printed when the target
// ends, so a run over the seeds alone shows that they reach the checks.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace fuzzreach {

struct Counter {
    unsigned long inputs = 0;
    ~Counter()
    {
        if (std::getenv("FUZZ_REACHED_REPORT") != nullptr)
            std::fprintf(stderr, "reached the checks: %lu inputs\n", inputs);
    }
};

inline Counter counter;

inline void Reached() { ++counter.inputs; }

} // namespace fuzzreach
