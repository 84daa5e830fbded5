"""The pace of a run (factsift.limits), on a clock of the test's own."""

import threading

import pytest

from factsift import limits
from factsift.clients import _refusals


class Clock:
    def __init__(self):
        self.now = 100.0

    def __call__(self):
        return self.now


@pytest.fixture
def clock():
    return Clock()


def pace(clock, jobs=8, opened=False, **options):
    made = limits.Pace(limits.local_state(), jobs, clock=clock, **options)
    made._sleep = lambda seconds: setattr(clock, "now", clock.now + seconds)  # waiting moves the clock
    if opened:  # as once replies have opened the window
        made._state[limits._WINDOW] = jobs
    return made


def admit(p, tokens=10, held=0.0):
    return p.admit(lambda: tokens, held)


def budget(unit, limit, remaining):
    """A reply's headers for a budget of `limit` a minute with `remaining` left (it fills evenly)."""
    return {f"x-ratelimit-limit-{unit}": str(limit), f"x-ratelimit-remaining-{unit}": str(remaining),
            f"x-ratelimit-reset-{unit}": f"{(limit - remaining) * 60 / limit}s"}


HEADERS = {"x-ratelimit-limit-requests": "60", "x-ratelimit-remaining-requests": "1",
           "x-ratelimit-reset-requests": "59s"}


@pytest.mark.parametrize("text, seconds", [
    ("1s", 1.0), ("6m0s", 360.0), ("20ms", 0.02), ("1.5s", 1.5), ("17", 17.0), ("1h2m3s", 3723.0),
    ("", None), ("soon", None), ("-3", None), ("nan", None), ("inf", None), ("1x", None), ("s", None)])
def test_reset_values_are_read_as_openai_words_them(text, seconds):
    assert limits.reset_seconds(text) == seconds


def test_a_refusal_holds_every_request_for_its_wait_and_sends_it_again(clock):
    p = pace(clock, opened=True)
    ticket, _ = admit(p)
    others = [admit(p)[0] for _ in range(3)]
    assert p.answered(ticket, 503, {}, refused=True, wait=5.0) is True  # a 429 would teach a pace too
    start = clock.now
    _, held = admit(p)
    assert clock.now - start == pytest.approx(5.0) and held == pytest.approx(5.0)
    assert p.held().refusals == 1 and p.held().seconds == pytest.approx(5.0)
    assert others  # still in flight: the hold did not wait for them


@pytest.mark.parametrize("wait, max_wait, resent", [(5.0, 4.0, False), (5.0, 5.0, True), (0.0, 0.0, True)])
def test_a_wait_longer_than_max_wait_is_not_made(clock, wait, max_wait, resent):
    p = pace(clock, max_wait=max_wait)
    ticket, _ = admit(p)
    assert p.answered(ticket, 429, {}, refused=True, wait=wait) is resent


def test_an_input_held_past_max_wait_gets_no_ticket(clock):
    p = pace(clock, max_wait=3.0)
    for _ in range(3):
        ticket, held = admit(p, held=0.0 if _ == 0 else held)
        assert ticket is not None
        p.answered(ticket, 429, {}, refused=True, wait=1.4)
    ticket, held = admit(p, held=held)
    assert ticket is None and held <= 3.0 + 1e-9


def test_a_refusal_naming_no_wait_backs_off_doubling_to_a_minute_and_back_after_a_reply(clock):
    p = pace(clock)
    holds = []
    for _ in range(8):
        ticket, _ = admit(p)
        p.answered(ticket, 429, {}, refused=True)
        holds.append(p.held().left)
        clock.now += holds[-1]
    assert holds == pytest.approx([1, 2, 4, 8, 16, 32, 60, 60])
    clock.now += 1000  # past any pace the refusals taught
    p.answered(admit(p)[0], 200, {})
    p.answered(admit(p)[0], 429, {}, refused=True)
    assert p.held().left == pytest.approx(1.0)


def test_a_used_up_budget_named_in_the_headers_holds_until_its_reset(clock):
    p = pace(clock)
    ticket, _ = admit(p)
    headers = {"x-ratelimit-remaining-tokens": "0", "x-ratelimit-reset-tokens": "7s"}
    p.answered(ticket, 429, headers, refused=True, unit=limits.TOKENS)
    start = clock.now
    admit(p)
    assert clock.now - start == pytest.approx(7.0) and p.held().why is None


def test_the_window_halves_once_for_a_burst_of_refusals_and_grows_back_one_per_window(clock):
    p = pace(clock, jobs=8, opened=True)
    tickets = [admit(p)[0] for _ in range(8)]
    for ticket in tickets:
        p.answered(ticket, 429, {}, refused=True, wait=0.0)
    state = p._state
    assert state[limits._WINDOW] == 4  # one halving for the requests of one generation
    for _ in range(8):
        p.answered(admit(p)[0], 200, {})
    assert 5 < state[limits._WINDOW] < 6.5  # about one per four replies
    for _ in range(200):
        p.answered(admit(p)[0], 200, {})
    assert state[limits._WINDOW] == 8  # never above the jobs


@pytest.mark.parametrize("headers", [{}, HEADERS])
def test_the_window_starts_small_and_grows_by_one_with_each_reply(clock, headers):
    p = pace(clock, jobs=8)
    assert p._state[limits._WINDOW] == limits.INITIAL_WINDOW
    grown = []
    for _ in range(5):
        p.answered(admit(p)[0], 200, dict(headers, **{"x-ratelimit-remaining-requests": "60"}) if headers else {})
        grown.append(p._state[limits._WINDOW])
    assert grown == [5, 6, 7, 8, 8]


def test_what_others_use_of_the_budget_is_left_to_them(clock):
    p = pace(clock, jobs=64, opened=True)
    def reply(remaining):  # a budget of 600 a minute (ten a second), far from full
        ticket, _ = admit(p)
        p.answered(ticket, 200, budget("requests", 600, remaining))
    reply(300)
    clock.now += 10  # 100 refilled; this run sent one more, others 59 (and 40 were left)
    reply(340)
    rate = 10 - 5.9  # others first seen are taken as seen
    assert p._state[limits._SERVICE + 1] == pytest.approx(rate)
    assert p._state[limits._SERVICE] == pytest.approx(340 * rate / 10)  # of what is left, its part


def test_a_run_that_uses_more_than_the_others_leaves_them_a_part_of_it(clock):
    p = pace(clock, jobs=128, opened=True)

    def reply(remaining, before=0):  # a budget of 600 a minute (ten a second)
        p._state[limits._RTT] = 0.0
        for _ in range(before):
            admit(p)
        ticket, _ = admit(p)
        p.answered(ticket, 200, budget("requests", 600, remaining))
    reply(300)
    for remaining in (329, 358):  # ten seconds on each: 100 refilled, this run took 51, others 20
        clock.now += 10
        reply(remaining, before=50)
    # first as they were seen, then halfway to that and a part of what this run took beyond them
    assert p._state[limits._SERVICE + 7] == pytest.approx((2.0 + 2.0 + 0.25 * (5.1 - 2.0)) / 2)


def test_what_others_use_is_reckoned_from_what_this_runs_replies_used(clock):
    p = pace(clock, jobs=64, opened=True)

    def reply(remaining, used=100):  # a budget of 60,000 tokens a minute (1000 a second)
        ticket, _ = admit(p, tokens=100)
        p.answered(ticket, 200, budget("tokens", 60000, remaining))
        p.used(ticket, used)
    reply(30000)
    clock.now += 1
    reply(30000 + 1000 - 300 - 500, used=300)  # three times what it was estimated; others took 500
    clock.now += 9
    reply(30200 + 9000 - 4500 - 100)  # others took 500 a second all along
    assert p._state[limits._SERVICE + limits._PER_SERVICE + 7] == pytest.approx(500)


@pytest.mark.parametrize("unit, refill", [("requests", 5.0), ("tokens", 0.0)])
def test_what_others_take_while_a_reply_comes_back_is_not_counted_as_left(clock, unit, refill):
    # Two shards that start together: the budget (600 a minute, ten a second) fell by 55 in half a
    # second, 5 of them this run's, so others take 100 a second and this run 10.
    p = pace(clock, jobs=64, opened=True)
    level = limits._SERVICE + limits._PER_SERVICE * limits.UNITS.index(unit)

    def reply(remaining, before=0):
        p._state[limits._RTT] = 0.0  # sent at once, not spread over a reply's time
        for _ in range(before):  # sent before the one answered, still on their way
            p.admit(lambda: 1.0)
        ticket, _ = p.admit(lambda: 1.0)
        clock.now += 0.5  # the reply's time: the others go on meanwhile
        p.answered(ticket, 200, budget(unit, 600, remaining))
    reply(500)
    reply(450, before=4)
    taken = 0.5 * 0.75 * 100  # the reply's age at what others were seen to take
    assert p._state[level] == pytest.approx(450 * 10 / 110 + refill - taken)  # its part of what was left
    assert p._state[level + 7] == 0.0  # too soon for the rate others keep to


def test_a_slow_reply_after_a_burst_takes_off_no_more_than_was_left(clock):
    p = pace(clock, jobs=64, opened=True)

    def reply(remaining, took):
        ticket, _ = p.admit(lambda: 1.0)
        clock.now += took
        p.answered(ticket, 200, budget("requests", 600, remaining))
    reply(500, 0.5)
    reply(450, 0.5)  # others take some eighty a second
    reply(400, 60.0)  # a minute of that would be thousands: more than the budget ever held
    start = clock.now
    p.admit(lambda: 1.0)
    assert clock.now - start < 1.0


def test_requests_beyond_the_window_wait_for_a_reply(clock):
    p = pace(clock, jobs=2)
    first, _ = admit(p)
    p.answered(first, 429, {}, refused=True, wait=0.0)  # window 1
    one, _ = admit(p)
    admitted = []
    thread = threading.Thread(target=lambda: admitted.append(admit(p)))
    p._sleep = lambda seconds: threading.Event().wait(0.01)
    thread.start()
    thread.join(0.2)
    assert not admitted
    p.answered(one, 200, {})
    thread.join(5)
    assert admitted


def test_what_replies_free_together_goes_out_spread_over_half_a_reply_time(clock):
    p = pace(clock, jobs=4)
    first = [admit(p)[0] for _ in range(4)]
    assert clock.now == 100.0  # no reply yet: nothing to spread by
    clock.now += 0.5
    for ticket in first:
        p.answered(ticket, 200, {})
    p.answered(admit(p)[0], 429, {}, refused=True, wait=0.0)  # a refusal's quick reply is not a reply's time
    sent = []
    for _ in range(2):  # the window is now 2
        admit(p)
        sent.append(clock.now)
    assert sent[1] - sent[0] == pytest.approx(0.5 / (2 * 2))


def test_the_headers_budget_keeps_requests_back_until_it_covers_them(clock):
    p = pace(clock)
    ticket, _ = admit(p)
    p.answered(ticket, 200, HEADERS)  # one left, one a second
    start = clock.now
    admit(p)
    assert clock.now == start
    admit(p)  # none left: a second for the next
    assert clock.now - start == pytest.approx(1.0)


def test_the_headers_tell_the_budget_as_of_the_request_they_answer(clock):
    p = pace(clock)
    ticket, _ = admit(p)
    clock.now += 0.5  # the reply took half a second: half a request has refilled since
    p.answered(ticket, 200, HEADERS)  # one left, one a second
    start = clock.now
    admit(p)
    admit(p)
    assert clock.now - start == pytest.approx(0.5)


def test_what_is_in_flight_is_taken_off_what_the_headers_say_is_left(clock):
    p = pace(clock)
    tickets = [admit(p)[0] for _ in range(3)]
    p.answered(tickets[0], 200, {**HEADERS, "x-ratelimit-remaining-requests": "2"})  # two in flight
    start = clock.now
    admit(p)
    assert clock.now - start == pytest.approx(1.0, rel=0.05)  # about a second a request


@pytest.mark.parametrize("headers", [
    {"x-ratelimit-limit-requests": "10", "x-ratelimit-remaining-requests": "50", "x-ratelimit-reset-requests": "1s"},
    {"x-ratelimit-limit-requests": "ten", "x-ratelimit-remaining-requests": "1"},
    {"x-ratelimit-limit-requests": "nan", "x-ratelimit-remaining-requests": "-1"},
    {"x-ratelimit-limit-requests": "0", "x-ratelimit-remaining-requests": "0", "x-ratelimit-reset-requests": "1e300"},
], ids=["contradicting", "not a number", "nan and negative", "limit 0, absurd reset"])
def test_headers_that_make_no_sense_pace_nothing_and_hold_at_most_a_minute(clock, headers):
    p = pace(clock)
    ticket, _ = admit(p)
    p.answered(ticket, 200, headers)
    start = clock.now
    for _ in range(5):
        admit(p)
    assert clock.now - start <= limits.MINUTE


def test_the_users_ceilings_are_budgets_of_a_minute_that_start_full(clock):
    p = pace(clock, opened=True, rpm=6, tpm=100)
    start = clock.now
    for _ in range(6):
        admit(p, tokens=10)
    assert clock.now == start  # full budgets
    admit(p, tokens=10)
    assert clock.now - start == pytest.approx(10.0)  # 6 a minute: one more after ten seconds
    ticket, _ = admit(p, tokens=40)  # 30 tokens left by then (of 100, refilled since)
    assert clock.now - start > 10.0


def test_a_reply_that_used_fewer_tokens_gives_the_rest_back(clock):
    p = pace(clock, tpm=100)
    ticket, _ = admit(p, tokens=90)
    p.used(ticket, 10)
    start = clock.now
    admit(p, tokens=90)
    assert clock.now == start


def test_without_headers_the_pace_is_learned_from_the_refusals(clock):
    p = pace(clock, jobs=64)
    for _ in range(20):
        p.answered(admit(p)[0], 200, {})
    ticket, *burst = [admit(p)[0] for _ in range(4)]
    clock.now += 0.01
    p.answered(ticket, 429, {}, refused=True, wait=0.5, unit=limits.REQUESTS)  # 2 a second at most
    for other in burst:  # refused too, but sent before the pace was learned: they do not add to it
        p.answered(other, 429, {}, refused=True, wait=0.5, unit=limits.REQUESTS)
    state = p._state
    rate = state[limits._LEARNED + 2]
    assert rate == pytest.approx(limits.MARGIN * 2.0)
    start = clock.now
    for _ in range(10):
        p.answered(admit(p)[0], 200, {})
    assert clock.now - start == pytest.approx(0.5 + 9 / rate, rel=0.05)  # the hold, then the pace


def test_the_pace_between_two_refusals_counts_what_their_waits_say_was_left(clock):
    p = pace(clock, jobs=64)
    start = clock.now
    p.answered(admit(p)[0], 429, {}, refused=True, wait=0.05, unit=limits.REQUESTS)  # 0.9 of one left
    for _ in range(4):
        p.answered(admit(p)[0], 200, {})
    assert clock.now < start + 1.8
    clock.now = start + 1.8  # 2 a second refilled 3.6, and 4 went: 0.5 left, a quarter second short
    p.answered(admit(p)[0], 429, {}, refused=True, wait=0.25, unit=limits.REQUESTS)
    assert p._state[limits._LEARNED + 2] == pytest.approx(limits.MARGIN * 2.0)


@pytest.mark.parametrize("status, headers, body, expected", [
    (429, {"retry-after-ms": "626"}, b'{"error": {"message": "Rate limit reached for gpt in organization o on '
     b'tokens per min (TPM): Limit 30000"}}', (0.626, 1, False)),
    (429, {"retry-after": "2"}, b'{"error": {"message": "Rate limit reached on requests per min (RPM)"}}',
     (2.0, 0, False)),
    (429, {"x-should-retry": "false"}, b'{"error": {"message": "no"}}', (None, None, True)),
    (429, {}, b'{"error": {"message": "Request too large for tokens per min (TPM)"}}', (None, 1, True)),
    (429, {}, b'{"error": {"message": "quota", "code": "insufficient_quota"}}', (None, None, True)),
    (429, {"retry-after": "-5", "x-ratelimit-remaining-tokens": "0"}, b"not json", (None, 1, False)),
    (429, {"retry-after": "nan"}, b'{"error": []}', (None, None, False)),
    (503, {"retry-after": "3"}, b"", (3.0, None, False)),
    (503, {}, b"", None),
    (500, {"retry-after": "3"}, b"", None),
])
def test_what_a_refusal_says(status, headers, body, expected):
    found = _refusals.refusal(status, headers, body)
    assert (found and (found.wait, found.unit, found.final)) == expected


def test_a_refusals_wait_as_a_date_is_read_from_now():
    import email.utils
    import time

    date = email.utils.formatdate(time.time() + 30, usegmt=True)
    assert 25 < _refusals.retry_after({"retry-after": date}) <= 31
    assert _refusals.retry_after({"retry-after": "Thu, 01 Jan 1970 00:00:00 GMT"}) == 0.0


def test_the_state_is_shared_by_worker_processes():
    import multiprocessing

    start = multiprocessing.get_context("spawn")
    state = limits.shared_state(start)
    p = limits.Pace(state, 4)
    ticket, _ = p.admit(lambda: 1)
    p.answered(ticket, 429, {}, refused=True, wait=30.0)
    other = limits.Pace(state, 4)  # what another process makes of the same state
    assert other.held().why == "the service" and 29 < other.held().left <= 30
