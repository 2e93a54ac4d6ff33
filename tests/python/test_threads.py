"""Calls from several threads give the bytes and samples of one thread."""
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
from quorvane import QuorvCompressionOptions as Opts
from quorvane import compress_signal, decompress_signal

from conftest import smooth_signal

JOBS = [
    (smooth_signal(length, seed=length), Opts(method=method, coder=coder, scale=scale))
    for length in (7, 300, 4099)
    for method in ("cdf97", "cdf53")
    for coder in ("deflate", "arans")
    for scale in (6, 11)
]


def run(job):
    x, options = job
    stream = compress_signal(x, options)
    return stream, decompress_signal(stream).tobytes()


def test_threads_match_a_single_thread():
    expected = [run(job) for job in JOBS]
    with ThreadPoolExecutor(max_workers=4) as pool:
        for _ in range(3):
            assert list(pool.map(run, JOBS)) == expected


def test_first_use_of_numpy_from_many_threads():
    # The NumPy API table is loaded on first use; threads racing for it in a
    # fresh interpreter all succeed with the same results.
    from conftest import run_python

    result = run_python(
        """
        import threading, quorvane
        barrier = threading.Barrier(8)
        streams, errors = [], []
        def work():
            barrier.wait()
            try:
                import numpy as np
                streams.append(quorvane.compress_signal(np.linspace(0, 1, 200, dtype=np.float32)))
            except BaseException as error:
                errors.append(repr(error))
        threads = [threading.Thread(target=work) for _ in range(8)]
        for t in threads: t.start()
        for t in threads: t.join()
        print(len(streams), len(set(streams)), errors)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "8 1 []"


def test_other_threads_run_while_the_codec_works():
    # With a switch interval far longer than the test, the main thread keeps
    # the interpreter lock between the two counter reads unless a codec call
    # gives it up; so the spinning thread advances only inside the calls.
    x = smooth_signal(1_000_000, seed=5)
    stream = compress_signal(x)
    counter = [0]
    stop = threading.Event()

    def spin():
        while not stop.is_set():
            counter[0] += 1
            if counter[0] % 64 == 0:
                time.sleep(0.0001)  # hands the lock back when the call ends

    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    spinner = threading.Thread(target=spin)
    spinner.start()
    progress = {}
    try:
        for name, call in (
            ("compress", lambda: compress_signal(x)),
            ("decompress", lambda: decompress_signal(stream)),
        ):
            before = counter[0]
            call()
            progress[name] = counter[0] - before
    finally:
        stop.set()
        spinner.join()
        sys.setswitchinterval(old_interval)
    assert progress["compress"] > 0 and progress["decompress"] > 0, progress
