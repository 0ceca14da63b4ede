#pragma once

#include <cstdint>

// The decoding routines of the device dialogue, shared by the panel and
// zentactl: AND and OR over bits 23 to 0, and division by a power of two.
namespace modTollan {

int32_t BitAnd24(int32_t a, int32_t b);
int32_t BitOr24(int32_t a, int32_t b);
int32_t ShiftRight(int32_t a, int32_t n);

}  // namespace modTollan
