// src/columns/dataset_text_writer.h: the dataset text of a "load" command,
// written straight from column buffers, every double by exact_double_text.
//
// Records are written in their array form, fields in declaration order:
// candles [ts,open,high,low,close,volume], trades [ts,price,qty,"buy"|"sell"],
// book [ts,"snapshot"|"diff",[[price,qty],...],[[price,qty],...]], funding
// [ts,rate], oi [ts,oi], liquidations [ts,price,qty,"long"|"short"]. Lists
// come in that order, only those given; no white space.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "columns/dataset_columns.h"
#include "core/errors.h"

namespace xray::columns {

// Checks the shapes (equal lengths, offsets counts) and gives an upper bound
// of the text's length; a Data error naming the list and column otherwise.
[[nodiscard]] Result<std::size_t> dataset_text_bound(const DatasetColumns& columns, bool command);

// Writes {"cmd":"load","dataset":{...}} (command) or the bare {...} at out,
// which holds dataset_text_bound bytes, and gives its length. Every value is
// read once, so a column changed meanwhile cannot make it write out of
// bounds. A Data error naming the list, column and row for a bad offset, a
// code other than 0 or 1, or a value that is not finite; the bytes at out
// are then meaningless. inexact (when given) counts the doubles no text
// reaches, written as their nearest reachable neighbour.
[[nodiscard]] Result<std::size_t> write_dataset_text(const DatasetColumns& columns, bool command,
                                                     char* out, std::size_t* inexact = nullptr);

// A buffer for the text, freed by std::free; null when memory runs out.
// One of 2 MiB or more starts on a huge page and is advised as huge pages,
// so writing it takes a page fault per 2 MiB rather than per 4 KiB.
struct FreeText {
  void operator()(char* p) const { std::free(p); }
};
using TextBuffer = std::unique_ptr<char, FreeText>;
[[nodiscard]] TextBuffer allocate_text_buffer(std::size_t bytes);

// Both in one: the text as a string.
[[nodiscard]] Result<std::string> dataset_text(const DatasetColumns& columns, bool command);

}  // namespace xray::columns
