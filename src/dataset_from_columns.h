// src/dataset_from_columns.h: a dataset built straight from column buffers,
// checked by the same walk that writes their "load" text.
#pragma once

#include "columns/dataset_columns.h"
#include "core/errors.h"
#include "model/dataset.h"

namespace xray {

// The records of the columns in their given order, unsorted; the errors of
// load_text for the same columns. Each double is the caller's own: where a
// "load" text would carry the nearest double its reading reaches, this
// keeps the value itself.
[[nodiscard]] Result<Dataset> dataset_from_columns(const columns::DatasetColumns& columns);

}  // namespace xray
