/* The quorvane HDF5 filter: its id and the layout of its parameters
 * (cd_values), for C programs that set the filter themselves:
 *
 *   H5Pset_chunk(dcpl, rank, chunk_dims);
 *   H5Pset_filter(dcpl, QUORVANE_H5Z_FILTER, H5Z_FLAG_MANDATORY, 0, NULL);
 *
 * Zero values take every default (cdf97, scale 11, cut-off low, rANS coder).
 * To choose options pass QUORVANE_H5Z_USER_VALUES values in the order of the
 * indices below, the first being QUORVANE_H5Z_LAYOUT_VERSION; a shorter list
 * leaves the missing trailing values at their defaults. The dataset part
 * (element size, byte order, samples per chunk) is filled in when the dataset
 * is created; anything passed there is overwritten.
 *
 * The id lies in the range 256-511 that HDF5 keeps for testing; it will
 * change to a registered id once one is assigned. */
#ifndef QUORVANE_HDF5_H
#define QUORVANE_HDF5_H

#define QUORVANE_H5Z_FILTER 345
#define QUORVANE_H5Z_NAME "quorvane lossy wavelet compression"

/* Bumped whenever the meaning of a stored value changes. */
#define QUORVANE_H5Z_LAYOUT_VERSION 1

/* What the writer chooses. */
#define QUORVANE_H5Z_INDEX_LAYOUT 0
#define QUORVANE_H5Z_INDEX_METHOD 1 /* 0 cdf53, 1 cdf97, 2 db4, 3 sym4 */
#define QUORVANE_H5Z_INDEX_SCALE 2  /* 6..12 */
#define QUORVANE_H5Z_INDEX_CUTOFF 3 /* 0 low, 1 medium, 2 high */
#define QUORVANE_H5Z_INDEX_CODER 4  /* 0 deflate, 1 rANS, 2 auto (rANS), 3 bands */
/* Coder 2, the band coder: opt-in, since only quorvane reads its streams
 * (docs/format.md); filters older than it refuse datasets that ask for it. */
#define QUORVANE_H5Z_CODER_BANDS 3
/* A quality target in place of a fixed scale: 0 means none. */
#define QUORVANE_H5Z_INDEX_TARGET_KIND 5
/* The target's value as the bits of an IEEE-754 binary32. */
#define QUORVANE_H5Z_INDEX_TARGET_VALUE 6
#define QUORVANE_H5Z_USER_VALUES 7

/* What the dataset implies, filled in at dataset creation. */
#define QUORVANE_H5Z_INDEX_ELEMENT_SIZE 7  /* 4 float32, 8 float64 */
#define QUORVANE_H5Z_INDEX_BIG_ENDIAN 8    /* 0 little-endian, 1 big-endian */
#define QUORVANE_H5Z_INDEX_CHUNK_SAMPLES 9 /* elements per chunk */
#define QUORVANE_H5Z_VALUES 10

#endif /* QUORVANE_HDF5_H */
