"""Polars: a column of truncated model outputs completed, then decoded.

The column goes to carrack as Arrow buffers and comes back as Arrow buffers,
through map_batches: no Python str is made for any row.
"""

import polars as pl

import carrack.arrow


def complete_json(texts: pl.Series) -> pl.Series:
    # A text that cannot be completed becomes null, as nulls stay null.
    return pl.Series(texts.name, carrack.arrow.complete(texts, errors="null"))


def repair(df: pl.DataFrame, column: str) -> pl.DataFrame:
    return df.with_columns(pl.col(column).map_batches(complete_json, return_dtype=pl.String))


if __name__ == "__main__":
    df = pl.DataFrame({"output": ['{"city": "Oslo", "temp": [3, 4', None, '{"city": "Rome"} and more', '{"city": "Li']})
    weather = pl.Struct({"city": pl.String, "temp": pl.List(pl.Int64)})
    print(repair(df, "output").with_columns(parsed=pl.col("output").str.json_decode(weather)))
