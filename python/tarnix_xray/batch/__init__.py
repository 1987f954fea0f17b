"""Frames of many instruments over long histories, as tasks on dask.distributed.

A `Job` is a partitioned `Source` (symbol and UTC day), a spec with
per-instrument overrides and a `Schedule` of cursors; `run` cuts it into one
task per instrument and chunk of cursors, each loading only the records its
frames read into its own Session in a worker process, and writes one file
per task. The frames are byte for byte those of one process scrubbing each
instrument alone. Needs the `[batch]` extra.
"""

from __future__ import annotations

from .output import read_results
from .plan import Job, Schedule, duration_ms
from .runner import BatchResult, plan, run
from .source import Source
from .task import TaskResult

__all__ = ["BatchResult", "Job", "Schedule", "Source", "TaskResult", "duration_ms", "plan", "read_results", "run"]
