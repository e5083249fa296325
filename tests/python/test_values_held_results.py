"""Every object a stream ever handed out, held to the end: value() under
every policy, events() and items() interleaved, allocation failures in
between, on documents whose strings mix every storage width and escapes and
whose numbers pass the narrowed-buffer length. Nothing held may change; and
the walk over such text (vector scanners in one piece) equals the walk one
character at a time, where no block of sixteen ever fits."""

import json
import random

import pytest

import carrack.carrack as one_shot
from carrack import ANY, Stream
from values_support import canon

_testcapi = pytest.importorskip("_testcapi")

WIDE = ["a", "\u00e9", "\u0100", "\U0001f600"]
ESCAPES = ["\\n", '\\"', "\\\\", "\\u00e9", "\\u0100", "\\ud83d\\ude00", "\\ud83d", "\\u0041", "\\/"]


def string(rng, length):
    return '"' + "".join(rng.choice(WIDE + ESCAPES + ["x", " "]) for _ in range(length)) + '"'


def number(rng):
    # Lengths around the shortcuts: 18 digits, the 96-character buffer.
    digits = rng.choice([1, 17, 18, 19, 95, 96, 97, 150])
    text = rng.choice(["", "-"]) + rng.choice("123456789") + "".join(rng.choice("0123456789") for _ in range(digits - 1))
    roll = rng.random()
    if roll < 0.3:
        text += "." + "".join(rng.choice("0123456789") for _ in range(rng.randint(1, 100)))
    if roll > 0.6:
        text += rng.choice("eE") + rng.choice(["", "+", "-"]) + str(rng.randint(0, 400))
    return text


def space(rng):
    return rng.choice(["", " ", "\n\t  ", " " * rng.randint(10, 40)])


def document(rng, depth=0):
    roll = rng.random()
    if depth > 3 or roll < 0.35:
        return rng.choice([lambda: string(rng, rng.randint(0, 60)), lambda: number(rng), lambda: "true"])()
    if roll < 0.7:
        items = ("," + space(rng)).join(document(rng, depth + 1) for _ in range(rng.randint(0, 5)))
        return "[" + space(rng) + items + space(rng) + "]"
    members = ",".join(space(rng) + string(rng, rng.randint(0, 4)) + ":" + space(rng) + document(rng, depth + 1)
                       for _ in range(rng.randint(0, 5)))
    return "{" + members + space(rng) + "}"


def pieces(text, rng):
    at = 0
    while at < len(text):
        step = rng.randint(1, rng.choice([1, 4, 30, 200]))
        yield text[at : at + step]
        at += step


def snapshot(thing):
    return json.dumps(thing, default=repr)


@pytest.mark.parametrize("seed", range(40))
def test_nothing_handed_out_ever_changes(seed):
    rng = random.Random(seed)
    text = document(rng)
    stream = Stream(select=[(...,)]) if seed % 2 else Stream()
    held = []
    for piece in pieces(text, rng):
        stream.feed(piece)
        roll = rng.random()
        if roll < 0.25:
            got = stream.events()
        elif roll < 0.4:
            got = stream.items(rng.choice([(), (0,), (ANY,)]))
        else:
            policy = rng.choice(["all", "all", "strings", "closed"])
            got = stream.value(policy)
            if policy == "all":
                assert canon(got) == canon(json.loads(stream.completion(), strict=False))
            if isinstance(got, str) and rng.random() < 0.3:
                hash(got)
        if rng.random() < 0.6:
            held.append((got, snapshot(got)))
        del got
        for thing, then in held:
            assert snapshot(thing) == then, stream.text
    assert canon(stream.close()) == canon(json.loads(text))


def value_failing_from(stream, policy, start):
    # No Python allocation between arming and disarming.
    arm, disarm = _testcapi.set_nomemory, _testcapi.remove_mem_hooks
    arm(start, 0)
    try:
        return stream.value(policy)
    finally:
        disarm()


@pytest.mark.parametrize("seed", range(30))
def test_a_value_call_that_runs_out_of_memory_changes_nothing_held(seed):
    rng = random.Random(seed)
    text = document(rng)
    stream = Stream()
    held = []
    for piece in pieces(text, rng):
        stream.feed(piece)
        policy = rng.choice(["all", "strings", "closed"])
        try:
            got = value_failing_from(stream, policy, rng.randint(0, 12))
        except MemoryError:
            got = stream.value(policy)
        if policy == "all":
            assert canon(got) == canon(json.loads(stream.completion(), strict=False))
        if rng.random() < 0.6:
            held.append((got, snapshot(got)))
        del got
        for thing, then in held:
            assert snapshot(thing) == then, stream.text
    assert canon(stream.close()) == canon(json.loads(text))


def stripped(event):
    kind, path, value = event
    return (kind, path, None if kind == "end" and isinstance(value, (list, dict)) else canon(value))


@pytest.mark.parametrize("seed", range(60))
def test_without_values_every_option_gives_the_same_events_and_errors(seed):
    rng = random.Random(seed)
    multiple = seed % 3 == 0
    stop = seed % 3 == 1
    text = document(rng)
    if multiple:
        text += " " + document(rng) + " " + document(rng)
    if stop:
        text += " and prose after it"
    if rng.random() < 0.2:
        text = text.replace("true", "NaN", 1)
    options = {"multiple_values": multiple, "stop_at_end": stop}
    if rng.random() < 0.6:
        options["select"] = rng.choice([[(...,)], [(ANY,)], [(0, ...)]])
    if rng.random() < 0.5:
        options["raw"] = rng.choice([[(...,)], [(ANY, ...)]])
    cut = list(pieces(text, rng))
    calls = [rng.random() < 0.5 for _ in cut]
    seen = {}
    for values in (True, False):
        stream = Stream(values=values, **options)
        events, taken = [], []
        try:
            for piece, call in zip(cut, calls):
                taken.append(stream.feed(piece))
                if stop and stream.done:
                    break
                if call:
                    events += map(stripped, stream.events())
            events += map(stripped, stream.events())
            closed = stream.close()
            end = ("ok", None if values is False else "value")
            assert closed is None or values
        except (ValueError, RuntimeError) as error:
            end = ("error", type(error))
        seen[values] = (events, taken, end)
    assert seen[True][:2] == seen[False][:2]
    assert seen[True][2][0] == seen[False][2][0] and (seen[True][2][0] == "ok" or seen[True][2] == seen[False][2])


MIXED = ['"', "\\", "\\u", "\\u00", "\\n", "\\\\", '\\"', "\x00", "\x1f", "\x7f", " ", "\t", "\n", "0", "9", "-", "."]
UNITS = ["a", "\u00e9", "\u0100", "\U0001f600", "\uffff", "\u8022", "\u225c", "\U00010022", "\u0122", "\u8000"]


def completion_one_at_a_time(text):
    stream = Stream()
    try:
        for character in text:
            stream.feed(character)
        return ("ok", stream.completion())
    except RuntimeError as error:
        return ("error", str(error))


def completion_at_once(text):
    try:
        return ("ok", one_shot.carrack(text))
    except RuntimeError as error:
        return ("error", str(error))


@pytest.mark.parametrize("seed", range(300))
def test_the_walk_in_one_piece_equals_the_walk_by_characters(seed):
    # Units whose low byte is a quote, a backslash or a space read as "other".
    rng = random.Random(seed)
    unit = UNITS[seed % len(UNITS)]
    body = "".join(rng.choice(MIXED) if rng.random() < 0.15 else rng.choice([unit, "x"]) for _ in range(rng.randrange(70)))
    text = rng.choice(["", " " * rng.randrange(40), "[" + " " * rng.randrange(33) + '"' + unit * 17 + '", ']) + '"' + body
    for cut in range(len(text) + 1) if seed % 10 == 0 else [len(text)]:
        assert completion_at_once(text[:cut]) == completion_one_at_a_time(text[:cut])
