#include "hdf5_library.h"

#include <dlfcn.h>

#include <array>
#include <cstddef>
#include <mutex>

namespace quorvane::hdf5 {
namespace {

template <class Pointer>
void find(void* handle, const char* name, Pointer& out) {
  out = reinterpret_cast<Pointer>(dlsym(handle, name));
}

Hdf5Library load_from(void* handle) {
  Hdf5Library library;
  find(handle, "H5Tget_class", library.get_class);
  find(handle, "H5Tget_size", library.get_size);
  find(handle, "H5Tget_order", library.get_order);
  find(handle, "H5Tget_precision", library.get_precision);
  find(handle, "H5Tget_fields", library.get_fields);
  find(handle, "H5Pget_chunk", library.get_chunk);
  find(handle, "H5Pget_filter_by_id2", library.get_filter_by_id);
  find(handle, "H5Pmodify_filter", library.modify_filter);
  find(handle, "H5Epush2", library.push_error);
  find(handle, "H5E_ERR_CLS_g", library.error_class);
  find(handle, "H5E_PLINE_g", library.major_pipeline);
  find(handle, "H5E_SETLOCAL_g", library.minor_set_local);
  find(handle, "H5E_CANTFILTER_g", library.minor_cannot_filter);
  find(handle, "H5E_BADTYPE_g", library.minor_bad_type);
  find(handle, "H5allocate_memory", library.allocate);
  find(handle, "H5free_memory", library.free);
  return library;
}

// Copies of libhdf5 in one process: rarely more than one, but h5py and
// another package may each bundle their own.
constexpr std::size_t kMaxLibraries = 8;

struct BoundLibrary {
  const void* base = nullptr;  // load address of the library
  Hdf5Library functions;
};

std::mutex bound_mutex;
std::array<BoundLibrary, kMaxLibraries> bound_libraries;
std::size_t bound_count = 0;
std::once_flag global_once;
Hdf5Library global_library;

const Hdf5Library& global() {
  std::call_once(global_once, [] { global_library = load_from(RTLD_DEFAULT); });
  return global_library;
}

}  // namespace

bool Hdf5Library::complete() const {
  return get_class && get_size && get_order && get_precision && get_fields && get_chunk && get_filter_by_id &&
         modify_filter;
}

const Hdf5Library& hdf5_library_of(const void* caller) {
  Dl_info info{};
  if (caller == nullptr || dladdr(caller, &info) == 0 || info.dli_fname == nullptr) return global();
  const std::lock_guard<std::mutex> lock(bound_mutex);
  for (std::size_t i = 0; i < bound_count; ++i) {
    if (bound_libraries[i].base == info.dli_fbase) return bound_libraries[i].functions;
  }
  if (bound_count == kMaxLibraries) return global();
  // RTLD_NOLOAD: only a handle to the copy already in the process, kept for
  // the life of the plugin.
  void* handle = dlopen(info.dli_fname, RTLD_LAZY | RTLD_LOCAL | RTLD_NOLOAD);
  if (handle == nullptr) return global();
  Hdf5Library library = load_from(handle);
  if (!library.complete()) {
    dlclose(handle);
    return global();
  }
  bound_libraries[bound_count] = BoundLibrary{info.dli_fbase, library};
  return bound_libraries[bound_count++].functions;
}

void report_error(const Hdf5Library& library, const char* function, const hid_t* minor, const char* message) {
  if (library.push_error == nullptr || library.error_class == nullptr || library.major_pipeline == nullptr ||
      minor == nullptr) {
    return;
  }
  // The message goes in as an argument: it may contain '%'.
  library.push_error(H5E_DEFAULT, "quorvane_hdf5", function, 0, *library.error_class, *library.major_pipeline,
                     *minor, "%s", message);
}

}  // namespace quorvane::hdf5
