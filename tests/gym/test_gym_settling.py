"""Work of many pages awaited together: every result in its place, the waiting ones side by side,
nothing left running when the caller is cancelled."""

from __future__ import annotations

import asyncio

import pytest

from py_engine_rust_gym._runtime import gather_settled


async def returns(value):
    return value


async def raises(exc):
    raise exc


async def waits_then(future, then=None):
    value = await future
    if then is not None:
        raise then
    return value


@pytest.mark.parametrize("waiting", [False, True], ids=["answers in", "answers pending"])
async def test_every_result_and_failure_comes_back_in_place(waiting):
    loop = asyncio.get_running_loop()
    answers = [loop.create_future() for _ in range(3)]
    if not waiting:
        for k, answer in enumerate(answers):
            answer.set_result(k * 10)
    else:
        for k, answer in enumerate(answers):
            loop.call_later(0.01 * (3 - k), answer.set_result, k * 10)
    plain = loop.create_future()
    plain.set_result("plain")
    boom, bad = RuntimeError("boom"), KeyError("bad")
    results = await gather_settled([returns(1), raises(boom), waits_then(answers[0]), plain,
                                    waits_then(answers[1], then=bad), waits_then(answers[2])])
    assert results[:2] == [1, boom] and results[2:4] == [0, "plain"]
    assert results[4] is bad and results[5] == 20
    assert await gather_settled([]) == []


async def test_the_ones_that_wait_wait_side_by_side_and_the_others_run_at_once():
    loop = asyncio.get_running_loop()
    caller = asyncio.current_task()
    events = []
    release = loop.create_future()

    async def quick(name):
        events.append((name, asyncio.current_task() is caller))
        return name

    async def slow(name):
        events.append(("start " + name, None))
        await release
        await asyncio.sleep(0)
        events.append(("end " + name, None))
        return name

    loop.call_later(0.01, release.set_result, None)
    assert await gather_settled([slow("a"), quick("b"), slow("c")]) == ["a", "b", "c"]
    # Both slow ones began before either ended; the quick one ran in the caller's own task.
    assert events[:3] == [("start a", None), ("b", True), ("start c", None)]
    assert sorted(events[3:]) == [("end a", None), ("end c", None)]


async def test_cancelling_the_caller_cancels_what_still_waits_and_leaves_nothing_running():
    loop = asyncio.get_running_loop()
    never = loop.create_future()
    seen = []

    async def hangs():
        try:
            await never
        except asyncio.CancelledError:
            seen.append("cancelled")
            raise

    before = asyncio.all_tasks()
    task = asyncio.ensure_future(gather_settled([returns(1), hangs(), hangs()]))
    await asyncio.sleep(0.01)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    await asyncio.sleep(0)
    assert seen == ["cancelled", "cancelled"]
    assert asyncio.all_tasks() - before == set()
