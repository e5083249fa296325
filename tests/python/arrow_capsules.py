"""A producer and a reader of Arrow arrays in plain ctypes, for testing
carrack.arrow without any Arrow library (so under the sanitizers too): string
arrays in each layout, with offsets, nulls and views, handed over as
PyCapsules whose release callbacks count their calls, and a reader of the
capsules carrack hands back."""

import ctypes
import struct as packing
from ctypes import POINTER, c_char_p, c_int, c_int32, c_int64, c_void_p

api = ctypes.pythonapi
api.PyCapsule_New.restype = ctypes.py_object
api.PyCapsule_New.argtypes = [c_void_p, c_char_p, c_void_p]
api.PyCapsule_GetPointer.restype = c_void_p
api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, c_char_p]
# The same, for a capsule being destroyed: its address only, never a new reference.
capsule_pointer = ctypes.PYFUNCTYPE(c_void_p, c_void_p, c_char_p)(("PyCapsule_GetPointer", api))


class ArrowSchema(ctypes.Structure):
    pass


class ArrowArray(ctypes.Structure):
    pass


class ArrowArrayStream(ctypes.Structure):
    pass


RELEASE_SCHEMA = ctypes.CFUNCTYPE(None, POINTER(ArrowSchema))
RELEASE_ARRAY = ctypes.CFUNCTYPE(None, POINTER(ArrowArray))
ArrowSchema._fields_ = [
    ("format", c_char_p), ("name", c_char_p), ("metadata", c_char_p), ("flags", c_int64),
    ("n_children", c_int64), ("children", POINTER(POINTER(ArrowSchema))), ("dictionary", c_void_p),
    ("release", RELEASE_SCHEMA), ("private_data", c_void_p),
]
ArrowArray._fields_ = [
    ("length", c_int64), ("null_count", c_int64), ("offset", c_int64), ("n_buffers", c_int64),
    ("n_children", c_int64), ("buffers", POINTER(c_void_p)), ("children", POINTER(POINTER(ArrowArray))),
    ("dictionary", c_void_p), ("release", RELEASE_ARRAY), ("private_data", c_void_p),
]
GET_SCHEMA = ctypes.CFUNCTYPE(c_int, POINTER(ArrowArrayStream), POINTER(ArrowSchema))
GET_NEXT = ctypes.CFUNCTYPE(c_int, POINTER(ArrowArrayStream), POINTER(ArrowArray))
GET_LAST_ERROR = ctypes.CFUNCTYPE(c_void_p, POINTER(ArrowArrayStream))
RELEASE_STREAM = ctypes.CFUNCTYPE(None, POINTER(ArrowArrayStream))
ArrowArrayStream._fields_ = [
    ("get_schema", GET_SCHEMA), ("get_next", GET_NEXT), ("get_last_error", GET_LAST_ERROR),
    ("release", RELEASE_STREAM), ("private_data", c_void_p),
]

CAPSULE_DESTRUCTOR = ctypes.CFUNCTYPE(None, c_void_p)
KEEP = []  # ctypes objects a capsule's struct points into, kept for the test run


def _capsule(struct, name, destructor):
    KEEP.append((struct, destructor))
    return api.PyCapsule_New(ctypes.addressof(struct), name, ctypes.cast(destructor, c_void_p))


def _release_on_free(struct_type, name):
    """A capsule destructor that releases the struct unless a consumer moved it."""

    @CAPSULE_DESTRUCTOR
    def destroy(capsule):
        pointer = capsule_pointer(capsule, name)
        struct = struct_type.from_address(pointer)
        if struct.release:
            struct.release(ctypes.pointer(struct))

    return destroy


def _buffer(data: bytes):
    buf = ctypes.create_string_buffer(data, max(len(data), 1))
    KEEP.append(buf)
    return ctypes.cast(buf, c_void_p).value


class Released:
    """Counts the release callbacks run on what a producer handed out."""

    def __init__(self):
        self.count = 0


def make_schema(format_: bytes, released: Released, children=()):
    schema = ArrowSchema()
    schema.format = format_
    schema.name = b"output"
    schema.flags = 2
    schema.n_children = len(children)
    if children:
        pointers = (POINTER(ArrowSchema) * len(children))(*[ctypes.pointer(c) for c in children])
        KEEP.append(pointers)
        schema.children = pointers

    @RELEASE_SCHEMA
    def release(p):
        released.count += 1
        p.contents.release = RELEASE_SCHEMA()

    KEEP.append(release)
    schema.release = release
    return schema


def make_array(texts, layout: str, released: Released, offset: int = 0, broken_view: bool = False):
    """A string array of texts (None for null) in layout "u", "U" or "vu",
    whose rows start offset rows into its buffers (the rows before are junk)."""
    rows = ["junk"] * offset + list(texts)
    encoded = [(t or "").encode() for t in rows]
    validity = bytearray((len(rows) + 7) // 8)
    for i, t in enumerate(rows):
        if t is not None:
            validity[i // 8] |= 1 << (i % 8)
    pointers = [_buffer(bytes(validity))]
    if layout in ("u", "U"):
        width = "<i" if layout == "u" else "<q"
        offsets, at = [], 0
        for e in encoded:
            offsets.append(at)
            at += len(e)
        offsets.append(at)
        pointers += [_buffer(b"".join(packing.pack(width, o) for o in offsets)), _buffer(b"".join(encoded))]
    else:
        views, data = [], bytearray()
        for e in encoded:
            if len(e) <= 12:
                views.append(packing.pack("<i", len(e)) + e.ljust(12, b"\0"))
            else:
                index = 7 if broken_view else 0
                views.append(packing.pack("<i4sii", len(e), e[:4], index, len(data)))
                data += e
        pointers += [_buffer(b"".join(views)), _buffer(bytes(data)), _buffer(packing.pack("<q", len(data)))]
    buffers = (c_void_p * len(pointers))(*pointers)
    KEEP.append(buffers)
    array = ArrowArray()
    array.length = len(texts)
    array.null_count = sum(t is None for t in texts)
    array.offset = offset
    array.n_buffers = len(pointers)
    array.buffers = buffers

    @RELEASE_ARRAY
    def release(p):
        released.count += 1
        p.contents.release = RELEASE_ARRAY()

    KEEP.append(release)
    array.release = release
    return array


class ArrayProducer:
    """Exports one string array through __arrow_c_array__, counting releases."""

    def __init__(self, texts, layout, offset=0, broken_view=False):
        self.released = Released()
        self.texts, self.layout, self.offset, self.broken_view = texts, layout, offset, broken_view

    def __arrow_c_array__(self, requested_schema=None):
        schema = make_schema(self.layout.encode(), self.released)
        array = make_array(self.texts, self.layout, self.released, self.offset, self.broken_view)
        return (
            _capsule(schema, b"arrow_schema", _release_on_free(ArrowSchema, b"arrow_schema")),
            _capsule(array, b"arrow_array", _release_on_free(ArrowArray, b"arrow_array")),
        )


class StreamProducer:
    """Exports chunks of string arrays through __arrow_c_stream__; fail_after
    makes get_next fail (EIO, with a message) after that many chunks."""

    def __init__(self, chunks, layout, fail_after=None):
        self.released = Released()
        self.chunks, self.layout, self.fail_after = chunks, layout, fail_after

    def __arrow_c_stream__(self, requested_schema=None):
        stream = ArrowArrayStream()
        state = {"next": 0}

        @GET_SCHEMA
        def get_schema(_, out):
            schema = make_schema(self.layout.encode(), self.released)
            KEEP.append(schema)  # what its fields point to
            ctypes.memmove(out, ctypes.addressof(schema), ctypes.sizeof(ArrowSchema))
            return 0

        @GET_NEXT
        def get_next(_, out):
            if self.fail_after is not None and state["next"] == self.fail_after:
                return 5  # EIO
            if state["next"] == len(self.chunks):
                out.contents.release = RELEASE_ARRAY()
                return 0
            array = make_array(self.chunks[state["next"]], self.layout, self.released)
            KEEP.append(array)
            state["next"] += 1
            ctypes.memmove(out, ctypes.addressof(array), ctypes.sizeof(ArrowArray))
            return 0

        message = _buffer(b"the producer lost its source\0")

        @GET_LAST_ERROR
        def get_last_error(_):
            return message

        @RELEASE_STREAM
        def release(p):
            self.released.count += 1
            p.contents.release = RELEASE_STREAM()

        KEEP.extend([get_schema, get_next, get_last_error, release])
        stream.get_schema, stream.get_next, stream.get_last_error, stream.release = get_schema, get_next, get_last_error, release
        return _capsule(stream, b"arrow_array_stream", _release_on_free(ArrowArrayStream, b"arrow_array_stream"))


# --- reading what carrack hands back ---------------------------------------------


def read_array(schema_capsule, array_capsule):
    """The rows of an exported (schema, array) pair, as str or None; the
    capsules keep ownership, so their destructors release them."""
    schema = ArrowSchema.from_address(api.PyCapsule_GetPointer(schema_capsule, b"arrow_schema"))
    array = ArrowArray.from_address(api.PyCapsule_GetPointer(array_capsule, b"arrow_array"))
    return _rows(schema.format, array)


def _rows(format_, array):
    buffers = [array.buffers[i] for i in range(array.n_buffers)]
    out = []
    for row in range(array.offset, array.offset + array.length):
        if buffers[0] and not ctypes.string_at(buffers[0] + row // 8, 1)[0] >> (row % 8) & 1:
            out.append(None)
            continue
        if format_ in (b"u", b"U"):
            size, pair = (4, "<ii") if format_ == b"u" else (8, "<qq")
            start, end = packing.unpack(pair, ctypes.string_at(buffers[1] + row * size, 2 * size))
            out.append(ctypes.string_at(buffers[2] + start, end - start).decode())
        else:
            view = ctypes.string_at(buffers[1] + row * 16, 16)
            (length,) = packing.unpack("<i", view[:4])
            if length <= 12:
                out.append(view[4 : 4 + length].decode())
            else:
                _, prefix, index, offset = packing.unpack("<i4sii", view)
                text = ctypes.string_at(buffers[2 + index] + offset, length)
                assert text[:4] == prefix
                out.append(text.decode())
    return out


def read_stream(capsule):
    """The format and the chunks of an exported stream, read to its end and released."""
    stream = ArrowArrayStream.from_address(api.PyCapsule_GetPointer(capsule, b"arrow_array_stream"))
    schema = ArrowSchema()
    assert stream.get_schema(ctypes.pointer(stream), ctypes.pointer(schema)) == 0
    format_ = schema.format
    arrays = []
    while True:
        array = ArrowArray()
        assert stream.get_next(ctypes.pointer(stream), ctypes.pointer(array)) == 0
        if not array.release:
            break
        arrays.append(array)
    schema.release(ctypes.pointer(schema))
    stream.release(ctypes.pointer(stream))
    # The arrays outlive the stream and the schema: each is released on its own.
    chunks = [_rows(format_, a) for a in arrays]
    for a in arrays:
        a.release(ctypes.pointer(a))
        assert not a.release
    return format_, chunks
