#include "dataset_layout.h"

#include <cstdint>
#include <string>

namespace quorvane::hdf5 {
namespace {

constexpr std::uint64_t kMaxChunkSamples = 2147483647;  // the codec's limit for one stream

const char* class_name(H5T_class_t type_class) {
  switch (type_class) {
    case H5T_INTEGER: return "integers";
    case H5T_FLOAT: return "floats";
    case H5T_TIME: return "times";
    case H5T_STRING: return "strings";
    case H5T_BITFIELD: return "bit fields";
    case H5T_OPAQUE: return "opaque values";
    case H5T_COMPOUND: return "compound values";
    case H5T_REFERENCE: return "references";
    case H5T_ENUM: return "enumeration values";
    case H5T_VLEN: return "variable-length values";
    case H5T_ARRAY: return "array values";
    default: return "values of an unknown class";
  }
}

FilterError refused(const std::string& what) {
  return FilterError{"quorvane filter: the dataset holds " + what +
                     "; the filter compresses float32 and float64 data only"};
}

// IEEE-754 binary32 or binary64: sign, exponent and mantissa where the
// codec's memcpy of the bits expects them.
bool is_ieee_float(const Hdf5Library& library, hid_t type, std::size_t size) {
  std::size_t sign = 0, exponent_position = 0, exponent_size = 0, mantissa_position = 0, mantissa_size = 0;
  if (library.get_fields(type, &sign, &exponent_position, &exponent_size, &mantissa_position, &mantissa_size) < 0) {
    return false;
  }
  const std::size_t precision = library.get_precision(type);
  if (size == 4) {
    return precision == 32 && sign == 31 && exponent_position == 23 && exponent_size == 8 &&
           mantissa_position == 0 && mantissa_size == 23;
  }
  return precision == 64 && sign == 63 && exponent_position == 52 && exponent_size == 11 &&
         mantissa_position == 0 && mantissa_size == 52;
}

}  // namespace

FilterResult<ChunkLayout> dataset_layout(const Hdf5Library& library, hid_t dcpl, hid_t type) {
  if (!library.complete()) {
    return Err{FilterError{"quorvane filter: the HDF5 library that loaded the filter lacks functions it needs"}};
  }
  const H5T_class_t type_class = library.get_class(type);
  const std::size_t size = library.get_size(type);
  if (type_class != H5T_FLOAT) {
    return Err{refused(std::to_string(size) + "-byte " + class_name(type_class))};
  }
  if ((size != 4 && size != 8) || !is_ieee_float(library, type, size)) {
    return Err{refused(std::to_string(size) + "-byte floats that are not IEEE float32 or float64")};
  }
  const H5T_order_t order = library.get_order(type);
  if (order != H5T_ORDER_LE && order != H5T_ORDER_BE) {
    return Err{refused("floats of a byte order other than little- or big-endian")};
  }
  hsize_t dims[H5S_MAX_RANK] = {};
  const int rank = library.get_chunk(dcpl, H5S_MAX_RANK, dims);
  if (rank <= 0) return Err{FilterError{"quorvane filter: the dataset is not chunked"}};
  std::uint64_t samples = 1;
  for (int i = 0; i < rank; ++i) {
    samples *= dims[i];
    if (samples > kMaxChunkSamples) {
      return Err{FilterError{"quorvane filter: a chunk may hold at most 2147483647 elements; choose smaller chunks"}};
    }
  }
  return ChunkLayout{static_cast<unsigned>(size), order == H5T_ORDER_BE, static_cast<std::uint32_t>(samples)};
}

}  // namespace quorvane::hdf5
