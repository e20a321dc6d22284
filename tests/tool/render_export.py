#!/usr/bin/env python3
"""Reads an export of ringlens-tool with Python's own parsers and writes
the text lines ringlens writes for the same records (time lines in UTC),
so a test can compare them byte for byte.

    render_export.py jsonl FILE      every line one JSON object
    render_export.py csv FILE        RFC 4180, a header row, CR LF row ends
    render_export.py json FILE       one JSON document; checks its keys
    render_export.py inspect-facts FILE   the same, and its main facts
"""
import csv
import json
import sys
import time

EVENT_KEYS = {"record", "kind", "offset", "number", "mark", "text", "textBytes",
              "methodId", "name", "nameBytes"}


def fail(message):
    sys.stderr.write(message + "\n")
    sys.exit(1)


def text_bytes(clean, hex_bytes):
    # The exact bytes where the text was not UTF-8, else the text itself.
    # A cleaned text never holds U+FFFD for a valid byte... unless the
    # text held U+FFFD itself; hex is there whenever a byte was replaced.
    return bytes.fromhex(hex_bytes) if hex_bytes else clean.encode("utf-8")


def time_line(seconds):
    return ("----*" + time.strftime("%a %b %d %H:%M:%S %Y", time.gmtime(seconds)) + "*----\n").encode()


def render(obj):
    record = obj["record"]
    if record == "buffer":
        if set(obj) - {"record", "number", "offset", "text", "textBytes"}:
            fail("unexpected buffer keys: %r" % sorted(obj))
        return b"**TRACE_BUFFER_%d: " % obj["number"] + text_bytes(obj["text"], obj.get("textBytes"))
    if record == "time":
        if set(obj) != {"record", "kind", "offset", "time", "utc"}:
            fail("unexpected time keys: %r" % sorted(obj))
        if time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(obj["time"])) != obj["utc"]:
            fail("utc %r does not match time %r" % (obj["utc"], obj["time"]))
        return time_line(obj["time"])
    if record != "event" or set(obj) - EVENT_KEYS:
        fail("unexpected record: %r" % obj)
    line = b""
    if obj.get("number") is not None:
        line += b"%d " % obj["number"]
    line += obj["mark"].encode()
    if "methodId" in obj:
        if obj["name"] is None:
            line += b"Entry Name Unknown" if obj["mark"] == ">" else b"Exit Name Unknown"
        else:
            line += text_bytes(obj["name"], obj.get("nameBytes"))
    else:
        line += text_bytes(obj["text"], obj.get("textBytes"))
    return line + b"\n"


def from_csv_row(row):
    # The same record as the JSON object, from the columns of a row.
    obj = {"record": row["record"]}
    def number(name):
        return int(row[name]) if row[name] != "" else None
    if row["record"] == "buffer":
        obj.update(number=number("number"), offset=number("offset"), text=row["text"])
        if row["textBytes"]:
            obj["textBytes"] = row["textBytes"]
        return obj
    obj.update(kind=number("kind"), offset=number("offset"))
    if row["record"] == "time":
        obj.update(time=number("time"), utc=row["utc"])
        return obj
    if row["number"] != "":
        obj["number"] = number("number")
    obj["mark"] = row["mark"]
    if row["methodId"] != "":
        obj["methodId"] = number("methodId")
        obj["name"] = row["name"] if row["name"] != "" or row["nameBytes"] != "" else None
        if row["nameBytes"]:
            obj["nameBytes"] = row["nameBytes"]
    else:
        obj["text"] = row["text"]
        if row["textBytes"]:
            obj["textBytes"] = row["textBytes"]
    return obj


def check_inspect(doc):
    # The types of the keys every report has.
    def is_int(value):
        return isinstance(value, int) and not isinstance(value, bool)
    if doc["shape"] not in ("file-trace", "dump"):
        fail("shape %r" % doc["shape"])
    if doc["shape"] == "dump" and doc["container"] not in ("elf-core", "minidump", "raw"):
        fail("container %r" % doc["container"])
    if doc["shape"] == "file-trace" and doc["container"] is not None:
        fail("a trace data file with a container")
    if doc["status"] not in (0, 101, 102, 103) or not is_int(doc["records"]):
        fail("status %r, records %r" % (doc["status"], doc["records"]))
    used = doc["used"]
    for key in ("memoryTrace", "traceIndex", "traceMethod"):
        if used[key] is not None and not is_int(used[key]):
            fail("used %s %r" % (key, used[key]))
    for number, offset in used["traceBuffers"].items():
        if not number.isdigit() or not is_int(offset):
            fail("traceBuffers %r: %r" % (number, offset))
    for o in doc["occurrences"]:
        keys = {"signature", "offset", "address", "live"} | ({"number"} if o.get("signature") == "traceBuffer" else set())
        if set(o) != keys:
            fail("occurrence keys %r" % sorted(o))
        if o["signature"] not in ("memoryTrace", "traceIndex", "traceMethod", "traceBuffer") or not is_int(o["offset"]):
            fail("occurrence %r" % o)
        if o["address"] is not None and not is_int(o["address"]):
            fail("occurrence address %r" % o)
        if o["live"] not in (None, True, False):
            fail("occurrence live %r" % o)
        # Addresses only in a container; live only for its memory traces,
        # and never where it maps no address.
        if doc["container"] in (None, "raw") and (o["address"] is not None or o["live"] is not None):
            fail("an address or live in no container: %r" % o)
        if doc["container"] in ("elf-core", "minidump"):
            if (o["live"] is None) != (o["signature"] != "memoryTrace") or (o["live"] and o["address"] is None):
                fail("occurrence live %r in a container" % o)
    end = doc["end"]
    if end is not None and (not isinstance(end, dict) or "reason" not in end):
        fail("end %r" % end)


def main():
    mode, path = sys.argv[1], sys.argv[2]
    out = sys.stdout.buffer
    if mode == "jsonl":
        with open(path, "rb") as f:
            data = f.read()
        if data and not data.endswith(b"\n"):
            fail("last line has no end")
        for raw in data.split(b"\n")[:-1]:
            out.write(render(json.loads(raw.decode("utf-8"))))
    elif mode == "csv":
        with open(path, "rb") as f:
            data = f.read()
        if data and not data.endswith(b"\r\n"):
            fail("last row does not end with CR LF")
        with open(path, newline="", encoding="utf-8") as f:
            reader = csv.DictReader(f, strict=True)
            expected = ("record,kind,offset,number,mark,time,utc,methodId,name,nameBytes,text,textBytes").split(",")
            if reader.fieldnames != expected:
                fail("header %r" % reader.fieldnames)
            for row in reader:
                if None in row or len(row) != len(expected):
                    fail("row with a wrong number of fields: %r" % row)
                out.write(render(from_csv_row(row)))
    elif mode == "json":
        with open(path, "rb") as f:
            doc = json.loads(f.read().decode("utf-8"))
        for key in ("shape", "container", "status", "records", "used", "occurrences", "end"):
            if key not in doc:
                fail("no key %r" % key)
        for key in ("memoryTrace", "traceIndex", "traceMethod", "traceBuffers"):
            if key not in doc["used"]:
                fail("no used key %r" % key)
        check_inspect(doc)
        out.write(json.dumps(doc, sort_keys=True).encode() + b"\n")
    elif mode == "inspect-facts":
        # The report's main facts, one a line, for a test to compare.
        with open(path, "rb") as f:
            doc = json.loads(f.read().decode("utf-8"))
        check_inspect(doc)
        used = doc["used"]
        lines = ["shape %s" % doc["shape"], "container %s" % doc["container"], "status %d" % doc["status"],
                 "records %d" % doc["records"]]
        for key in ("memoryTrace", "traceIndex", "traceMethod"):
            lines.append("used %s %s" % (key, used[key]))
        for number, offset in sorted(used["traceBuffers"].items()):
            lines.append("used traceBuffer %s %d" % (number, offset))
        for o in doc["occurrences"]:
            lines.append("occurrence %s%s %d %s %s" % (o["signature"], " %d" % o["number"] if "number" in o else "",
                                                    o["offset"], o["address"], o["live"]))
        end = doc["end"]
        lines.append("end %s" % (end["reason"] if end else None))
        out.write(("\n".join(lines) + "\n").encode())
    else:
        fail("unknown mode " + mode)


main()
