"""Enhance a corpus on a Dask cluster.

enhance_files() sends each recording to a worker of a ``distributed.Client``. Every worker runs
the path of ``nimbusdale batch``: the same samples as ``nimbusdale enhance``, written whole or not
at all. The client keeps the batch's rules: outputs that OUT_DIR/manifest.jsonl shows up to date
are skipped, one record per file is appended to it as files finish, and a file's failure (or a
worker's death) is recorded while the other files go on.

The workers and the client must see the inputs and the output folder under the same paths (a
shared file system), and each must have this module installed.
"""

import json
import os

__all__ = ["enhance_files"]


def _run_task(task, options):
    # Runs on a worker: the task carries the paths and settings, `options` the keywords of the
    # enhancement as the caller gave them.
    import nimbusdale

    return nimbusdale._run_batch_task(task, **options)


def enhance_files(client, inputs, out_dir, *, in_dir=None, reference_dir=None,
                  max_lag_ms=50.0, format="float", retry_failed=False, threads=1, **options):
    """Enhance every input into OUT_DIR on the workers of `client`; return their records.

    client: a distributed.Client.
    inputs: a folder (searched recursively for audio files, as ``nimbusdale batch IN_DIR``
        does) or an iterable of file paths.
    out_dir: the output folder. Outputs mirror the inputs' paths below `in_dir` (a folder given
        as `inputs`, else the inputs' deepest common folder), with the extension .wav.
    reference_dir: score each output against the clean file of the same name there, as
        ``nimbusdale batch --reference-dir`` does.
    max_lag_ms, format ("float" or "pcm16"), retry_failed: as the batch options of the same
        names.
    threads: OpenMP threads of each file. A worker with N threads runs N files at once, so choose
        N x threads no larger than the host's processors.
    **options: the options of nimbusdale.enhance (integrator, length, hop, lambda_, ...).

    Returns the manifest records of this run's files as dicts: "done" for files enhanced now,
    "skipped" for outputs already up to date, "failed" with "error" for the others. Raises
    before any work for refused options or folders, and RuntimeError while another run holds
    OUT_DIR. If this call is interrupted, the files not yet done are cancelled; the next call
    resumes.
    """
    import nimbusdale
    from distributed import as_completed

    out_dir = os.fspath(out_dir)
    if isinstance(inputs, (str, os.PathLike)):
        folder = os.fspath(inputs)
        if not os.path.isdir(folder):
            raise ValueError(f"inputs {folder} is not a folder; give a folder or a list of files")
        if in_dir is None:
            in_dir = folder
        paths = nimbusdale._find_audio_files(folder, out_dir)
    else:
        paths = [os.fspath(p) for p in inputs]
    options = dict(options, threads=threads)
    settings = nimbusdale._enhance_options(**options)
    with nimbusdale._Batch(paths, out_dir, "" if in_dir is None else os.fspath(in_dir),
                           "" if reference_dir is None else os.fspath(reference_dir),
                           float(max_lag_ms), format, bool(retry_failed), settings) as run:
        records = [json.loads(line) for line in run.settled()]
        tasks = run.tasks()
        if not tasks:
            return records
        futures = client.map(_run_task, tasks, options=options, pure=False)
        task_of = {future.key: task for future, task in zip(futures, tasks)}
        try:
            for future in as_completed(futures):
                try:
                    line = future.result()
                except Exception as error:  # the worker died, or could not run the task
                    line = run.failed_record(task_of[future.key],
                                             f"{type(error).__name__}: {error}")
                run.append(line)
                records.append(json.loads(line))
        finally:
            pending = [future for future in futures if not future.done()]
            if pending:
                client.cancel(pending)
    return records
