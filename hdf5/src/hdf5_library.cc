#include "hdf5_library.h"

#include <dlfcn.h>

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

std::once_flag bound_once;
Hdf5Library bound;

}  // namespace

bool Hdf5Library::complete() const {
  return get_class && get_size && get_order && get_precision && get_fields && get_chunk && get_filter_by_id &&
         modify_filter;
}

void bind_hdf5_library(const void* code_address) {
  std::call_once(bound_once, [code_address] {
    Dl_info info{};
    if (code_address != nullptr && dladdr(code_address, &info) != 0 && info.dli_fname != nullptr) {
      // RTLD_NOLOAD: only a handle to the copy already in the process. The
      // handle is kept for the life of the plugin.
      if (void* handle = dlopen(info.dli_fname, RTLD_LAZY | RTLD_LOCAL | RTLD_NOLOAD)) {
        Hdf5Library library = load_from(handle);
        if (library.complete()) {
          bound = library;
          return;
        }
        dlclose(handle);
      }
    }
    // A library linked into the executable, or a caller we cannot place.
    bound = load_from(RTLD_DEFAULT);
  });
}

const Hdf5Library& hdf5_library() {
  bind_hdf5_library(nullptr);
  return bound;
}

void report_error(const char* function, const hid_t* minor, const char* message) {
  const Hdf5Library& library = hdf5_library();
  if (library.push_error == nullptr || library.error_class == nullptr || library.major_pipeline == nullptr ||
      minor == nullptr) {
    return;
  }
  // The message goes in as an argument: it may contain '%'.
  library.push_error(H5E_DEFAULT, "quorvane_hdf5", function, 0, *library.error_class, *library.major_pipeline,
                     *minor, "%s", message);
}

}  // namespace quorvane::hdf5
