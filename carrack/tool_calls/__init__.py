"""Collects a model's streamed tool calls, and its text, from OpenAI and
Anthropic streams, says which calls are safe to run, and gives the assistant
message for the next request.

::

    calls = ToolCalls()
    for event in events:                 # dicts, the SDKs' event objects
        calls.feed(event)                # (or calls.feed_sse(body_bytes))
    calls.close()                        # the stream is over
    for call in calls.executable():      # only these may run
        run(call.name, call.parsed)
    history.append(calls.message())      # the assistant's turn, as sent back

Three formats are read, each as the JSON of a server-sent event's data (a dict),
as the official SDK's event object (by attribute; no SDK is imported), or as
the raw bytes of the event stream:

- ``"openai-chat"``: Chat Completions chunks (:mod:`.chat`);
- ``"openai-responses"``: Responses events (:mod:`.responses`);
- ``"anthropic-messages"``: Messages events (:mod:`.messages`).

Each format's reader turns its events into the steps of :mod:`._vocabulary`,
which the collector applies. Each call's arguments are a :class:`carrack.Stream`
fed the fragments as they come, so a delta costs its own length and a few
dictionary look-ups; nothing already received is parsed again. A call is
executable only when its arguments are exactly one JSON object and the provider
ended the call and the response normally.
"""

from carrack.tool_calls._collector import FORMATS, Format, ToolCalls
from carrack.tool_calls._parts import Content, State, ToolCall

__all__ = ["FORMATS", "Content", "Format", "State", "ToolCall", "ToolCalls"]
