#!/usr/bin/env python3
"""An independent reader of the table file format, written from the layout
tables alone (no engine code). It drives the kura tool to create and fill
tables, then decodes the .DAT and .IDX bytes itself and checks every field
against what was written.

Usage: read_table_format.py PATH_TO_KURA
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile

HEADER = 127
DESCRIPTOR = 768


def short_string(b, off, capacity):
    n = b[off]
    assert n <= capacity, f"short string length {n} above capacity {capacity}"
    return b[off + 1: off + 1 + n]


def decode_header(b):
    h = {}
    (h["counter"], h["blob_block"]) = struct.unpack_from("<ii", b, 0)
    h["version"] = b[8]
    (h["free_head"], h["next"], h["last_autoinc"]) = struct.unpack_from("<iii", b, 9)
    (h["record_size"], h["field_count"], h["blob_fields"]) = struct.unpack_from("<HHh", b, 21)
    (h["last_write"],) = struct.unpack_from("<d", b, 27)
    h["description"] = short_string(b, 35, 50)
    h["encrypted"] = b[86]
    h["password"] = short_string(b, 87, 15)
    (h["lang"], h["sort"], h["major"], h["minor"]) = struct.unpack_from("<hhhh", b, 103)
    (h["blob_stamp"],) = struct.unpack_from("<i", b, 112)
    (h["writer"],) = struct.unpack_from("<q", b, 116)
    h["tail"] = bytes(b[124:127])
    return h


def decode_descriptor(b, off):
    d = {}
    (d["number"],) = struct.unpack_from("<H", b, off)
    d["name"] = short_string(b, off + 2, 30)
    d["description"] = short_string(b, off + 33, 50)
    (d["type"], d["subtype"], d["length"], d["scale"], d["size"], d["scale2"]) = b[off + 84: off + 90]
    (d["offset"],) = struct.unpack_from("<H", b, off + 90)
    d["required"] = b[off + 92]
    d["case"] = b[off + 93]
    d["min"] = short_string(b, off + 94, 50)
    d["max"] = short_string(b, off + 145, 50)
    d["default"] = short_string(b, off + 196, 50)
    d["computed"] = b[off + 247]
    return d


SIZES = {1: None, 2: 4, 3: 8, 4: 2, 5: 2, 6: 4, 7: 8, 8: 34, 9: None, 10: 4, 11: 8, 12: 2,
         13: 4, 14: 10, 15: None, 18: 8}


def storage_size(t, length):
    if t == 1:
        return length + 1
    if t in (9, 15):
        return length
    return SIZES[t]


def day_number(y, m, d):
    import datetime
    return datetime.date(y, m, d).toordinal()  # 0001-01-01 is 1


def decode_value(d, raw):
    t = d["type"]
    if t == 1:
        return raw.split(b"\0", 1)[0].decode("cp932")
    if t == 2:
        import datetime
        return datetime.date.fromordinal(struct.unpack("<i", raw)[0]).isoformat()
    if t == 4:
        return {0: "false", 1: "true"}[struct.unpack("<h", raw)[0]]
    if t == 5:
        return str(struct.unpack("<h", raw)[0])
    if t == 6:
        return str(struct.unpack("<i", raw)[0])
    if t == 7:
        return repr(struct.unpack("<d", raw)[0])
    if t == 8:
        precision, sign_scale = raw[0], raw[1]
        digits = "".join(f"{byte >> 4}{byte & 15}" for byte in raw[2:])[:precision]
        scale = sign_scale & 0x3F
        whole, frac = digits[:precision - scale].lstrip("0") or "0", digits[precision - scale:]
        frac = frac.rstrip("0")
        return ("-" if sign_scale & 0x80 else "") + whole + ("." + frac if frac else "")
    if t in (9, 15):
        return "0x" + raw.hex()
    if t == 10:
        ms = struct.unpack("<i", raw)[0]
        return f"{ms // 3600000:02d}:{ms // 60000 % 60:02d}:{ms // 1000 % 60:02d}.{ms % 1000:03d}"
    if t == 11:
        import datetime
        ms = int(struct.unpack("<d", raw)[0])
        day = datetime.date.fromordinal(ms // 86400000 + 1).isoformat()
        ms %= 86400000
        return f"{day}T{ms // 3600000:02d}:{ms // 60000 % 60:02d}:{ms // 1000 % 60:02d}.{ms % 1000:03d}"
    if t == 12:
        return str(struct.unpack("<H", raw)[0])
    if t == 13:
        return str(struct.unpack("<I", raw)[0])
    if t == 14:
        mantissa, exp = struct.unpack("<QH", raw)
        sign = -1 if exp & 0x8000 else 1
        return repr(sign * mantissa * 2.0 ** ((exp & 0x7FFF) - 16383 - 63))
    if t == 18:
        return str(struct.unpack("<q", raw)[0])
    raise AssertionError(f"type {t}")


def read_table(directory, name):
    data = open(os.path.join(directory, name + ".DAT"), "rb").read()
    h = decode_header(data)
    assert h["version"] == 5
    assert h["writer"] == 33000
    assert h["tail"] == b"\0\0\0"
    fields = [decode_descriptor(data, HEADER + i * DESCRIPTOR) for i in range(h["field_count"])]
    # Slots follow each other from 9; auto-increment sits at 5 with no slot.
    expected = 9
    for i, d in enumerate(fields):
        assert d["number"] == i + 1
        assert d["scale"] == d["scale2"]
        if d["type"] == 6 and d["subtype"] == 29:
            assert d["offset"] == 5
            continue
        assert d["offset"] == expected, (d["name"], d["offset"], expected)
        assert d["size"] == storage_size(d["type"], d["length"])
        expected += d["size"] + 1
    assert h["record_size"] == expected
    start = HEADER + DESCRIPTOR * len(fields)
    assert (len(data) - start) % h["record_size"] == 0
    slots = (len(data) - start) // h["record_size"]
    assert h["next"] == slots + 1
    records = []
    for n in range(1, slots + 1):
        off = start + (n - 1) * h["record_size"]
        deleted, link, autoinc = struct.unpack_from("<Bii", data, off)
        assert deleted in (0, 1)
        if not deleted:
            assert link == n, f"live slot {n} holds {link}"
        values = []
        for d in fields:
            if d["type"] == 6 and d["subtype"] == 29:
                values.append(str(autoinc))
                continue
            has = data[off + d["offset"]]
            raw = data[off + d["offset"] + 1: off + d["offset"] + 1 + d["size"]]
            if not has:
                assert raw[:4 if d["type"] == 3 else len(raw)] == bytes(4 if d["type"] == 3 else len(raw))
                values.append(None)
            else:
                values.append(decode_value(d, raw))
        records.append({"deleted": bool(deleted), "link": link, "autoinc": autoinc, "values": values})

    idx = open(os.path.join(directory, name + ".IDX"), "rb").read()
    assert len(idx) % 4096 == 0 and len(idx) >= 4096
    assert idx[8] == 5
    (next_page,) = struct.unpack_from("<i", idx, 9)
    assert next_page == len(idx) // 4096
    desc = lambda slot: 14 + slot * 120
    assert short_string(idx, desc(31), 30) == b"Sys Deleted"
    assert struct.unpack_from("<h", idx, desc(31) + 31)[0] == 5
    assert short_string(idx, desc(32), 30) == b"Sys Text"
    assert struct.unpack_from("<h", idx, desc(32) + 31)[0] == 68 and idx[desc(32) + 36] == 3
    (live_count,) = struct.unpack_from("<i", idx, 3974)
    return h, fields, records, live_count, idx[3978]


def kura(tool, *args, stdin=None):
    result = subprocess.run([tool, *args], input=stdin, capture_output=True)
    if result.returncode != 0:
        raise AssertionError(f"kura {args}: {result.returncode} {result.stderr!r}")
    return result.stdout.decode()


def main():
    tool = sys.argv[1]
    work = tempfile.mkdtemp(prefix="kura-format-")
    try:
        kura(tool, "create", work, "kifudata", "NB:integer", "MNO:integer", "CLR:integer",
             "PNT:integer")
        rows = [(1, m, 1 + m % 2, (m * 37) % 361 + 1) for m in range(1, 300)]
        kura(tool, "append", work, "kifudata",
             stdin="".join("\t".join(map(str, r)) + "\n" for r in rows).encode())
        kura(tool, "delete", work, "kifudata", "5", "17")
        h, fields, records, live, no_pk = read_table(work, "kifudata")
        assert [f["name"] for f in fields] == [b"NB", b"MNO", b"CLR", b"PNT"]
        assert [f["type"] for f in fields] == [6, 6, 6, 6]
        assert h["record_size"] == 29 and h["field_count"] == 4 and h["next"] == 300
        assert h["free_head"] == 17 and records[16]["link"] == 5 and records[4]["link"] == 0
        assert no_pk == 1 and live == 297
        for n, (r, row) in enumerate(zip(records, rows), start=1):
            assert r["deleted"] == (n in (5, 17))
            assert r["autoinc"] == n
            assert r["values"] == [str(v) for v in row], (n, r, row)
        # Appending after deletes appends: the table has no primary key.
        kura(tool, "append", work, "kifudata", stdin=b"2\t1\t1\t100\n")
        h, _, records, live, _ = read_table(work, "kifudata")
        assert h["next"] == 301 and h["free_head"] == 0 and live == 298
        assert records[299]["values"] == ["2", "1", "1", "100"]

        kura(tool, "create", work, "Every", "S:string:12", "ID:autoinc", "D:date", "L:boolean",
             "I16:smallint", "F:float", "M:money", "N:bcd:3", "B:bytes:3", "V:varbytes:4",
             "T:time", "TS:timestamp", "W:word", "U:unsigned", "X:extended", "I64:largeint",
             "MEMO:memo", "--description", "型 test", "--locale", "German (Standard)")
        line = "\t".join(["碁盤 go  ", "\\N", "2024-02-29", "true", "-32768", "0.1", "12.5",
                          "-123.456", "0x00ff10", "ab", "23:59:59.999", "0001-01-01T00:00:00",
                          "65535", "4294967295", "-2.5", "-9223372036854775808", "\\N"])
        nulls = "\t".join(["\\N"] * 17)
        kura(tool, "append", work, "Every", stdin=(line + "\n" + nulls + "\n").encode())
        h, fields, records, live, _ = read_table(work, "Every")
        assert h["description"].decode("cp932") == "型 test"
        assert h["lang"] == 0x0407 and h["sort"] == 0
        assert h["blob_fields"] == 1
        memo = fields[16]
        assert (memo["type"], memo["subtype"], memo["size"]) == (3, 22, 8)
        assert (fields[6]["type"], fields[6]["subtype"]) == (7, 21)
        assert (fields[7]["type"], fields[7]["scale"], fields[7]["size"]) == (8, 3, 34)
        got = records[0]["values"]
        assert got == ["碁盤 go", "1", "2024-02-29", "true", "-32768", "0.1", "12.5", "-123.456",
                       "0x00ff10", "0x61620000", "23:59:59.999", "0001-01-01T00:00:00.000",
                       "65535", "4294967295", "-2.5", "-9223372036854775808", None], got
        assert records[1]["values"] == [None, "2"] + [None] * 15
        out = kura(tool, "verify", work, "Every")
        assert out == "ok\n"
    finally:
        shutil.rmtree(work)
    print("format ok")


if __name__ == "__main__":
    main()
