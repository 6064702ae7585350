/* SPDX-License-Identifier: GPL-2.0-only OR MIT */
/*
 * The Tessel's pointer-acceleration curve, in integers only, shared bit for bit by the
 * kernel module hid-korvid-tessel and the driver daemon's pointing service (C and C++).
 *
 * The parameter p is the "HIDMouseAcceleration" value, signed 16.16 fixed point; the
 * strength is a = max(p, 0) / 65536, so 0 (and anything negative) means linear motion.
 * All speeds and gains are unsigned 16.16 fixed point.
 *
 * The speed v of one motion report is its length over the time since the previous report,
 * in counts per millisecond, truncated to 16.16 and capped at the top of the curve:
 *
 *     v = min(floor(sqrt(dx² + dy²) · 1000 / clamp(dt, MIN_INTERVAL, MAX_INTERVAL)), TOP)
 *
 * where the length is itself floor(sqrt) in 16.16. The gain multiplies both axes:
 *
 *     gain(v, a) = 1 + floor(p · clamp(v − THRESHOLD, 0, RANGE) / REFERENCE)   (16.16)
 *
 * Below THRESHOLD counts/ms the pointer moves one-to-one, whatever a is; above it the gain
 * rises linearly with speed up to THRESHOLD + RANGE (= TOP), where it stays at its maximum
 * 1 + a · RANGE / REFERENCE. It never decreases as v or p grows and never falls below 1.
 *
 * Each axis keeps the fraction (16.16, |r| < 1) that previous reports could not move and
 * adds it before truncating toward zero:
 *
 *     out = trunc(d · gain + r),   r ← d · gain + r − out
 *
 * A remainder whose sign differs from the new motion is dropped first (a change of
 * direction starts clean), so mirroring the motion mirrors the output exactly. Outputs
 * saturate at ±INT32_MAX (the remainder then resets); no input and no parameter overflows:
 * |d| ≤ 2^31 and gain < 2^33, so d · gain + r fits in 64 bits unsigned.
 */
#ifndef KORVID_TESSEL_CURVE_H
#define KORVID_TESSEL_CURVE_H

#ifdef __KERNEL__
#include <linux/types.h>
#include <linux/math64.h>
typedef u16 kvc_u16;
typedef s32 kvc_s32;
typedef s64 kvc_s64;
typedef u32 kvc_u32;
typedef u64 kvc_u64;
#define KVC_DIV_U64_U32(n, d) div_u64((n), (d))
#else
#include <stdint.h>
typedef uint16_t kvc_u16;
typedef int32_t kvc_s32;
typedef int64_t kvc_s64;
typedef uint32_t kvc_u32;
typedef uint64_t kvc_u64;
#define KVC_DIV_U64_U32(n, d) ((n) / (d))
#endif

#define KORVID_CURVE_ONE 65536               /* 1.0 in 16.16 */
#define KORVID_CURVE_THRESHOLD 1             /* counts per ms moved one-to-one */
#define KORVID_CURVE_REFERENCE_SHIFT 3       /* 8 counts per ms add a to the gain */
#define KORVID_CURVE_RANGE 24                /* speeds above THRESHOLD + RANGE add nothing */
#define KORVID_CURVE_TOP (KORVID_CURVE_THRESHOLD + KORVID_CURVE_RANGE)
#define KORVID_CURVE_MIN_INTERVAL_US 125     /* fastest report rate: 8000 Hz */
#define KORVID_CURVE_MAX_INTERVAL_US 100000  /* a pause longer than this is a pause */
#define KORVID_CURVE_INT32_MAX 0x7FFFFFFF

/* One mouse's acceleration state. All zero is a linear mouse that has not moved yet. */
struct korvid_curve {
	kvc_s32 parameter;
	kvc_s32 remainder_x; /* 16.16 */
	kvc_s32 remainder_y; /* 16.16 */
	int have_last_time;
	kvc_s64 last_time_us;
};

/*
 * 1/sqrt(m) for m = (i + 64.5) / 256, i = 0..191, in 1.15 fixed point: korvid_curve_isqrt's
 * first guess for m in [(i + 64) / 256, (i + 65) / 256), good to about 8 bits.
 */
static const kvc_u16 korvid_curve_rsqrt_seed[192] = {
	65281, 64781, 64292, 63814, 63347, 62889, 62442, 62004, 61575, 61154, 60742, 60339,
	59943, 59555, 59175, 58801, 58435, 58075, 57722, 57376, 57035, 56700, 56372, 56049,
	55731, 55419, 55112, 54810, 54513, 54221, 53933, 53650, 53371, 53097, 52826, 52560,
	52298, 52040, 51785, 51535, 51288, 51044, 50804, 50567, 50333, 50103, 49876, 49652,
	49430, 49212, 48997, 48784, 48574, 48367, 48163, 47961, 47761, 47564, 47370, 47178,
	46988, 46800, 46615, 46432, 46251, 46072, 45895, 45720, 45547, 45376, 45207, 45040,
	44875, 44711, 44550, 44390, 44232, 44075, 43920, 43767, 43615, 43465, 43316, 43169,
	43024, 42879, 42737, 42595, 42456, 42317, 42180, 42044, 41910, 41776, 41644, 41514,
	41384, 41256, 41129, 41003, 40878, 40754, 40631, 40510, 40390, 40270, 40152, 40035,
	39919, 39803, 39689, 39576, 39464, 39352, 39242, 39133, 39024, 38916, 38810, 38704,
	38599, 38494, 38391, 38289, 38187, 38086, 37986, 37887, 37788, 37690, 37593, 37497,
	37401, 37307, 37213, 37119, 37027, 36935, 36843, 36753, 36663, 36573, 36485, 36397,
	36309, 36222, 36136, 36051, 35966, 35882, 35798, 35715, 35632, 35550, 35469, 35388,
	35307, 35228, 35148, 35070, 34991, 34914, 34837, 34760, 34684, 34608, 34533, 34458,
	34384, 34310, 34237, 34164, 34092, 34020, 33949, 33878, 33807, 33737, 33668, 33599,
	33530, 33461, 33393, 33326, 33259, 33192, 33126, 33060, 32994, 32929, 32864, 32800,
};

/*
 * sqrt(x), x > 0, with multiplications only: below 2^56 (every length korvid_curve_speed
 * asks for) it is within one of floor(sqrt(x)). x shifted left by an even k lies in
 * [2^62, 2^64): it is m · 2^64 with m in [1/4, 1). Two Newton steps y ← y · (3 − m · y²) / 2
 * take the table's guess of 1/sqrt(m) (2.30 fixed point) to about 27 bits; then
 * sqrt(x) = m · y · 2^(32 − k/2).
 */
static inline kvc_u64 korvid_curve_root_estimate(kvc_u64 x)
{
	unsigned int k;
	kvc_u64 m;
	kvc_u64 y;
	int step;

	k = (unsigned int)__builtin_clzll(x) & ~1u;
	m = (x << k) >> 32; /* m in 0.32 fixed point */
	y = (kvc_u64)korvid_curve_rsqrt_seed[(m >> 24) - 64] << 15;
	for (step = 0; step < 2; step++) {
		const kvc_u64 m_y2 = m * ((y * y) >> 32); /* m · y², 4.60 */

		y = (y * ((((kvc_u64)3 << 60) - m_y2) >> 30)) >> 31;
	}
	return (m * y) >> (30 + k / 2);
}

/* floor(sqrt(x)): the estimate, made exact. */
static inline kvc_u64 korvid_curve_isqrt(kvc_u64 x)
{
	kvc_u64 root;

	if (x == 0)
		return 0;
	root = korvid_curve_root_estimate(x);
	if (root > 0xFFFFFFFF)
		root = 0xFFFFFFFF;
	while (root * root > x)
		root--;
	while (root < 0xFFFFFFFF && (root + 1) * (root + 1) <= x)
		root++;
	return root;
}

static inline kvc_u64 korvid_curve_magnitude(kvc_s32 v)
{
	return v < 0 ? (kvc_u64)(-(kvc_s64)v) : (kvc_u64)v;
}

/* Speed (16.16 counts per ms, at most TOP) of a report of (dx, dy) interval_us after the last. */
static inline kvc_u32 korvid_curve_speed(kvc_s32 dx, kvc_s32 dy, kvc_s64 interval_us)
{
	/* A motion this long is at the top speed even after the longest interval. */
	const kvc_u64 top_length = (kvc_u64)KORVID_CURVE_TOP * KORVID_CURVE_MAX_INTERVAL_US / 1000;
	const kvc_u32 top = (kvc_u32)KORVID_CURVE_TOP * KORVID_CURVE_ONE;
	kvc_u64 x = korvid_curve_magnitude(dx);
	kvc_u64 y = korvid_curve_magnitude(dy);
	kvc_u64 square;
	kvc_u64 top_root;
	kvc_u64 length;
	kvc_u64 speed;

	if (interval_us < KORVID_CURVE_MIN_INTERVAL_US)
		interval_us = KORVID_CURVE_MIN_INTERVAL_US;
	if (interval_us > KORVID_CURVE_MAX_INTERVAL_US)
		interval_us = KORVID_CURVE_MAX_INTERVAL_US;
	if (x >= top_length || y >= top_length)
		return top;
	/* x² + y² < 2^24 here, so the 16.16 length's square fits in 64 bits. */
	square = (x * x + y * y) << 32;
	/*
	 * The speed reaches the top when length · 1000 ≥ top · interval, that is when the
	 * length is at least top_root = ceil(top · interval / 1000) (< 2^28), and so when its
	 * square is: the fast motions need neither the root nor the division.
	 */
	top_root = KVC_DIV_U64_U32((kvc_u64)top * (kvc_u64)interval_us + 999, 1000);
	if (square >= top_root * top_root)
		return top;
	length = korvid_curve_isqrt(square);
	speed = KVC_DIV_U64_U32(length * 1000, (kvc_u32)interval_us);
	return speed > top ? top : (kvc_u32)speed;
}

/* Gain (16.16) at speed `speed` (16.16) for parameter `parameter` (16.16). */
static inline kvc_u64 korvid_curve_gain(kvc_u32 speed, kvc_s32 parameter)
{
	const kvc_u32 threshold = (kvc_u32)KORVID_CURVE_THRESHOLD * KORVID_CURVE_ONE;
	const kvc_u32 range = (kvc_u32)KORVID_CURVE_RANGE * KORVID_CURVE_ONE;
	kvc_u32 excess;

	if (parameter <= 0 || speed <= threshold)
		return KORVID_CURVE_ONE;
	excess = speed - threshold;
	if (excess > range)
		excess = range;
	return KORVID_CURVE_ONE +
	       (((kvc_u64)parameter * excess) >> (16 + KORVID_CURVE_REFERENCE_SHIFT));
}

/* One axis: delta times gain plus the carried remainder, truncated toward zero. */
static inline kvc_s32 korvid_curve_scale(kvc_s32 delta, kvc_u64 gain, kvc_s32 *remainder)
{
	kvc_u64 exact;
	kvc_u64 whole;
	kvc_s32 fraction;

	if (delta == 0)
		return 0; /* an axis at rest keeps its remainder for later */
	if ((delta > 0 && *remainder < 0) || (delta < 0 && *remainder > 0))
		*remainder = 0;
	exact = korvid_curve_magnitude(delta) * gain + korvid_curve_magnitude(*remainder);
	whole = exact >> 16;
	if (whole >= KORVID_CURVE_INT32_MAX) {
		*remainder = 0;
		return delta > 0 ? KORVID_CURVE_INT32_MAX : -KORVID_CURVE_INT32_MAX;
	}
	fraction = (kvc_s32)(exact & 0xFFFF);
	*remainder = delta > 0 ? fraction : -fraction;
	return delta > 0 ? (kvc_s32)whole : -(kvc_s32)whole;
}

/* Accelerates one motion report of (*dx, *dy) that happened at time_us, in place. */
static inline void korvid_curve_apply(struct korvid_curve *curve, kvc_s32 *dx, kvc_s32 *dy,
				      kvc_s64 time_us)
{
	kvc_s64 interval = KORVID_CURVE_MAX_INTERVAL_US;
	kvc_u64 gain;

	if (curve->have_last_time &&
	    __builtin_sub_overflow(time_us, curve->last_time_us, &interval))
		interval = KORVID_CURVE_MAX_INTERVAL_US; /* clocks that far apart mean a pause */
	curve->have_last_time = 1;
	curve->last_time_us = time_us;
	if (curve->parameter <= 0)
		return; /* linear: nothing to carry */
	gain = korvid_curve_gain(korvid_curve_speed(*dx, *dy, interval), curve->parameter);
	*dx = korvid_curve_scale(*dx, gain, &curve->remainder_x);
	*dy = korvid_curve_scale(*dy, gain, &curve->remainder_y);
}

#endif /* KORVID_TESSEL_CURVE_H */
