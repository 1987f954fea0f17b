// src/json/json_reader.cpp: the value parser over the scanner, the tree reader,
// the syntax check and the pull lexer.
#include "json/json_reader.h"

#include <cstring>

#include "json/json_scanner.h"
#include "json/json_tree.h"

namespace xray {
namespace {

// Sink that keeps nothing: the syntax check and skip_value.
struct JsonNullSink {
  static constexpr bool kDecodeStrings = false;
  std::size_t mark() const { return 0; }
  void null() {}
  void boolean(bool) {}
  void number(const JsonNumber&) {}
  void string(std::string_view, bool) {}
  void close_array(std::size_t) {}
  void close_object(std::size_t) {}
};

// Recursive descent over one value; the nesting budget bounds the recursion
// at 127 levels. Faults stay recorded in the scanner.
template <class Sink>
class ValueParser {
 public:
  ValueParser(JsonScanner& scan, Sink& sink) : scan_(scan), sink_(sink) {}

  bool parse_value() {
    ValueStart start;
    if (!scan_.to_value() || !scan_.classify(start)) return false;
    switch (start) {
      case ValueStart::Null: return scan_.scan_literal("null") && (sink_.null(), true);
      case ValueStart::True: return scan_.scan_literal("true") && (sink_.boolean(true), true);
      case ValueStart::False: return scan_.scan_literal("false") && (sink_.boolean(false), true);
      case ValueStart::Number: {
        JsonNumber number;
        return scan_.scan_number(number) && (sink_.number(number), true);
      }
      case ValueStart::String: return parse_string();
      case ValueStart::Array: return parse_array();
      case ValueStart::Object: return parse_object();
    }
    return false;
  }

 private:
  // Whether at points into the text with 16 bytes readable from there (a
  // decoded string lives elsewhere).
  bool has_16_bytes_from(const char* at) const {
    const std::string_view all = scan_.text();
    const auto offset = reinterpret_cast<std::uintptr_t>(at) -
                        reinterpret_cast<std::uintptr_t>(all.data());  // wraps when before
    return all.size() >= 16 && offset <= all.size() - 16;
  }

  bool parse_string() {
    std::string_view text;
    if (!scan_.template scan_string<Sink::kDecodeStrings>(text, scratch_)) return false;
    sink_.string(text, has_16_bytes_from(text.data()));
    return true;
  }

  bool parse_array() {
    if (!scan_.open_container()) return false;
    const std::size_t mark = sink_.mark();
    // The first step is apart, so each step is compiled for its position.
    for (JsonStep step = scan_.array_step(true); step != JsonStep::End;
         step = scan_.array_step(false)) {
      if (step == JsonStep::Fault || !parse_value()) return false;
    }
    sink_.close_array(mark);
    return true;
  }

  bool parse_object() {
    if (!scan_.open_container()) return false;
    const std::size_t mark = sink_.mark();
    for (JsonStep step = scan_.member_step(true); step != JsonStep::End;
         step = scan_.member_step(false)) {
      if (step == JsonStep::Fault || !parse_string() || !scan_.colon() || !parse_value()) {
        return false;
      }
    }
    sink_.close_object(mark);
    return true;
  }

  JsonScanner& scan_;
  Sink& sink_;
  std::string scratch_;  // a string with escapes, decoded
};

}  // namespace

Result<JsonDocument> read_json_value(std::string_view text) {
  JsonDocument doc;
  doc.storage_ = std::make_unique<JsonDocument::Storage>();
  JsonScanner scan(text, 0, kJsonDepthBudget);
  JsonTreeBuilder builder(doc.storage_->arena);
  ValueParser<JsonTreeBuilder> parser(scan, builder);
  if (!parser.parse_value() || !scan.finish()) return scan.error();
  doc.storage_->root = builder.root();
  return doc;
}

Status check_json_syntax(std::string_view text) {
  JsonScanner scan(text, 0, kJsonDepthBudget);
  JsonNullSink sink;
  ValueParser<JsonNullSink> parser(scan, sink);
  if (!parser.parse_value() || !scan.finish()) return scan.error();
  return {};
}

bool skip_json_value(JsonScanner& scan) {
  JsonNullSink sink;
  return ValueParser<JsonNullSink>(scan, sink).parse_value();
}

}  // namespace xray
