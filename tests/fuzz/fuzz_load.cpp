// Fuzz target of "load": the input drives a writer of load commands, mostly
// well-formed, with shuffled, repeated, escaped and unknown members, records
// as objects or arrays, edge numbers, values of the wrong kind at every level
// and now and then a cut or a stray byte. The one pass (decode_load_in_one_pass)
// must give up or give the tree path's dataset (read_json_value, then
// decode_dataset_value), and the instance must answer as the tree path does;
// both also with the lists split into chunks of a few bytes on one or two
// threads.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "decode/list_chunks.h"
#include "engine/pool_tasks.h"
#include "engine/worker_pool.h"
#include "instance.h"
#include "json/json_reader.h"
#include "json/json_writer.h"
#include "protocol/command_decode.h"
#include "protocol/model_decode.h"
#include "protocol/responses.h"
#include "render.h"

namespace xray {
namespace {

using testing::render;
using testing::require;

class LoadWriter {
 public:
  LoadWriter(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool used_up() const { return pos_ >= size_; }

  std::string command() {
    std::vector<std::string> members = {R"("cmd":"load")", R"("dataset":)" + dataset()};
    if (chance(25)) members.push_back(R"("cmd":"lo\u0061d")");
    if (chance(25)) members.push_back(R"("cmd":"frame")");
    if (chance(25)) members.push_back(R"("dataset":{"oi":[[1,2]]})");
    if (chance(25)) members.push_back(R"("dataset":5)");
    if (chance(50)) members.push_back(R"("extra":[{"x":[1,2,{"y":null}]},"\"q"])");
    shuffle(members);
    if (chance(12)) members.erase(members.begin());
    std::string out = "{";
    for (const std::string& m : members)
      out.append(out.size() > 1 ? "," : "").append(space()).append(m).append(space());
    out += "}";
    if (chance(85)) {  // a cut, or a stray byte, anywhere
      static const char* const kStray[] = {",",    "]",  "}", "[",     "{",
                                           "\x01", "\\", "x", "1e999", "\"\\q\""};
      const std::size_t at = (next() << 8 | next()) % (out.size() + 1);
      if (chance(64)) {
        out.resize(at);
      } else {
        out.insert(at, kStray[upto(9)]);
      }
    }
    return out;
  }

 private:
  enum class Kind { I64, F64, Side, Liq, BookKind, Levels };
  using Fields = std::vector<std::pair<const char*, Kind>>;
  using Item = std::pair<std::string, std::function<void(std::string&)>>;

  // The input's bytes in turn; 0xFF once used up, which ends every list.
  unsigned next() { return pos_ < size_ ? data_[pos_++] : 0xFF; }
  bool chance(unsigned in_256) { return next() < in_256; }
  std::size_t upto(std::size_t n) { return next() % (n + 1); }
  template <class T>
  void shuffle(std::vector<T>& v) {
    for (std::size_t i = v.size(); i > 1; --i) std::swap(v[i - 1], v[upto(i - 1)]);
  }
  std::string space() { return chance(25) ? std::string(" \n\t\r ").substr(0, 1 + upto(4)) : ""; }

  std::string dataset() {
    static const Fields kRecords[6] = {
        {{"ts", Kind::I64},
         {"open", Kind::F64},
         {"high", Kind::F64},
         {"low", Kind::F64},
         {"close", Kind::F64},
         {"volume", Kind::F64}},
        {{"ts", Kind::I64}, {"price", Kind::F64}, {"qty", Kind::F64}, {"side", Kind::Side}},
        {{"ts", Kind::I64},
         {"kind", Kind::BookKind},
         {"bids", Kind::Levels},
         {"asks", Kind::Levels}},
        {{"ts", Kind::I64}, {"rate", Kind::F64}},
        {{"ts", Kind::I64}, {"oi", Kind::F64}},
        {{"ts", Kind::I64}, {"price", Kind::F64}, {"qty", Kind::F64}, {"side", Kind::Liq}}};
    static const char* const kNames[6][2] = {
        {"candles", R"(c\u0061ndles)"}, {"trades", R"(trade\u0073)"},
        {"book", R"(\u0062ook)"},       {"funding", R"(fundin\u0067)"},
        {"oi", R"(o\u0069)"},           {"liquidations", R"(liquidation\u0073)"}};
    std::string out;
    if (chance(8)) {
      junk(out);
    } else if (chance(12)) {
      array_of(out, 6 + chance(50),
               [&](std::string& o, std::size_t i) { list(o, kRecords[i % 6]); });
    } else {
      std::vector<Item> items;
      for (int i = 0; i < 6; ++i) {
        if (chance(77)) continue;
        items.push_back({kNames[i][chance(12)], [&, i](std::string& o) { list(o, kRecords[i]); }});
      }
      if (chance(25)) items.push_back({"symbol", [](std::string& o) { o += R"("BTC")"; }});
      members(out, std::move(items));
    }
    return out;
  }

  template <class Fn>
  void array_of(std::string& out, std::size_t n, Fn&& element) {
    out += "[";
    for (std::size_t i = 0; i < n; ++i) {
      out.append(i ? "," : "").append(space());
      element(out, i);
      out += space();
    }
    out += "]";
  }

  // Members in any order, some repeated with another value, unknown ones mixed in.
  void members(std::string& out, std::vector<Item> items) {
    for (std::size_t i = 0, n = items.size(); i < n; ++i) {
      if (chance(12)) items.push_back(items[i]);
    }
    if (chance(25)) items.push_back({"id", [this](std::string& o) { junk(o); }});
    if (chance(12)) items.push_back({"", [this](std::string& o) { junk(o); }});
    shuffle(items);
    out += "{";
    for (std::size_t i = 0; i < items.size(); ++i) {
      out.append(i ? "," : "").append(space()).append("\"").append(items[i].first).append("\"");
      out.append(space()).append(":").append(space());
      items[i].second(out);
      out += space();
    }
    out += "}";
  }

  void list(std::string& out, const Fields& fields) {
    if (chance(5)) return junk(out);
    array_of(out, upto(4), [&](std::string& o, std::size_t) { record(o, fields); });
  }

  void record(std::string& out, const Fields& fields) {
    if (chance(5)) return junk(out);
    if (chance(25)) {
      const std::size_t n = fields.size() + (chance(25) ? upto(2) : 1) - 1;
      return array_of(out, n, [&](std::string& o, std::size_t i) {
        value(o, fields[i % fields.size()].second);
      });
    }
    std::vector<Item> items;
    for (const auto& [key, kind] : fields) {
      if (!chance(5))
        items.push_back({key, [this, kind = kind](std::string& o) { value(o, kind); }});
    }
    members(out, std::move(items));
  }

  void value(std::string& out, Kind kind) {
    if (chance(4)) return junk(out);
    switch (kind) {
      case Kind::I64: return integer(out);
      case Kind::F64: return chance(128) ? decimal(out) : integer(out);
      case Kind::Side: return variant(out, "buy", "sell");
      case Kind::Liq: return variant(out, "long", "short");
      case Kind::BookKind: return variant(out, "snapshot", "diff");
      case Kind::Levels:
        return array_of(out, upto(3), [&](std::string& o, std::size_t) {
          if (chance(8)) return junk(o);
          array_of(o, chance(243) ? 2 : upto(3),
                   [&](std::string& p, std::size_t) { chance(128) ? decimal(p) : integer(p); });
        });
    }
  }

  void variant(std::string& out, const char* a, const char* b) {
    const bool as_map = chance(25);
    out.append(as_map ? "{\"" : "\"")
        .append(chance(128) ? a : b)
        .append(as_map ? "\":null}" : "\"");
  }

  void integer(std::string& out) {
    static const char* const kEdges[] = {"0",
                                         "-0",
                                         "9223372036854775807",
                                         "9223372036854775808",
                                         "-9223372036854775808",
                                         "-9223372036854775809",
                                         "18446744073709551615",
                                         "18446744073709551616"};
    if (chance(12)) {
      out += kEdges[upto(7)];
      return;
    }
    uint64_t v = 0;
    for (std::size_t n = 1 + upto(5); n > 0; --n) v = v << 8 | next();
    append_i64(static_cast<int64_t>(v) - 5, out);
  }

  void decimal(std::string& out) {
    static const char* const kShapes[] = {"30000.1",
                                          "0.1",
                                          "1e-7",
                                          "-2.5E+3",
                                          "1.7976931348623157e308",
                                          "5e-324",
                                          "123456789012345678901234.5",
                                          "-0.0",
                                          "1e-400"};
    if (chance(77)) {
      out += kShapes[upto(8)];
      return;
    }
    const auto digits = static_cast<int32_t>(next() << 16 | next() << 8 | next()) - (1 << 23);
    out += format_double(digits / std::pow(10.0, static_cast<double>(upto(9))));
  }

  // A value of any kind, usually the wrong one.
  void junk(std::string& out) {
    static const char* const kJunk[] = {"null",
                                        "true",
                                        "false",
                                        "\"x\"",
                                        "\"a\\\"b\"",
                                        "\"BUY\"",
                                        "\"buy\"",
                                        "\"long\"",
                                        "1.5",
                                        "-1",
                                        "7",
                                        "[]",
                                        "{}",
                                        "[1]",
                                        "[1,2,{\"ts\":3}]",
                                        "[\"x\",1]",
                                        "{\"sell\":null}",
                                        "{\"sell\":1}",
                                        "{\"buy\":null,\"sell\":null}",
                                        "{\"Diff\":null}",
                                        "[[1,2]]",
                                        "{\"ts\":1}",
                                        "[1,2,3,\"buy\"]"};
    out += kJunk[upto(std::size(kJunk) - 1)];
  }

  const uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// Chunk rules drawn from the command itself (so the corpus reads as
// before): windows of 1 to 16 bytes, or 8 to 1024 (which hold wrong guesses
// next to elements), split after 0 to 3 elements, on a pool of one or two
// threads.
decoding::ListSplitting split_rules(const std::string& command) {
  static WorkerPool one(1);
  static WorkerPool two(2);
  static PoolTasks on_one(one);
  static PoolTasks on_two(two);
  const std::size_t h = std::hash<std::string>{}(command);
  const std::size_t window = h & 2 ? 1 + (h >> 2 & 15) : std::size_t{8} << (h >> 2 & 7);
  return {h & 1 ? &on_two : &on_one, window, h >> 6 & 3};
}

std::string loaded(Dataset d) {
  sort_by_ts(d);
  return loaded_response(record_count(d)).append("|").append(render(d));
}

// The response of a "load" as the tree gives it; "not load" for other commands.
std::string tree_load_response(std::string_view command) {
  Result<JsonDocument> doc = read_json_value(command);
  if (!doc) return error_response(doc.error());
  const JsonValue* cmd = nullptr;
  const JsonValue* dataset = nullptr;
  for (const JsonMember& m : doc->root().members()) {
    if (m.key() == "cmd") cmd = &m.value;
    if (m.key() == "dataset") dataset = &m.value;
  }
  if (cmd == nullptr || !cmd->is_string())
    return error_response(XrayError::bad_spec("missing 'cmd'"));
  if (cmd->as_string() != "load") return "not load";
  if (dataset == nullptr) return error_response(XrayError::bad_spec("load requires 'dataset'"));
  Result<Dataset> d = decode_dataset_value(*dataset);
  return d ? loaded(std::move(*d)) : error_response(d.error());
}

}  // namespace
}  // namespace xray

// Commands one after the other until the input is used up.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace xray;
  LoadWriter writer(data, size);
  do {
    const std::string command = writer.command();
    const decoding::ListSplitting rules = split_rules(command);
    const std::string expected = tree_load_response(command);
    if (std::optional<Dataset> one_pass = decode_load_in_one_pass(command)) {
      require(loaded(std::move(*one_pass)) == expected, "the one pass differs from the tree",
              command, expected);
    }
    if (std::optional<Dataset> in_chunks = decode_load_in_one_pass(command, &rules)) {
      require(loaded(std::move(*in_chunks)) == expected,
              "the one pass in chunks differs from the tree", command, expected);
    }
    if (expected == "not load") continue;
    const decoding::ListSplitting* const splits[] = {nullptr, &rules};
    for (const decoding::ListSplitting* split : splits) {
      XrayInstance x;
      if (split != nullptr) x.split_loads_with(split);
      std::string response = x.command(command);
      if (response.starts_with(R"({"ok":true)")) response.append("|").append(render(x.dataset()));
      require(response == expected, "the instance differs from the tree", command,
              expected + "\ngot: " + response);
    }
  } while (!writer.used_up());
  return 0;
}
