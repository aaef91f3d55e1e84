// The fast path of the line scan (line_scan_fast.h) built again for
// processors with AVX2, BMI2 and FMA; line_scan.cpp takes it where the
// processor has them. Only the functions below are built for them: what the
// headers define comes first and stays as it is built everywhere.
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>
#include <utility>

#include "byte_masks.h"
#include "line_scan.h"
#include "user_settings.h"

#if TVQ_SCAN_HAS_AVX2
#include <immintrin.h>

#ifdef __clang__
#pragma clang attribute push(__attribute__((target("avx2,bmi,bmi2,fma,popcnt"))), \
                             apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,bmi,bmi2,fma,popcnt")
#endif

#define TVQ_SCAN_AVX2 1
namespace line_scan_avx2 {
#include "line_scan_fast.h"
}  // namespace line_scan_avx2

#ifdef __clang__
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
#endif
