"""DuckDB: truncated model outputs completed from SQL, by a vectorised
Python function that takes and returns Arrow arrays."""

import duckdb
import pyarrow as pa

import carrack.arrow


def complete_json(texts: pa.ChunkedArray) -> pa.ChunkedArray:
    return pa.chunked_array(carrack.arrow.complete(texts, errors="null"))


def connect() -> duckdb.DuckDBPyConnection:
    con = duckdb.connect()
    # null_handling="special": rows that cannot be completed come back NULL.
    con.create_function(
        "complete_json", complete_json, [duckdb.sqltype("VARCHAR")], duckdb.sqltype("VARCHAR"),
        type="arrow", null_handling="special",
    )
    return con


if __name__ == "__main__":
    con = connect()
    con.sql("""CREATE TABLE outputs AS SELECT * FROM (VALUES ('{"city": "Oslo", "temp": [3, 4'), ('[1, 2] 3')) t(output)""")
    print(con.sql("SELECT complete_json(output)::JSON AS value FROM outputs").fetchall())
