// src/decode/decode_walk.h: the typed-decoding walk, written once.
//
// Decodes a value by the target type's Schema. The walk is written over a
// Source, which says what a value is and walks arrays and objects, handing
// each element or member to a callback, and a Setting, which says what
// differs between the two decoding settings:
//
//                         value setting (ValueSetting)  text setting (TextSetting)
//   object members        by key bytes, each key once   as written, a repeated
//                         (the later of repeated keys)  field key rejected at it
//   rejections            no position                   the position found
//   fixed-length arrays   surplus counted: "invalid     "trailing characters" at
//                         length N, expected fewer..."  the first surplus value
//   a union's members     decoded as a record           judged once its "}" is read
//   first rejection       of the field whose key sorts  the first one met
//                         first                         (the walk stops there)
//
// Sources: TreeSource (a parsed JsonValue), SpanSource (a checked text's byte
// spans), CheckingSpanSource (a text checked as it is walked; the text setting
// and the one-pass load). A Source provides
//   using Value;                          // a cheap handle
//   static constexpr bool kCountsAhead;  // element_count is worth calling
//   static constexpr bool kChecks;       // may meet faults of the text
//   JsonKind kind(const Value&);
//   ValueSummary summary(const Value&);  // strings decoded
//   std::optional<std::size_t> known_element_count(const Value&);  // free, else nullopt
//   std::size_t element_count(const Value&);  // when kCountsAhead
//   std::size_t text_bytes(const Value&);     // of an array whose length is known
//   bool each_element(array, fn);         // fn(element) -> bool, in order
//   bool each_member(object, fn);         // fn(member) -> bool, the source's order
//   bool each_member_by_key(object, fn);  // by key bytes, each key once (the later)
//   bool failed();                        // a fault was met: every walk stops
// and, when it can split long lists over threads (SplitsLists),
//   const ListSplitting* list_splitting();  // null: it does not now
//   RangeEnd each_element_from(array, from, until, fn);  // part of an array
//   void abandon();                         // failed() from now on
// A walk hands fn an element (value()) or a member (key(), value()); a value
// is read at most once, and one fn did not read is skipped. A walk gives
// true when it reached the end, false when fn gave false or a fault stopped
// it. each_member walks every member in the source's own order (text order
// for spans, repeats included).
#pragma once

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <memory_resource>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "core/arena_resource.h"
#include "core/cancel.h"
#include "core/errors.h"
#include "decode/decode_messages.h"
#include "decode/decode_schema.h"
#include "decode/list_chunks.h"
#include "json/json_scanner.h"

namespace xray::decoding {

// The value setting: messages without a position, members by key. The walk
// asks for a position wherever the text setting reports one; here each is
// nothing and costs nothing.
struct ValueSetting {
  static constexpr bool kMembersAsWritten = false;
  static constexpr bool kSurplusIsTrailing = false;

  template <class V>
  static constexpr std::size_t found_at(const V&) {
    return 0;
  }
  template <class V>
  static constexpr std::size_t closed_at(const V&) {
    return 0;
  }
  template <class Member>
  static constexpr std::size_t key_at(const Member&) {
    return 0;
  }
  template <class Element>
  static constexpr std::size_t element_at(const Element&) {
    return 0;
  }
  static XrayError reject(std::size_t, std::string message) {
    return XrayError::parse(std::move(message));
  }
  template <class Fn>
  static bool all_at(std::size_t, Fn&& fn) {
    return fn();
  }
};

// Lists of unknown length start in this many reused slots.
inline constexpr std::size_t kScratchLength = 64;

// A source that can decode parts of a list apart, on other threads.
template <class Source>
concept SplitsLists = requires(const Source& s) {
  { s.list_splitting() } -> std::same_as<const ListSplitting*>;
};

// Whether T is decoded as a pair of doubles.
template <class T>
constexpr bool is_pair_element() {
  if constexpr (requires { Schema<T>::desc; }) return IsDoublePair<DescOf<T>>::value;
  return false;
}

// A reused list of T for this thread, or a list of its own when the reused
// one is taken (a list nested in a list of the same type). Left empty.
template <class T>
class ScratchList {
 public:
  ScratchList() : shared_(!taken()) {
    if (shared_) taken() = true;
  }
  ~ScratchList() {
    items().clear();
    if (shared_) taken() = false;
  }
  ScratchList(const ScratchList&) = delete;
  ScratchList& operator=(const ScratchList&) = delete;

  std::vector<T>& items() { return shared_ ? reused() : own_; }

 private:
  static std::vector<T>& reused() {
    thread_local std::vector<T> items = [] {
      std::vector<T> v;
      v.reserve(kScratchLength);
      return v;
    }();
    return items;
  }
  static bool& taken() {
    thread_local bool flag = false;
    return flag;
  }

  bool shared_;
  std::vector<T> own_;
};

template <class Source, class Setting>
class Decoder {
 public:
  using Value = typename Source::Value;

  explicit Decoder(Source& source, Setting setting = Setting())
      : source_(source), setting_(std::move(setting)) {}

  // Decodes v into out; false after the first rejection (see error()).
  template <class T>
  [[nodiscard]] bool decode(const Value& v, T& out) {
    if constexpr (ScalarTarget<T>) {
      const ValueSummary s = source_.summary(v);
      if (ScalarRule<T>::accept(s, out)) return true;
      return reject(Setting::found_at(v), ScalarRule<T>::reject(s));
    } else if constexpr (IsVector<T>::value) {
      return list(v, out);
    } else {
      constexpr auto& desc = Schema<T>::desc;
      using D = DescOf<T>;
      if constexpr (IsRecord<D>::value) {
        return record(v, out);
      } else if constexpr (IsEnumeration<D>::value) {
        return enumeration(v, desc, out);
      } else if constexpr (IsTaggedUnion<D>::value) {
        return tagged_union(v, desc, out);
      } else {
        static_assert(IsDoublePair<D>::value, "no decoding rule for this type");
        return pair(v, desc, out);
      }
    }
  }

  // The rejection that ended the walk; a fault of the text comes first, as
  // nothing after it means anything.
  XrayError& error() {
    if constexpr (Source::kChecks) {
      if (std::optional<XrayError> fault = source_.fault_error()) error_ = std::move(*fault);
    }
    return error_;
  }

 private:
  struct FieldError {
    std::size_t field;
    std::string_view key;  // the field's key in the description
    XrayError error;
  };

  // Polled once per list element: the host may stop a long load.
  [[gnu::always_inline]] bool cancelled() { return cancel_.due() && stop_cancelled(); }
  [[gnu::noinline]] bool stop_cancelled() {
    cancelled_ = true;
    return !reject(0, cancelled_error().message);
  }

  bool reject(std::size_t at, std::string message) {
    error_ = setting_.reject(at, std::move(message));
    return false;
  }
  bool reject_type(const Value& v, std::string_view expected) {
    return reject(Setting::found_at(v), invalid_type(source_.summary(v), expected));
  }

  // fn(member) for the members as this setting sees them: as written, or
  // by key.
  template <class Fn>
  bool each_member_as_seen(const Value& v, Fn&& fn) {
    if constexpr (Setting::kMembersAsWritten) {
      return source_.each_member(v, fn);
    } else {
      return source_.each_member_by_key(v, fn);
    }
  }

  // A list is allocated once, at its length. When the source cannot tell the
  // length yet, the first elements go to a small reused list: a list that
  // ends there is moved out at its size, a longer one is counted (the source
  // walks it once more) and allocated at its length, or, when the source
  // cannot count ahead, allocated at an estimate of its length. Growing by
  // doubling instead would hold the old and the new block at once, up to
  // three times the list.
  template <class T, class A>
  bool list(const Value& v, std::vector<T, A>& out) {
    if (source_.kind(v) != JsonKind::Array) return reject_type(v, kExpectSequence);
    if constexpr (std::is_same_v<A, std::pmr::polymorphic_allocator<T>>) into_arena(out);
    if constexpr (is_pair_element<T>() && requires {
                    source_.tight_double_pairs(v, [](double, double) { return true; });
                  }) {
      bool stopped = false;
      if (tight_pairs(v, out, stopped)) return true;
      if (stopped) return false;
    }
    if (const std::optional<std::size_t> known = source_.known_element_count(v)) {
      out.reserve(reservation<T>(v, *known));
      return source_.each_element(v, [&](auto& element) {
        return !cancelled() && decode(element.value(), out.emplace_back());
      });
    }
    ScratchList<T> scratch;
    std::vector<T>& first = scratch.items();
    std::size_t count = 0;
    std::size_t split_at = 0;  // the element from which the rest is decoded in chunks
    bool may_split = splits_lists();
    const bool ok = source_.each_element(v, [&](auto& element) {
      if (cancelled()) return false;
      const std::size_t i = count++;
      if constexpr (SplitsLists<Source>) {
        if (may_split && ready_to_split(v, i, element.position())) {
          may_split = false;
          if (worth_splitting(element.position())) {
            split_at = element.position();
            return false;
          }
        }
      }
      if (i < kScratchLength) return decode(element.value(), first.emplace_back());
      if constexpr (Source::kCountsAhead) {
        if (i == kScratchLength) move_all(first, out, reservation<T>(v, source_.element_count(v)));
      } else if (i == kScratchLength) {
        move_all(first, out, estimated_length<T>(v, element.position(), i));
      } else if (out.size() == out.capacity()) {
        out.reserve(estimated_length<T>(v, element.position(), i));
      }
      return decode(element.value(), out.emplace_back());
    });
    if constexpr (SplitsLists<Source>) {
      if (split_at != 0) {
        if (out.empty()) move_all(first, out, first.size());
        return split_rest(v, split_at, count - 1, out);
      }
    }
    if (ok && count <= kScratchLength) move_all(first, out, first.size());
    // The estimate counts the text after the list as more of it: a list
    // followed by more text than its own gives back what it did not use.
    if constexpr (!Source::kCountsAhead) {
      if (ok && out.capacity() > 2 * out.size() + kScratchLength) out.shrink_to_fit();
    }
    return ok;
  }

  // A list of pairs written tightly (book levels), read without the walk:
  // the pairs go to a reused list, then to out at their number. False when
  // the list is written otherwise (the walk reads it then), or with stopped
  // set when the host cancelled.
  // A list not yet allocated takes its memory from the arena of the
  // dataset being decoded, if there is one.
  template <class T>
  static void into_arena(std::pmr::vector<T>& out) {
    std::pmr::memory_resource* arena = current_arena();
    if (arena == nullptr || out.capacity() != 0 || out.get_allocator().resource() == arena) return;
    std::destroy_at(&out);
    std::construct_at(&out, arena);
  }

  template <class T, class A>
  bool tight_pairs(const Value& v, std::vector<T, A>& out, bool& stopped) {
    constexpr auto& desc = Schema<T>::desc;
    ScratchList<T> scratch;
    std::vector<T>& items = scratch.items();
    const bool read = source_.tight_double_pairs(v, [&](double first, double second) {
      if (cancelled()) {
        stopped = true;
        return false;
      }
      T item{};
      item.*(desc.first) = first;
      item.*(desc.second) = second;
      items.push_back(item);
      return true;
    });
    if (read) out.insert(out.end(), items.begin(), items.end());
    // The room of a long list is not kept for the next one.
    if (items.capacity() > 16 * kScratchLength) {
      std::vector<T> fresh;
      fresh.reserve(kScratchLength);
      items.swap(fresh);
    }
    return read;
  }

  bool splits_lists() const {
    if constexpr (SplitsLists<Source>) {
      const ListSplitting* splitting = source_.list_splitting();
      return splitting != nullptr && splitting->runner != nullptr;
    }
    return false;
  }
  // Whether the list's element i, at `at`, is where the list is split if it
  // can be: once the elements decoded in order are as many as the rules ask
  // and take an eighth of a window of text. A list shorter than that ends
  // about as soon as threads could be woken for it.
  bool ready_to_split(const Value& v, std::size_t i, std::size_t at) const {
    const ListSplitting& splitting = *source_.list_splitting();
    return i >= splitting.first_elements && at - v.begin >= splitting.chunk_bytes / 8;
  }
  // Whether the text holds eight windows or more, the rest of it two or
  // more, and the element at `at` is an object whose start can be told from
  // its first key. A shorter text (2 MB at the default window) is decoded
  // sooner on this thread alone than with workers woken for a few windows:
  // one thread took a fifth less processor time on a 1 MB load.
  bool worth_splitting(std::size_t at) const {
    const std::string_view text = source_.text();
    const std::size_t window = source_.list_splitting()->chunk_bytes;
    return text.size() >= 8 * window && text.size() - at >= 2 * window &&
           !element_signature(text, at).empty();
  }

  // The list's elements from its element at `at` on (`before` elements,
  // already in out, come first), decoded in chunks; the list's end and
  // length are noted on v. A fault or a cancellation abandons the source
  // without a message of its own: whoever asked for chunks decodes again in
  // one thread for the error's words.
  template <class T, class A>
  bool split_rest(const Value& v, std::size_t at, std::size_t before, std::vector<T, A>& out) {
    const std::size_t element_bytes = before == 0 ? 0 : (at - v.begin) / before;
    std::pmr::memory_resource* arena = current_arena();
    const auto decode_range = [this, &v, arena](std::size_t from, std::size_t until,
                                                auto&& keep_going, auto& items) {
      const ArenaScope scope(arena);  // the workers' lists go where this thread's go
      Source source(source_.text());
      Decoder decoder(source, setting_);
      return source.each_element_from(v, from, until, [&](auto& element) {
        return keep_going() && !decoder.cancelled() &&
               decoder.decode(element.value(), items.emplace_back());
      });
    };
    std::size_t closed_at = 0;
    if (!decode_list_in_chunks(*source_.list_splitting(), source_.text(), at, element_bytes,
                               decode_range, out, closed_at)) {
      source_.abandon();
      return false;
    }
    v.end = closed_at;
    v.count = out.size();
    return true;
  }

  // Room for count elements, but never more than four bytes of element per
  // byte of the list's text: every element that can decode takes at least a
  // quarter of its size in text, so only a list that is bound to fail (many
  // tiny wrong elements) is held to less, and cannot claim memory out of
  // proportion to its text.
  template <class T>
  std::size_t reservation(const Value& v, std::size_t count) {
    return std::min(count, source_.text_bytes(v) / sizeof(T) * 4 + 1);
  }

  // The length of a list whose first `seen` elements ended at byte `at`, if
  // the rest of the text held more elements of the same mean size, with an
  // eighth to spare: at most four bytes of element per byte of text from the
  // list on, at least a quarter more than seen. Room that is never written
  // is never touched, so an estimate too high costs address space only.
  template <class T>
  std::size_t estimated_length(const Value& v, std::size_t at, std::size_t seen) {
    const std::size_t size = source_.text().size();
    const double per_element = static_cast<double>(at - v.begin) / static_cast<double>(seen);
    const double rest = static_cast<double>(size - at) / per_element;
    const auto estimate = static_cast<std::size_t>(static_cast<double>(seen) + rest * 1.125);
    const std::size_t most = (size - v.begin) / sizeof(T) * 4 + 1;
    return std::max(std::min(estimate, most), seen + seen / 4 + 1);
  }

  template <class T, class A>
  static void move_all(std::vector<T>& from, std::vector<T, A>& to, std::size_t capacity) {
    to.reserve(capacity);
    to.insert(to.end(), std::make_move_iterator(from.begin()), std::make_move_iterator(from.end()));
    from.clear();
  }

  // The record's description is reached through its type, never passed
  // around: the walk then compares keys against constants.
  template <class R>
  bool record(const Value& v, R& out) {
    // A record that holds a level arena gives it to every list under it.
    if constexpr (requires { out.level_arena.get(); }) {
      const ArenaScope scope(out.level_arena.get());
      return record_as_written(v, out);
    }
    return record_as_written(v, out);
  }
  template <class R>
  bool record_as_written(const Value& v, R& out) {
    bool ok = false;
    switch (source_.kind(v)) {
      case JsonKind::Object: ok = record_members(v, out, std::string_view()); break;
      case JsonKind::Array: ok = record_elements(v, out); break;
      default: return reject_type(v, record_expectation(Schema<R>::desc.name));
    }
    return ok;
  }

  // Object form; a member named skip_key (the tag of a union) is passed over.
  //
  // As written: document order, the first rejection ends it.
  //
  // By key: the source's own order is walked, which may be text order with
  // repeats, so every field decodes on its own and keeps its own rejection,
  // and the one whose key sorts first is reported; a repeated key starts its
  // field afresh, so the later one wins. That is the outcome of handling the
  // members in key order, without putting a record's members in order.
  template <class R>
  bool record_members(const Value& v, R& out, std::string_view skip_key) {
    constexpr auto& rec = Schema<R>::desc;
    uint64_t seen = 0;
    std::vector<FieldError> errors;  // by key only; allocated when a field fails
    // Kept inside the source's member loop: called per member, its state
    // (the mask, the record) goes through memory each time, which cost the
    // tree decode about 17% more instructions.
    const bool walked = source_.each_member(
        v, [&](auto& member) __attribute__((always_inline)) {
          const std::string_view key = member.key();
          const std::size_t i = field_index(rec, key);
          if (i == kNoField || (!skip_key.empty() && key == skip_key)) return true;
          const uint64_t bit = uint64_t{1} << i;
          if ((seen & bit) != 0 && !repeated_field(member, i, out, errors)) return false;
          seen |= bit;
          const Value& value = member.value();
          if (with_field(rec, i, [&](const auto& f) { return decode(value, out.*(f.member)); })) {
            return true;
          }
          return failed_field<R>(i, errors);
        });
    if (!walked) return false;
    if (!errors.empty()) {
      auto first = errors.begin();
      for (auto it = errors.begin(); it != errors.end(); ++it) {
        if (it->key < first->key) first = it;
      }
      error_ = std::move(first->error);
      return false;
    }
    const std::size_t missing = first_missing(rec, seen);
    if (missing == kNoField) return true;
    return reject(Setting::closed_at(v), missing_field(field_key(rec, missing)));
  }

  // A field key met again, judged at the key before its value is read: as
  // written it is rejected; by key the field starts afresh (the later wins).
  template <class Member, class R>
  bool repeated_field(const Member& member, std::size_t i, R& out,
                      std::vector<FieldError>& errors) {
    if constexpr (Setting::kMembersAsWritten) {
      return reject(Setting::key_at(member), duplicate_field(member.key()));
    } else {
      with_field(Schema<R>::desc, i, [&](const auto& f) {
        out.*(f.member) = R{}.*(f.member);
        return true;
      });
      std::erase_if(errors, [&](const FieldError& e) { return e.field == i; });
      return true;
    }
  }

  // Field i failed to decode: as written that ends the walk; by key its
  // rejection is kept and the walk goes on, unless the host cancelled: going
  // on would read (and check) the rest of the text, as long as the load.
  template <class R>
  bool failed_field(std::size_t i, std::vector<FieldError>& errors) {
    if constexpr (Setting::kMembersAsWritten) {
      return false;
    } else {
      if (cancelled_) return false;
      errors.push_back({i, field_key(Schema<R>::desc, i), std::move(error_)});
      return true;
    }
  }

  // Array form: the field values in declaration order. Fields it does not
  // reach keep their defaults, or it is too short.
  template <class R>
  bool record_elements(const Value& v, R& out) {
    constexpr auto& rec = Schema<R>::desc;
    constexpr std::size_t kFields = DescOf<R>::kFieldCount;
    return fixed_elements(
        v, kFields,
        [&](std::size_t i, const Value& element) {
          return with_field(rec, i,
                            [&](const auto& f) { return decode(element, out.*(f.member)); });
        },
        [&](std::size_t given) {
          const std::size_t missing = first_missing(rec, (uint64_t{1} << given) - 1);
          if (missing == kNoField) return true;
          // The length reported is the missing field's index, which is the
          // given length only when every field is required.
          return reject(Setting::closed_at(v),
                        invalid_length(missing, record_length_expectation(rec.name, kFields)));
        });
  }

  // An array of at most n values: value i decoded by slot(i, value); an
  // array that ends after `given` < n values is judged by short_by(given).
  template <class Slot, class ShortBy>
  bool fixed_elements(const Value& v, std::size_t n, Slot&& slot, ShortBy&& short_by) {
    std::size_t given = 0;
    const bool walked = source_.each_element(v, [&](auto& element) {
      const std::size_t i = given++;
      if (i < n) return slot(i, element.value());
      if constexpr (Setting::kSurplusIsTrailing) {
        // Found before the surplus value is read, at its first byte.
        return reject(Setting::element_at(element), json_fault::kTrailingCharacters);
      }
      return true;  // counted, not read
    });
    if (!walked) return false;
    if (given < n) return short_by(given);
    if (given > n) return reject(Setting::closed_at(v), invalid_length(given, kExpectFewer));
    return true;
  }

  // A string naming a variant, or a map of exactly one member, named after a
  // variant, whose value is null. A map is judged once it has been read
  // whole, at its close.
  template <class E, std::size_t N>
  bool enumeration(const Value& v, const Enumeration<E, N>& en, E& out) {
    const JsonKind kind = source_.kind(v);
    if (kind == JsonKind::String) {
      const ValueSummary s = source_.summary(v);
      const std::optional<std::size_t> code = find_name(en.names, s.text);
      if (!code) return reject(Setting::found_at(v), unknown_variant(s.text, en.names));
      out = static_cast<E>(*code);
      return true;
    }
    if (kind != JsonKind::Object) return reject_type(v, kExpectEnum);
    std::size_t count = 0;
    if (!each_member_as_seen(v, [&](auto&) { return ++count, true; })) return false;
    const std::size_t close = Setting::closed_at(v);
    if (count != 1) return reject(close, invalid_value(source_.summary(v), kExpectSingleKey));
    bool judged = false;
    (void)each_member_as_seen(v, [&](auto& member) {
      const std::optional<std::size_t> code = find_name(en.names, member.key());
      if (!code) return reject(close, unknown_variant(member.key(), en.names));
      std::monostate unit;
      judged = setting_.all_at(close, [&] { return decode(member.value(), unit); });
      if (judged) out = static_cast<E>(*code);
      return false;  // the one member
    });
    return judged && !source_.failed();
  }

  // The tag's value: a string naming one of the variants.
  template <class U, class V, std::size_t N>
  bool variant_index(const Value& tag, const TaggedUnion<U, V, N>& un, std::size_t& index) {
    if (source_.kind(tag) != JsonKind::String) return reject_type(tag, kExpectVariantName);
    const ValueSummary s = source_.summary(tag);
    const std::optional<std::size_t> found = find_name(un.names, s.text);
    if (!found) return reject(Setting::found_at(tag), unknown_variant(s.text, un.names));
    index = *found;
    return true;
  }

  template <class U, class V, std::size_t N>
  bool tagged_union(const Value& v, const TaggedUnion<U, V, N>& un, U& out) {
    const JsonKind kind = source_.kind(v);
    if (kind == JsonKind::Object) return union_members(v, un, out);
    if (kind == JsonKind::Array) return union_elements(v, un, out);
    return reject_type(v, union_expectation(un.name));
  }

  // The tag is judged where it stands, as the object is read; the other
  // members are decoded as the chosen variant's record once the whole
  // object has been read, so their rejections (as written) sit at its close.
  template <class U, class V, std::size_t N>
  bool union_members(const Value& v, const TaggedUnion<U, V, N>& un, U& out) {
    std::optional<std::size_t> index;
    const bool walked = each_member_as_seen(v, [&](auto& member) {
      if (member.key() != un.tag) return true;
      // Only as written can the tag come twice.
      if (index) return reject(Setting::key_at(member), duplicate_field(un.tag));
      std::size_t found = 0;
      if (!variant_index(member.value(), un, found)) return false;
      index = found;
      return true;
    });
    if (!walked) return false;
    const std::size_t close = Setting::closed_at(v);
    if (!index) return reject(close, missing_field(un.tag));
    return setting_.all_at(close, [&] {
      return with_alternative(out.*(un.member), *index,
                              [&](auto& alt) { return record_members(v, alt, un.tag); });
    });
  }

  // [tag, field values...]: each value decoded as it comes; values the array
  // does not reach keep their defaults, surplus values are counted.
  template <class U, class V, std::size_t N>
  bool union_elements(const Value& v, const TaggedUnion<U, V, N>& un, U& out) {
    V& variant = out.*(un.member);
    std::size_t fields = 0;  // of the chosen variant
    std::size_t given = 0;
    const bool walked = source_.each_element(v, [&](auto& element) {
      const std::size_t i = given++;
      if (i == 0) {
        std::size_t index = 0;
        if (!variant_index(element.value(), un, index)) return false;
        return with_alternative(variant, index, [&](auto& alt) {
          fields = DescOf<std::remove_cvref_t<decltype(alt)>>::kFieldCount;
          return true;
        });
      }
      if (i > fields) return true;  // counted, not read
      const Value& value = element.value();
      return std::visit(
          [&](auto& alt) {
            constexpr auto& rec = Schema<std::remove_cvref_t<decltype(alt)>>::desc;
            return with_field(rec, i - 1,
                              [&](const auto& f) { return decode(value, alt.*(f.member)); });
          },
          variant);
    });
    if (!walked) return false;
    const std::size_t close = Setting::closed_at(v);
    if (given == 0) return reject(close, missing_field(un.tag));
    if (given - 1 > fields) {
      return reject(close, invalid_length(given - 1, variant_length_expectation(fields)));
    }
    return std::visit(
        [&](auto& alt) {
          constexpr auto& rec = Schema<std::remove_cvref_t<decltype(alt)>>::desc;
          const std::size_t reached = given - 1;
          const uint64_t present = reached >= 64 ? ~uint64_t{0} : (uint64_t{1} << reached) - 1;
          const std::size_t missing = first_missing(rec, present);
          if (missing == kNoField) return true;
          return reject(close, invalid_length(missing, variant_length_expectation(fields)));
        },
        variant);
  }

  template <class R>
  bool pair(const Value& v, const DoublePair<R>& desc, R& out) {
    if (source_.kind(v) != JsonKind::Array) return reject_type(v, kExpectPair);
    // Book levels are mostly written "[price,qty]": read at once, they give
    // what the walk below gives.
    if constexpr (requires(double& d) { source_.tight_double_pair(v, d, d); }) {
      double first;
      double second;
      if (source_.tight_double_pair(v, first, second)) {
        out.*(desc.first) = first;
        out.*(desc.second) = second;
        return true;
      }
    }
    double R::*const slots[2] = {desc.first, desc.second};
    return fixed_elements(
        v, 2, [&](std::size_t i, const Value& element) { return decode(element, out.*(slots[i])); },
        [&](std::size_t given) {
          return reject(Setting::closed_at(v), invalid_length(given, kExpectPair));
        });
  }

  Source& source_;
  Setting setting_;
  XrayError error_{ErrorKind::Parse, {}};
  CancelPoll cancel_;
  bool cancelled_ = false;  // a poll found the command cancelled
};

}  // namespace xray::decoding
