// src/decode/list_chunks.h: the rest of a long list decoded in chunks on several threads.
//
// From an element known to start one, the text is cut into windows of
// chunk_bytes. Every window but the first guesses where its first element
// starts: the first place in it that opens as the known element does (from
// its "{" to the end of its first key), just after a ",". The windows are
// decoded at once, each from its guess up to the first element that starts
// at or past the window's end, or to the list's "]". A guess can be wrong (a
// nested object that opens alike), so a window's elements are taken only
// when the window taken before it ended exactly at its guess: the first
// window starts at the known element, so by induction every window taken
// starts at an element, and holds the elements a walk from the list's start
// meets there, decoded the same way. Windows join the list in order as soon
// as the chain reaches them, on the worker that finished the last one it
// needed, so each window's own list is freed early for later windows to
// reuse. Where a guess was wrong, or a window was never decoded, the calling
// thread decodes on from where the last window taken ended, and there is no
// guessing left.
//
// A fault anywhere gives up: the caller decodes the whole text again in one
// thread for the error's words and position.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <iterator>
#include <mutex>
#include <string_view>
#include <vector>

#include "core/cancel.h"
#include "core/task_runner.h"

namespace xray::decoding {

// How a list-walking decode may split long lists; a source without one
// decodes every list in one thread.
struct ListSplitting {
  TaskRunner* runner = nullptr;                    // the threads; null: no list is split
  std::size_t chunk_bytes = std::size_t{1} << 18;  // text per window
  // Decoded in order before a list is split (the element after them must
  // open as an object), and for what the list's elements weigh in text.
  std::size_t first_elements = 64;
};

// How the walk over part of a list ended.
struct RangeEnd {
  enum class How : uint8_t { Failed, Stopped, Closed };
  How how = How::Failed;
  std::size_t at = 0;  // Stopped: the next element's first byte; Closed: just past "]"
};

inline constexpr std::size_t kNoGuess = ~std::size_t{0};

// The bytes an element opens with: its "{", whitespace, and its first key
// with both quotation marks. Empty when the value at `at` is no object, or
// its first key is escaped or longer than a guess is worth.
std::string_view element_signature(std::string_view text, std::size_t at);

// The first place in [lo, hi) where the text reads signature just after a
// "," and whitespace, or kNoGuess.
std::size_t guess_element_start(std::string_view text, std::string_view signature, std::size_t lo,
                                std::size_t hi);

// The elements of one list, from the first byte of one of them (`from`) to
// the list's end, appended in order to `out`, which holds those before it.
// decode_range(from, until, keep_going, items) walks the list from the
// element at `from`, appending each element to items, until the next one
// starts at or past `until` or the list closes, and stops early (Failed)
// when keep_going() gives false; it must be safe to call on several threads
// at once. element_bytes estimates the text of one element (0: unknown).
// False after any fault or cancellation; otherwise closed_at is just past
// the list's "]".
template <class T, class A, class DecodeRange>
bool decode_list_in_chunks(const ListSplitting& splitting, std::string_view text, std::size_t from,
                           std::size_t element_bytes, DecodeRange&& decode_range,
                           std::vector<T, A>& out, std::size_t& closed_at) {
  struct Chunk {
    std::size_t begin = kNoGuess;  // first byte of its first element, when guessed
    RangeEnd end;
    bool done = false;  // decoded by a worker (guarded by the chain's mutex)
    std::vector<T> items;
  };
  const std::string_view signature = element_signature(text, from);
  if (signature.empty() || splitting.runner == nullptr) return false;
  const std::size_t step = std::max<std::size_t>(splitting.chunk_bytes, 1);
  const std::size_t windows = (text.size() - from + step - 1) / step;
  const auto window_end = [&](std::size_t k) { return from + (k + 1) * step; };
  const auto window_of = [&](std::size_t at) { return (at - from) / step; };
  // Room for a window's elements at the weight seen so far, an eighth to
  // spare; room never written is never touched.
  const std::size_t room = element_bytes == 0 ? 0 : step / element_bytes + step / element_bytes / 8;
  // The list is allocated once at the length the rest of the text would
  // give at that weight (never more than four bytes of element per byte of
  // text): windows are moved in as they join the chain, and each one's own
  // list is freed then, for the next windows to reuse.
  if (element_bytes != 0) {
    const std::size_t rest = (text.size() - from) / element_bytes;
    const std::size_t most = (text.size() - from) / sizeof(T) * 4 + 1;
    out.reserve(out.size() + std::min(rest + rest / 8, most));
  }
  std::vector<Chunk> chunks(windows);

  // The chain: the elements taken into out end at chain_at, an element's
  // first byte, or the list has closed. A window whose guess is chain_at is
  // taken, which moves chain_at to where it ended.
  std::mutex chain_mutex;
  std::size_t chain_at = from;
  bool closed = false;
  const auto take = [&](Chunk& chunk) {
    out.insert(out.end(), std::make_move_iterator(chunk.items.begin()),
               std::make_move_iterator(chunk.items.end()));
    std::vector<T>().swap(chunk.items);
    chain_at = chunk.end.at;
    closed = chunk.end.how == RangeEnd::How::Closed;
  };
  // Takes the windows that are done and follow on, in order.
  const auto advance = [&] {
    while (!closed) {
      Chunk& chunk = chunks[window_of(chain_at)];
      if (!chunk.done || chunk.begin != chain_at || chunk.end.how == RangeEnd::How::Failed) return;
      take(chunk);
    }
  };

  // Windows are handed out in order; none is started past a window that met
  // a "]" (or a fault at the known start), and one running stops there.
  std::atomic<std::size_t> next{0};
  std::atomic<std::size_t> last{windows - 1};
  const auto lower_last = [&](std::size_t k) {
    std::size_t seen = last.load(std::memory_order_relaxed);
    while (k < seen && !last.compare_exchange_weak(seen, k, std::memory_order_relaxed)) {
    }
  };
  // Running out of memory on a worker must not end the process: the first
  // failure stops every window and is raised again on the calling thread.
  std::exception_ptr failure;
  auto windows_on_worker = [&] {
    for (;;) {
      // A cancelled load starts no window (its elements poll only now and then).
      const std::size_t k = next.fetch_add(1, std::memory_order_relaxed);
      if (k >= windows || k > last.load(std::memory_order_relaxed) || cancel_requested()) return;
      Chunk& chunk = chunks[k];
      chunk.begin =
          k == 0 ? from : guess_element_start(text, signature, from + k * step, window_end(k));
      if (chunk.begin == kNoGuess) continue;
      chunk.items.reserve(room);
      chunk.end = decode_range(
          chunk.begin, window_end(k),
          [&last, k] { return k <= last.load(std::memory_order_relaxed); }, chunk.items);
      if (chunk.end.how == RangeEnd::How::Closed ||
          (k == 0 && chunk.end.how == RangeEnd::How::Failed)) {
        lower_last(k);
      }
      const std::lock_guard lock(chain_mutex);
      chunk.done = true;
      advance();
    }
  };
  auto worker = [&](std::size_t) {
    try {
      windows_on_worker();
    } catch (...) {
      lower_last(0);
      const std::lock_guard lock(chain_mutex);
      if (!failure) failure = std::current_exception();
    }
  };
  splitting.runner->run_tasks(std::min(splitting.runner->width(), windows), worker);
  if (failure) std::rethrow_exception(failure);

  // The rest of the chain, here: where no window was taken, the one that
  // holds chain_at is decoded again from there, in its slot.
  while (!closed) {
    if (cancel_requested()) return false;
    const std::size_t k = window_of(chain_at);
    Chunk& chunk = chunks[k];
    if (chunk.begin != chain_at || chunk.end.how == RangeEnd::How::Failed) {
      std::vector<T>().swap(chunk.items);
      chunk.begin = chain_at;
      chunk.end = decode_range(
          chain_at, window_end(k), [] { return true; }, chunk.items);
      if (chunk.end.how == RangeEnd::How::Failed) return false;
    }
    take(chunk);
  }
  closed_at = chain_at;
  // As a list decoded in one thread: room the estimate left unused goes back.
  if (out.capacity() > 2 * out.size() + 64) out.shrink_to_fit();
  return true;
}

}  // namespace xray::decoding
