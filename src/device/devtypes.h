// Vector and shape types shared by host and device code. The real backend takes
// them from the CUDA headers; the simulated backend defines layout-identical ones.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(DEV_BACKEND_SIM)

#define DEV_HOSTDEV

struct dim3 {
    unsigned x, y, z;
    constexpr dim3(unsigned vx = 1, unsigned vy = 1, unsigned vz = 1) : x(vx), y(vy), z(vz) {}
};
struct uint3 { unsigned x, y, z; };

struct alignas(8) float2 { float x, y; };
struct alignas(16) float4 { float x, y, z, w; };
struct alignas(16) double2 { double x, y; };
struct alignas(8) int2 { int x, y; };
struct alignas(16) int4 { int x, y, z, w; };

inline float2 make_float2(float x, float y) { return {x, y}; }
inline double2 make_double2(double x, double y) { return {x, y}; }
inline int2 make_int2(int x, int y) { return {x, y}; }
inline int4 make_int4(int x, int y, int z, int w) { return {x, y, z, w}; }

#else

#include <vector_types.h>
#include <vector_functions.h>
#define DEV_HOSTDEV __host__ __device__

#endif
