// The HDF5 filter plugin: the filter class, its callbacks and the two symbols
// HDF5 looks up when it loads a plugin. Every callback catches everything:
// an exception must not unwind into the C library.
#include <H5PLextern.h>
#include <hdf5.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "chunk_codec.h"
#include "dataset_layout.h"
#include "filter_parameters.h"
#include "hdf5_library.h"

namespace quorvane::hdf5 {
namespace {

// Room for the longest list a writer may pass; longer lists are refused.
constexpr std::size_t kValueCapacity = 32;

void* allocate(std::size_t size) {
  const Hdf5Library& library = hdf5_library();
  return library.allocate != nullptr ? library.allocate(size, false) : std::malloc(size);
}

void release(void* buffer) {
  const Hdf5Library& library = hdf5_library();
  if (library.free != nullptr) {
    library.free(buffer);
  } else {
    std::free(buffer);
  }
}

const char* kUnexpected = "quorvane filter: unexpected internal failure";
const char* kOutOfMemory = "quorvane filter: out of memory";

htri_t can_apply(hid_t dcpl, hid_t type, hid_t /*space*/) noexcept {
  try {
    const Hdf5Library& library = hdf5_library();
    auto layout = dataset_layout(library, dcpl, type);
    if (!layout) {
      report_error("can_apply", library.minor_bad_type, layout.error().message.c_str());
      return -1;
    }
    return 1;
  } catch (const std::bad_alloc&) {
    report_error("can_apply", hdf5_library().minor_bad_type, kOutOfMemory);
  } catch (...) {
    report_error("can_apply", hdf5_library().minor_bad_type, kUnexpected);
  }
  return -1;
}

// Completes the writer's values with what the dataset implies.
herr_t set_local(hid_t dcpl, hid_t type, hid_t /*space*/) noexcept {
  try {
    const Hdf5Library& library = hdf5_library();
    auto layout = dataset_layout(library, dcpl, type);
    if (!layout) {
      report_error("set_local", library.minor_set_local, layout.error().message.c_str());
      return -1;
    }
    unsigned flags = 0;
    std::size_t count = kValueCapacity;
    unsigned values[kValueCapacity] = {};
    if (library.get_filter_by_id(dcpl, kFilterId, &flags, &count, values, 0, nullptr, nullptr) < 0) {
      report_error("set_local", library.minor_set_local, "quorvane filter: cannot read its own parameters");
      return -1;
    }
    if (count > kValueCount) {
      const std::string message = "quorvane filter: " + std::to_string(count) + " parameters given, at most " +
                                  std::to_string(kValueCount) + " are read";
      report_error("set_local", library.minor_set_local, message.c_str());
      return -1;
    }
    auto options = parse_user_values({values, std::min(count, kUserValueCount)});
    if (!options) {
      report_error("set_local", library.minor_set_local, options.error().message.c_str());
      return -1;
    }
    const auto stored = stored_values(FilterParameters{options.value(), layout.value()});
    if (library.modify_filter(dcpl, kFilterId, flags, stored.size(), stored.data()) < 0) {
      report_error("set_local", library.minor_set_local, "quorvane filter: cannot store its parameters");
      return -1;
    }
    return 0;
  } catch (const std::bad_alloc&) {
    report_error("set_local", hdf5_library().minor_set_local, kOutOfMemory);
  } catch (...) {
    report_error("set_local", hdf5_library().minor_set_local, kUnexpected);
  }
  return -1;
}

// Replaces *buffer by a new one of `bytes` bytes holding `data`, unless the
// data fits where it is.
std::size_t hand_over(const std::uint8_t* data, std::size_t bytes, std::size_t* buffer_size, void** buffer) {
  if (bytes <= *buffer_size) {
    std::memmove(*buffer, data, bytes);
    return bytes;
  }
  void* replacement = allocate(bytes);
  if (replacement == nullptr) {
    report_error("filter", hdf5_library().minor_cannot_filter, kOutOfMemory);
    return 0;
  }
  std::memcpy(replacement, data, bytes);
  release(*buffer);
  *buffer = replacement;
  *buffer_size = bytes;
  return bytes;
}

std::size_t encode(const FilterParameters& parameters, std::size_t bytes, std::size_t* buffer_size,
                   void** buffer) {
  auto stream = encode_chunk({static_cast<const std::uint8_t*>(*buffer), bytes}, parameters);
  if (!stream) {
    report_error("filter", hdf5_library().minor_cannot_filter, stream.error().message.c_str());
    return 0;
  }
  return hand_over(stream.value().data(), stream.value().size(), buffer_size, buffer);
}

std::size_t decode(const ChunkLayout& layout, std::size_t bytes, std::size_t* buffer_size, void** buffer) {
  // Decoded and checked before the output is allocated: a damaged chunk
  // costs no buffer of the size its dataset claims.
  auto samples = decode_samples({static_cast<const std::uint8_t*>(*buffer), bytes}, layout);
  if (!samples) {
    report_error("filter", hdf5_library().minor_cannot_filter, samples.error().message.c_str());
    return 0;
  }
  const std::size_t size = decoded_chunk_size(layout);
  auto* out = static_cast<std::uint8_t*>(allocate(size));
  if (out == nullptr) {
    report_error("filter", hdf5_library().minor_cannot_filter, kOutOfMemory);
    return 0;
  }
  store_samples(samples.value(), layout, {out, size});
  release(*buffer);
  *buffer = out;
  *buffer_size = size;
  return size;
}

std::size_t filter(unsigned flags, std::size_t value_count, const unsigned values[], std::size_t bytes,
                   std::size_t* buffer_size, void** buffer) noexcept {
  try {
    auto parameters = parse_stored_values({values, value_count});
    if (!parameters) {
      report_error("filter", hdf5_library().minor_cannot_filter, parameters.error().message.c_str());
      return 0;
    }
    if ((flags & H5Z_FLAG_REVERSE) != 0) return decode(parameters.value().layout, bytes, buffer_size, buffer);
    return encode(parameters.value(), bytes, buffer_size, buffer);
  } catch (const std::bad_alloc&) {
    report_error("filter", hdf5_library().minor_cannot_filter, kOutOfMemory);
  } catch (...) {
    report_error("filter", hdf5_library().minor_cannot_filter, kUnexpected);
  }
  return 0;
}

const H5Z_class2_t kFilterClass = {
    H5Z_CLASS_T_VERS,
    static_cast<H5Z_filter_t>(kFilterId),
    1,  // encoder present
    1,  // decoder present
    QUORVANE_H5Z_NAME,
    can_apply,
    set_local,
    filter,
};

}  // namespace
}  // namespace quorvane::hdf5

extern "C" {

H5PL_type_t H5PLget_plugin_type(void) { return H5PL_TYPE_FILTER; }

const void* H5PLget_plugin_info(void) {
  try {
    // Our caller is the libhdf5 loading the plugin: bind to that copy.
    quorvane::hdf5::bind_hdf5_library(__builtin_extract_return_addr(__builtin_return_address(0)));
  } catch (...) {
    // Left unbound; set_local then falls back to the global namespace.
  }
  return &quorvane::hdf5::kFilterClass;
}

}  // extern "C"
