"""Command line: complete a truncated JSON text and print it."""

from __future__ import annotations

import argparse
import sys

from carrack.carrack import carrack


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m carrack",
        description=(
            "Complete a truncated JSON text: print it with just enough appended to make "
            "one complete JSON value. Reads standard input when no TEXT is given."
        ),
        epilog=(
            "Exit status: 0 when completed, 1 when the text is rejected (bytes left over "
            "after the value) or nests too deep; the message goes to standard error."
        ),
    )
    parser.add_argument("text", nargs="?", metavar="TEXT", help="the truncated JSON text")
    args = parser.parse_args(argv)
    try:
        text = sys.stdin.buffer.read().decode("utf-8") if args.text is None else args.text
        completed = carrack(text)
    except (RuntimeError, UnicodeError) as error:
        print(error, file=sys.stderr)
        return 1
    sys.stdout.write(completed + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
