"""Stream.value(), path, done and close() over generated texts fed in random chunks."""

import copy
import json

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from values_support import canon, chunked, documents, garbage, model, outcome, shallow_documents

from carrack import Stream
from carrack.carrack import carrack

relaxed = settings(suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
# Those feeding one character at a time run fewer examples.
one_by_one = settings(relaxed, max_examples=100)


def completion_value(text):
    return outcome(lambda: json.loads(carrack(text), strict=False))


def agree(mine, reference):
    """Equal values, or both raise: the same type unless the completion itself
    was refused (RuntimeError), where there is none to compare with."""
    if reference == ("error", RuntimeError):
        return mine[0] == "error"
    return mine == reference


def feed(stream, chunk):
    try:
        stream.feed(chunk)
    except RuntimeError:  # rejected: the text is kept, as carrack() rejects it
        pass


@relaxed
@given(st.one_of(chunked(documents), chunked(garbage), chunked(st.builds(str.__add__, documents, garbage))))
def test_value_is_json_loads_of_the_completion_after_every_chunk(case):
    _, chunks = case
    stream = Stream()
    for chunk in chunks:
        feed(stream, chunk)
        assert agree(outcome(stream.value), completion_value(stream.text))
    assert outcome(stream.close) == outcome(lambda: json.loads(stream.text, strict=False))


@one_by_one
@given(chunked(documents), st.data())
def test_policies_keep_what_the_model_keeps(case, data):
    _, chunks = case
    stream = Stream()
    fed = ""
    for chunk in chunks:
        stream.feed(chunk)
        fed += chunk
        for policy in ("strings", "closed"):
            try:
                expected = canon(model(fed, policy))
            except ValueError:  # an integer beyond the digit limit, closed
                continue
            assert canon(stream.value(policy)) == expected, (fed, policy)
    # every cut, one character at a time, for a smaller document
    small = data.draw(shallow_documents.filter(lambda t: len(t) < 200))
    stream = Stream()
    for end, c in enumerate(small, 1):
        stream.feed(c)
        policy = "strings" if end % 2 else "closed"
        try:
            expected = canon(model(small[:end], policy))
        except ValueError:
            continue
        assert canon(stream.value(policy)) == expected, (small[:end], policy)


@relaxed
@given(chunked(documents), st.lists(st.sampled_from(["all", "strings", "closed"]), min_size=1))
def test_results_never_change_afterwards(case, policies):
    _, chunks = case
    stream = Stream()
    held = []
    for i, chunk in enumerate(chunks):
        stream.feed(chunk)
        try:
            result = stream.value(policies[i % len(policies)])
        except ValueError:
            continue
        held.append((result, copy.deepcopy(result)))
        if i % 3 == 0:
            stream.value("closed")  # a result dropped at once
    for result, as_returned in held:
        assert canon(result) == canon(as_returned)


@one_by_one
@given(shallow_documents)
def test_path_leads_to_what_changes(text):
    """Between two cuts, whatever changed in the value lies on the earlier
    cut's path: everything off it was final."""
    stream = Stream()
    before, path = None, ()
    for c in text:
        stream.feed(c)
        try:
            now = stream.value("closed")
        except ValueError:
            return
        if before is not None:
            assert_changes_on(before, now, path)
        before, path = copy.deepcopy(now), stream.path
    stream.feed(" ")
    try:
        stream.value()
    except ValueError:  # an integer beyond the digit limit at the root
        return
    assert stream.done and stream.path == ()


def assert_changes_on(before, now, path):
    """Only the value at the end of path, and the members leading to it, differ."""
    if not path or before is None:
        return  # the value being written (or one only now begun)
    step, rest = path[0], path[1:]
    assert type(now) is type(before)
    if isinstance(before, list):
        assert now[:step] == before[:step]
        assert len(now) <= step + 1
        if step < len(before):
            assert_changes_on(before[step], now[step], rest)
    else:
        assert {k: v for k, v in now.items() if k != step} == {k: v for k, v in before.items() if k != step}
        assert list(now)[: len(before)] == list(before)
        if step in before:
            assert_changes_on(before[step], now[step], rest)
