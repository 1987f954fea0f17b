"""Frames of many instruments over long histories, as tasks on dask.distributed.

A `Job` is a partitioned `Source` (symbol and UTC day), a spec with
per-instrument overrides and a `Schedule` of cursors; `run` cuts it into one
task per instrument and chunk of cursors, each loading only the records its
frames read into its own Session in a worker process, and writes one file
per task. The frames are byte for byte those of one process scrubbing each
instrument alone. Needs the `[batch]` extra.
"""

from __future__ import annotations

from .._extras import need

# Before the modules below, which import numpy at their top; sources and
# results are CSV/Parquet files, read and written through pyarrow.
need("numpy", "tarnix_xray.batch")
need("pyarrow", "tarnix_xray.batch")

from .output import read_results  # noqa: E402
from .plan import Job, Schedule, duration_ms  # noqa: E402
from .runner import BatchResult, plan, run  # noqa: E402
from .source import Source  # noqa: E402
from .task import TaskResult  # noqa: E402

__all__ = ["BatchResult", "Job", "Schedule", "Source", "TaskResult", "duration_ms", "plan", "read_results", "run"]
