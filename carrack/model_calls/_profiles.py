"""How each model family writes its tool calls: the markers around them and
the keys inside them.

A profile describes a call *section*: text that opens it (``starts``), text that
closes it (``ends``, none when the section ends with its calls), and what may
stand inside. Two shapes of call are known:

- a JSON object with a name key and an arguments key, or a JSON array of such
  objects (Hermes, Llama 3, Granite, Mistral's array form, plain JSON);
- a *header* that names the function, then the arguments as one JSON value
  (Mistral's ``name[ARGS]{...}``, DeepSeek, Kimi K2, gpt-oss).

A new model is usually one :class:`Profile` call with its markers.
"""

from __future__ import annotations

import re
from collections.abc import Callable
from dataclasses import dataclass

__all__ = ["PROFILES", "HeaderKind", "Profile", "profile"]

HeaderKind = tuple[str, str | None]
"""What a header announces: ``("call", name)``, ``("content", None)`` (the
message that follows is content) or ``("drop", None)`` (the message that
follows is neither, e.g. reasoning)."""


@dataclass(frozen=True)
class Profile:
    """The markers and keys of one model family's tool calls.

    ``starts``: markers that open a call section in text. ``ends``: markers
    that close it; without them (or for the starts in ``unclosed``) a section
    ends at the first text that is not a call or a ``separators`` character. ``bare``: a JSON object (or array of
    objects) whose first key is a name or arguments key opens a section by
    itself, anywhere in the text. ``json_calls``: whether a section may hold
    JSON call objects or arrays. ``name_keys``/``arguments_keys``: the keys of
    a call object, under the keys in ``wrapper`` (e.g. ``("tool_call",)``).

    Header calls: ``call_starts`` open one inside a section (``header_first``:
    the section's start opens one directly); the header runs up to one of
    ``name_ends`` (``{`` or ``[`` there belong to the arguments, other markers
    are dropped) and ``header`` turns its text into a name (a regular
    expression whose first group is the name, or a function giving a
    :data:`HeaderKind`). The arguments are one JSON value; the text after it up
    to one of ``call_ends`` is dropped. ``drop``: markers removed from content
    wherever they stand; ``drop_until``: after a ``("drop", None)`` header, the
    text up to one of these markers is removed. ``between_messages``: starts
    that open a header only outside the text of a message for the user
    (gpt-oss's `` to=``): inside it, up to the next marker, they are text.
    """

    name: str
    starts: tuple[str, ...] = ()
    ends: tuple[str, ...] = ()
    unclosed: tuple[str, ...] = ()
    bare: bool = False
    json_calls: bool = True
    separators: str = ""
    name_keys: tuple[str, ...] = ("name",)
    arguments_keys: tuple[str, ...] = ("arguments", "parameters")
    wrapper: tuple[str, ...] = ()
    call_starts: tuple[str, ...] = ()
    header_first: bool = False
    name_ends: tuple[str, ...] = ()
    header: str | Callable[[str], HeaderKind | None] = r"\s*(\S+?)\s*$"
    call_ends: tuple[str, ...] = ()
    drop: tuple[str, ...] = ()
    drop_until: tuple[str, ...] = ()
    between_messages: tuple[str, ...] = ()

    def ends_for(self, start: str) -> tuple[str, ...]:
        """The markers that close a section opened by ``start``."""
        return () if start in self.unclosed else self.ends

    def read_header(self, text: str) -> HeaderKind | None:
        """The header's meaning, or None when it names no function."""
        if callable(self.header):
            return self.header(text)
        m = re.match(self.header, text, re.S)
        if m is None or not m.group(1):
            return None
        return ("call", m.group(1))


_RECIPIENT = re.compile(r"to=([^\s<]+)")


def _harmony_header(text: str) -> HeaderKind:
    # A message addressed to a tool is a call to the recipient's last dotted
    # part (functions.get_weather, api.users.create); the analysis channel is
    # reasoning; any other channel is text for the user.
    m = _RECIPIENT.search(text)
    if m is not None:
        return ("call", m.group(1).rsplit(".", 1)[-1])
    if "analysis" in text:
        return ("drop", None)
    return ("content", None)


def _functionary_header(text: str) -> HeaderKind | None:
    # ">>>all" opens a message to the user: content, not a call to "all".
    m = re.match(r">>>\s*(\S+?)\s*$", text)
    if m is None:
        return None
    return ("content", None) if m.group(1) == "all" else ("call", m.group(1))


_HERMES = Profile("hermes", starts=("<tool_call>",), ends=("</tool_call>",))

PROFILES: dict[str, Profile] = {
    p.name: p
    for p in (
        _HERMES,
        Profile("qwen", starts=("<tool_call>",), ends=("</tool_call>",)),
        Profile("qwen25_coder", starts=("<tools>",), ends=("</tools>",)),
        Profile("longcat", starts=("<longcat_tool_call>",), ends=("</longcat_tool_call>",)),
        Profile("llama3_json", starts=("<|python_tag|>",), bare=True, separators=";"),
        Profile(
            "mistral",
            starts=("[TOOL_CALLS]",),
            header_first=True,
            name_ends=("[ARGS]", "{"),
        ),
        Profile("granite", starts=("<|tool_call|>", "<tool_call>"), ends=("</tool_call>",), unclosed=("<|tool_call|>",)),
        Profile(
            "deepseek_v3",
            starts=("<｜tool▁calls▁begin｜>", "<｜tool▁calls｜>"),
            ends=("<｜tool▁calls▁end｜>",),
            json_calls=False,
            call_starts=("<｜tool▁call▁begin｜>",),
            header_first=True,
            name_ends=("```json",),
            header=r"\s*(?:function)?\s*<｜tool▁sep｜>\s*(\S+?)\s*$",
            call_ends=("<｜tool▁call▁end｜>",),
        ),
        Profile(
            "deepseek_v31",
            starts=("<｜tool▁calls▁begin｜>",),
            ends=("<｜tool▁calls▁end｜>",),
            json_calls=False,
            call_starts=("<｜tool▁call▁begin｜>",),
            name_ends=("<｜tool▁sep｜>",),
            call_ends=("<｜tool▁call▁end｜>",),
        ),
        Profile(
            "kimi_k2",
            starts=("<|tool_calls_section_begin|>", "<|tool_call_section_begin|>"),
            ends=("<|tool_calls_section_end|>", "<|tool_call_section_end|>"),
            json_calls=False,
            call_starts=("<|tool_call_begin|>",),
            name_ends=("<|tool_call_argument_begin|>",),
            header=r"\s*(?:functions\.)?(\S+?):\d+\s*$",
            call_ends=("<|tool_call_end|>",),
        ),
        Profile(
            "gpt_oss",
            starts=("<|start|>", "<|channel|>", " to="),
            json_calls=False,
            header_first=True,
            name_ends=("<|message|>",),
            header=_harmony_header,
            call_ends=("<|call|>", "<|end|>"),
            drop=("<|end|>", "<|return|>", "<|call|>"),
            drop_until=("<|end|>",),
            between_messages=(" to=",),
        ),
        Profile("json", bare=True),
        Profile("hunyuan_a13b", starts=("<tool_calls>",), ends=("</tool_calls>",)),
        Profile("jamba", starts=("<tool_calls>",), ends=("</tool_calls>",)),
        Profile("nemotron_v2", starts=("<TOOLCALL>",), ends=("</TOOLCALL>",)),
        Profile("lfm2", starts=("<|tool_call_start|>",), ends=("<|tool_call_end|>",)),
        Profile("phi4_mini", starts=("functools",)),
        Profile("firefunction_v2", starts=("functools",)),
        Profile("internlm2", starts=("<|action_start|><|plugin|>",), ends=("<|action_end|>",)),
        Profile(
            "command_r7b",
            starts=("<|START_ACTION|>",),
            ends=("<|END_ACTION|>",),
            name_keys=("tool_name",),
        ),
        Profile("generic_json", bare=True, wrapper=("tool_call",)),
        Profile(
            "xlam",
            starts=("[TOOL_CALLS]", "<tool_call>", "```json"),
            ends=("</tool_call>", "```"),
            unclosed=("[TOOL_CALLS]",),
            bare=True,
        ),
        Profile(
            "functionary_v3_2",
            starts=(">>>",),
            json_calls=False,
            header_first=True,
            name_ends=("\n",),
            header=_functionary_header,
        ),
        Profile(
            "functionary_v3_1",
            starts=("<function=",),
            json_calls=False,
            header_first=True,
            name_ends=(">",),
            call_ends=("</function>",),
        ),
    )
}
PROFILES["gpt_oss_harmony"] = PROFILES["gpt_oss"]
PROFILES["granite4"] = PROFILES["hermes"]
PROFILES["json_array"] = PROFILES["json"]
PROFILES["deepseek_r1"] = PROFILES["deepseek_v3"]
PROFILES["functionary_v3_1_llama31"] = PROFILES["functionary_v3_1"]


def profile(format: str | Profile) -> Profile:
    """The profile named ``format`` (one of :data:`PROFILES`), or ``format``
    itself when it is a :class:`Profile`."""
    if isinstance(format, Profile):
        return format
    try:
        return PROFILES[format]
    except KeyError:
        raise ValueError(f"unknown format {format!r}; known: {', '.join(sorted(PROFILES))}") from None
