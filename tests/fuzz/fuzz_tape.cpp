// Fuzz target of the command tape: the input drives a sequence of load,
// set_spec, frame, frame_at, bounds, reset, version and broken commands on
// one instance, some of them cancelled at a chosen poll. After each:
// - a command that failed (or was cancelled), and one that only reads,
//   changed nothing that can be observed: bounds, frames, the stored spec
//   and dataset;
// - the instance observes as a fresh one given only the last accepted spec
//   and the last accepted load since the last reset: nothing else of the
//   history leaks into its answers.
#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "core/cancel.h"
#include "instance.h"
#include "render.h"

namespace xray {
namespace {

// The parts joined. A braced list is evaluated left to right, so the tape's
// bytes are read in the same order by every compiler (unlike arguments or +).
std::string cat(std::initializer_list<std::string_view> parts) {
  std::string out;
  for (const std::string_view part : parts) out.append(part);
  return out;
}

class Tape {
 public:
  Tape(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool used_up() const { return pos_ >= size_; }
  unsigned next() { return pos_ < size_ ? data_[pos_++] : 0; }
  std::size_t upto(std::size_t n) { return next() % (n + 1); }
  std::string ts() { return std::to_string(static_cast<int>(upto(40)) * 250 - 500); }
  std::string price() {
    static const char* const kOdd[] = {"0", "-0.0", "1e308", "-5", "0.1"};
    if (upto(15) == 0) return kOdd[upto(4)];
    return cat({std::to_string(100 + static_cast<int>(upto(20))), ".", std::to_string(upto(9))});
  }

  std::string load() {
    std::string out = R"({"cmd":"load","dataset":{)";
    const auto list = [&](const char* name, auto&& record) {
      out.append("\"").append(name).append("\":[");
      for (std::size_t i = 0, n = upto(5); i < n; ++i) {
        if (i > 0) out += ',';
        record();
      }
      out += "],";
    };
    list("trades", [&] {
      out +=
          cat({"[", ts(), ",", price(), ",", price(), next() & 1 ? R"(,"buy"])" : R"(,"sell"])"});
    });
    list("liquidations", [&] {
      out += cat({"[", ts(), ",", price(), ",1", next() & 1 ? R"(,"long"])" : R"(,"short"])"});
    });
    list("book", [&] {
      out += cat({"[", ts(), next() & 3 ? R"(,"diff",[[)" : R"(,"snapshot",[[)", price(), ",",
                  std::to_string(upto(3)), "]],[[", price(), ",", std::to_string(upto(3)), "]]]"});
    });
    list("funding", [&] { out += cat({"[", ts(), ",", price(), "]"}); });
    list("oi", [&] { out += cat({"[", ts(), ",", price(), "]"}); });
    list("candles", [&] {
      out += cat({"[", ts(), ",", price(), ",", price(), ",", price(), ",", price(), ",1]"});
    });
    out.back() = '}';
    out += '}';
    if (upto(7) == 0) out.resize(upto(out.size() - 1) + 1);  // a cut: an error
    return out;
  }

  std::string set_spec() {
    std::string panels;
    for (std::size_t i = 0, n = upto(4); i < n; ++i) {
      static const char* const kPanels[] = {
          R"({"kind":"footprint","price_bin":P})", R"({"kind":"liquidation_map","price_bin":P})",
          R"({"kind":"book_heatmap","price_bin":P,"bucket_ms":B,"depth_levels":D})",
          R"({"kind":"funding_oi_divergence","bucket_ms":B})", R"({"kind":"nope"})"};
      std::string panel = kPanels[std::min<std::size_t>(upto(8) / 2, 4)];  // "nope" 1 in 9
      const auto fill = [&](char key, const std::string& value) {
        const std::string_view all = panel;
        if (const std::size_t at = all.find(key); at != std::string::npos)
          panel = cat({all.substr(0, at), value, all.substr(at + 1)});
      };
      static const char* const kBins[] = {"0.5", "1", "2.5", "0", "-1", "1e-9"};
      static const char* const kBuckets[] = {"250", "1000", "50", "0", "-250", "100000"};
      fill('P', kBins[upto(5)]);
      fill('B', kBuckets[upto(5)]);
      fill('D', std::to_string(upto(9)));
      panels += cat({i > 0 ? "," : "", panel});
    }
    std::string window;
    if (next() & 1) window += cat({R"(,"from_ts":)", ts()});
    if (next() & 1) window += cat({R"(,"to_ts":)", ts()});
    return cat({R"({"cmd":"set_spec","spec":{"dataset_ref":"t","symbol":")",
                upto(7) == 0 ? "" : "S", "\"", window, R"(,"panels":[)", panels, "]}}"});
  }

  std::string other() {
    static const char* const kOthers[] = {
        R"({"cmd":"frame"})",
        R"({"cmd":"bounds"})",
        R"({"cmd":"reset"})",
        R"({"cmd":"version"})",
        R"({"cmd":"frame_at","ts":"1"})",
        R"({"cmd":"frame_at"})",
        R"({"cmd":"nope"})",
        R"({"cmd":"load"})",
        R"({"cmd":"set_spec"})",
        R"({"cmd":"load","dataset":{"trades":[[1]]}})",
        R"({"cmd":"bounds")",
        R"([])",
        R"({"cmd":"set_spec","spec":{"symbol":"S","panels":[]}})"};
    return kOthers[upto(std::size(kOthers) - 1)];
  }

 private:
  const uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// Everything a caller can see of an instance.
std::string observe(XrayInstance& x) {
  std::string out = x.command(R"({"cmd":"bounds"})") + x.command(R"({"cmd":"frame"})");
  for (const char* ts : {"-1", "2000", "4000", "9223372036854775807"}) {
    out += x.command(cat({R"({"cmd":"frame_at","ts":)", ts, "}"}));
  }
  return cat({out, testing::render(x.spec()), "|", testing::render(x.dataset())});
}

}  // namespace
}  // namespace xray

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace xray;
  using testing::require;
  Tape tape(data, size);
  XrayInstance x;
  std::optional<std::string> last_spec;  // the last accepted set_spec
  std::optional<std::string> last_load;  // the last accepted load since a reset
  for (int step = 0; step < 64 && !tape.used_up(); ++step) {
    const unsigned what = tape.next() % 8;
    const std::string command = what < 3 ? tape.load() : what < 5 ? tape.set_spec() : tape.other();
    const bool cancel = tape.next() % 4 == 0;
    const int trip = 1 + static_cast<int>(tape.upto(30));

    const std::string before = observe(x);
    std::string response;
    bool cancelled = false;
    if (cancel) {
      testing::TripAt check{trip};
      CancelScope scope(testing::TripAt::check, &check, /*stride=*/1);
      response = x.command(command);
      cancelled = scope.cancelled();
    } else {
      response = x.command(command);
    }
    const std::string after = observe(x);
    if (cancelled) {
      require(response == R"({"ok":false,"error":"data: command cancelled"})",
              "a cancelled command answered", command, response, "");
    }
    const bool sets_spec = command.find(R"("cmd":"set_spec")") != std::string::npos;
    const bool loads = command.find(R"("cmd":"load")") != std::string::npos;
    const bool resets = command == R"({"cmd":"reset"})";
    if (response.starts_with(R"({"ok":false)") || !(sets_spec || loads || resets)) {
      require(after == before, "a failed or reading command changed the instance", command, before,
              after);
      continue;
    }
    if (sets_spec) last_spec = command;
    if (loads) last_load = command;
    if (resets) last_load.reset();

    XrayInstance fresh;
    if (last_spec) fresh.command(*last_spec);
    if (last_load) fresh.command(*last_load);
    require(observe(fresh) == after, "the history leaks into the answers", command, observe(fresh),
            after);
  }
  return 0;
}
