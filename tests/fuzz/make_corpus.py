#!/usr/bin/env python3
# Writes the fuzzer's seed corpus: request and reply shapes of the drive service, one file each,
# covering every format family. Usage: python3 tests/fuzz/make_corpus.py (from the repo root).
import os
import struct

def enc(v, f32=False):
    if v is None:
        return b'\xc0'
    if v is True:
        return b'\xc3'
    if v is False:
        return b'\xc2'
    if isinstance(v, float):
        return b'\xca' + struct.pack('>f', v) if f32 else b'\xcb' + struct.pack('>d', v)
    if isinstance(v, int):
        if v >= 0:
            if v <= 0x7f: return bytes([v])
            if v <= 0xff: return b'\xcc' + struct.pack('>B', v)
            if v <= 0xffff: return b'\xcd' + struct.pack('>H', v)
            if v <= 0xffffffff: return b'\xce' + struct.pack('>I', v)
            return b'\xcf' + struct.pack('>Q', v)
        if v >= -32: return struct.pack('>b', v)
        if v >= -128: return b'\xd0' + struct.pack('>b', v)
        if v >= -32768: return b'\xd1' + struct.pack('>h', v)
        if v >= -2**31: return b'\xd2' + struct.pack('>i', v)
        return b'\xd3' + struct.pack('>q', v)
    if isinstance(v, str):
        b = v.encode()
        n = len(b)
        if n <= 31: h = bytes([0xa0 + n])
        elif n <= 0xff: h = b'\xd9' + struct.pack('>B', n)
        elif n <= 0xffff: h = b'\xda' + struct.pack('>H', n)
        else: h = b'\xdb' + struct.pack('>I', n)
        return h + b
    if isinstance(v, (bytes, bytearray)):
        n = len(v)
        if n <= 0xff: h = b'\xc4' + struct.pack('>B', n)
        elif n <= 0xffff: h = b'\xc5' + struct.pack('>H', n)
        else: h = b'\xc6' + struct.pack('>I', n)
        return h + bytes(v)
    if isinstance(v, list):
        n = len(v)
        h = bytes([0x90 + n]) if n <= 15 else (b'\xdc' + struct.pack('>H', n))
        return h + b''.join(enc(x, f32) for x in v)
    if isinstance(v, dict):
        n = len(v)
        h = bytes([0x80 + n]) if n <= 15 else (b'\xde' + struct.pack('>H', n))
        return h + b''.join(enc(k) + enc(x, f32) for k, x in v.items())
    raise TypeError(v)

def req(ord_, params=None):
    r = {"act": "exec", "ord": ord_}
    if params is not None:
        r["params"] = params
    return r

info = {"size": 734003200, "name": "MOV_0007", "width": 1920, "height": 1080,
        "numFrames": 12500, "number": 7, "rtcTime": 1718000000,
        "startTime": 0x0123456789abcdef, "endTime": 0x0123456789abd000, "status": 0}
corpus = {
    "request_drive_detected": enc(req(0)),
    "request_frame": enc(req(6, {"fileId": 3, "frameNumber": 1000})),
    "request_movie_index": enc(req(3, {"name": "MOV_0007"})),
    "reply_detected": enc({"error": None, "result": {"detected": True}}),
    "reply_error": enc({"error": "Drive not ready.", "result": None}),
    "reply_movie_info": enc({"error": None, "result": {"info": info}}),
    "reply_mapping": enc({"error": None, "result": {"mapping": "Global\\zelvem_file_3"}}),
    "reply_file_data": enc({"error": None, "result": {"data": bytes(range(256)) * 2}}),
    "reply_event": enc({"result": {"event": {"type": 1, "drive": 0}}}),
    "numbers": enc([0, 127, 128, 255, 65536, 2**32, 2**64 - 1, -1, -32, -33, -129, -32769,
                    -2**31 - 1, -2**63, 1.5, -0.0, False, None]),
    "floats32": enc({"fps": 29.97, "gain": -2.5}, f32=True),
    "strings": enc({"short": "x" * 31, "str8": "y" * 200, "str16": "z" * 300,
                    "nested": [[[], {}], {"k": [b""]}]}),
    "movie_list": enc({"result": {"list": [dict(info, number=i) for i in range(17)]}}),
    "extension": b'\x92\x01\xd6\x01\x00\x00\x00\x00',
    "reserved": b'\x81\xa1a\xc1',
}
here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
os.makedirs(here, exist_ok=True)
for name, data in corpus.items():
    with open(os.path.join(here, name), "wb") as f:
        f.write(data)
