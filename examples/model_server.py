"""An OpenAI-compatible ``/v1/chat/completions`` that streams a scripted
model's output through carrack.ModelToolCalls, one token at a time.

The "model" answers with the request's last message, written in the call
format the request's ``model`` names (``hermes``, ``llama3_json``,
``mistral``, ...): a stand-in for an inference engine, so that any OpenAI
client can be pointed at the server. Run with
``uvicorn examples.model_server:app`` (Starlette and uvicorn needed).
"""

import json
import random
import time

from starlette.applications import Starlette
from starlette.requests import Request
from starlette.responses import JSONResponse, Response, StreamingResponse
from starlette.routing import Route

from carrack import ModelToolCalls


def tokens(text: str, seed: int = 0):
    """The text in the pieces a tokenizer might give: 1 to 8 characters."""
    rng, i = random.Random(seed), 0
    while i < len(text):
        n = rng.randint(1, 8)
        yield text[i : i + n]
        i += n


async def chat_completions(request: Request) -> Response:
    try:  # a bad request is the client's error, not the server's
        body = await request.json()
        model, output = body["model"], body["messages"][-1]["content"]
        calls = ModelToolCalls(model)
        if not isinstance(output, str):
            raise TypeError("the last message's content must be a string")
    except (ValueError, LookupError, TypeError) as error:
        return JSONResponse({"error": {"message": str(error), "type": "invalid_request_error"}}, 400)
    head = {"id": "chatcmpl-1", "created": int(time.time()), "model": model}
    if not body.get("stream"):
        parsed = calls.parse(output)
        message = {"role": "assistant", "content": parsed.content or None}
        if parsed.tool_calls:
            message["tool_calls"] = [c.message() for c in parsed.tool_calls]
        choice = {"index": 0, "message": message, "finish_reason": parsed.finish_reason}
        return JSONResponse({**head, "object": "chat.completion", "choices": [choice]})

    def chunk(delta: dict, finish_reason: str | None = None) -> str:
        choice = {"index": 0, "delta": delta, "finish_reason": finish_reason}
        return f"data: {json.dumps({**head, 'object': 'chat.completion.chunk', 'choices': [choice]})}\n\n"

    async def events():
        yield chunk({"role": "assistant", "content": ""})
        for token in tokens(output, body.get("seed", 0)):
            for delta in calls.feed(token):
                yield chunk(delta)
        for delta in calls.close():
            yield chunk(delta)
        # A call cut off or malformed never ends the turn as "tool_calls".
        yield chunk({}, calls.finish_reason)
        yield "data: [DONE]\n\n"

    return StreamingResponse(events(), media_type="text/event-stream")


app = Starlette(routes=[Route("/v1/chat/completions", chat_completions, methods=["POST"])])
