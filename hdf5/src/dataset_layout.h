// What a dataset implies for the filter: element type, byte order and
// elements per chunk, read through the loading libhdf5.
#pragma once

#include <hdf5.h>

#include "filter_parameters.h"
#include "hdf5_library.h"

namespace quorvane::hdf5 {

// Refuses every element type but IEEE float32 and float64, and chunks the
// codec cannot take in one stream.
FilterResult<ChunkLayout> dataset_layout(const Hdf5Library& library, hid_t dcpl, hid_t type);

}  // namespace quorvane::hdf5
