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

Result<XraySpec> decode_spec_text(std::string_view) { return pending("decode_spec_text"); }
Result<XraySpec> decode_spec_value(const JsonValue&) { return pending("decode_spec_value"); }
Status validate_spec(const XraySpec&) { return pending("validate_spec"); }
Result<Dataset> decode_dataset_value(const JsonValue&) { return pending("decode_dataset_value"); }

}  // namespace xray
