// The instruction sets the pixel loops may use. Every operator and kernel
// with loops in more than one form (plain code, SSE2, SSSE3, AVX2) asks here
// which forms it may run; all forms give the same bytes.
//
// The level is the best the processor has, capped by the environment
// variable FIELDFX_ISA (`scalar`, `sse2`, `ssse3` or `avx2`), so that every
// form can be run, and tested, on one machine. A level the processor lacks
// gives the best it has; an unset, empty or unknown value is ignored. Each
// library reads the variable once, when it first asks (at load, before any
// loop is chosen).
#pragma once

#include <cstdlib>

enum class IsaLevel : int {
    Scalar = 0,  // plain code only
    Sse2 = 1,
    Ssse3 = 2,
    Avx2 = 3,
};

// The level that a value of FIELDFX_ISA (or null) gives on a processor
// whose best level is `best`. Letters may be of either case.
constexpr IsaLevel cappedIsaLevel(const char* asked, IsaLevel best) {
    if (asked == nullptr) return best;
    struct Name {
        const char* text;
        IsaLevel level;
    };
    constexpr Name kNames[] = {
        {"scalar", IsaLevel::Scalar}, {"sse2", IsaLevel::Sse2}, {"ssse3", IsaLevel::Ssse3}, {"avx2", IsaLevel::Avx2}};
    for (const Name& name : kNames) {
        int i = 0;
        while (name.text[i] != '\0' && asked[i] != '\0' &&
               (asked[i] >= 'A' && asked[i] <= 'Z' ? asked[i] - 'A' + 'a' : asked[i]) == name.text[i]) {
            ++i;
        }
        if (name.text[i] == '\0' && asked[i] == '\0') return name.level < best ? name.level : best;
    }
    return best;
}

// The best level of this processor. __builtin_cpu_init is called first, as
// this may run before the library's other constructors.
inline IsaLevel processorIsaLevel() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) return IsaLevel::Avx2;
    if (__builtin_cpu_supports("ssse3")) return IsaLevel::Ssse3;
#if defined(__SSE2__)
    return IsaLevel::Sse2;
#endif
#endif
    return IsaLevel::Scalar;
}

// The level of this library, read once.
inline IsaLevel isaLevel() {
    static const IsaLevel level = cappedIsaLevel(std::getenv("FIELDFX_ISA"), processorIsaLevel());
    return level;
}

// Whether loops of `level` may run.
inline bool isaAllows(IsaLevel level) { return isaLevel() >= level; }

// Runs `body`, a lambda marked ISA_BODY, in code built for AVX2 where the
// level allows it, else in code built for any processor of the architecture
// (on x86-64 with SSE2, which the compiler may use for plain loops). The
// body is inlined into each build, so that the compiler vectorises its
// loops for the wider registers. For integer loops, whose bytes cannot
// differ between the builds (and floating point without contraction).
// A body hands its values to an always-inline function with the loop
// rather than looping over its captures: those are read through the
// closure, which any byte store may alias, and would be reloaded on every
// step.
#define ISA_BODY __attribute__((always_inline))

#if defined(__x86_64__) || defined(__i386__)
template <typename Body>
__attribute__((target("avx2"), noinline)) void runBuiltForAvx2(const Body& body) {
    body();
}
template <typename Body>
__attribute__((noinline)) void runBuiltForAny(const Body& body) {
    body();
}
template <typename Body>
inline void runInWidestBuild(const Body& body) {
    static const bool wide = isaAllows(IsaLevel::Avx2);
    if (wide) {
        runBuiltForAvx2(body);
    } else {
        runBuiltForAny(body);
    }
}
#else
template <typename Body>
inline void runInWidestBuild(const Body& body) {
    body();
}
#endif
