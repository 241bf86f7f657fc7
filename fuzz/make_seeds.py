#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets (fuzz/corpus/<target>/) from the messages,
datagrams and files the launcher really meets. Run it again after changing an input layout:
    fuzz/make_seeds.py
The layouts are the ones described at the top of each fuzz_*.cpp."""
import os
import shutil
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
TARGETS = ["fuzz_bmmsg", "fuzz_framing", "fuzz_discovery_reply", "fuzz_downloader", "fuzz_default_txt",
           "fuzz_device_data", "fuzz_environment", "fuzz_signature", "fuzz_release_records"]

MSG_KEEPALIVE, MSG_HELLO = 16, 27
MSG_VERSION_REQUEST, MSG_VERSION_REPLY, MSG_DOWNLOAD_REQUEST = 8128, 8129, 8130
MSG_FILE_8131, MSG_FILE_8132, MSG_FILE_8149, MSG_FILE_PIECE = 8131, 8132, 8149, 8301
MSG_EVENT_REPORT = 9501
BUILD = "6.9 Build 114.0 Rel"


def pad4(b):
    return b + b"\0" * (-len(b) % 4)


def i32(v):
    return struct.pack("<I", v & 0xFFFFFFFF)


def wide(text):
    raw = text.encode("utf-16-le")
    return i32(len(raw) | 0x80000000) + pad4(raw)


def narrow(text):
    raw = text.encode("latin-1")
    return i32(len(raw)) + pad4(raw)


def frame(request_id, msg_id, payload):
    return struct.pack("<HHI", request_id, msg_id, len(payload)) + payload


def hello(mac="00-1A-2B-3C-4D-5E", client_type=2):
    payload = (i32(706) + i32(5) + wide(BUILD) + i32(16) + b"\0" * 16 + i32(client_type) + wide(mac) +
               wide("") + wide("") + wide(""))
    return frame(0, MSG_HELLO, payload)


def version_request(rid, screen=3, client_type=2, dev=0):
    return frame(rid, MSG_VERSION_REQUEST, i32(screen) + i32(client_type) + i32(dev))


def version_reply(rid, text="1.0.12.305", form=wide):
    return frame(rid, MSG_VERSION_REPLY, form(text))


def download_request(rid):
    return frame(rid, MSG_DOWNLOAD_REQUEST, i32(3) + i32(2) + i32(706) + i32(0))


def whole_file(rid, content, msg_id=MSG_FILE_8131, announced=None):
    n = len(content) if announced is None else announced
    return frame(rid, msg_id, i32(n) + pad4(content))


def piece(rid, total, content, length=None):
    k = len(content) if length is None else length
    return frame(rid, MSG_FILE_PIECE, i32(total) + i32(k) + pad4(content))


def event_report(text):
    return frame(0, MSG_EVENT_REPORT, wide(text))


FILE_BYTES = b"\x7fELF\x02\x01\x01\0" + bytes(range(24))

# Operation codes of fuzz_bmmsg (low nibble; the high nibble is the argument).
READ_INT, SKIP_INT, READ_SMALL, READ_NEAR_END, READ_STRING, READ_TWICE, REWIND, CLONE, BACK, SET_ID, APPEND, \
    REWRAP = range(12)


def op(kind, arg=0):
    return (arg << 4) | kind


def bmmsg_seed(ops, wire):
    return bytes([len(ops)]) + bytes(ops) + wire


def bmmsg_seeds():
    hello_ops = [READ_INT, READ_INT, READ_STRING, READ_INT, op(READ_SMALL, 15), READ_INT, READ_INT, READ_STRING,
                 READ_STRING, READ_STRING, READ_STRING, READ_STRING, CLONE, READ_INT, REWIND, READ_TWICE]
    yield "hello", bmmsg_seed(hello_ops, hello())
    yield "hello_empty_mac", bmmsg_seed(hello_ops, hello(mac="", client_type=19))
    yield "version_request", bmmsg_seed([READ_INT, READ_INT, READ_INT, READ_INT, READ_STRING], version_request(5))
    yield "version_reply_wide", bmmsg_seed([READ_STRING, READ_STRING, REWIND, READ_STRING, CLONE, READ_STRING],
                                           version_reply(5))
    yield "version_reply_narrow", bmmsg_seed([READ_STRING, op(SET_ID, 3), CLONE, op(APPEND, 7), READ_STRING],
                                             version_reply(5, form=narrow))
    yield "download_request", bmmsg_seed([READ_INT] * 5, download_request(9))
    yield "whole_file", bmmsg_seed([READ_INT, op(READ_NEAR_END, 8), READ_INT, CLONE, SKIP_INT, op(READ_NEAR_END, 9)],
                                   whole_file(9, FILE_BYTES))
    yield "piece", bmmsg_seed([READ_INT, READ_INT, op(READ_SMALL, 6), READ_STRING, op(REWRAP, 3), READ_INT],
                              piece(9, 10, b"\1\2\3\4\5\6"))
    yield "event_report", bmmsg_seed([READ_STRING, BACK, CLONE, READ_STRING],
                                     event_report("COMMON/BM_COMM/bmmsg.cpp(line 120: " + BUILD + ")"))
    yield "keepalive", bmmsg_seed([READ_INT, READ_STRING, READ_STRING], frame(0, MSG_KEEPALIVE, b""))
    long_item = i32(10001) + b"x" * 10004 + i32(7)
    yield "string_over_limit", bmmsg_seed([READ_STRING, READ_INT], frame(5, MSG_VERSION_REPLY, long_item)[:2000])
    yield "truncated", bmmsg_seed([READ_STRING, READ_INT, READ_STRING], version_reply(5)[:14])


def chunks(stream, size):
    out = b""
    for at in range(0, len(stream), size):
        part = stream[at:at + size]
        out += bytes([len(part)]) + part
    return out


def framing_seeds():
    gateway_stream = (version_reply(1) + whole_file(1, FILE_BYTES) + piece(2, 10, b"\1\2\3\4") +
                      piece(2, 10, b"\5\6\7\x08\x09\x0a") + frame(0x7FFF, 4242, i32(1)) + frame(0, MSG_KEEPALIVE, b"") +
                      version_reply(0x8001, "9.9"))
    yield "transport_whole", b"\x00" + chunks(gateway_stream, 250)
    yield "transport_bytewise", b"\x00" + chunks(gateway_stream[:120], 1)
    yield "transport_sevens", b"\x02" + chunks(gateway_stream, 7) + b"\x00"
    yield "client_all", b"\x01" + chunks(gateway_stream, 64)
    yield "client_none", b"\x05" + chunks(gateway_stream, 13)
    yield "client_filter_one", b"\x09" + chunks(gateway_stream, 250) + b"\x00"
    yield "client_alternating_drop", b"\x1d" + chunks(gateway_stream, 31)
    download = version_reply(2) + piece(3, 10, b"\1\2\3\4") + piece(3, 10, b"\5\6\7\x08\x09\x0a")
    yield "client_query_and_pieces", b"\x01" + chunks(download, 11)
    yield "client_whole_file", b"\x01" + chunks(whole_file(3, FILE_BYTES * 8), 100)
    yield "odd_payload", b"\x01" + chunks(frame(1, MSG_VERSION_REPLY, b"\x03\0\0\0abc") + frame(1, 1, b"\x01\x02\x03"), 9)
    yield "declared_limit", b"\x00" + chunks(struct.pack("<HHI", 1, MSG_FILE_8131, 999992), 8)
    # 999991 payload bytes (total 999999): waited for, then complete.
    big = struct.pack("<HHI", 1, MSG_FILE_8131, 999991)
    yield "declared_largest", b"\x00" + chunks(big, 8) + b"\xff" + struct.pack("<I", 999991)[:3] + b"\x00"
    yield "stream_end_mid_message", b"\x01" + chunks(whole_file(1, FILE_BYTES)[:20], 20) + b"\x00"


def reply(kind=1, flags=0, name="HOUSE", ip=(10, 0, 0, 5), port=8016, rtype=2, raw_name=None):
    name_field = raw_name if raw_name is not None else name.encode("latin-1")
    name_field = (name_field + b"\0" * 28)[:28]
    return i32(rtype) + bytes(ip) + struct.pack("<H", port) + bytes([kind, flags]) + name_field


def datagrams(*items):
    out = b""
    for d in items:
        out += bytes([len(d)]) + d
    return out


def discovery_seeds():
    def seed(wanted, sink, *items):
        return bytes([len(wanted)]) + wanted.encode() + bytes([sink]) + datagrams(*items)

    yield "first_acceptable", seed("", 1, reply())
    yield "wanted_among_several", seed("HOUSE", 1, reply(kind=3), reply(flags=0x10), reply(name="OTHER", kind=6),
                                       reply(kind=8, flags=1, port=0x1F50))
    yield "no_sink", seed("HOUSE", 0, reply(name="OTHER"), reply(kind=2))
    yield "wrong_lengths", seed("", 1, reply()[:39], reply())
    yield "long_then_valid", seed("", 1, reply() + b"\0", reply())
    yield "wrong_type", seed("", 1, reply(rtype=3), reply())
    yield "name_without_zero", seed("ABCDEFGHIJKLMNOPQRSTUVWXYZA", 1, reply(raw_name=b"ABCDEFGHIJKLMNOPQRSTUVWXYZAB"))
    yield "wanted_too_long", seed("ABCDEFGHIJKLMNOPQRSTUVWXYZAB", 1, reply(raw_name=b"ABCDEFGHIJKLMNOPQRSTUVWXYZAB"))
    yield "high_bytes_name", seed("", 1, reply(raw_name=b"K\xfcche\xff"))
    yield "oversized_datagram", bytes([0, 1, 0xFF]) + reply() * 3 + datagrams(reply())
    yield "many_refused", seed("", 0, *([reply(kind=9)] * 30 + [reply()]))


def downloader_seeds():
    def record(wire, own=True):
        return bytes([1 if own else 0]) + struct.pack("<H", len(wire)) + wire

    yield "whole_8131", record(whole_file(0, FILE_BYTES))
    yield "whole_8132_empty_payload", record(frame(0, MSG_FILE_8132, b""))
    yield "whole_8149_size_zero", record(whole_file(0, b"", MSG_FILE_8149))
    yield "whole_size_past_payload", record(whole_file(0, b"abcd", announced=400))
    yield "pieces_4_6", record(piece(0, 10, b"\1\2\3\4")) + record(piece(0, 10, b"\5\6\7\x08\x09\x0a"))
    yield "pieces_other_total", record(piece(0, 10, b"\1\2\3\4")) + record(piece(0, 12, b"\5\6\7\x08\x09\x0a"))
    yield "piece_past_total", record(piece(0, 6, b"\1\2\3\4")) + record(piece(0, 6, b"\5\6\7\x08"))
    yield "piece_short_payload", record(piece(0, 16, b"\1\2", length=12))
    yield "other_reply", record(version_reply(0)) + record(whole_file(0, FILE_BYTES))
    yield "someone_elses", record(whole_file(77, FILE_BYTES), own=False) + record(whole_file(0, b"mine"))
    yield "progress_then_whole", bytes([3]) + struct.pack("<H", 24) + whole_file(0, FILE_BYTES)[:24] + \
        record(whole_file(0, FILE_BYTES))


def default_txt_seeds():
    yield "hall_two_lines", b"\x00Hall\r\nSecond line\r\n"
    yield "empty", b"\x00"
    yield "kitchen_panel", b"\x00Kitchen Panel 2"
    yield "lf_only", b"\x00Lounge\nx"
    yield "utf16_bom", b"\x00\xff\xfeH\x00a\x00l\x00l\x00"
    yield "nul_inside", b"\x00Ha\x00ll"
    yield "command_line", b"\x00-x /NAME:Kitchen Panel 2"
    yield "lower_case_switch", b"\x00/name:Hall"
    yield "trailing_slash", b"\x01Hall\r\n"
    yield "no_folder", b"\x02Hall"
    yield "fifo", b"\x04Hall"
    yield "folder", b"\x08Hall"
    yield "missing", b"\x0cHall"


def device_data_seeds():
    yield "on", b"\x00\x01\x00\x00\x00"
    yield "off", b"\x00\x00\x00\x00\x00"
    yield "other_nonzero", b"\x00\x00\x00\x00\x80"
    yield "two_bytes", b"\x00\x01\x00"
    yield "longer_first_zero", b"\x02\x00\x00\x00\x00\x01\x01\x01\x01"
    yield "save_round_trip", b"\x02\x07\x00\x00\x00"
    yield "folder", b"\x01"
    yield "fifo", b"\x04\x01\x00\x00\x00"
    yield "empty", b"\x00"


def environment_seeds():
    def seed(flags, dest, oem, template, target, pause, root):
        return bytes([flags, dest]) + b"\0".join(x.encode("latin-1") for x in (oem, template, target, pause, root))

    yield "oem_short", seed(0, 64, "1", "%RUNTIMEOEMREV%", "127.255.255.255:40444", "0", "/tmp/q")
    yield "oem_unset", seed(1, 64, "", "%RUNTIMEOEMREV%", "255.255.255.255:444", "250", "")
    yield "oem_63", seed(2, 64, "x" * 63, "a%RUNTIMEOEMREV%b", "127.0.0.1:65535", "5000", "/tmp/q///")
    yield "oem_percent", seed(2, 8, "%HOME%", "%UNDEFINED_NAME% 50% %", "1.2.3.4:0", "5001", "/")
    yield "bad_targets", seed(0, 3, "", "%%", "127.0.0.1:444x", "-1", "relative")
    yield "leading_zeros", seed(0, 0, "", "plain", "010.001.000.255:00080", " 5", "/var/lib/quillon")


# Signatures of b"seed payload\n" by the fuzz target's own test key (its secret half is gone).
SEED_PAYLOAD = b"seed payload\n"
SIG_PREHASHED = (b"untrusted comment: signature from minisign secret key\n"
                 b"RUSNlL80GerzLGabc3CRTqxZcrsOwoCqor0J9fIroSx/Blp5lkTlALVjVodBY7u9mYHUuIVL0YamfpqRGPSrT9t1m7KD4L6xngI=\n"
                 b"trusted comment: fuzz seed\n"
                 b"8mGb8rTebAoAlNocPcxJ2l9a4jh72qzR8UlpNE/o1lm1H4dtIiKM9bw10GYPWJpPeMkjEauOjpdh0YjtT55IAg==\n")
SIG_LEGACY = (b"untrusted comment: signature from minisign secret key\n"
              b"RWSNlL80GerzLH+dptJlpLZOjfSt4A9WZA4E1bP1MHyxKEy+PHOeGmdmwLBzgYcmMulkzkFEAlLINVLyfb5qGWwCw08b9G8J0Qc=\n"
              b"trusted comment: fuzz seed\n"
              b"Kq/BPsRx4EeySF/qGLPkgfwQ037mDwwHlydzbfJ3av1K5B5q77wsAcMMH843SjsySeeDyLApPzfLhw2vfrDGDw==\n")
PUBLIC_KEY = (b"untrusted comment: minisign public key 2CF3EA1934BF948D\n"
              b"RWSNlL80GerzLLcndo0rqF3Yn0CPKmFn0GAuvlyite39/DQmozcUxt9O\n")
MAGIC = b"~Quillon signature appended~\n"


def signature_seeds():
    def image(sig, length=None):
        return bytes([0]) + SEED_PAYLOAD + sig + i32(len(sig) if length is None else length) + MAGIC
    yield "signed_prehashed", image(SIG_PREHASHED)
    yield "signed_legacy", image(SIG_LEGACY)
    yield "signed_crlf", image(SIG_PREHASHED.replace(b"\n", b"\r\n"))
    yield "length_zero", image(SIG_PREHASHED, 0)
    yield "length_huge", image(SIG_PREHASHED, 0xFFFFFFFF)
    yield "length_beyond", image(SIG_PREHASHED, 4000)
    yield "unsigned", bytes([0]) + SEED_PAYLOAD
    yield "magic_only", bytes([0]) + MAGIC
    yield "text_prehashed", bytes([1]) + SIG_PREHASHED
    yield "text_three_lines", bytes([1]) + SIG_PREHASHED.rsplit(b"\n", 2)[0] + b"\n"
    yield "key", bytes([2]) + PUBLIC_KEY
    yield "key_crlf", bytes([2]) + PUBLIC_KEY.replace(b"\n", b"\r\n")
    yield "framed_prehashed", bytes([3]) + i32(len(SIG_PREHASHED)) + SIG_PREHASHED
    yield "framed_legacy", bytes([3]) + i32(len(SIG_LEGACY)) + SIG_LEGACY


def release_record_seeds():
    sha = "sha256=" + "0123456789abcdef" * 4 + "\n"
    yield "trial", b"\x00# on trial\nversion=2.0.0.7\n" + sha.encode() + b"quick-ends=2\n"
    yield "trial_limit", b"\x00version=1\n" + sha.encode() + b"quick-ends=1000\n"
    yield "trial_repeated", b"\x00version=1\nversion=2\n" + sha.encode() + b"quick-ends=0\n"
    yield "trial_crlf", b"\x00version=1\r\n" + sha.encode() + b"quick-ends=0\r\n"
    yield "refused", (b"\x01version=2.0.0.7\n" + sha.encode() +
                      b"reason=ended 3 times within 10 s\ntime=2026-12-09T21:04:05Z\nreported=no\n")
    yield "refused_feb30", b"\x01version=2\n" + sha.encode() + b"reason=\ntime=2026-02-30T25:61:61Z\nreported=yes\n"
    yield "refused_no_time", b"\x01version=2\n" + sha.encode() + b"reason=x\n"


def main():
    makers = {"fuzz_bmmsg": bmmsg_seeds, "fuzz_framing": framing_seeds, "fuzz_discovery_reply": discovery_seeds,
              "fuzz_downloader": downloader_seeds, "fuzz_default_txt": default_txt_seeds,
              "fuzz_device_data": device_data_seeds, "fuzz_environment": environment_seeds,
              "fuzz_signature": signature_seeds, "fuzz_release_records": release_record_seeds}
    for target in TARGETS:
        folder = os.path.join(HERE, "corpus", target)
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        for name, data in makers[target]():
            with open(os.path.join(folder, name), "wb") as out:
                out.write(data)


if __name__ == "__main__":
    main()
