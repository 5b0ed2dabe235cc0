#!/usr/bin/env python3
"""Writes the seed corpus of fuzz/remote_fuzz.cpp into fuzz/corpus/remote/.

A seed is one mode byte followed by the datagram body: bit 0 = the harness
tags it with its shared secret, bit 1 = the harness compresses it with zlib,
bit 2 = URI commands armed, bit 3 = small inflation caps. Mode bit 4 makes the
body a run of secure-datagram records (see fuzz/remote_fuzz.cpp), bits 4 and
5 a pairing answer.
Usage: tools/make_remote_fuzz_seeds.py
"""
import json
import pathlib
import random
import struct
import zlib

OUT = pathlib.Path(__file__).resolve().parent.parent / "fuzz" / "corpus" / "remote"

MESSAGES = {
    "ping": {"Command": "Ping", "ContractLevel": 3, "DeivceCode": "tv-7"},
    "play-uri": {"Command": "PlayUri", "Uri": "file:///media/films/a.mkv"},
    "open-id": {"Command": 15, "Open": 12},
    "seek": {"Command": "Seek", "Position": 1234567890},
    "set-volume": {"Command": 27, "Volume": 0.45, "IsMuted": False},
    "rate": {"Command": "Rate", "Rate": 1.25},
    "current-state": {
        "Command": 19, "State": 1, "Position": 65123, "Volume": 0.8, "Rate": 1.0, "IsMuted": False,
        "IsLocked": False, "IsFullScreen": True, "Unlock": True,
        "Item": {"Name": "Film", "IMDb": {"Title": "Film", "Year": "1999", "Plot": "dropped"}},
        "Folder": {"Name": "Films", "Path": "/media/films"},
        "Progress": {"Duration": "0.01:30:00.0000000", "Current": "0.00:01:05.1230000",
                     "CurrentTime": "1:05", "RemainTime": "1:28:55"},
        "AudioTrack": {"DisplayName": "English", "Index": 1},
        "SubtitleTrack": {"DisplayName": "Off", "Index": -1},
        "DecodeStatus": {"ForceDecodeVideoForFile": False, "ForceDecodeAudioForFile": True,
                         "SystemDecodeForFile": False},
    },
    "lists": {
        "Command": "PlayList",
        "PlayList": [{"Name": "a", "IMDb": {"Title": "A", "imdbRating": "7.1", "Ratings": [{"Source": "x"}]}},
                     {"Name": "b\u00e9\n"}],
        "Recents": [{"Path": "/r/1"}],
        "Folders": [{"Name": "TV", "HasSubFolder": True}],
        "AudioTracks": [{"DisplayName": "English", "Index": 1}, {"DisplayName": "French", "Index": 2}],
        "SubtitleTracks": [{"DisplayName": "Off", "Index": -1}],
        "EffectStatus": [{"Effect": 3, "IsOn": True}, {"Effect": 4, "IsOn": False}],
    },
    "numbers": {"Command": 40.0, "Volume": -0.0125, "Position": 1e30, "State": 4294967297, "x": [1e21, -0.0, 3.0]},
}


def write(name, mode, body):
    (OUT / name).write_bytes(bytes([mode]) + body)


def record(sender, counter, msg_id, index, count, payload, flip=0):
    return struct.pack(">IQIHHHH", sender, counter, msg_id, index, count, flip, len(payload)) + payload


def fragments(sender, first_counter, msg_id, stream, size=1411):
    pieces = [stream[i:i + size] for i in range(0, len(stream), size)] or [b""]
    return [record(sender, first_counter + i, msg_id, i, len(pieces), piece) for i, piece in enumerate(pieces)]


def secure_seeds():
    ping = zlib.compress(json.dumps(MESSAGES["ping"]).encode())
    rng = random.Random(5)
    noise = "".join(rng.choice("abcdefghijklmnopqrstuvwxyz0123456789") for _ in range(5000))
    long_text = json.dumps({"Command": 19, "Uri": noise}).encode()
    status = zlib.compress(json.dumps(MESSAGES["current-state"]).encode())
    three = fragments(1, 10, 77, zlib.compress(long_text))
    write("v2-single", 16, record(1, 1, 5, 0, 1, ping))
    write("v2-status", 16, record(1, 1, 6, 0, 1, status))
    write("v2-fragments", 16, b"".join(three))
    write("v2-reordered", 16, three[0] + three[2] + three[1])
    write("v2-replays", 16, record(1, 3, 5, 0, 1, ping) + record(1, 1, 6, 0, 1, ping) + record(1, 3, 7, 0, 1, ping)
          + record(1, 200, 8, 0, 1, ping) + record(1, 100, 9, 0, 1, ping))
    write("v2-forged", 16, record(1, 1, 5, 0, 1, ping, flip=40) + record(1, 2, 5, 0, 1, ping))
    write("v2-senders", 16, b"".join(record(s, 1, s, 0, 1, ping) for s in range(3, 21)))
    write("v2-two-senders-one-id", 16, b"".join(fragments(3, 1, 9, zlib.compress(long_text))[:1]
                                                + fragments(4, 1, 9, zlib.compress(long_text))))
    write("v2-full", 16, b"".join(record(1, c, c, 0, 2, b"x" * 100) for c in range(1, 7)))
    write("pair-right", 48, b'{"code":"$CODE","secret_b64":"$SECRET","expires":99999999999}')
    write("pair-role-1", 48 | 64, b'{"device_id":"x","code":"$CODE","secret_b64":"$SECRET","expires":1.34e10}')
    write("pair-wrong", 48, b'{"code":"000000","secret_b64":"$SECRET","expires":99999999999}')
    write("pair-expired", 48, b'{"code":"$CODE","secret_b64":"$SECRET","expires":1}')


def main():
    OUT.mkdir(parents=True, exist_ok=True)
    for old in OUT.iterdir():
        old.unlink()
    for name, message in MESSAGES.items():
        text = json.dumps(message, separators=(",", ":"), ensure_ascii=False).encode()
        write(f"plain-{name}", 4, text)
        write(f"zlib-{name}", 6, text)
        write(f"tagged-{name}", 7, text)
        write(f"raw-zlib-{name}", 4, zlib.compress(text))
    write("bzip2", 0, b"BZh91AY&SY")
    write("secure-framing", 0, b"\x02" + bytes(70))
    write("small-caps", 2 | 8, b'{"Command":1,"x":"' + b"a" * 9000 + b'"}')
    write("trailing-garbage", 0, zlib.compress(b'{"Command":1}') + b"xyz")
    write("deep", 4, b'{"Command":1,"x":' + b"[" * 2000 + b"]" * 2000 + b"}")
    secure_seeds()


main()
