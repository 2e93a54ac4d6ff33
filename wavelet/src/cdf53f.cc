#include "quorvane/wavelet/factory.h"
namespace quorvane::wavelet {
DwtExecutorHandle make_cdf53_f32() { return nullptr; }  // placeholder
}
