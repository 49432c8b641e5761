"""The examples of the README, the site's pages and the type stub's docstring,
run as doctests against the installed module: each byte string they show is
what dumps returns. A reader copies one section at a time, so each recipe,
and the README's Usage, also runs alone, in a fresh namespace and folder."""

import ast
import contextlib
import doctest
import faulthandler
import os
import pathlib
import re
import signal

import pytest

import veldspray_cbor
from checked_build import UNDER_SANITIZER

ROOT = pathlib.Path(__file__).resolve().parent.parent
# The sanitized run leaves out the recipe that starts a Dask cluster:
# distributed keeps threads of its own running after the cluster closes, and
# the leak check at the end of that run stops and scans every thread, where it
# has crashed before with another library's thread alive (mk/checked.mk).
CLUSTER_RECIPE = "Across a Dask cluster"
LEFT_OUT = [CLUSTER_RECIPE] if UNDER_SANITIZER else []
# A run that starts a cluster, start and close included, fails past this;
# should its cluster then not close either, the session ends a minute later
# with every thread's stack, rather than hang.
CLUSTER_SECONDS = 180
# Each source with the least number of examples it holds, so that a source
# whose examples stop being found fails rather than passing empty.
SOURCES = {
    "README.md": 8,
    "docs/index.md": 2,
    "docs/recipes.md": 23 if UNDER_SANITIZER else 28,
    "module/veldspray_cbor-stubs/__init__.pyi": 3,
}
# A code fence would otherwise read as the last line of an example's output.
FENCE = re.compile(r"^\s*```.*$", re.MULTILINE)
# A plain code block runs whole, as a script: one example that prints nothing.
PLAIN_BLOCK = re.compile(r"^```python\n(.*?)^```$", re.MULTILINE | re.DOTALL)
DOCUMENTED = (ast.Module, ast.ClassDef, ast.FunctionDef)
RECIPES = re.findall(r"^## (.+)$", (ROOT / "docs/recipes.md").read_text(encoding="utf-8"), re.MULTILINE)


def section_pattern(title):
    """A page's section, from its heading to the next one."""
    return re.compile(rf"^## {re.escape(title)}\n.*?(?=^## |\Z)", re.MULTILINE | re.DOTALL)


def examples_text(path):
    text = path.read_text(encoding="utf-8")
    if path.suffix != ".pyi":
        for title in LEFT_OUT:
            text = section_pattern(title).sub("", text)
        return FENCE.sub("", PLAIN_BLOCK.sub(lambda block: f">>> exec({block[1]!r})", text))
    docstrings = (ast.get_docstring(node) for node in ast.walk(ast.parse(text)) if isinstance(node, DOCUMENTED))
    return "\n".join(docstring for docstring in docstrings if docstring)


def section(name, title):
    return section_pattern(title).search(examples_text(ROOT / name))[0]


@contextlib.contextmanager
def bounded_cluster_run(folder):
    """Bounds a run that starts Dask clusters in time; after it, every worker
    process that it started (each writes its pid into folder) must be gone."""
    import dask
    import distributed  # noqa: F401 (its defaults into dask's config, before the preload is set there)
    import psutil

    pids = folder / "worker-pids"
    record = f"import os\ndef dask_setup(worker):\n    open({str(pids)!r}, 'a').write(f'{{os.getpid()}} ')\n"

    def took_too_long(*_):
        raise TimeoutError(f"the run that starts a Dask cluster took more than {CLUSTER_SECONDS} s")

    previous = signal.signal(signal.SIGALRM, took_too_long)
    signal.alarm(CLUSTER_SECONDS)
    faulthandler.dump_traceback_later(CLUSTER_SECONDS + 60, exit=True)
    try:
        with dask.config.set({"distributed.worker.preload": [record]}):
            yield
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, previous)
        faulthandler.cancel_dump_traceback_later()
    started = [int(pid) for pid in pids.read_text().split()] if pids.exists() else []
    assert started, "no Dask worker started"
    assert not [pid for pid in started if psutil.pid_exists(pid)], f"workers {started} left running"


def run_examples(text, name, names, folder):
    """Runs the examples of text in the namespace names; returns how many ran."""
    test = doctest.DocTestParser().get_doctest(text, names, name, name, 0)
    report = []
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    with bounded_cluster_run(folder) if "LocalCluster(" in text else contextlib.nullcontext():
        failed, attempted = runner.run(test, out=report.append)
    assert failed == 0, "".join(report)
    return attempted


@pytest.mark.parametrize("name", SOURCES)
def test_examples(name, tmp_path, monkeypatch):
    """Every page twice in one folder: the recipes that write files must run
    again over what they wrote."""
    monkeypatch.chdir(tmp_path)
    for _ in range(2):
        # A docstring's examples run in its module's namespace; a page's
        # examples import what they use.
        names = dict(vars(veldspray_cbor)) if name.endswith(".pyi") else {}
        attempted = run_examples(examples_text(ROOT / name), name, names, tmp_path)
        assert attempted >= SOURCES[name], f"only {attempted} examples found in {name}"


@pytest.mark.parametrize(
    "name, title", [("docs/recipes.md", title) for title in RECIPES] + [("README.md", "Usage")], ids=str
)
def test_section_alone(name, title, tmp_path, monkeypatch):
    if title in LEFT_OUT:
        pytest.skip("left out of the sanitized run")
    monkeypatch.chdir(tmp_path)
    assert run_examples(section(name, title), f"{name}: {title}", {}, tmp_path) > 0


@pytest.mark.skipif(UNDER_SANITIZER, reason="left out of the sanitized run")
def test_cluster_recipe(tmp_path, monkeypatch):
    """The Dask recipe's functions on two worker processes: dumps reaches each
    worker as a reference, which the worker resolves to the function of the
    module it imported itself; the files hold each partition's records, in order."""
    import cloudpickle
    import dask
    import dask.bag
    from dask.distributed import Client, LocalCluster, wait

    monkeypatch.chdir(tmp_path)
    page = (ROOT / "docs/recipes.md").read_text(encoding="utf-8")
    recipe = {}
    for block in PLAIN_BLOCK.findall(section_pattern(CLUSTER_RECIPE).search(page)[0]):
        if "LocalCluster(" not in block:  # the definitions, without the recipe's own run
            exec(block, recipe)
    assert len(cloudpickle.dumps(veldspray_cbor.dumps)) < 40  # the two names, no code

    def received(encode):
        import veldspray_cbor

        return os.getpid(), encode is veldspray_cbor.dumps

    records = [{"id": n, "tags": ["a"] * (n % 3), "score": n / 8, "raw": bytes([n % 256])} for n in range(300)]
    dataset = dask.bag.from_sequence(records, npartitions=5)
    partitions = [list(partition) for partition in dask.compute(*dataset.to_delayed(), scheduler="sync")]
    with (
        bounded_cluster_run(tmp_path),
        LocalCluster(
            n_workers=2, processes=True, threads_per_worker=1, host="127.0.0.1", dashboard_address="127.0.0.1:0"
        ) as cluster,
        Client(cluster) as client,
    ):
        workers = client.scheduler_info()["workers"]
        probes = [client.submit(received, veldspray_cbor.dumps, workers=[worker], pure=False) for worker in workers]
        writes = client.compute(recipe["partition_writes"](dataset, "parts"))
        wait(probes + writes, timeout=60)
        probed, paths = client.gather(probes), client.gather(writes)
    assert len({pid for pid, _ in probed} - {os.getpid()}) == 2 and all(same for _, same in probed)
    assert [list(recipe["read_sequence"](path)) for path in paths] == partitions
    assert [record for partition in partitions for record in partition] == records
