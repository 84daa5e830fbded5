"""factsift.clients: one client per (base_url, api_key) behind factsift.factsift.OpenAI."""

import itertools
import os
import gc
import threading
import time
from types import SimpleNamespace as NS

import pytest

import devserver_fixtures  # noqa: F401
import factsift.factsift as module
from factsift import clients


@pytest.fixture
def fake(monkeypatch):
    """A counting client class as the module's OpenAI; monkeypatch puts the original back."""
    log = NS(built=[], requests=[], fail_builds=0)

    class Counting:
        def __init__(self, **kwargs):
            time.sleep(0.01)  # lets a second thread arrive while the first is still building
            if log.fail_builds:
                log.fail_builds -= 1
                raise ConnectionError("no route")
            log.built.append(kwargs)
            self.settings = kwargs
            self.chat = NS(completions=NS(create=self.create))

        def create(self, **kwargs):
            log.requests.append((self, kwargs))
            reply = f"{self.settings['base_url']}|{self.settings['api_key']}|{kwargs['model']}"
            return NS(choices=[NS(message=NS(content=reply))])

    monkeypatch.setattr(module, "OpenAI", Counting)
    log.cls = Counting
    return log


PAIRS = [("http://a.test/v1", "key-1"), ("http://a.test/v1", "key-2"), ("http://b.test/v1", "key-1")]


@pytest.mark.parametrize("pairs, threads", [(PAIRS[:1], 8), (PAIRS, 8), (PAIRS, 3)])
def test_one_client_per_pair_across_calls_and_threads(fake, pairs, threads):
    clients.share_clients()
    summaries = [module.AISummary(url, key, "m") for url, key in pairs]
    start, results = threading.Barrier(threads), []

    def run():
        start.wait()
        results.extend((s, s.extract("正文。")) for _ in range(5) for s in summaries)

    workers = [threading.Thread(target=run) for _ in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    assert sorted((kw["base_url"], kw["api_key"]) for kw in fake.built) == sorted(pairs)
    assert len(results) == threads * 5 * len(pairs)
    assert all(r["summary"] == f"{s.base_url}|{s.api_key}|m" for s, r in results)


@pytest.mark.parametrize("attribute, value, builds", [
    ("base_url", "http://other.test/v1", 2), ("api_key", "key-9", 2), ("model_id", "other", 1)])
def test_settings_changed_on_an_instance_still_apply(fake, attribute, value, builds):
    clients.share_clients()
    s = module.AISummary("http://a.test/v1", "key-1", "m")
    s.extract("一")
    first_client = fake.requests[-1][0]
    setattr(s, attribute, value)
    s.refined_title("二")
    client, request = fake.requests[-1]
    assert client.settings == {"base_url": s.base_url, "api_key": s.api_key}
    assert request["model"] == s.model_id
    setattr(s, attribute, {"base_url": "http://a.test/v1", "api_key": "key-1", "model_id": "m"}[attribute])
    s.extract("三")
    assert fake.requests[-1][0] is first_client and len(fake.built) == builds


@pytest.mark.parametrize("first, second", [
    ((["http://a.test/v1"], "k"), (["http://a.test/v1"], "k")),  # unhashable: a client per call
    (("http://a.test/v1", {"key": 1}), ("http://a.test/v1", {"key": 1})),
    ((1, "k"), (True, "k")),  # equal and same hash, yet different settings
    (("http://a.test/v1", 1), ("http://a.test/v1", 1.0)),
])
def test_settings_that_must_not_share_a_client(fake, first, second):
    clients.share_clients()
    records = [module.AISummary(*pair).extract("正文") for pair in (first, second)]
    assert [r["status"] for r in records] == ["ok", "ok"]
    assert [(kw["base_url"], kw["api_key"]) for kw in fake.built] == [first, second]
    assert [type(kw["base_url"]) for kw in fake.built] == [type(first[0]), type(second[0])]
    assert [type(kw["api_key"]) for kw in fake.built] == [type(first[1]), type(second[1])]


def test_a_failed_build_is_not_kept(fake):
    clients.share_clients()
    fake.fail_builds = 1
    s = module.AISummary("http://a.test/v1", "key-1", "m")
    assert [s.extract("x")["status"] for _ in range(3)] == ["error", "ok", "ok"]
    assert len(fake.built) == 1


@pytest.mark.parametrize("kwargs", [{"base_url": "u", "api_key": "k", "timeout": 5}, {"api_key": "k"}])
def test_other_arguments_get_a_client_of_their_own(fake, kwargs):
    factory = clients.share_clients()
    assert factory(**kwargs) is not factory(**kwargs)
    assert fake.built == [kwargs, kwargs]


@pytest.mark.parametrize("times", [1, 2, 3])
def test_sharing_again_does_not_wrap_and_one_unshare_restores(fake, times):
    factories = [clients.share_clients() for _ in range(times)]
    assert all(f is module.OpenAI for f in factories) and module.OpenAI.original is fake.cls
    s = module.AISummary("u", "k")
    s.extract("x")
    s.extract("y")
    assert len(fake.built) == 1
    assert clients.unshare_clients() is fake.cls and module.OpenAI is fake.cls
    s.extract("z")
    assert len(fake.built) == 2
    assert clients.unshare_clients() is None and module.OpenAI is fake.cls


@pytest.mark.parametrize("outer", [False, True])
def test_context_manager_undoes_only_what_it_did(fake, outer):
    outer_factory = clients.share_clients() if outer else None
    with pytest.raises(RuntimeError):
        with clients.shared_clients() as factory:
            assert module.OpenAI is factory and factory.original is fake.cls
            raise RuntimeError("inside")
    assert module.OpenAI is (outer_factory or fake.cls)


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded")  # earlier tests' servers
def test_forked_child_builds_its_own_clients(fake):
    factory = clients.share_clients()
    parent_client = factory(base_url="u", api_key="k")
    pid = os.fork()
    if pid == 0:
        try:
            os._exit(int(factory.count() != 0 or factory(base_url="u", api_key="k") is parent_client))
        finally:
            os._exit(2)
    assert os.waitpid(pid, 0)[1] == 0
    assert factory(base_url="u", api_key="k") is parent_client


@pytest.mark.parametrize("replaced_inside", [False, True])
def test_client_options_reach_shared_clients_and_leave_a_later_replacement(fake, replaced_inside):
    other = object()
    with clients.client_options(max_retries=5, timeout=3), clients.shared_clients():
        s = module.AISummary("u", "k")
        assert [s.extract("x")["status"], s.extract("y")["status"]] == ["ok", "ok"]
        if replaced_inside:
            module.OpenAI = other
    assert fake.built == [{"base_url": "u", "api_key": "k", "max_retries": 5, "timeout": 3}]
    assert module.OpenAI is (other if replaced_inside else fake.cls)


# -- runs and the module global ------------------------------------------------------------------

RUN_OPTIONS = {"max_retries", "http_client"}  # what a run's clients are built with beside the pair


def _run(texts=("一", "二", "三"), **options):
    from factsift import batch

    return batch.run(module.AISummary("u", "k", "m").extract, list(texts), jobs=2, **options)


def _plain_call_is_the_users(fake):
    built = len(fake.built)
    assert module.AISummary("u", "k", "m").extract("正文")["status"] == "ok"
    return fake.built[built:] == [{"base_url": "u", "api_key": "k"}]


@pytest.mark.parametrize("order", list(itertools.permutations(range(3))))
def test_overlapping_runs_closed_in_any_order_leave_the_users_openai(fake, order):
    runs = [_run(retries=n) for n in range(3)]
    assert module.OpenAI is fake.cls  # nothing is installed before a run is iterated
    firsts = [next(run) for run in runs]
    assert [r["status"] for r in firsts] == ["ok"] * 3
    assert _plain_call_is_the_users(fake)  # in the middle of the runs too
    for n in order:
        runs[n].close()
        assert _plain_call_is_the_users(fake)
    assert module.OpenAI is fake.cls
    retries = sorted(kwargs["max_retries"] for kwargs in fake.built if RUN_OPTIONS <= kwargs.keys())
    assert retries == [0, 1, 2]  # each run's clients were built with its own options


def test_a_run_left_at_a_break_leaves_plain_calls_and_new_runs_alone(fake):
    gc.disable()  # closed when its last reference goes, not by a later collection
    try:
        for record in _run(retries=7):
            break
        assert module.OpenAI is fake.cls
    finally:
        gc.enable()
    assert _plain_call_is_the_users(fake)
    records = list(_run(retries=1))
    assert [r["status"] for r in records] == ["ok"] * 3
    assert {kwargs["max_retries"] for kwargs in fake.built if "max_retries" in kwargs} == {7, 1}


@pytest.mark.parametrize("change", ["share", "unshare", "set by hand"])
def test_what_the_user_changes_during_a_run_is_what_they_get_after_it(fake, change):
    own = type("Own", (fake.cls,), {})
    if change == "unshare":
        clients.share_clients()
    run = _run()
    next(run)
    if change == "share":
        factory = clients.share_clients()
    elif change == "unshare":
        assert clients.unshare_clients() is fake.cls
    else:
        module.OpenAI = own
    assert [r["status"] for r in run] == ["ok"] * 2
    run.close()
    expected = {"share": factory if change == "share" else None, "unshare": fake.cls, "set by hand": own}[change]
    assert module.OpenAI is expected
    assert _plain_call_is_the_users(fake)


def test_a_run_nested_in_a_job_of_another_gets_its_own_clients(fake):
    from factsift import batch

    inner_retries = []

    class Nesting:
        def extract(self, text, prompt, length):
            records = list(batch.run(module.AISummary("u", "k", "m").extract, [text], retries=5))
            inner_retries.append(fake.built[-1].get("max_retries"))
            return records[0]

    outer = list(batch.run(Nesting(), ["一", "二"], method="extract", jobs=2, retries=1))
    assert [r["status"] for r in outer] == ["ok", "ok"] and inner_retries == [5, 5]
    assert module.OpenAI is fake.cls
