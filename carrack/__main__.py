"""Command line: complete a truncated JSON text and print it."""

from __future__ import annotations

import argparse
import os
import stat
import sys
import time

from typing import BinaryIO, TextIO

from carrack import __version__
from carrack.batch import complete_many
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
  2  the command line is wrong
With --lines: 0 when every line was completed, 1 when any was not or the
reader of standard output went away."""

LINES_HELP = """\
complete each line of standard input (JSON Lines of truncated outputs) and
write one line for each, as the lines arrive: null for a line that cannot be
completed; the count of those goes to standard error at the end"""

# Lines are completed in batches of what one read brings, at most this much.
LINES_READ = 1 << 20


class Progress:
    """Lines done so far, redrawn on standard error when it is a terminal, at
    most ten times a second, with the share of the input when its size is known."""

    def __init__(self, stdin: BinaryIO, stderr: TextIO) -> None:
        self.stderr = stderr
        self.shown = stderr.isatty()
        self.total = 0
        try:
            status = os.fstat(stdin.fileno())
            if stat.S_ISREG(status.st_mode):
                self.total = status.st_size
        except (OSError, ValueError, AttributeError):
            pass
        self.drawn = 0.0

    def update(self, lines: int, rejected: int, read: int, last: bool = False) -> None:
        if not self.shown:
            return
        now = time.monotonic()
        if not last and now - self.drawn < 0.1:
            return
        self.drawn = now
        share = f" ({100 * read / self.total:.0f}%)" if self.total else ""
        self.stderr.write(f"\r{lines:,} lines{share}, {rejected:,} rejected")
        if last:
            self.stderr.write("\r\033[K")
        self.stderr.flush()


def complete_lines(stdin: BinaryIO, stdout: BinaryIO, stderr: TextIO) -> int:
    """--lines: each line of stdin completed to a line of stdout, in batches
    that complete_many walks across threads. Returns the exit status."""
    progress = Progress(stdin, stderr)
    lines = rejected = read = 0
    # The start of a line not ended yet, in the pieces it came in: joined once
    # its end comes, so that a long line costs its length, not its square.
    pending: list[bytes] = []
    read_some = getattr(stdin, "read1", stdin.read)
    while True:
        block = read_some(LINES_READ)
        read += len(block)
        batch: list[bytes] = []
        if block:
            end = block.rfind(b"\n")
            if end < 0:
                pending.append(block)
            else:
                batch = b"".join([*pending, block[:end]]).split(b"\n")
                pending = [block[end + 1 :]]
        else:
            rest = b"".join(pending)
            batch, pending = ([rest] if rest else []), []
        texts: list[str | None] = []
        for line in batch:
            try:
                texts.append(line.removesuffix(b"\r").decode("utf-8"))
            except UnicodeDecodeError:
                texts.append(None)
        completed = complete_many(texts, errors="null")
        rejected += completed.count(None)
        out = [b"null" if done is None else done.encode("utf-8") for done in completed]
        lines += len(out)
        if out:
            stdout.write(b"\n".join(out) + b"\n")
            stdout.flush()
        progress.update(lines, rejected, read, last=not block)
        if not block:
            break
    print(f"{lines:,} lines, {rejected:,} rejected", file=stderr)
    return 1 if rejected else 0


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
    parser.add_argument("--lines", action="store_true", help=LINES_HELP)
    parser.add_argument("--version", action="version", version=f"carrack {__version__}")
    args = parser.parse_args(argv)
    if args.lines:
        if args.text is not None:
            parser.error("--lines reads standard input and takes no TEXT")
        try:
            return complete_lines(sys.stdin.buffer, sys.stdout.buffer, sys.stderr)
        except BrokenPipeError:
            # The reader went away (| head): stop quietly, and let nothing
            # flush into the closed pipe at exit.
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
            return 1
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
