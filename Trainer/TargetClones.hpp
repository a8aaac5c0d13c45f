#pragma once

// The engine's hot loops are compiled twice, for AVX2 with FMA and for any
// x86-64 (SSE2), and the loader picks the clone the processor runs. A build
// with TESSARON_PORTABLE_ENGINE defined compiles the portable one alone, so
// that its tests run the code a processor without AVX2 runs. Clang 14
// refuses to pass eight-lane vectors between a clone and the helpers it
// inlines (their targets differ), so under clang the engine is portable only;
// so is it under ThreadSanitizer, whose runtime is not up yet when the
// loader picks the clones.
#if defined(__x86_64__) && !defined(TESSARON_PORTABLE_ENGINE) && !defined(__clang__) && \
    !defined(__SANITIZE_THREAD__)
#define TESSARON_AVX2_CLONES __attribute__((target_clones("arch=x86-64-v3", "default")))
#else
#define TESSARON_AVX2_CLONES
#endif

// For a function whose helpers must be compiled into each of its clones.
#define TESSARON_AVX2_CLONES_FLATTENED TESSARON_AVX2_CLONES __attribute__((flatten))
