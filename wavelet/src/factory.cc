#include "quorvane/wavelet/factory.h"
namespace quorvane::wavelet {
DwtExecutorHandle make_daubechies_f32(DaubechiesFamily, BorderMode) { return nullptr; }  // placeholder
DwtExecutorHandle make_symlet_f32(SymletFamily, BorderMode) { return nullptr; }  // placeholder
}
