// IEEE arithmetic in the directed rounding modes (round.cpp, compiled with
// -frounding-math so that the compiler keeps each operation inside its mode).
#pragma once

#include <cstdint>

namespace sim {
namespace ptx {

// Rounding modes as instructions name them.
enum : int { rn, rz, rm, rp };

namespace directed {
float add(float a, float b, int mode);
float mul(float a, float b, int mode);
float div(float a, float b, int mode);
float fma(float a, float b, float c, int mode);
float sqrt(float a, int mode);
double add(double a, double b, int mode);
double mul(double a, double b, int mode);
double div(double a, double b, int mode);
double fma(double a, double b, double c, int mode);
double sqrt(double a, int mode);
float to_f32(double a, int mode);
float to_f32(int64_t a, int mode);
float to_f32(uint64_t a, int mode);
double to_f64(int64_t a, int mode);
double to_f64(uint64_t a, int mode);
}  // namespace directed

}  // namespace ptx
}  // namespace sim
