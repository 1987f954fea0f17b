// The load path that decodes from the checked text must match the tree path
// (read_json_value, then the value setting) on every input: random datasets
// with shuffled, repeated, escaped and unknown keys, array forms and faults
// of every kind, and whole "load" commands. The one pass that checks and
// decodes at once must either give up or give the tree path's dataset.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "dataset_render.h"
#include "json/json_reader.h"
#include "json/json_writer.h"
#include "protocol/command_decode.h"
#include "instance.h"
#include "protocol/model_decode.h"
#include "protocol/responses.h"

namespace xray {
namespace {

using testing::render;

// Writes random dataset texts: mostly well-formed, with a fault or an
// oddity now and then at every level.
class DatasetWriter {
 public:
  explicit DatasetWriter(uint64_t seed) : rng_(seed) {}

  std::string dataset() {
    out_.clear();
    if (chance(0.03)) {
      junk();
    } else if (chance(0.05)) {
      array_of(6 + (chance(0.2) ? 1 : 0), [&](int i) { list(kLists[i % 6].record); });
    } else {
      object_dataset();
    }
    return out_;
  }

  std::string command() {
    std::string data = dataset();
    out_.clear();
    out_ += "{";
    std::vector<std::string> members = {R"("cmd":"load")", std::string(R"("dataset":)").append(data)};
    if (chance(0.1)) members.push_back(R"("cmd":"lo\u0061d")");
    if (chance(0.1)) members.push_back(R"("cmd":"frame")");
    if (chance(0.1)) members.push_back(R"("dataset":{"oi":[[1,2]]})");
    if (chance(0.1)) members.push_back(R"("dataset":5)");
    if (chance(0.2)) members.push_back(R"("extra":[{"x":[1,2,{"y":null}]},"\"q"])");
    std::shuffle(members.begin(), members.end(), rng_);
    if (chance(0.05)) members.erase(members.begin());
    for (std::size_t i = 0; i < members.size(); ++i) {
      if (i > 0) out_ += ",";
      space();
      out_ += members[i];
      space();
    }
    out_ += "}";
    return out_;
  }

 private:
  enum class Kind { I64, F64, Side, Liq, BookKind, Levels };
  struct FieldSpec {
    const char* key;
    Kind kind;
  };
  struct RecordSpec {
    std::vector<FieldSpec> fields;
  };
  struct ListSpec {
    const char* key;
    const char* escaped_key;
    const RecordSpec* record;
  };

  static inline const RecordSpec kCandle{{{"ts", Kind::I64}, {"open", Kind::F64}, {"high", Kind::F64},
                                          {"low", Kind::F64}, {"close", Kind::F64}, {"volume", Kind::F64}}};
  static inline const RecordSpec kTrade{
      {{"ts", Kind::I64}, {"price", Kind::F64}, {"qty", Kind::F64}, {"side", Kind::Side}}};
  static inline const RecordSpec kBook{
      {{"ts", Kind::I64}, {"kind", Kind::BookKind}, {"bids", Kind::Levels}, {"asks", Kind::Levels}}};
  static inline const RecordSpec kFunding{{{"ts", Kind::I64}, {"rate", Kind::F64}}};
  static inline const RecordSpec kOi{{{"ts", Kind::I64}, {"oi", Kind::F64}}};
  static inline const RecordSpec kLiquidation{
      {{"ts", Kind::I64}, {"price", Kind::F64}, {"qty", Kind::F64}, {"side", Kind::Liq}}};
  static inline const ListSpec kLists[6] = {
      {"candles", R"(c\u0061ndles)", &kCandle}, {"trades", R"(trade\u0073)", &kTrade},
      {"book", R"(\u0062ook)", &kBook},         {"funding", R"(fundin\u0067)", &kFunding},
      {"oi", R"(o\u0069)", &kOi},               {"liquidations", R"(liquidation\u0073)", &kLiquidation}};

  bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng_) < p; }
  int upto(int n) { return std::uniform_int_distribution<int>(0, n)(rng_); }

  void space() {
    if (chance(0.1)) out_ += std::string_view(" \n\t\r ", static_cast<std::size_t>(upto(4) + 1));
  }

  template <class Fn>
  void array_of(int n, Fn&& element) {
    out_ += "[";
    for (int i = 0; i < n; ++i) {
      if (i > 0) out_ += ",";
      space();
      element(i);
      space();
    }
    out_ += "]";
  }

  // Members in a random order, some repeated with another value, some
  // unknown ones mixed in.
  void members(std::vector<std::pair<std::string, std::function<void()>>> items) {
    std::vector<std::pair<std::string, std::function<void()>>> all;
    for (auto& item : items) {
      all.push_back(item);
      if (chance(0.05)) all.push_back(item);
    }
    if (chance(0.1)) all.push_back({"id", [&] { junk(); }});
    if (chance(0.05)) all.push_back({"", [&] { junk(); }});
    std::shuffle(all.begin(), all.end(), rng_);
    out_ += "{";
    for (std::size_t i = 0; i < all.size(); ++i) {
      if (i > 0) out_ += ",";
      space();
      out_.append("\"").append(all[i].first).append("\"");
      space();
      out_ += ":";
      space();
      all[i].second();
      space();
    }
    out_ += "}";
  }

  void object_dataset() {
    std::vector<std::pair<std::string, std::function<void()>>> items;
    for (const ListSpec& l : kLists) {
      if (chance(0.3)) continue;
      items.push_back({chance(0.05) ? l.escaped_key : l.key, [&l, this] { list(l.record); }});
    }
    if (chance(0.1)) items.push_back({"symbol", [&] { out_ += R"("BTC")"; }});
    members(std::move(items));
  }

  void list(const RecordSpec* rec) {
    if (chance(0.02)) return junk();
    array_of(upto(4), [&](int) { record(*rec); });
  }

  void record(const RecordSpec& rec) {
    if (chance(0.02)) return junk();
    if (chance(0.1)) {
      const int n = static_cast<int>(rec.fields.size()) + (chance(0.1) ? upto(2) - 1 : 0);
      array_of(n, [&](int i) {
        value(rec.fields[static_cast<std::size_t>(i) % rec.fields.size()].kind);
      });
      return;
    }
    std::vector<std::pair<std::string, std::function<void()>>> items;
    for (const FieldSpec& f : rec.fields) {
      if (chance(0.02)) continue;
      items.push_back({f.key, [kind = f.kind, this] { value(kind); }});
    }
    members(std::move(items));
  }

  void value(Kind kind) {
    if (chance(0.03)) return junk();
    switch (kind) {
      case Kind::I64: return integer();
      case Kind::F64: return chance(0.5) ? decimal() : integer();
      case Kind::Side: return variant("buy", "sell");
      case Kind::Liq: return variant("long", "short");
      case Kind::BookKind: return variant("snapshot", "diff");
      case Kind::Levels:
        return array_of(upto(3), [&](int) {
          if (chance(0.03)) return junk();
          array_of(chance(0.95) ? 2 : upto(3), [&](int) { chance(0.5) ? decimal() : integer(); });
        });
    }
  }

  void variant(const char* a, const char* b) {
    const char* name = chance(0.5) ? a : b;
    if (chance(0.1)) {
      out_.append("{\"").append(name).append("\":null}");
    } else {
      out_.append("\"").append(name).append("\"");
    }
  }

  void integer() {
    static const char* const kEdges[] = {"0", "-0", "9223372036854775807", "9223372036854775808",
                                         "-9223372036854775808", "-9223372036854775809",
                                         "18446744073709551615", "18446744073709551616"};
    if (chance(0.05)) {
      out_ += kEdges[upto(7)];
      return;
    }
    append_i64(std::uniform_int_distribution<int64_t>(-5, 2'000'000'000'000)(rng_), out_);
  }

  void decimal() {
    static const char* const kShapes[] = {"30000.1", "0.1", "1e-7", "-2.5E+3", "1.7976931348623157e308",
                                          "5e-324", "123456789012345678901234.5", "-0.0", "1e-400"};
    if (chance(0.3)) {
      out_ += kShapes[upto(8)];
      return;
    }
    out_ += format_double(std::uniform_real_distribution<double>(-1e5, 1e5)(rng_));
  }

  // A value of any kind, usually the wrong one.
  void junk() {
    static const char* const kJunk[] = {
        "null", "true", "false", "\"x\"", "\"a\\\"b\"", "\"BUY\"", "\"buy\"", "\"long\"", "1.5", "-1",
        "7", "[]", "{}", "[1]", "[1,2,3]", "[\"x\",1]", "{\"sell\":null}", "{\"sell\":1}",
        "{\"buy\":null,\"sell\":null}", "{\"Diff\":null}", "[[1,2]]", "{\"ts\":1}", "[1,2,3,\"buy\"]"};
    out_ += kJunk[upto(static_cast<int>(std::size(kJunk)) - 1)];
  }

  std::mt19937_64 rng_;
  std::string out_;
};

std::string tree_outcome(std::string_view dataset_json) {
  Result<JsonDocument> doc = read_json_value(dataset_json);
  if (!doc) return "reader: " + doc.error().message;
  const Result<Dataset> d = decode_dataset_value(doc->root());
  return d ? "ok " + render(*d) : d.error().message;
}

std::string checked_text_outcome(std::string_view dataset_json) {
  if (Status s = check_json_syntax(dataset_json); !s) return "reader: " + s.error().message;
  const Result<Dataset> d = decode_dataset_checked_text(dataset_json);
  return d ? "ok " + render(*d) : d.error().message;
}

TEST(LoadFast, RandomDatasetsMatchTheTreePath) {
  DatasetWriter writer(20240611);
  int accepted = 0;
  int rejected = 0;
  for (int i = 0; i < 4000; ++i) {
    const std::string text = writer.dataset();
    const std::string expected = tree_outcome(text);
    ASSERT_EQ(checked_text_outcome(text), expected) << text;
    (expected.starts_with("ok ") ? accepted : rejected) += 1;
  }
  // Both outcomes must be well represented for the comparison to mean much.
  EXPECT_GT(accepted, 500);
  EXPECT_GT(rejected, 800);
}

// A loaded dataset as the response and the records.
std::string loaded_response(Dataset d) {
  sort_by_ts(d);
  std::string out = R"({"ok":true,"loaded":)";
  append_u64(record_count(d), out);
  return out.append("}|").append(render(d));
}

// The response of "load" as the tree path gives it.
std::string tree_load_response(std::string_view command) {
  Result<JsonDocument> doc = read_json_value(command);
  if (!doc) return error_response(doc.error());
  const JsonValue* cmd = doc->root().find("cmd");
  if (cmd == nullptr || !cmd->is_string()) return error_response(XrayError::bad_spec("missing 'cmd'"));
  if (cmd->as_string() != "load") return "not load";
  const JsonValue* dataset = doc->root().find("dataset");
  if (dataset == nullptr) return error_response(XrayError::bad_spec("load requires 'dataset'"));
  Result<Dataset> d = decode_dataset_value(*dataset);
  if (!d) return error_response(d.error());
  return loaded_response(std::move(*d));
}

// A fault (or nothing) somewhere in a text: cut short, or a stray byte.
void break_somewhere(std::string& text, std::mt19937_64& rng) {
  static const char* const kStray[] = {",", "]", "}", "[", "{", "\x01", "\\", "x", "1e999", "\"\\q\""};
  const std::size_t at = rng() % (text.size() + 1);
  if (rng() % 4 == 0) {
    text.resize(at);
  } else {
    text.insert(at, kStray[rng() % std::size(kStray)]);
  }
}

TEST(LoadFast, RandomLoadCommandsMatchTheTreePath) {
  DatasetWriter writer(77);
  std::mt19937_64 rng(78);
  int loaded = 0;
  int one_pass = 0;
  int gave_up_on_syntax = 0;
  for (int i = 0; i < 3000; ++i) {
    std::string command = writer.command();
    if (i % 3 == 0) break_somewhere(command, rng);
    const std::string expected = tree_load_response(command);
    if (std::optional<Dataset> single = decode_load_in_one_pass(command)) {
      ASSERT_EQ(loaded_response(std::move(*single)), expected) << command;
      ++one_pass;
    } else if (expected.starts_with(R"({"ok":false,"error":"parse: )") &&
               !check_json_syntax(command).ok()) {
      ++gave_up_on_syntax;
    }
    if (expected == "not load") continue;
    XrayInstance x;
    std::string response = x.command(command);
    if (response.starts_with(R"({"ok":true)")) {
      response.append("|").append(render(x.dataset()));
      ++loaded;
    }
    ASSERT_EQ(response, expected) << command;
  }
  EXPECT_GT(loaded, 300);
  // Most loads take the one pass; the rest fell back and still matched.
  EXPECT_GT(one_pass, 150);
  EXPECT_LT(one_pass, loaded);
  EXPECT_GT(gave_up_on_syntax, 300);
}

// Objects with many members are ordered by another sort than small ones.
TEST(LoadFast, LargeObjectsMatchTheTreePath) {
  std::mt19937_64 rng(5);
  for (int round = 0; round < 200; ++round) {
    std::vector<std::string> members = {R"("ts":"bad")", R"("ts":1)", R"("price":2)", R"("qty":3)",
                                        R"("side":"sell")", R"("side":{"buy":null})"};
    for (int k = 0; k < 40; ++k) {
      std::string key = "k";
      append_u64(rng() % 20, key);
      members.push_back(std::string("\"").append(key).append(R"(":)").append(k % 7 == 0 ? "[1,{}]" : "0"));
    }
    std::shuffle(members.begin(), members.end(), rng);
    std::string text = R"({"trades":[{)";
    for (std::size_t i = 0; i < members.size(); ++i) text.append(i ? "," : "").append(members[i]);
    text += "}]}";
    ASSERT_EQ(checked_text_outcome(text), tree_outcome(text)) << text;
  }
}

// Lists of unknown length start in a reused scratch list of 64; lengths and
// faults around that size take every branch of it.
TEST(LoadFast, LongListsMatchTheTreePath) {
  for (int length : {0, 1, 63, 64, 65, 129, 300}) {
    for (int fault_at : {-1, 0, 62, 63, 64, 65, 200}) {
      if (fault_at >= length) continue;
      std::string trades = "[";
      std::string levels = "[";
      for (int i = 0; i < length; ++i) {
        const std::string ts = std::to_string(1000 - i);
        trades.append(i ? "," : "").append(R"({"ts":)").append(i == fault_at ? "1.5" : ts);
        trades.append(R"(,"price":1,"qty":2,"side":"buy"})");
        levels.append(i ? "," : "").append(i == fault_at ? "[1]" : "[" + ts + ",2]");
      }
      trades += "]";
      levels += "]";
      const std::string text = R"({"trades":)" + trades + R"(,"book":[{"ts":1,"kind":"diff","bids":)" +
                               levels + R"(,"asks":[]},[2,"diff",[],)" + levels + "]]}";
      ASSERT_EQ(checked_text_outcome(text), tree_outcome(text)) << length << " " << fault_at;
    }
  }
}

// Many tiny elements against large records: the reservation is held to the
// list's text, and the outcome stays the tree path's.
TEST(LoadFast, TinyElementsOfLargeRecords) {
  for (const char* element : {"5", "[]", R"([0,"diff",[],[]])"}) {
    std::string text = R"({"book":[)";
    for (int i = 0; i < 20000; ++i) text.append(i ? "," : "").append(element);
    text += "]}";
    ASSERT_EQ(checked_text_outcome(text), tree_outcome(text)) << element;
  }
}

struct CommandRow {
  const char* name;
  std::string_view command;
  std::string_view response;
};

// Commands that are not "load", or not usable ones, take the tree path with
// its own messages.
const CommandRow kCommands[] = {
    {"syntax fault first", R"({"cmd":"load","dataset":{}} x)",
     R"({"ok":false,"error":"parse: trailing characters at line 1 column 29"})"},
    {"syntax fault after a decoding fault", R"({"cmd":"load","dataset":{"trades":[5]},"x":[1,]})",
     R"({"ok":false,"error":"parse: trailing comma at line 1 column 47"})"},
    {"not an object", R"(["load"])", R"({"ok":false,"error":"bad spec: missing 'cmd'"})"},
    {"cmd not a string", R"({"cmd":["load"],"dataset":{}})", R"({"ok":false,"error":"bad spec: missing 'cmd'"})"},
    {"escaped cmd", R"({"cmd":"lo\u0061d","dataset":{}})", R"({"ok":true,"loaded":0})"},
    {"later cmd wins", R"({"cmd":"load","cmd":"Load","dataset":{}})",
     R"({"ok":false,"error":"bad spec: unknown cmd: Load"})"},
    {"earlier cmd loses", R"({"cmd":"version","dataset":{},"cmd":"load"})", R"({"ok":true,"loaded":0})"},
    {"no dataset", R"({"cmd":"load","data":{}})", R"({"ok":false,"error":"bad spec: load requires 'dataset'"})"},
    {"escaped dataset key", R"({"cmd":"load","d\u0061taset":{"oi":[[1,2]]}})", R"({"ok":true,"loaded":1})"},
    {"other commands still work", R"({"cmd":"version"})", R"({"version":"0.2.0"})"},
};

TEST(LoadFast, CommandShapes) {
  for (const CommandRow& r : kCommands) {
    SCOPED_TRACE(r.name);
    XrayInstance x;
    EXPECT_EQ(x.command(r.command), r.response);
  }
}


std::string nested(int levels) { return std::string(levels, '[') + std::string(levels, ']'); }

const std::string kTrade = R"({"ts":2,"price":1.5,"qty":1,"side":"buy"})";

// A trade list of n records, ts descending so that loading sorts them.
std::string trades(int n) {
  std::string out = "[";
  for (int i = 0; i < n; ++i) {
    out.append(i ? "," : "").append(R"({"ts":)").append(std::to_string(n - i));
    out.append(R"(,"price":1.5,"qty":0.25,"side":"sell"})");
  }
  return out + "]";
}

struct OnePassRow {
  const char* name;
  std::string command;
  bool one_pass;  // whether the one pass must give the dataset (else it gives up)
};

// Whatever the one pass does, the instance answers as the tree path does.
const OnePassRow kOnePassRows[] = {
    {"plain", R"({"cmd":"load","dataset":{"trades":[)" + kTrade + "]}}", true},
    {"cmd after dataset", R"({"dataset":{"trades":[)" + kTrade + R"(]},"cmd":"load"})", true},
    {"escaped names", R"({"c\u006dd":"lo\u0061d","d\u0061taset":{"tr\u0061des":[)" + kTrade + "]}}", true},
    {"space everywhere", " \n{ \"cmd\" :\t\"load\" , \"dataset\" : { \"trades\" : [ " + kTrade + " ] } }\r\n",
     true},
    {"lists past the scratch length", R"({"cmd":"load","dataset":{"trades":)" + trades(64) +
         R"(,"liquidations":[],"oi":)" + R"([[3,1],[2,1]]},"x":)" + trades(300) + "}",
     true},
    {"long list grown", R"({"cmd":"load","dataset":{"trades":)" + trades(1000) + "}}", true},
    {"repeated key in a record, later wins",
     R"({"cmd":"load","dataset":{"trades":[{"ts":"x","ts":5,"price":1,"qty":1,"side":"buy","side":"sell"}]}})",
     true},
    {"repeated list in the dataset, later wins",
     R"({"cmd":"load","dataset":{"oi":[[1,2],[3,4]],"oi":[[5,6]]}})", true},
    {"unknown members checked and passed over",
     R"({"cmd":"load","x":{"a":[1,{"b":"\u00e9\n"}]},"dataset":{"y":[true,false,null],"oi":[{"ts":1,"oi":2,"z":[[]]}]}})",
     true},
    {"deepest nesting after the dataset", R"({"cmd":"load","dataset":{},"x":)" + nested(126) + "}", true},
    {"deepest nesting in the dataset", R"({"cmd":"load","dataset":{"x":)" + nested(125) + "}}", true},
    {"deepest nesting in a record",
     R"({"cmd":"load","dataset":{"trades":[{"ts":1,"price":1,"qty":1,"side":"buy","x":)" + nested(123) + "}]}}",
     true},
    {"too deep after the dataset", R"({"cmd":"load","dataset":{},"x":)" + nested(127) + "}", false},
    {"too deep in the dataset", R"({"cmd":"load","dataset":{"x":)" + nested(126) + "}}", false},
    {"too deep in a record",
     R"({"cmd":"load","dataset":{"trades":[{"ts":1,"price":1,"qty":1,"side":"buy","x":)" + nested(124) + "}]}}",
     false},
    {"trailing comma after the dataset", R"({"cmd":"load","dataset":{"oi":[[1,2]]},"x":[1,]})", false},
    {"trailing characters", R"({"cmd":"load","dataset":{"oi":[[1,2]]}} x)", false},
    {"unclosed root", R"({"cmd":"load","dataset":{"oi":[[1,2]]})", false},
    {"number out of range after the dataset", R"({"cmd":"load","dataset":{},"x":1e999})", false},
    {"number out of range in an unknown field",
     R"({"cmd":"load","dataset":{"oi":[{"ts":1,"oi":2,"big":-1e400}]}})", false},
    {"bad escape in a later key", R"({"cmd":"load","dataset":{},"\q":1})", false},
    {"control byte in an ignored string", "{\"cmd\":\"load\",\"dataset\":{\"s\":\"a\x01\"}}", false},
    {"fault inside a list", R"({"cmd":"load","dataset":{"trades":[)" + kTrade + R"(,]}})", false},
    {"fault after a decoding rejection", R"({"cmd":"load","dataset":{"trades":[5]},"x":[1,]})", false},
    {"decoding rejection", R"({"cmd":"load","dataset":{"trades":[5]}})", false},
    {"dataset repeated", R"({"cmd":"load","dataset":{"oi":[[1,2]]},"dataset":{"oi":[[3,4],[5,6]]}})", false},
    {"cmd repeated", R"({"cmd":"load","dataset":{"oi":[[1,2]]},"cmd":"load"})", false},
    {"no dataset", R"({"cmd":"load"})", false},
    {"dataset without cmd", R"({"dataset":{"oi":[[1,2]]}})", false},
};

TEST(LoadOnePass, GivesUpExactlyOnTheUnusual) {
  for (const OnePassRow& r : kOnePassRows) {
    SCOPED_TRACE(r.name);
    const std::string expected = tree_load_response(r.command);
    const std::optional<Dataset> single = decode_load_in_one_pass(r.command);
    ASSERT_EQ(single.has_value(), r.one_pass);
    if (single) {
      EXPECT_EQ(loaded_response(*single), expected);
    }
    XrayInstance x;
    std::string response = x.command(r.command);
    if (response.starts_with(R"({"ok":true)")) response.append("|").append(render(x.dataset()));
    EXPECT_EQ(response, expected);
  }
}

// Other commands give the one pass up, whatever stands before or after
// "cmd", and are answered by their own path.
TEST(LoadOnePass, OtherCommandsFallBack) {
  const std::pair<std::string_view, std::string_view> rows[] = {
      {R"({"cmd":"version","dataset":{"oi":[[1,2]]}})", R"({"version":"0.2.0"})"},
      {R"({"dataset":{"oi":[[1,2]]},"cmd":"bounds"})", R"({"ok":false,"error":"data: no dataset"})"},
      {R"({"cmd":"load","dataset":{},"cmd":"reset"})", R"({"ok":true})"},
      {R"({"cmd":5,"dataset":{}})", R"({"ok":false,"error":"bad spec: missing 'cmd'"})"},
      {R"([{"cmd":"load","dataset":{}}])", R"({"ok":false,"error":"bad spec: missing 'cmd'"})"},
  };
  for (const auto& [command, response] : rows) {
    SCOPED_TRACE(command);
    EXPECT_FALSE(decode_load_in_one_pass(command).has_value());
    XrayInstance x;
    EXPECT_EQ(x.command(command), response);
  }
}

}  // namespace
}  // namespace xray
