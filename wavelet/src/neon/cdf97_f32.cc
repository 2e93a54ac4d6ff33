#include "quorvane/wavelet/factory.h"
namespace quorvane::wavelet {
DwtExecutorHandle make_cdf97_f32() { return nullptr; }  // placeholder
}
