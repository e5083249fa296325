"""Command line: complete a truncated JSON text and print it."""

from __future__ import annotations

import argparse
import os
import sys

from carrack import __version__
from carrack.carrack import carrack

DESCRIPTION = """\
Complete a truncated JSON text: print it with just enough appended to make one
complete JSON value. Reads standard input when no TEXT is given; pipe it with
printf, not echo, whose newline would land inside an open string."""

EPILOG = """\
exit status:
  0  the text was completed
  1  the text cannot be completed: bytes are left over after the value, arrays
     and objects nest more than 1,000,000 levels deep, it is not UTF-8, or
     memory ran out; the message goes to standard error
  2  the command line is wrong"""


def program_name() -> str:
    """The command as it was started: "python -m carrack" or the installed script."""
    spec = getattr(sys.modules.get("__main__"), "__spec__", None)
    if spec is not None and spec.name == "carrack.__main__":
        return f"{os.path.basename(sys.executable) or 'python'} -m carrack"
    return os.path.basename(sys.argv[0]) or "carrack"


def utf8_text(argument: str | None) -> str:
    """The text to complete, from the argument or standard input. Raises
    ValueError with a one-line message when it is not UTF-8."""
    if argument is None:
        data = sys.stdin.buffer.read()
        try:
            return data.decode("utf-8")
        except UnicodeDecodeError as error:
            raise ValueError(f"standard input is not UTF-8: byte 0x{data[error.start]:02x} at offset {error.start}") from None
    try:
        argument.encode("utf-8")
    except UnicodeEncodeError as error:
        # Bytes that the file system encoding cannot decode arrive as U+DC80 to U+DCFF.
        code = ord(argument[error.start])
        what = f"byte 0x{code - 0xDC00:02x}" if 0xDC80 <= code <= 0xDCFF else f"lone surrogate U+{code:04X}"
        raise ValueError(f"TEXT is not UTF-8: {what} at character {error.start}") from None
    return argument


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog=program_name(),
        description=DESCRIPTION,
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("text", nargs="?", metavar="TEXT", help="the truncated JSON text")
    parser.add_argument("--version", action="version", version=f"carrack {__version__}")
    args = parser.parse_args(argv)
    try:
        completed = carrack(utf8_text(args.text))
    except (RuntimeError, ValueError) as error:
        print(error, file=sys.stderr)
        return 1
    except MemoryError:
        print("memory ran out", file=sys.stderr)
        return 1
    sys.stdout.write(completed + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
