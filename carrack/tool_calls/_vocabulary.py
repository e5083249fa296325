"""What every provider's reader turns its events into, and the helpers the
readers share.

A reader reads a whole event, checking it, into a list of steps; the collector
applies the steps only when the whole event has been read, so that a bad event
changes nothing. A step is a tuple whose first item says what it is:

- ``(START, call, register)``: a tool call started; ``register(call)``, if
  given, files it under the provider's keys;
- ``(ARGS, call, text)``: argument text for a call;
- ``(WHOLE, call, text, where)``: the whole argument text, repeated by an end
  event, to check against (and complete) what the deltas sent;
- ``(END, call, incomplete)``: the provider ended the call;
- ``(TEXT, text)``: message text; ``(REFUSAL, text)``: refusal text;
- ``(FINISH, reason, normal, why)``: the response ended;
- ``(PART, record, value)``: a part of the message for the next request,
  kept by the reader's ``record(value)``;
- ``(SKIP, kind)``: an event type the reader does not know, passed over and
  counted.
"""

from __future__ import annotations

from typing import Any, Callable

START, ARGS, WHOLE, END, TEXT, REFUSAL, FINISH, PART, SKIP = range(9)

Step = tuple[Any, ...]
Get = Callable[[Any, str], Any]

# Fields that the SDKs add to their objects and that no request takes.
SDK_ONLY = frozenset({"parsed", "parsed_arguments", "parsed_output"})
TEXTS = (str, bytes, bytearray, memoryview)


def attribute(thing: Any, key: str) -> Any:
    """Reads a field of an SDK event object, or of a dict found inside one."""
    if type(thing) is dict:
        return thing.get(key)
    return getattr(thing, key, None)


def reader(event: Any) -> Get:
    """The field reader for an event: dict look-ups for the JSON of an event,
    attributes for an SDK's object."""
    return dict.get if type(event) is dict else attribute


def describe(event: Any) -> str:
    if isinstance(event, dict):
        keys = ", ".join(repr(key) for key in list(event)[:6])
        kind = event.get("type")
        return f"a dict with type {kind!r}" if kind is not None else f"a dict with keys {keys or 'none'}"
    kind = getattr(event, "type", None)
    name = type(event).__name__
    return f"a {name} with type {kind!r}" if kind is not None else f"a {name}"


def copy_json(thing: Any) -> Any:
    """JSON data's own copy: its dicts and lists new, so that neither the caller's
    events nor a message handed out share anything with what the collector keeps."""
    kind = type(thing)
    if kind is not dict and kind is not list:
        return thing
    # Without recursion: a call's arguments may nest far deeper than Python recurses.
    top: Any = {} if kind is dict else []
    stack = [(thing, top)]
    while stack:
        source, target = stack.pop()
        items = source.items() if type(source) is dict else enumerate(source)
        for key, value in items:
            kind = type(value)
            if kind is dict or kind is list:
                value_copy: Any = {} if kind is dict else []
                stack.append((value, value_copy))
                value = value_copy
            if type(target) is dict:
                target[key] = value
            else:
                target.append(value)
    return top


def plain(thing: Any) -> Any:
    """A part of an event as plain JSON data: a dict's own copy, or an SDK
    object's fields as it received them."""
    if type(thing) is dict:
        return {key: copy_json(value) for key, value in thing.items() if key not in SDK_ONLY}
    if isinstance(thing, list):
        return [plain(item) for item in thing]
    to_dict = getattr(thing, "to_dict", None)
    if to_dict is None:
        dump = getattr(thing, "model_dump", None)
        if dump is None:
            return thing
        data = dump(exclude_unset=True, by_alias=True)
    else:
        data = to_dict()
    return {key: value for key, value in data.items() if key not in SDK_ONLY} if isinstance(data, dict) else data


class FragmentError(TypeError):
    """A fragment of text that is not a str: said as it is, not as a bad event."""


def check_text(fragment: Any, noun: str) -> None:
    """Text fragments are str, or UTF-8 bytes; anything else is refused before
    any part of its event is applied."""
    if fragment is not None and not isinstance(fragment, TEXTS):
        raise FragmentError(f"a fragment of {noun} must be str (or UTF-8 bytes), not {type(fragment).__name__}")


def check_string(value: Any, field: str) -> None:
    if value is not None and not isinstance(value, str):
        raise ValueError(f"a tool call's {field} must be a string, not {value!r}")


def as_text(fragment: Any) -> str:
    return fragment if isinstance(fragment, str) else bytes(fragment).decode("utf-8", "replace")
