// The HDF5 filter plugin: the filter class, its callbacks and the two symbols
// HDF5 looks up when it loads a plugin. Every callback catches everything:
// an exception must not unwind into the C library. Each callback first finds
// the libhdf5 calling it (its return address lies in that library).
#include <H5PLextern.h>
#include <hdf5.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "chunk_codec.h"
#include "dataset_layout.h"
#include "filter_parameters.h"
#include "hdf5_library.h"

#define QUORVANE_CALLER __builtin_extract_return_addr(__builtin_return_address(0))

namespace quorvane::hdf5 {
namespace {

// Room for the longest list a writer may pass; longer lists are refused.
constexpr std::size_t kValueCapacity = 32;

const char* const kUnexpected = "quorvane filter: unexpected internal failure";
const char* const kOutOfMemory = "quorvane filter: out of memory";

// Chunk buffers are allocated the way the library allocates them.
void* allocate(const Hdf5Library& library, std::size_t size) {
  return library.allocate != nullptr ? library.allocate(size, false) : std::malloc(size);
}

void release(const Hdf5Library& library, void* buffer) {
  if (library.free != nullptr) {
    library.free(buffer);
  } else {
    std::free(buffer);
  }
}

void report_exception(const Hdf5Library* library, const char* function, const hid_t* Hdf5Library::*minor,
                      const char* message) {
  if (library != nullptr) report_error(*library, function, library->*minor, message);
}

__attribute__((noinline)) htri_t can_apply(hid_t dcpl, hid_t type, hid_t /*space*/) noexcept {
  const void* caller = QUORVANE_CALLER;
  const Hdf5Library* library = nullptr;
  try {
    library = &hdf5_library_of(caller);
    auto layout = dataset_layout(*library, dcpl, type);
    if (!layout) {
      report_error(*library, "can_apply", library->minor_bad_type, layout.error().message.c_str());
      return -1;
    }
    return 1;
  } catch (const std::bad_alloc&) {
    report_exception(library, "can_apply", &Hdf5Library::minor_bad_type, kOutOfMemory);
  } catch (...) {
    report_exception(library, "can_apply", &Hdf5Library::minor_bad_type, kUnexpected);
  }
  return -1;
}

// Completes the writer's values with what the dataset implies.
__attribute__((noinline)) herr_t set_local(hid_t dcpl, hid_t type, hid_t /*space*/) noexcept {
  const void* caller = QUORVANE_CALLER;
  const Hdf5Library* library = nullptr;
  try {
    library = &hdf5_library_of(caller);
    const auto fail = [library](const char* message) {
      report_error(*library, "set_local", library->minor_set_local, message);
      return -1;
    };
    auto layout = dataset_layout(*library, dcpl, type);
    if (!layout) return fail(layout.error().message.c_str());
    unsigned flags = 0;
    std::size_t count = kValueCapacity;
    unsigned values[kValueCapacity] = {};
    if (library->get_filter_by_id(dcpl, kFilterId, &flags, &count, values, 0, nullptr, nullptr) < 0) {
      return fail("quorvane filter: cannot read its own parameters");
    }
    if (count > kValueCount) {
      const std::string message = "quorvane filter: " + std::to_string(count) + " parameters given, at most " +
                                  std::to_string(kValueCount) + " are read";
      return fail(message.c_str());
    }
    auto choice = parse_user_values({values, std::min(count, kUserValueCount)});
    if (!choice) return fail(choice.error().message.c_str());
    const auto stored =
        stored_values(FilterParameters{choice.value().options, layout.value(), choice.value().band_coder});
    if (library->modify_filter(dcpl, kFilterId, flags, stored.size(), stored.data()) < 0) {
      return fail("quorvane filter: cannot store its parameters");
    }
    return 0;
  } catch (const std::bad_alloc&) {
    report_exception(library, "set_local", &Hdf5Library::minor_set_local, kOutOfMemory);
  } catch (...) {
    report_exception(library, "set_local", &Hdf5Library::minor_set_local, kUnexpected);
  }
  return -1;
}

// Replaces *buffer by a new one of `bytes` bytes holding `data`, unless the
// data fits where it is.
std::size_t hand_over(const Hdf5Library& library, const std::uint8_t* data, std::size_t bytes,
                      std::size_t* buffer_size, void** buffer) {
  if (bytes <= *buffer_size) {
    std::memmove(*buffer, data, bytes);
    return bytes;
  }
  void* replacement = allocate(library, bytes);
  if (replacement == nullptr) {
    report_error(library, "filter", library.minor_cannot_filter, kOutOfMemory);
    return 0;
  }
  std::memcpy(replacement, data, bytes);
  release(library, *buffer);
  *buffer = replacement;
  *buffer_size = bytes;
  return bytes;
}

std::size_t encode(const Hdf5Library& library, const FilterParameters& parameters, std::size_t bytes,
                   std::size_t* buffer_size, void** buffer) {
  auto chunk = encode_chunk({static_cast<const std::uint8_t*>(*buffer), bytes}, parameters);
  if (!chunk) {
    report_error(library, "filter", library.minor_cannot_filter, chunk.error().message.c_str());
    return 0;
  }
  return hand_over(library, chunk.value().data(), chunk.value().size(), buffer_size, buffer);
}

std::size_t decode(const Hdf5Library& library, const ChunkLayout& layout, std::size_t bytes,
                   std::size_t* buffer_size, void** buffer) {
  // Decoded and checked before the output is allocated: a damaged chunk
  // costs no buffer of the size its dataset claims.
  auto samples = decode_samples({static_cast<const std::uint8_t*>(*buffer), bytes}, layout);
  if (!samples) {
    report_error(library, "filter", library.minor_cannot_filter, samples.error().message.c_str());
    return 0;
  }
  const std::size_t size = decoded_chunk_size(layout);
  auto* out = static_cast<std::uint8_t*>(allocate(library, size));
  if (out == nullptr) {
    report_error(library, "filter", library.minor_cannot_filter, kOutOfMemory);
    return 0;
  }
  store_samples(samples.value(), layout, {out, size});
  release(library, *buffer);
  *buffer = out;
  *buffer_size = size;
  return size;
}

__attribute__((noinline)) std::size_t filter(unsigned flags, std::size_t value_count, const unsigned values[],
                                             std::size_t bytes, std::size_t* buffer_size, void** buffer) noexcept {
  const void* caller = QUORVANE_CALLER;
  const Hdf5Library* library = nullptr;
  try {
    library = &hdf5_library_of(caller);
    auto parameters = parse_stored_values({values, value_count});
    if (!parameters) {
      report_error(*library, "filter", library->minor_cannot_filter, parameters.error().message.c_str());
      return 0;
    }
    if ((flags & H5Z_FLAG_REVERSE) != 0) return decode(*library, parameters.value().layout, bytes, buffer_size, buffer);
    return encode(*library, parameters.value(), bytes, buffer_size, buffer);
  } catch (const std::bad_alloc&) {
    report_exception(library, "filter", &Hdf5Library::minor_cannot_filter, kOutOfMemory);
  } catch (...) {
    report_exception(library, "filter", &Hdf5Library::minor_cannot_filter, kUnexpected);
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

__attribute__((noinline)) const void* H5PLget_plugin_info(void) {
  const void* caller = QUORVANE_CALLER;
  try {
    // Binds the loading library now, while nothing else is going on.
    (void)quorvane::hdf5::hdf5_library_of(caller);
  } catch (...) {
    // Bound on the first callback instead.
  }
  return &quorvane::hdf5::kFilterClass;
}

}  // extern "C"
