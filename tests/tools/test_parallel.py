"""ordered_map: results in input order whatever finishes first, errors in
their turn, nothing new started after a failure."""
import threading

import pytest

from quorvane_tools.parallel import default_jobs, ordered_map


def test_results_keep_input_order_when_later_items_finish_first():
    first_may_finish = threading.Event()
    finished = []

    def work(item):
        if item == 0:
            assert first_may_finish.wait(timeout=30)
        else:
            finished.append(item)
            if len(finished) == 3:
                first_may_finish.set()
        return item * 10

    assert list(ordered_map(work, [0, 1, 2, 3], jobs=4)) == [0, 10, 20, 30]
    assert sorted(finished) == [1, 2, 3]


@pytest.mark.parametrize("jobs", [1, 3])
def test_an_error_comes_in_its_turn(jobs):
    def work(item):
        if item == 2:
            raise ValueError("item 2 is bad")
        return item

    results = ordered_map(work, [0, 1, 2, 3], jobs=jobs)
    assert [next(results), next(results)] == [0, 1]
    with pytest.raises(ValueError, match="item 2 is bad"):
        next(results)


def test_one_job_runs_in_the_calling_thread():
    caller = threading.get_ident()
    assert set(ordered_map(lambda _: threading.get_ident(), range(5), jobs=1)) == {caller}


def test_items_not_started_are_cancelled_after_a_failure():
    started = []
    second_started = threading.Event()
    gate = threading.Event()

    def work(item):
        started.append(item)
        if item == 0:
            assert second_started.wait(timeout=30)
            raise RuntimeError("stop")
        second_started.set()
        assert gate.wait(timeout=30)
        return item

    results = ordered_map(work, list(range(50)), jobs=2)
    with pytest.raises(RuntimeError, match="stop"):
        next(results)
    gate.set()
    # Two workers: item 0, item 1 and at most the item the freed worker took
    # before the failure was seen.
    assert set(started) <= {0, 1, 2} and {0, 1} <= set(started)


def test_default_jobs_is_a_positive_core_count():
    assert 1 <= default_jobs() <= 4096
