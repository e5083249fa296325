

# --- carrack --lines ----------------------------------------------------------------


def run_lines(stdin, *args):
    import subprocess
    import sys

    from conftest import ROOT

    return subprocess.run(
        [sys.executable, "-m", "carrack", "--lines", *args], input=stdin, capture_output=True, cwd=ROOT.parent, timeout=120
    )


@pytest.mark.parametrize(
    ("stdin", "stdout", "rejected"),
    [
        (b"", b"", 0),
        (b'{"a": [1, tr\n[1]]\n"caf', b'{"a": [1, true]}\nnull\n"caf"\n', 1),  # no newline at the end
        (b'[1\r\n{"b": "\xc3\xa9\r\n', b'[1]\n{"b": "\xc3\xa9"}\n', 0),  # CRLF
        (b'"\xff\n\n[\n', b"null\nnull\n[]\n", 1),  # not UTF-8; an empty line completes to null
        (b"[" * 1_000_001 + b"\n[2\n", b"null\n[2]\n", 1),
    ],
)
def test_lines_one_output_line_per_input_line(stdin, stdout, rejected):
    result = run_lines(stdin)
    assert result.stdout == stdout
    lines = stdout.count(b"\n")
    assert result.stderr.decode() == f"{lines:,} lines, {rejected:,} rejected\n"  # no progress off a terminal
    assert result.returncode == (1 if rejected else 0)


def test_lines_across_many_reads_equal_complete_many():
    rows = [t.replace("\n", " ").replace("\r", " ") for t in cut_texts(random.Random(9), 3000)]
    data = "\n".join(rows).encode() + b"\n"
    assert len(data) > 2 << 20  # more than one read
    result = run_lines(data)
    expected = [b"null" if r is None else r.encode() for r in carrack.complete_many(rows, errors="null")]
    assert result.stdout.split(b"\n")[:-1] == expected


def test_lines_takes_no_text():
    assert run_lines(b"", "[1").returncode == 2
