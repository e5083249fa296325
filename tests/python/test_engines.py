"""The recipes of docs/recipes, run on each engine with real model outputs cut
at random points, against a loop over carrack.complete: Polars through
map_batches, DuckDB's Arrow function from SQL, Dask across a two-process
cluster that loses a worker mid-run, and PySpark's mapInArrow on local[2].
The engines are test dependencies only (the "engines" extra); a test is
skipped, saying which, where its engine is not installed."""

import importlib.util
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time

import pytest

import carrack
from batch_support import cut_texts
from conftest import ROOT

RECIPES = ROOT / "docs" / "recipes"


def recipe(name):
    """A module of docs/recipes, imported from its file."""
    spec = importlib.util.spec_from_file_location(f"carrack_recipe_{name}", RECIPES / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def engine(name):
    return pytest.importorskip(name, reason=f"{name} is not installed (pip install carrack[engines])")


def outputs(seed, count=400):
    """Model outputs cut at random points, with nulls and rows that cannot be completed."""
    rng = random.Random(seed)
    texts = cut_texts(rng, count)
    for row in [None, None, "[1, 2]]", '{"a": 1} {"b"', "[NaN", ""]:
        texts.insert(rng.randint(0, len(texts)), row)
    return texts


def loop(texts):
    """What errors="null" gives: None for nulls and for rows complete refuses."""
    results = []
    for text in texts:
        try:
            results.append(None if text is None else carrack.complete(text))
        except (RuntimeError, ValueError):
            results.append(None)
    return results


def test_polars_map_batches():
    pl = engine("polars")
    texts = outputs(1)
    df = pl.DataFrame({"id": range(len(texts)), "output": texts}, schema={"id": pl.Int64, "output": pl.String})
    repaired = recipe("polars_column").repair(df, "output")
    assert repaired["output"].to_list() == loop(texts)
    assert repaired["id"].to_list() == list(range(len(texts)))
    # Lazily, in a query plan, over several chunks.
    chunked = pl.concat([df[:100], df[100:]], rechunk=False)
    lazy = recipe("polars_column").repair(chunked.lazy(), "output").collect()
    assert lazy["output"].to_list() == loop(texts)


def test_duckdb_arrow_function_from_sql():
    engine("duckdb")
    pa = engine("pyarrow")
    texts = outputs(2)
    con = recipe("duckdb_sql").connect()
    table = pa.table({"id": range(len(texts)), "output": pa.array(texts, pa.string())})
    con.register("outputs", table)
    rows = con.sql("SELECT complete_json(output) FROM outputs ORDER BY id").fetchall()
    assert [row[0] for row in rows] == loop(texts)
    # What comes back is JSON to DuckDB too.
    valid = con.sql("SELECT count(*) FROM outputs WHERE json_valid(complete_json(output))").fetchall()[0][0]
    assert valid == sum(r is not None for r in loop(texts))


@pytest.fixture(scope="module")
def dask_cluster():
    engine("dask.dataframe")
    distributed = engine("distributed")
    # The workers import the recipe by name, as a user's workers import their module.
    saved = os.environ.get("PYTHONPATH")
    os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [str(RECIPES), saved]))
    sys.path.insert(0, str(RECIPES))
    try:
        module = importlib.import_module("dask_column")
        with distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None, silence_logs=50
        ) as cluster, distributed.Client(cluster) as client:
            yield module, client
    finally:
        sys.path.remove(str(RECIPES))
        if saved is None:
            del os.environ["PYTHONPATH"]
        else:
            os.environ["PYTHONPATH"] = saved


def test_dask_across_two_worker_processes(dask_cluster):
    module, client = dask_cluster
    dd = engine("dask.dataframe")
    pd = engine("pandas")
    texts = outputs(3)
    frame = pd.DataFrame({"output": pd.Series(texts, dtype="str")})
    single = module.complete_partition(frame["output"])
    result = module.repair(dd.from_pandas(frame, npartitions=6), "output").compute()
    assert sorted(set(client.run(os.getpid).values())) != [os.getpid()]  # really other processes
    pd.testing.assert_series_equal(result["output"], single)
    assert [None if pd.isna(v) else v for v in single] == loop(texts)


def test_dask_retries_the_work_of_a_killed_worker(dask_cluster):
    module, client = dask_cluster
    dd = engine("dask.dataframe")
    pd = engine("pandas")
    texts = outputs(4, 800)
    frame = pd.DataFrame({"output": pd.Series(texts, dtype="str")})
    complete_partition = module.complete_partition

    def slow(partition):
        time.sleep(0.4)  # long enough to be killed in the middle of
        return complete_partition(partition)

    df = dd.from_pandas(frame, npartitions=12)
    future = client.compute(df["output"].map_partitions(slow, meta=df["output"]))
    deadline = time.monotonic() + 60
    while not all(client.processing().values()) and time.monotonic() < deadline:
        time.sleep(0.05)
    victim, processing = next(iter(client.processing().items()))
    assert processing, "no task was running to kill"
    pid = client.run(os.getpid, workers=[victim])[victim]
    os.kill(pid, signal.SIGKILL)
    result = future.result(timeout=120)
    pd.testing.assert_series_equal(result, complete_partition(frame["output"]))


def java_major():
    """The major version of the java on PATH (or JAVA_HOME's), or 0."""
    home = os.environ.get("JAVA_HOME")
    java = os.path.join(home, "bin", "java") if home else shutil.which("java")
    if not java or not os.path.exists(java):
        return 0
    version = subprocess.run([java, "-version"], capture_output=True, text=True, timeout=60).stderr
    found = re.search(r'version "(\d+)(?:\.(\d+))?', version)
    if not found:
        return 0
    major = int(found.group(1))
    return int(found.group(2) or 0) if major == 1 else major


@pytest.mark.filterwarnings("ignore::FutureWarning")  # PySpark's notice about the pandas version
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.filterwarnings("ignore::ResourceWarning")
def test_pyspark_map_in_arrow_on_local_2(monkeypatch, tmp_path):
    engine("pyspark")
    if java_major() < 17:
        pytest.skip("PySpark needs a Java 17 runtime or later, and none was found (set JAVA_HOME)")
    from pyspark.sql import SparkSession

    monkeypatch.setenv("PYSPARK_PYTHON", sys.executable)
    monkeypatch.chdir(tmp_path)  # Python workers start here: not in the source tree, which would shadow the package
    texts = outputs(5)
    spark = (
        SparkSession.builder.master("local[2]")
        .config("spark.ui.enabled", "false")
        .config("spark.sql.shuffle.partitions", "2")
        .getOrCreate()
    )
    try:
        df = spark.createDataFrame(list(enumerate(texts)), "id long, output string").repartition(2)
        assert df.rdd.getNumPartitions() == 2
        repaired = recipe("spark_column").repair(df, "output")
        rows = sorted(repaired.collect())
        assert [row.output for row in rows] == loop(texts)
    finally:
        spark.stop()


def test_the_readme_shows_the_tested_recipes():
    # Each README block headed "# docs/recipes/X.py" is cut verbatim from that file.
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    blocks = re.findall(r"^```python\n# (docs/recipes/\w+\.py)\n(.*?)^```", readme, re.MULTILINE | re.DOTALL)
    assert sorted(name for name, _ in blocks) == sorted(f"docs/recipes/{p.name}" for p in RECIPES.glob("*.py"))
    for name, block in blocks:
        assert block in (ROOT / name).read_text(encoding="utf-8"), name
