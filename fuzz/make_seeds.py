#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets into fuzz/corpus/<target>/.

Run it again after changing a seed; the files it writes are committed. The
fuzzers start from these and mutate them, so each seed takes one road through
its target that random bytes would seldom find (a login, a handle, a listing
in pages, a path that tries to leave the home).
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

OP = dict(OPEN_SESSION=0x100, CLOSE_SESSION=0x101, HEARTBEAT=0x309, CREATE_FILE=0x200, READ_FILE=0x201,
          WRITE_FILE=0x202, DELETE_FILE=0x203, GET_FILE_SIZE=0x204, GET_FILE_TIME=0x205,
          GET_FILE_ATTRIBUTES=0x206, SET_FILE_SIZE=0x207, SET_FILE_TIME=0x208, SET_FILE_ATTRIBUTES=0x209,
          CLOSE_FILE=0x20a, SET_SPARSE=0x20b, CREATE_DIRECTORY=0x300, REMOVE_DIRECTORY=0x301,
          QUERY_DIRECTORY=0x302, REGISTER_USER=0x303, LOGIN=0x304, GET_SPACE_INFO=0x305, LIST_DIRECTORY=0x306,
          RENAME=0x307, SET_SPACE_INFO=0x308)
GENERIC_READ, GENERIC_WRITE = 0x80000000, 0x40000000
OPEN_ALWAYS, OPEN_EXISTING, CREATE_ALWAYS = 4, 3, 2
FIRST_HANDLE = 0x1000  # the first handle of every input (the target numbers them afresh)


def header(code, length, tag=0x1234, direction=1, result=0):
    return b"KOVA" + struct.pack("<HHBBHIII I".replace(" ", ""), 0x0101, 0, direction, 0, code, result, length,
                                 tag, 0)


def frame(code, payload=b"", conn=0, length=None):
    """One step of the server frame target: selector byte, header, payload."""
    return bytes([conn]) + header(code, len(payload) if length is None else length) + payload


def path_req(path):
    p = path.encode("gb18030") + b"\0"
    return struct.pack("<HH", len(p), 0) + p


def two_str(a, b):
    a, b = a.encode("gb18030"), b.encode("gb18030")
    return struct.pack("<HH", len(a), len(b)) + a + b"\0" + b + b"\0"


def create(path, access=GENERIC_READ | GENERIC_WRITE, share=0, disposition=OPEN_ALWAYS):
    p = path.encode("gb18030") + b"\0"
    return struct.pack("<IIIIHH", access, share, disposition, 0x80, len(p), 0) + p


def data_req(handle, offset, count, data=b""):
    return struct.pack("<IIQI", handle, 0, offset, count) + data


def handle_req(handle):
    return struct.pack("<II", handle, 0)


def list_req(name, capacity=272):
    n = name.encode("gb18030")
    return struct.pack("<HI", len(n), capacity) + n + b"\0"


def login(user="alice", password="alicepw", conn=0):
    return frame(OP["LOGIN"], two_str(user, password), conn)


def frames_seeds():
    s = {}
    s["session"] = (frame(OP["OPEN_SESSION"]) + frame(OP["HEARTBEAT"]) + frame(600) +
                    frame(OP["OPEN_SESSION"], b"xyz") + frame(OP["CLOSE_SESSION"]))
    h = FIRST_HANDLE
    s["file_cycle"] = (frame(OP["OPEN_SESSION"]) + login() +
                       frame(OP["CREATE_FILE"], create("Mon\\C\\data\\a.txt")) +
                       frame(OP["SET_FILE_SIZE"], struct.pack("<IIQ", h, 0, 10)) +
                       frame(OP["WRITE_FILE"], data_req(h, 0, 10, b"0123456789")) +
                       frame(OP["GET_FILE_SIZE"], handle_req(h)) +
                       frame(OP["GET_FILE_TIME"], handle_req(h)) +
                       frame(OP["SET_FILE_TIME"], struct.pack("<IIQQQ", h, 0, 0, 0, 132000000000000000)) +
                       frame(OP["READ_FILE"], data_req(h, 0, 10)) +
                       frame(OP["READ_FILE"], data_req(h, 4, 100)) +
                       frame(OP["SET_SPARSE"], struct.pack("<I", h)) +
                       frame(OP["SET_SPACE_INFO"], struct.pack("<II", 1000, 10)) +
                       frame(OP["CLOSE_FILE"], handle_req(h)) +
                       frame(OP["CLOSE_FILE"], handle_req(77)) +
                       frame(OP["CLOSE_SESSION"]))
    s["paths"] = (login() + frame(OP["CREATE_DIRECTORY"], path_req("docs\\old")) +
                  frame(OP["CREATE_FILE"], create("docs\\old\\b.txt")) +
                  frame(OP["LIST_DIRECTORY"], list_req("\\")) +
                  frame(OP["LIST_DIRECTORY"], list_req("docs")) +
                  frame(OP["LIST_DIRECTORY"], list_req("old")) +
                  frame(OP["LIST_DIRECTORY"], list_req("docs")) +
                  frame(OP["GET_FILE_ATTRIBUTES"], path_req("old\\b.txt")) +
                  frame(OP["SET_FILE_ATTRIBUTES"], struct.pack("<I", 1) + path_req("old\\b.txt")[0:]) +
                  frame(OP["RENAME"], two_str("old", "new")) +
                  frame(OP["DELETE_FILE"], path_req("new\\b.txt")) +
                  frame(OP["QUERY_DIRECTORY"], b"\0") +
                  frame(OP["GET_SPACE_INFO"], b"\0" * 8) +
                  frame(OP["REMOVE_DIRECTORY"], path_req("new")) +
                  frame(OP["CREATE_FILE"], create("Mon\\C\\data\\empty|")))
    s["listing_pages"] = (login() + b"".join(frame(OP["CREATE_FILE"], create("d\\file%02d.txt" % i))
                                            for i in range(6)) +
                          b"".join(frame(OP["LIST_DIRECTORY"], list_req("d", 40)) for _ in range(4)))
    s["two_users"] = (login() + login("bob", "bobpw", 1) + login("alice", "alicepw", 1) +
                      frame(OP["CREATE_FILE"], create("x.bin")) +
                      frame(OP["WRITE_FILE"], data_req(FIRST_HANDLE, 0, 3, b"abc"), 1) +
                      frame(OP["READ_FILE"], data_req(FIRST_HANDLE, 0, 3), 1) +
                      frame(OP["CLOSE_FILE"], handle_req(FIRST_HANDLE), 1) +
                      frame(OP["CREATE_FILE"], create("x.bin"), 1) +
                      frame(OP["REGISTER_USER"], two_str("carol", "c"), 1) +
                      frame(OP["REGISTER_USER"], two_str("Carol", "c"), 1) +
                      frame(OP["REGISTER_USER"], two_str("..", "c"), 1) +
                      frame(OP["LOGIN"], two_str("carol", "c"), 1))
    s["escapes"] = (login() +
                    frame(OP["CREATE_FILE"], create("..\\..\\outside\\new.txt")) +
                    frame(OP["CREATE_FILE"], create("outlink\\secret.txt", GENERIC_READ, 1, OPEN_EXISTING)) +
                    frame(OP["CREATE_FILE"], create("secretlink", GENERIC_READ, 1, OPEN_EXISTING)) +
                    frame(OP["READ_FILE"], data_req(FIRST_HANDLE, 0, 29)) +
                    frame(OP["DELETE_FILE"], path_req("..\\..\\outside\\secret.txt")) +
                    frame(OP["DELETE_FILE"], path_req("outlink\\secret.txt")) +
                    frame(OP["LIST_DIRECTORY"], list_req("outlink")) +
                    frame(OP["LIST_DIRECTORY"], list_req("..")) +
                    frame(OP["GET_FILE_ATTRIBUTES"], path_req("outlink\\secret.txt")) +
                    frame(OP["SET_FILE_ATTRIBUTES"], struct.pack("<I", 1) + path_req("secretlink")) +
                    frame(OP["RENAME"], two_str("outlink\\secret.txt", "stolen.txt")) +
                    frame(OP["RENAME"], two_str("a.txt", "..\\..\\outside\\a.txt")) +
                    frame(OP["CREATE_DIRECTORY"], path_req("outlink\\sub")) +
                    frame(OP["REMOVE_DIRECTORY"], path_req("outlink")) +
                    frame(OP["REMOVE_DIRECTORY"], path_req("..")) +
                    frame(OP["REGISTER_USER"], two_str("..\\outside", "x")))
    s["oversize"] = (login() + frame(OP["WRITE_FILE"], b"", length=70000) + frame(OP["HEARTBEAT"]) +
                     frame(OP["DELETE_FILE"], b"", length=0) + frame(OP["HEARTBEAT"]) +
                     frame(OP["READ_FILE"], data_req(FIRST_HANDLE, 0, 0xFFFFFFFF)))
    return s


def config_seeds():
    return {
        "two_users": b"[SharePath]\r\n/srv/tervane/share/\r\n[User]\r\nalice\r\n0123456789abcdef0123456789abcdef\r\n"
                     b"[User]\r\nbob\r\nfedcba9876543210fedcba9876543210\r\n",
        "root_only": b"[SharePath]\r\n/srv/share\r\n",
        "lf_only": b"[SharePath]\n/srv/share/\n[User]\nann\npw\n",
        "spaces": b"[SharePath]\r\n/srv/my share/\r\n[User]\r\nann lee\r\n p w \r\n\r\n\r\n",
        "no_final_cr": b"[SharePath]\r\n/srv/share/\r\n[User]\r\nann\r\npw",
        "chinese": "[SharePath]\r\n/srv/共享/\r\n[User]\r\n数据\r\nabc\r\n".encode("utf-8"),
        "any_header": b"[SharePath]\r\n/s/\r\n[Other]\r\nx\r\ny\r\n[User]\r\n..\r\nz\r\n",
    }


def settings_seeds():
    return {
        "normal": b"[BK_CFG_INIF]\nIP=192.168.1.20\nBEGIN_TM=2024-05-06 12:30:00\nBK_DIRS=/home/ann/docs|/srv/data|\n",
        "crlf_bom": b"\xef\xbb\xbf[bk_cfg_inif]\r\nip = 10.0.0.1 \r\nBEGIN_TM=\"2024/05/06 00:00:00\"\r\n"
                    b"BK_DIRS=/a b|/c|\r\n",
        "short_entry": b"[BK_CFG_INIF]\nIP=1.2.3\nBEGIN_TM=2024-05-06\nBK_DIRS=/ok|x|/lost|\n",
        "other_sections": b"; comment\n[Other]\nBK_DIRS=/no|\n[BK_CFG_INIF]\nBK_DIRS=/yes|tail\nBK_DIRS=/second|\n",
        "long_dirs": b"[BK_CFG_INIF]\nIP=127.0.0.1\nBEGIN_TM=23:59:59\nBK_DIRS=" +
                     b"".join(b"/dir/%04d|" % i for i in range(120)) + b"\n",
        "odd_names": "[BK_CFG_INIF]\nBK_DIRS='/q|\"/d\"| /lead|/数据|\n".encode("utf-8"),
    }


def reply(length, result=0, tag=0, code=0x306):
    return header(code, length, tag=tag, direction=2, result=result)


def record(name, is_dir=False, last=False):
    n = name.encode("gb18030")
    return struct.pack("<HII", len(n), int(is_dir), int(last)) + n + b"\0"


def chunk(records):
    body = b"".join(records)
    return struct.pack("<II", len(records), len(body)) + body


def listing_reply(records):
    c = chunk(records)
    return reply(len(c)) + c


def listing_seeds():
    def start(cap, task=False):
        return bytes([1 if task else 0]) + struct.pack("<H", cap)

    two = listing_reply([record("a"), record("bc", True, True)])
    # More than the helper's first 10,240 bytes: it grows its buffer and asks again.
    big = b"".join(listing_reply([record("entry-%04d-%s" % (c * 8 + i, "x" * 8), last=(c == 41 and i == 7))
                                  for i in range(8)]) for c in range(42))
    pages = (listing_reply([record("file%02d" % i) for i in range(4)]) +
             listing_reply([record("file%02d" % i) for i in range(4, 7)] + [record("sub", True, True)]))
    return {
        "two_records": start(1024) + two,
        "pages": start(4096) + pages,
        "empty": start(64) + listing_reply([]),
        "missing": start(64) + reply(0, result=0x3530),
        "foreign_tag": start(64) + reply(len(chunk([record("a", last=True)])), tag=7) + chunk([record("a", last=True)]),
        "oversize": start(64) + reply(4000) + b"\0" * 64,
        "too_small": start(20) + pages,
        "cut_short": start(512) + listing_reply([record("x")]) + listing_reply([]),
        "task_grows": start(0, True) + big + big,
        "task_fails_second": start(0, True) + pages + reply(0, result=13),
        "bad_count": start(512) + reply(8 + 12) + struct.pack("<II", 3, 12) + record("a", last=True),
    }


def write(target, seeds):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(d, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    write("frame", frames_seeds())
    write("config", config_seeds())
    write("settings", settings_seeds())
    write("listing", listing_seeds())
