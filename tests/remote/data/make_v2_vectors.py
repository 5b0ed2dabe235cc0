#!/usr/bin/env python3
"""Computes the secure-datagram test vectors with Python's own hmac and zlib,
independently of the library, and writes them to v2_vectors.json beside this
script. Usage: tests/remote/data/make_v2_vectors.py"""
import base64
import hashlib
import hmac
import json
import pathlib
import struct
import zlib


def hm(key, msg):
    return hmac.new(key, msg, hashlib.sha256).digest()


def derive(secret):
    prk = hm(bytes(32), secret)
    keys = []
    for label in (b"OPRCv2/sender-A", b"OPRCv2/sender-B"):
        t = bytearray(hm(prk, label))
        t[31] = 0x01
        keys.append(hm(prk, bytes(t)))
    return prk, keys[0], keys[1]


def datagram(key, reg, sender, counter, msg_id, index, count, payload):
    head = struct.pack(">BIIQIHHI", 2, reg, sender, counter, msg_id, index, count, len(payload))
    body = head + payload
    return body + hm(key, body)


def main():
    vectors = []
    for secret in (bytes(range(32)), bytes(range(100, 164)), b"pairing secret of 33 bytes, ascii"):
        prk, ka, kb = derive(secret)
        vectors.append({"secret_b64": base64.b64encode(secret).decode(), "prk": prk.hex(), "k_a": ka.hex(),
                        "k_b": kb.hex()})
    message = b'{"Command":19,"State":1}'
    payload = zlib.compress(message)
    _, ka, _ = derive(bytes(range(32)))
    dg = datagram(ka, 0x01020304, 1, 0x0000000100000002, 0x12345678, 0, 1, payload)
    out = {
        "keys": vectors,
        "datagram": {"secret_b64": vectors[0]["secret_b64"], "sender_id": 1, "reg_value": 0x01020304,
                     "counter": 0x0000000100000002, "msg_id": 0x12345678, "message": message.decode(),
                     "payload": payload.hex(), "bytes": dg.hex()},
        "sha256": {"abc": hashlib.sha256(b"abc").hexdigest(),
                   "million_a": hashlib.sha256(b"a" * 1000000).hexdigest()},
    }
    path = pathlib.Path(__file__).with_name("v2_vectors.json")
    path.write_text(json.dumps(out, indent=1) + "\n")


main()
