/* The record layout a separately built host relies on (x86-64 System V),
 * checked at compile time in C and in C++ from this one list. */
#ifndef PYTOVRIK_ABI_LAYOUT_CHECKS_H
#define PYTOVRIK_ABI_LAYOUT_CHECKS_H

#include <stddef.h>

#include "pytovrik_video.h"

#ifdef __cplusplus
#define LAYOUT(condition) static_assert(condition, #condition)
#define ALIGNMENT(type) alignof(type)
#define MEMBER_SIZE(type, member) sizeof(type::member)
#else
#define LAYOUT(condition) _Static_assert(condition, #condition)
#define ALIGNMENT(type) _Alignof(type)
#define MEMBER_SIZE(type, member) sizeof(((type*)0)->member)
#endif

LAYOUT(sizeof(RuntimeBytes) == 16 && ALIGNMENT(RuntimeBytes) == 8);
LAYOUT(offsetof(RuntimeBytes, data) == 0 && offsetof(RuntimeBytes, len) == 8);

LAYOUT(sizeof(RuntimePacket) == 16 && ALIGNMENT(RuntimePacket) == 8);
LAYOUT(offsetof(RuntimePacket, data) == 0 && offsetof(RuntimePacket, len) == 8);

LAYOUT(sizeof(RuntimeDecodeRequest) == 56 && ALIGNMENT(RuntimeDecodeRequest) == 8);
LAYOUT(offsetof(RuntimeDecodeRequest, reserved) == 0);
LAYOUT(MEMBER_SIZE(RuntimeDecodeRequest, reserved) == 8);
LAYOUT(offsetof(RuntimeDecodeRequest, output_width) == 8);
LAYOUT(offsetof(RuntimeDecodeRequest, output_height) == 12);
LAYOUT(offsetof(RuntimeDecodeRequest, output_format) == 16);
LAYOUT(MEMBER_SIZE(RuntimeDecodeRequest, output_format) == 4);
LAYOUT(offsetof(RuntimeDecodeRequest, packets) == 24);
LAYOUT(offsetof(RuntimeDecodeRequest, packet_count) == 32);
LAYOUT(offsetof(RuntimeDecodeRequest, selected_positions) == 40);
LAYOUT(offsetof(RuntimeDecodeRequest, selected_position_count) == 48);

LAYOUT(sizeof(RuntimeFrame) == 64 && ALIGNMENT(RuntimeFrame) == 8);
LAYOUT(offsetof(RuntimeFrame, format) == 0);
LAYOUT(offsetof(RuntimeFrame, width) == 4);
LAYOUT(offsetof(RuntimeFrame, height) == 8);
LAYOUT(offsetof(RuntimeFrame, rgb) == 16);
LAYOUT(offsetof(RuntimeFrame, y) == 32);
LAYOUT(offsetof(RuntimeFrame, uv) == 48);

LAYOUT(sizeof(RuntimeDecodeResponse) == 16 && ALIGNMENT(RuntimeDecodeResponse) == 8);
LAYOUT(offsetof(RuntimeDecodeResponse, frames) == 0);
LAYOUT(offsetof(RuntimeDecodeResponse, frame_count) == 8);

LAYOUT(RuntimeFormatRgb == 0 && RuntimeFormatYuv420 == 1);

#undef LAYOUT
#undef ALIGNMENT
#undef MEMBER_SIZE

#endif
