"""The example server end to end: examples/model_server.py under uvicorn on a
free local port, called with the real openai.AsyncOpenAI, each stream rebuilt
by the SDK's own ChatCompletionStreamState. Every corpus case of a supported
format comes back with the calls and content that parse() gives, and with
what its source expects (except the listed differences)."""

import asyncio
import importlib.util
import socket
import threading
import time

import pytest

pytest.importorskip("starlette")
uvicorn = pytest.importorskip("uvicorn")
openai = pytest.importorskip("openai")
from openai.lib.streaming.chat import ChatCompletionStreamState  # noqa: E402

from carrack.model_calls import ModelToolCalls  # noqa: E402
from conftest import ROOT  # noqa: E402
from model_calls_support import cases, differences  # noqa: E402
from test_model_calls import DIFFERENT  # noqa: E402


def load_app():
    spec = importlib.util.spec_from_file_location("model_server", ROOT / "examples" / "model_server.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module.app


@pytest.fixture(scope="module")
def base_url():
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    port = sock.getsockname()[1]
    server = uvicorn.Server(uvicorn.Config(load_app(), log_level="warning", lifespan="off"))
    thread = threading.Thread(target=server.run, kwargs={"sockets": [sock]}, daemon=True)
    thread.start()
    try:
        deadline = time.monotonic() + 20
        while not server.started:
            # A server that failed to start has ended its thread: say so now.
            assert thread.is_alive() and time.monotonic() < deadline, "the server did not start"
            time.sleep(0.05)
        yield f"http://127.0.0.1:{port}/v1"
    finally:
        server.should_exit = True
        thread.join(10)
        sock.close()


async def through_server(client, fmt, output, seed):
    stream = await client.chat.completions.create(
        model=fmt, messages=[{"role": "user", "content": output}], stream=True, seed=seed
    )
    state = ChatCompletionStreamState()
    async for chunk in stream:
        state.handle_chunk(chunk)
    try:
        completion = state.get_final_completion()
    except openai.LengthFinishReasonError as cut:  # a call the output cut off
        completion = cut.completion
    choice = completion.choices[0]
    calls = [
        {"id": c.id, "type": "function", "function": {"name": c.function.name, "arguments": c.function.arguments}}
        for c in choice.message.tool_calls or []
    ]
    return choice.message.content or "", calls, choice.finish_reason


async def every_case(base_url):
    wrong = []
    async with openai.AsyncOpenAI(base_url=base_url, api_key="none", max_retries=0, timeout=30) as client:
        for n, (cid, case) in enumerate(cases()):
            fmt, output = case["format"], case["model_output"]
            content, calls, finish = await through_server(client, fmt, output, seed=n)
            parsed = ModelToolCalls(fmt).parse(output)
            strip = [(c["function"]["name"], c["function"]["arguments"]) for c in calls]
            if content != parsed.content or strip != [(c.name, c.arguments) for c in parsed.tool_calls]:
                wrong.append((cid, "not what parse() gives", content, strip))
            if any(not c["id"] for c in calls) or len({c["id"] for c in calls}) != len(calls):
                wrong.append((cid, "ids", calls))
            complete = bool(calls) and all(c.state == "complete" for c in parsed.tool_calls)
            if (finish == "tool_calls") != complete:
                wrong.append((cid, "finish_reason", finish))
            if case.get("expected_error") or case.get("assertion") or cid in DIFFERENT:
                continue
            found = differences(case, {"content": content, "tool_calls": calls})
            if found:
                wrong.append((cid, found))
    return wrong


def test_every_corpus_case_through_a_real_server_and_client(base_url):
    if not cases():
        pytest.skip("model-output corpus not found")
    assert asyncio.run(every_case(base_url)) == []


def test_a_whole_response(base_url):
    client = openai.OpenAI(base_url=base_url, api_key="none", max_retries=0, timeout=30)
    output = 'Checking. <tool_call>{"name": "get_weather", "arguments": {"city": "Paris"}}</tool_call>'
    completion = client.chat.completions.create(model="hermes", messages=[{"role": "user", "content": output}])
    choice = completion.choices[0]
    assert choice.finish_reason == "tool_calls"
    assert choice.message.content == "Checking. "
    (call,) = choice.message.tool_calls
    assert (call.function.name, call.function.arguments) == ("get_weather", '{"city": "Paris"}')


# What a hostile client may send: the server answers 400, and stays up.
@pytest.mark.parametrize(
    "body",
    [
        b"not json",
        b"[]",
        b'{"messages": [{"role": "user", "content": "x"}]}',
        b'{"model": "no_such_format", "messages": [{"role": "user", "content": "x"}]}',
        b'{"model": "hermes", "messages": []}',
        b'{"model": "hermes", "messages": [{"role": "user", "content": [{"type": "text", "text": "x"}]}], "stream": true}',
    ],
)
def test_a_bad_request_is_refused(base_url, body):
    import httpx

    response = httpx.post(base_url + "/chat/completions", content=body, timeout=30)
    assert response.status_code == 400
    assert response.json()["error"]["type"] == "invalid_request_error"
