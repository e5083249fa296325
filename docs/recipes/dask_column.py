"""Dask: a column of truncated model outputs completed across a cluster, one
partition at a time. Each partition goes through Arrow, as in Polars."""

import dask.dataframe as dd
import pandas as pd

import carrack.arrow


def complete_partition(texts: pd.Series) -> pd.Series:
    completed = pd.Series.from_arrow(carrack.arrow.complete(texts, errors="null"))
    return completed.set_axis(texts.index).rename(texts.name)


def repair(df: dd.DataFrame, column: str) -> dd.DataFrame:
    return df.assign(**{column: df[column].map_partitions(complete_partition, meta=df[column])})


if __name__ == "__main__":
    from dask.distributed import Client, LocalCluster

    with LocalCluster(n_workers=2, threads_per_worker=1) as cluster, Client(cluster):
        outputs = pd.DataFrame({"output": ['{"city": "Oslo", "temp": [3, 4', None, '[1, 2] 3'] * 4})
        print(repair(dd.from_pandas(outputs, npartitions=4), "output").compute())
