"""Tool calls in a model's raw output text, as OpenAI Chat Completions deltas,
for inference servers.

::

    calls = ModelToolCalls("hermes")
    for token_text in generation:
        for delta in calls.feed(token_text):
            send({"choices": [{"index": 0, "delta": delta}]})
    for delta in calls.close():
        send(...)
    finish_reason = calls.finish_reason

Each format is a :class:`Profile` (:data:`PROFILES`): Hermes/Qwen, Llama 3
JSON, Mistral (both forms), Granite, DeepSeek V3 and V3.1, Kimi K2, gpt-oss
(harmony), plain JSON, and others whose arguments are JSON. Formats whose
arguments are not JSON (pythonic calls, XML parameters) are not read.
"""

from carrack.model_calls._emitter import CallState, ModelCall, ModelToolCalls, ParsedOutput, merge_deltas
from carrack.model_calls._profiles import PROFILES, HeaderKind, Profile, profile

__all__ = [
    "PROFILES",
    "CallState",
    "HeaderKind",
    "ModelCall",
    "ModelToolCalls",
    "ParsedOutput",
    "Profile",
    "merge_deltas",
    "profile",
]
