// The VX40 data record: one flat 139-byte block, distributed, saved to history
// and restored from cache as a whole.
//
//  offset len field    content
//       0   4 data_id  device identifier, uint32 little-endian (settings reader)
//       4  63 analog   2A/41 INFO bytes 1..63; nine float32 LE at 4,8,..,36
//      67   6 info43   2A/43 INFO bytes 1..6
//      73  14 alarm    2A/44 INFO bytes 1..14: alarm status bytes
//      87  45 info46   2A/46 INFO bytes 0..44 (no DATAFLAG byte)
//     132   7 time     time stamp of the round, from get_ttime
//
// All fields are byte arrays: the block has no alignment, and multi-byte
// values are read and written with memcpy, little-endian.
#pragma once

#include <cstddef>

struct XV40Data_t {
    unsigned char data_id[4];
    unsigned char analog[63];
    unsigned char info43[6];
    unsigned char alarm[14];
    unsigned char info46[45];
    unsigned char time[7];
};

static_assert(sizeof(XV40Data_t) == 139, "the record is 139 bytes");
static_assert(alignof(XV40Data_t) == 1, "the record has no alignment of its own");
static_assert(offsetof(XV40Data_t, data_id) == 0);
static_assert(offsetof(XV40Data_t, analog) == 4);
static_assert(offsetof(XV40Data_t, info43) == 67);
static_assert(offsetof(XV40Data_t, alarm) == 73);
static_assert(offsetof(XV40Data_t, info46) == 87);
static_assert(offsetof(XV40Data_t, time) == 132);
