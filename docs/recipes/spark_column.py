"""PySpark: a column of truncated model outputs completed in each executor,
batch by batch, through mapInArrow (Arrow in, Arrow out)."""

from collections.abc import Iterator

import pyarrow as pa
from pyspark.sql import DataFrame

import carrack.arrow


def repair(df: DataFrame, column: str) -> DataFrame:
    def complete_batches(batches: Iterator[pa.RecordBatch]) -> Iterator[pa.RecordBatch]:
        for batch in batches:
            i = batch.schema.get_field_index(column)
            completed = pa.array(carrack.arrow.complete(batch.column(i), errors="null"))
            yield batch.set_column(i, batch.schema.field(i), completed)

    return df.mapInArrow(complete_batches, df.schema)


if __name__ == "__main__":
    import os
    import sys

    from pyspark.sql import SparkSession

    os.environ.setdefault("PYSPARK_PYTHON", sys.executable)  # executors run this interpreter
    spark = SparkSession.builder.master("local[2]").getOrCreate()
    df = spark.createDataFrame([('{"city": "Oslo", "temp": [3, 4',), ("[1, 2] 3",)], "output string")
    print(repair(df, "output").collect())
    spark.stop()
