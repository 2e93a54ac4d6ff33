// The HDF5 functions the filter calls, taken from the libhdf5 that loaded it.
//
// The plugin links no libhdf5. A process may hold its own copy of the library
// (h5py's wheels bundle one, loaded privately) or the system's (h5dump, C
// programs); identifiers of one copy mean nothing to another, so the filter
// must call exactly the copy that calls it; the return address of each
// callback says which that is.
#pragma once

#include <hdf5.h>

namespace quorvane::hdf5 {

struct Hdf5Library {
  decltype(&H5Tget_class) get_class = nullptr;
  decltype(&H5Tget_size) get_size = nullptr;
  decltype(&H5Tget_order) get_order = nullptr;
  decltype(&H5Tget_precision) get_precision = nullptr;
  decltype(&H5Tget_fields) get_fields = nullptr;
  decltype(&H5Pget_chunk) get_chunk = nullptr;
  decltype(&H5Pget_filter_by_id2) get_filter_by_id = nullptr;
  decltype(&H5Pmodify_filter) modify_filter = nullptr;
  decltype(&H5Epush2) push_error = nullptr;
  // Error class and codes; hid_t variables that the library fills when it starts.
  const hid_t* error_class = nullptr;
  const hid_t* major_pipeline = nullptr;
  const hid_t* minor_set_local = nullptr;
  const hid_t* minor_cannot_filter = nullptr;
  const hid_t* minor_bad_type = nullptr;
  // Allocation matching the library's, for the chunk buffers it hands over.
  decltype(&H5allocate_memory) allocate = nullptr;
  decltype(&H5free_memory) free = nullptr;

  // Everything set_local needs was found.
  bool complete() const;
};

// The library containing `caller`, an address inside a libhdf5 (the return
// address of a plugin function HDF5 called). Each copy of the library in the
// process is bound the first time it calls, so a process holding two copies
// gets each one's own functions. A caller that cannot be placed gets the
// library found in the global namespace; members it lacks stay null.
const Hdf5Library& hdf5_library_of(const void* caller);

// Pushes `message` onto the library's error stack, where h5dump and HDF5
// 1.10-1.14 show it. Does nothing when the library lacks the means.
void report_error(const Hdf5Library& library, const char* function, const hid_t* minor, const char* message);

}  // namespace quorvane::hdf5
