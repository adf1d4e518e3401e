#!/usr/bin/env python3
"""Cross-checks `kifu show` on many game records against an independent replay.

Usage: replay_check.py KIFU PATH...   (PATHs are .sgf files or folders searched for them)

For every 19x19 SGF file the script parses the game tree itself, takes the main
line (the first variation at every branch), plays it on a board of its own
with the rules of Go (captures of the opponent's groups without liberties),
and compares the final position, the capture counts and the comment with what
`kifu show FILE` prints. When FILE has a sidecar FILE-minus-.sgf + ".json"
({"black": [...], "white": [...], "captures_black": n, "captures_white": n},
written by the program that played the game), that final position is checked too.

Differences that the reader makes on purpose are reported by kind, not as
failures: white setup stones (AW) are not read, a second move of the same
colour in a row is skipped, and at most 400 entries are stored.
Needs only the Python 3 standard library.
"""
import collections
import json
import os
import subprocess
import sys

LETTERS = "abcdefghijklmnopqrs"


def parse_main_line(data, double_byte):
    """The nodes of the main line, each a list of (identifier, [raw values]).

    The main line is the leftmost path of the game tree, so it is every node
    before the first ")" that closes a tree: later text holds only variations.
    Raw values keep their escapes, as the game list's comment does. With
    double_byte (a Shift-JIS file) the byte after a lead byte is never "]" or "\\".
    """
    nodes, ident, i, n = [], b"", 0, len(data)
    while i < n:
        c = data[i:i + 1]
        if c == b"[":
            j = i + 1
            while j < n and data[j:j + 1] != b"]":
                lead = double_byte and (0x81 <= data[j] <= 0x9F or 0xE0 <= data[j] <= 0xFC)
                j += 2 if lead or data[j:j + 1] == b"\\" else 1
            value = data[i + 1:min(j, n)]
            if nodes and ident:
                nodes[-1].append((ident, [value]))
            elif nodes and nodes[-1]:
                nodes[-1][-1][1].append(value)
            ident, i = b"", j + 1
            continue
        if c == b")":
            break
        if c == b";":
            nodes.append([])
            ident = b""
        elif c.isalpha():
            ident = ident + c if data[i - 1:i].isalpha() else c
        i += 1
    return nodes


def point(v):
    if len(v) != 2 or v[0:1].decode("latin-1") not in LETTERS or v[1:2].decode("latin-1") not in LETTERS:
        return None
    return LETTERS.index(chr(v[0])), LETTERS.index(chr(v[1]))


class Board:
    def __init__(self):
        self.at = {}
        self.captured = {1: 0, 2: 0}  # stones of that colour taken off

    def neighbours(self, p):
        c, r = p
        for q in ((c, r - 1), (c, r + 1), (c - 1, r), (c + 1, r)):
            if 0 <= q[0] < 19 and 0 <= q[1] < 19:
                yield q

    def group(self, p):
        colour, seen, todo, liberty = self.at[p], {p}, [p], False
        while todo:
            for q in self.neighbours(todo.pop()):
                if q not in self.at:
                    liberty = True
                elif self.at[q] == colour and q not in seen:
                    seen.add(q)
                    todo.append(q)
        return seen, liberty

    def place(self, colour, p):
        self.at[p] = colour
        for q in self.neighbours(p):
            if self.at.get(q) == 3 - colour:
                stones, liberty = self.group(q)
                if not liberty:
                    for s in stones:
                        del self.at[s]
                    self.captured[3 - colour] += len(stones)
        return not self.group(p)[1]  # True: the move left its own group without a liberty

    def draw(self):
        return ["".join(".XO"[self.at.get((c, r), 0)] for c in range(19)) for r in range(19)]


def declares_utf8(data):
    for double_byte in (True, False):
        for node in parse_main_line(data, double_byte)[:1]:
            for ident, values in node:
                if ident == b"CA" and values[0].strip().lower() == b"utf-8":
                    return True
    return False


def comment(props, utf8):
    """The game list's comment: event, players and result, as kifu prints it."""
    def text(ident):
        raw = props[ident][0].replace(b"\r", b"").replace(b"\n", b"")
        if utf8:
            return raw.decode("utf-8", "replace").encode("cp932", "replace").decode("cp932")
        return raw.decode("cp932", "replace")
    out = text(b"EV") if b"EV" in props else ""
    if b"PB" in props:
        out += "黒：" + text(b"PB")
    if b"PW" in props:
        out += " × 白：" + text(b"PW")
    if b"RE" in props:
        value = text(b"RE")
        if value[:1] == "0":
            return out + "  持碁"
        out += {"B": "  黒", "W": "  白"}.get(value[:1], "")
        out += "中押し勝ち" if value[2:3] == "R" else value[2:] + "目勝ち"
    return out


def expected(path):
    data = open(path, "rb").read()
    utf8 = declares_utf8(data)
    nodes = parse_main_line(data, not utf8)
    props = collections.OrderedDict()
    for ident, values in (nodes[0] if nodes else []):
        props.setdefault(ident, values)
    if props.get(b"SZ", [b"19"])[0].strip() not in (b"19",):
        return None, "not 19x19"
    notes = set()
    colours = {ident for node in nodes for ident, _ in node if ident in (b"B", b"W")}
    if len(colours) == 1:
        notes.add("moves of one colour only (none read)")
    board, entries, last_colour, first_move_seen = Board(), 0, 0, False
    for node in nodes:
        for ident, values in node:
            if ident == b"AW" and not first_move_seen:
                notes.add("has AW (not read)")
            if ident == b"AB" and not first_move_seen:
                for v in values:
                    for part in v.split(b":") if b":" in v else [v]:
                        p = point(part)
                        if p and entries < 400:
                            board.place(1, p)
                            entries += 1
            if ident in (b"B", b"W") and len(colours) == 2:
                first_move_seen = True
                colour = 1 if ident == b"B" else 2
                if colour == last_colour:
                    notes.add("same colour twice (second one skipped)")
                    continue
                last_colour = colour
                p = point(values[0])
                if p and entries < 400:
                    if p in board.at:
                        notes.add("move on an occupied point")
                    if board.place(colour, p):
                        notes.add("suicide in record")
                    entries += 1
                elif p:
                    notes.add("over 400 entries (cut)")
    return (board, entries, comment(props, utf8)), ";".join(sorted(notes))


def kifu_show(kifu, path):
    run = subprocess.run([kifu, "show", path], capture_output=True)
    if run.returncode != 0:
        return None
    lines = run.stdout.decode("utf-8").split("\n")
    entries = int(lines[1].split()[1])
    board = lines[3:22]
    black, white = (int(x.split("=")[1]) for x in lines[22].split()[1:3])
    return lines[0][len("comment: "):], entries, board, black, white


def files_of(paths):
    for path in paths:
        if os.path.isdir(path):
            for root, _, names in os.walk(path):
                for name in sorted(names):
                    if name.lower().endswith(".sgf"):
                        yield os.path.join(root, name)
        else:
            yield path


def main():
    kifu, paths = sys.argv[1], sys.argv[2:]
    counts = collections.Counter()
    for path in files_of(paths):
        want, note = expected(path)
        if want is None:
            counts["skipped: " + note] += 1
            continue
        board, entries, want_comment = want
        got = kifu_show(kifu, path)
        if got is None:
            counts["FAIL: kifu show failed"] += 1
            print("FAIL kifu show", path)
            continue
        got_comment, got_entries, got_board, got_black, got_white = got
        counts["comment " + ("agrees" if got_comment == want_comment else "DIFFERS")] += 1
        if got_comment != want_comment:
            print("COMMENT", path, repr(got_comment), repr(want_comment))
        same = (got_board == board.draw() and got_black == board.captured[1]
                and got_white == board.captured[2] and got_entries == entries)
        side = os.path.splitext(path)[0] + ".json"
        engine_same = None
        if os.path.exists(side):
            ref = json.load(open(side))
            want_board = [["."] * 19 for _ in range(19)]
            for v in ref["black"]:
                want_board[LETTERS.index(v[1])][LETTERS.index(v[0])] = "X"
            for v in ref["white"]:
                want_board[LETTERS.index(v[1])][LETTERS.index(v[0])] = "O"
            engine_same = ["".join(r) for r in want_board] == got_board
            # The engine counts "captures C" as the stones C has taken.
            engine_same = engine_same and (ref["captures_black"], ref["captures_white"]) == (got_white, got_black)
            counts["engine's own position " + ("agrees" if engine_same else "DIFFERS")] += 1
        counts["(total entries replayed)"] += got_entries
        counts["(total stones captured)"] += got_black + got_white
        kind = ("agree" if same else "DIFFER") + (" [" + note + "]" if note else "")
        counts[kind] += 1
        if not same or engine_same is False:
            print("DIFFER", path, note, "entries", got_entries, entries,
                  "captures", (got_black, got_white), (board.captured[1], board.captured[2]))
    for kind, n in sorted(counts.items()):
        print("%6d  %s" % (n, kind))
    return 1 if any(k.startswith(("DIFFER", "FAIL")) or k.endswith("DIFFERS") for k in counts) else 0


if __name__ == "__main__":
    sys.exit(main())
