// Placeholders until the real units land; each is removed by the unit that
// implements it. Every placeholder fails loudly instead of faking a result.
#include "dataset.h"
#include "frame.h"
#include "spec.h"
#include "xray.h"

namespace xray {
namespace {
XrayError pending(const char* what) { return XrayError::data(std::string("not built: ") + what); }
}  // namespace

Result<Frame> evaluate_frame(const Dataset&, const XraySpec&, int64_t) {
  return pending("evaluate_frame");
}
std::string encode_frame(const Frame&) { return {}; }
std::string encode_bounds(int64_t, int64_t, uint64_t) { return {}; }

}  // namespace xray
