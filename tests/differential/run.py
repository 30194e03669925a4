#!/usr/bin/env python3
"""Runs annapply on random edit logs and stored records and checks each run
against the model in model.py: standard error byte for byte, the exit status,
which files the run creates or replaces, and the annotations it writes.
Before it, annfile check must foretell the run: its status, and the line and
kind of each finding.

    run.py BUILD_DIR [CASES [SEED]]

BUILD_DIR holds annapply and annfile.  On a disagreement it shrinks the case
to the fewest entry lines and stored annotations that still disagree, prints
the log and the stored annotations as annfile text, and exits with status 1.
"""

import argparse
import dataclasses
import os
import random
import shutil
import subprocess
import sys
import tempfile
from collections import Counter
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field

sys.dont_write_bytecode = True  # leave no cache beside the sources
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import model  # noqa: E402

TIME_MAX = 2147483647

# ---------------------------------------------------------------- annfile text


def escape_aux(aux):
    out = bytearray()
    for b in aux:
        if b == 0x5C:
            out += b"\\\\"
        elif b == 0x09:
            out += b"\\t"
        elif b == 0x0A:
            out += b"\\n"
        elif b == 0x0D:
            out += b"\\r"
        elif b < 0x20 or b == 0x7F:
            out += b"\\x%02x" % b
        else:
            out.append(b)
    return bytes(out)


def unescape_aux(text):
    out = bytearray()
    i = 0
    while i < len(text):
        if text[i] == 0x5C:
            c = text[i + 1:i + 2]
            if c == b"x":
                out.append(int(text[i + 2:i + 4], 16))
                i += 4
                continue
            out += {b"\\": b"\\", b"t": b"\t", b"n": b"\n", b"r": b"\r"}[c]
            i += 2
        else:
            out.append(text[i])
            i += 1
    return bytes(out)


def to_tsv(annotations):
    lines = []
    for t, ty, sub, ch, num, aux in annotations:
        line = b"%d\t%d\t%d\t%d\t%d" % (t, ty, sub, ch, num)
        if aux is not None:
            line += b"\t" + escape_aux(aux)
        lines.append(line + b"\n")
    return b"".join(lines)


def from_tsv(text):
    out = []
    for line in text.split(b"\n"):
        if not line:
            continue
        f = line.split(b"\t")
        aux = unescape_aux(f[5]) if len(f) > 5 else None
        out.append((int(f[0]), int(f[1]), int(f[2]), int(f[3]), int(f[4]), aux))
    return out


# ------------------------------------------------------------------ generator

HEADER_MAGIC = b"[RQEditLog-1.0] Record "
RECORDS = [b"r", b"r", b"rec 1", b"a.b", b"R-7", b"", b"sub/r"]
ANNOTATORS = [b"atr", b"atr", b"a", b"q_1", b"x.y", b""]
PROGS = [b"annapply", b"annapply", b"/usr/local/bin/annapply", b"x", b"ap ply", b"ap%sply%%", b""]


@dataclass
class Case:
    log: bytes
    stored: list | None  # what the header's annotator holds; None: no file
    damaged_input: bool = False  # the input annotator is a file of junk
    stale_output: list | None = None  # an earlier ANNOTATOR_ to be replaced
    blocked: bytes = b""  # "dir" or "junk": something that is no annotator in the output's way
    prog: bytes = b"annapply"
    note: list = field(default_factory=list)
    codes: list = field(default_factory=list)  # the stored annotator's own (code, mnemonic, text)


MNEMONIC_BYTES = b"ABCNVWXYZabcnvxyz0123456789+-_./:;!?*()[]}|~'\"<>=@#$%^&"


class Gen:
    def __init__(self, rng, mnemonics):
        self.r = rng
        self.builtin = mnemonics
        self.use_table([])

    def use_table(self, own):
        """The run's mnemonics: the built-in ones and the own rows given."""
        self.mn = dict(self.builtin)  # word -> code
        for code, word, _ in own:
            self.mn[word] = code
        self.words = {}
        for w, c in self.mn.items():
            self.words.setdefault(c, []).append(w)
        self.codes = sorted(self.words)

    def own_table(self):
        """A random table of own codes, as annfile load --codes takes it."""
        r = self.r
        free = [c for c in range(1, 128) if c not in self.builtin.values()]
        rows = []
        taken = set(self.builtin)
        for code in sorted(r.sample(free, r.choice([1, 2, 5, 20, 113]))):
            while True:
                word = self.text(self.pick((4, 1), (4, 2), (2, 3), (1, 16),
                                           (1, lambda: r.randrange(4, 17))), MNEMONIC_BYTES)
                if word not in taken and not word.lstrip(b"+-").isdigit():
                    break
            taken.add(word)
            rows.append((code, word, self.text(r.randrange(0, 30), b"abc xyz()-")))
        return rows

    # -- small pieces

    def pick(self, *weighted):
        """pick((weight, value), ...); a callable value is called."""
        total = sum(w for w, _ in weighted)
        x = self.r.uniform(0, total)
        for w, v in weighted:
            x -= w
            if x <= 0:
                break
        return v() if callable(v) else v

    def text(self, n, alphabet=None):
        r = self.r
        if alphabet is None:
            alphabet = self.pick(
                (6, b"abcxyzHN:"), (2, b"ab,{}/ -x"), (1, bytes(range(1, 256))),
                (1, b"ab\r\t \x7f\xff"))
        return bytes(r.choice(alphabet) for _ in range(n))

    def hot_times(self):
        r = self.r
        base = [0, 0, 1, 5, 100, 100, 65535, 65536, TIME_MAX,
                r.randrange(0, 1000), r.randrange(0, TIME_MAX)]
        times = r.sample(base, 4)
        if r.random() < 0.4:
            times.append(r.choice([-1, -5, -65536, -2147483648]))
        return times

    def annotation(self, times, allow_any=True):
        r = self.r
        t = r.choice(times)
        ty = self.pick((6, lambda: r.choice(self.codes)), (3, 1), (3, 22),
                       (1 if allow_any else 0, lambda: r.randrange(-128, 128)))
        sub = self.pick((6, 0), (1, 1), (1, -1), (1, lambda: r.randrange(-128, 128)))
        ch = self.pick((6, 0), (2, 1), (1, 255), (1, lambda: r.randrange(256)))
        num = self.pick((6, 0), (1, -1), (1, 1), (1, -128), (1, 127),
                        (1, lambda: r.randrange(-128, 128)))
        aux = self.pick(
            (8, None), (1, b""),
            (4, lambda: self.text(r.randrange(1, 12))),
            (2, lambda: b"Hello:" + self.text(r.randrange(0, 8))),
            (1, lambda: self.text(r.choice([240, 254, 255, 255, 255]))),
            (1 if allow_any else 0, lambda: self.text(r.randrange(1, 6), bytes(range(256)))))
        return (t, ty, sub, ch, num, aux)

    # -- rendering an annotation as an entry

    def number(self, v, bits_signed, empty_ok=True):
        r = self.r
        if v == 0 and empty_ok and r.random() < 0.5:
            return b""
        alt = v + 256 * r.choice([-2, -1, 1, 4, 10 ** 20]) if r.random() < 0.2 else v
        s = b"%d" % alt
        if r.random() < 0.15 and alt >= 0:
            s = b"+" + s
        if r.random() < 0.15:
            s = r.choice([b" ", b"\t", b"  ", b"\v", b"\f", b"\r"]) + s
        if r.random() < 0.1 and alt >= 0:
            s = b"0" * r.randrange(1, 4) + s
        return s

    def time_text(self, t):
        r = self.r
        s = b"%d" % t
        if r.random() < 0.08:
            s = b"0" * r.randrange(1, 6) + s
        return s

    def render(self, a):
        """Entry text (no line end) that gives annotation a, or None."""
        r = self.r
        t, ty, sub, ch, num, aux = a
        if not 0 <= t <= TIME_MAX:
            return None
        if aux is not None and b"\0" in aux and r.random() < 0.5:
            aux = aux[:aux.index(b"\0")]  # agrees with the stored aux up to its zero byte
        if aux is not None and (b"\0" in aux or b"\n" in aux or aux.endswith(b"\r")):
            return None
        if aux is not None and len(aux) == 255 and r.random() < 0.3:
            aux_src = aux + self.text(r.randrange(1, 50))  # cut back to the same 255
        else:
            aux_src = aux
        word = None
        aux_text = None
        if ty == 22:
            if aux is None or aux == b"":
                word, aux_text = b"NOTE", (b"" if aux == b"" else None)
            else:
                choices = [(b"NOTE", aux_src)]
                for k in range(len(aux_src)):
                    if aux_src[k:k + 1] == b":":
                        w, rest = aux_src[:k], aux_src[k + 1:]
                        if w and self.ok_note(w):
                            choices.append((w, rest))
                if self.ok_note(aux_src) and len(aux_src) <= 300:
                    choices.append((aux_src, None))
                word, aux_text = r.choice(choices)
        elif ty in self.words:
            word = r.choice(self.words[ty])
            if aux is not None:
                aux_text = aux_src
        else:
            return None
        attrs = None
        if (sub, ch, num) != (0, 0, 0) or r.random() < 0.2:
            attrs = (b"{" + self.number(sub, True) + b"/" + self.number(ch, False)
                     + b"/" + self.number(num, True))
            if r.random() < 0.1:
                attrs += b"/" + self.text(r.randrange(0, 4), b"0123456789/x ")
            attrs += b"}"
        out = b""
        if ty == 1 and attrs is None and aux is None and r.random() < 0.5:
            word = None  # no type word at all
        out += self.time_text(t)
        if r.random() < 0.12:
            out += b"-" + self.time_text(self.pick((3, t), (3, lambda: r.randrange(t, TIME_MAX + 1)),
                                                   (1, TIME_MAX)))
            if word is None:
                return out
            out += self.pick((6, b","), (1, lambda: r.choice(b"x{ -;.}/+").to_bytes(1, "big")))
        elif word is None:
            return out
        else:
            out += b","
        out += word
        if attrs is not None:
            out += attrs
            if aux_text is None and r.random() < 0.2:
                out += self.text(r.randrange(1, 5), b"xyz {}/")
        if aux_text is not None:
            out += b"," + aux_text
        return out

    def ok_note(self, w):
        return (w not in self.mn and w != b"" and b"," not in w[1:] and b"{" not in w[1:]
                and b"\r" not in w[-1:])

    def near_miss(self, a):
        r = self.r
        t, ty, sub, ch, num, aux = a
        k = r.randrange(8)
        if k == 0:
            t += r.choice([-1, 1])
        elif k == 1:
            ch = (ch + r.choice([-1, 1])) % 256
        elif k == 2:
            num = (num + 128 + r.choice([-1, 1])) % 256 - 128
        elif k == 3:
            sub = (sub + 128 + r.choice([-1, 1])) % 256 - 128
        elif k == 4:
            ty = r.choice([c for c in self.codes if c != ty] or [1])
        elif k == 5:
            aux = None if aux is not None else b""
        elif k == 6 and aux:
            i = r.randrange(len(aux))
            aux = aux[:i] + bytes([aux[i] ^ 0x20]) + aux[i + 1:]
        else:
            aux = (aux or b"") + b"x" if r.random() < 0.5 else (aux or b"x")[:-1]
        return (t, ty, sub, ch, num, aux)

    def structured(self, times):
        """An entry put together from random pieces, valid or not."""
        r = self.r
        out = b""
        t = r.choice(times + [0, 1])
        tt = self.pick((10, lambda: self.time_text(max(t, 0))), (1, b""),
                       (1, lambda: r.choice([b"2147483647", b"2147483648", b"4294967396",
                                             b"18446744073709551716", b"9223372036854775808",
                                             b"00000000000000000000000000000000000012"])))
        out += tt
        if r.random() < 0.2:
            et = self.pick((3, lambda: b"%d" % r.randrange(max(t, 0), max(t, 0) + 1000)),
                           (1, lambda: b"%d" % max(t - 1, 0)), (1, b""),
                           (1, lambda: r.choice([b"2147483647", b"2147483648", b"4294967396"])))
            out += b"-" + et
            out += self.pick((5, b","), (2, b""), (3, lambda: bytes([r.choice(b"x{ ,-;\r}/")])))
        else:
            out += self.pick((10, b","), (1, b""), (1, lambda: bytes([r.choice(b"x{ ;-\r.}")])))
        word = self.pick(
            (6, lambda: r.choice(list(self.mn))), (2, b"Hello"), (1, b""), (1, b" N"),
            (1, b"N "), (1, b"n"), (1, b",N"), (1, b"{"), (1, b"NOTE"),
            (1, lambda: self.text(r.randrange(1, 8))),
            (1, lambda: self.text(r.randrange(250, 262), b"abcdefgh")))
        out += word
        if r.random() < 0.35:
            fields = [self.number(r.randrange(-300, 600), True) for _ in range(3)]
            shape = self.pick((6, 3), (1, 2), (1, 1), (1, 0))
            attrs = b"{" + b"/".join(fields[:shape])
            if shape == 3 and r.random() < 0.9:
                attrs += b"}"
            out += attrs
            if r.random() < 0.15:
                out += self.text(r.randrange(1, 4), b"xyz{}/ ")
        if r.random() < 0.45:
            n = self.pick((6, lambda: r.randrange(0, 12)), (2, lambda: r.randrange(250, 262)),
                          (1, lambda: r.randrange(262, 320)))
            out += b"," + self.text(n)
        if r.random() < 0.4 and out[:1] != b"-":
            out = b"-" + out
        return out

    def garbage(self):
        r = self.r
        return self.text(r.randrange(0, 16), b"0123456789-,{}/ \r\tNARTxHello:+")

    def pad_long(self, body):
        """Stretch an entry so that its line runs to about 499 bytes."""
        r = self.r
        target = r.choice([496, 497, 498, 499, 500, 501, 502, 505, 998, 999])
        if r.random() < 0.3:
            digits = b"%d" % r.choice([0, 1, 100, 2147483647])
            pre = b"-" if r.random() < 0.3 else b""
            return pre + b"0" * max(0, target - len(digits) - len(pre)) + digits
        at = 1 if body[:1] == b"-" else 0
        if body[at:at + 1].isdigit() and r.random() < 0.4:
            # leading zeros push the end of a short entry up to the read size
            return body[:at] + b"0" * max(0, target - len(body)) + body[at:]
        if b"," not in body:
            body += b",N,"
        body += self.text(max(0, target - len(body)), b"abcxyz,{}/ ")
        if r.random() < 0.4:
            body = body[:499] + b"100,Hello," + body[499:]  # an entry in the discarded part
        if r.random() < 0.15:
            i = r.randrange(min(499, len(body)), len(body) + 1)
            body = body[:i] + b"\0" + body[i:]
        return body

    # -- header

    def header(self, record, annotator):
        r = self.r
        freq = r.choice([b"360", b"250.5", b"abc", b"", b"1e3", b"-1", b"(360"])
        rest = self.pick((10, b""), (1, b" trailing"), (1, b"\r"), (1, b"\0 after"))
        line1 = HEADER_MAGIC + record + b", annotator " + annotator + b" (" + freq + b" samples/second)" + rest
        if r.random() < 0.06:  # a first line near the read size
            line1 += b"z" * max(0, r.choice([496, 497, 498, 499, 500]) - len(line1))
        eol = self.pick((5, b"\n"), (2, b"\r\n"))
        line2 = self.pick((8, b"\n"), (3, b"\r\n"), (1, b"\rjunk\n"), (1, b"\r"),
                          (1, lambda: b"\r" + b"y" * r.randrange(490, 505) + b"100,Hello\n"))
        if len(line1) + len(eol) > 499 and r.random() < 0.5:
            line2 = b""  # the rest of line 1 is read as line 2
        head = line1 + eol + line2
        if r.random() < 0.12:
            head = self.break_header(head, line1, eol, line2)
        return head

    def break_header(self, head, line1, eol, line2):
        r = self.r
        k = r.randrange(11)
        if k == 0:
            return b""
        if k == 1:
            return line1 + eol  # no second line
        if k == 2:
            return line1 + eol + b"x\n"
        if k == 3:
            return head.replace(b"RQEditLog", b"rqeditlog", 1)
        if k == 4:
            return head.replace(b", annotator ", b", annotator  ", 1)
        if k == 5:
            return head.replace(b" (", b"(", 1)
        if k == 6:
            return head.replace(b"samples/second)", b"samples/Second)", 1)
        if k == 7:
            return line1[:r.randrange(len(line1))] + eol + line2
        if k == 8:
            return head.replace(b",", b";", 1)
        if k == 9:
            i = r.randrange(len(line1))
            return line1[:i] + bytes([r.choice(b" ,(\0x")]) + line1[i + 1:] + eol + line2
        return line1 + eol + b" \n"

    # -- one case

    def case(self):
        r = self.r
        record = r.choice(RECORDS)
        annotator = r.choice(ANNOTATORS)
        if record == b"" and annotator == b"":
            annotator = b"atr"
        refused = r.random() < 0.01  # a name the library will not open
        if refused:
            record, annotator = r.choice([(b"../r", b"atr"), (b"r", b"a/b")])
        times = self.hot_times()
        stored = None
        own = []
        if r.random() < 0.8:
            # The table travels with the stored annotator, and only with it.
            if r.random() < 0.3:
                own = self.own_table()
                self.use_table(own)
            n = self.pick((1, 0), (8, lambda: r.randrange(1, 12)), (1, lambda: r.randrange(12, 40)))
            stored = [self.annotation(times) for _ in range(n)]
            if stored and r.random() < 0.3:  # duplicates and equal keys
                for _ in range(r.randrange(1, 4)):
                    a = r.choice(stored)
                    if r.random() < 0.5:
                        a = (a[0], r.choice(self.codes), a[2], a[3], a[4], a[5])
                    stored.insert(r.randrange(len(stored) + 1), a)
        pool = list(stored or []) + [self.annotation(times, allow_any=False) for _ in range(5)]
        lines = []
        for _ in range(self.pick((1, 0), (6, lambda: r.randrange(1, 10)), (2, lambda: r.randrange(10, 30)))):
            kind = r.random()
            body = None
            if kind < 0.35:
                a = r.choice(pool)
                body = self.render(a)
                if body is not None and r.random() < 0.6:
                    body = b"-" + body
                elif body is not None:
                    pool.append(a)
            elif kind < 0.5:
                body = self.render(self.near_miss(r.choice(pool)))
                if body is not None and r.random() < 0.8:
                    body = b"-" + body
            elif kind < 0.9:
                body = self.structured(times)
            if body is None:
                body = self.garbage()
            if r.random() < 0.06:
                body = self.pad_long(body)
            if r.random() < 0.03:
                i = r.randrange(len(body) + 1)
                body = body[:i] + b"\0" + body[i:]
            if r.random() < 0.03 and body:
                i = r.randrange(len(body))
                body = body[:i] + b"\r" + body[i:]
            lines.append(body + self.pick((16, b"\n"), (4, b"\r\n"), (1, b"\r\r\n"), (1, b"\r")))
        if lines and r.random() < 0.25:  # no line end on the last line
            lines[-1] = lines[-1].rstrip(b"\n")
            if r.random() < 0.5:
                lines[-1] = lines[-1].rstrip(b"\r")
        log = self.header(record, annotator) + b"".join(lines)
        c = Case(log, stored, prog=r.choice(PROGS), codes=own)
        if refused:
            c.stored = None
            c.codes = []
            return c
        x = r.random()
        if x < 0.03:
            c.blocked = r.choice([b"dir", b"junk"])
        elif x < 0.05:
            c.damaged_input = True
            c.stored = None
            c.codes = []
        elif x < 0.1 and stored is not None:
            c.stale_output = [self.annotation(times)]
        return c


# ---------------------------------------------------------------------- runs


class Tools:
    def __init__(self, build):
        self.annapply = os.path.join(build, "annapply")
        self.annfile = os.path.join(build, "annfile")
        codes = subprocess.run([self.annfile, "codes"], check=True, capture_output=True).stdout
        self.mnemonics = {}
        for line in codes.splitlines():
            code, word = line.split(b"\t")[:2]
            self.mnemonics[word] = int(code)

    def load(self, cwd, record, annotator, annotations, codes=()):
        args = [self.annfile, "load", record, annotator]
        if codes:
            table = cwd.rstrip("/") + ".codes"  # beside the folder, not in it
            with open(table, "wb") as f:
                f.write(b"".join(b"%d\t%s\t%s\n" % row for row in codes))
            args[2:2] = ["--codes", table]
        p = subprocess.run(args, cwd=cwd, input=to_tsv(annotations), capture_output=True)
        if p.returncode != 0:
            raise RuntimeError("annfile load failed: %r" % p.stderr)

    def own_codes(self, cwd, record, annotator):
        p = subprocess.run([self.annfile, "codes", record, annotator], cwd=cwd,
                           capture_output=True)
        rows = []
        for line in p.stdout.splitlines():
            f = line.split(b"\t")
            if len(f) == 4:
                rows.append((int(f[0]), f[1], f[2]))
        return rows

    def dump(self, cwd, record, annotator):
        p = subprocess.run([self.annfile, "dump", record, annotator], cwd=cwd, capture_output=True)
        if p.returncode != 0:
            return None
        return from_tsv(p.stdout)


def snapshot(root):
    files = {}
    for d, dirs, names in os.walk(root):
        for n in dirs:
            files[os.path.relpath(os.path.join(d, n), root)] = "dir"
        for n in names:
            p = os.path.join(d, n)
            with open(p, "rb") as f:
                files[os.path.relpath(p, root)] = f.read()
    return files


def fs(name):
    return os.fsdecode(name)


def gone(old, new):
    """How many annotations of old new lacks, at each place as a multiset;
    an empty aux counts as none, as annapply keeps it."""
    def counts(annotations):
        c = Counter()
        for t, ty, sub, ch, num, aux in annotations:
            c[(t, ch, num, ty, sub, aux or None)] += 1
        return c
    return sum((counts(old) - counts(new)).values())


def check(tools, case, workdir):
    """Runs one case in workdir (made empty first); returns a list of differences."""
    shutil.rmtree(workdir, ignore_errors=True)
    os.makedirs(workdir)
    header = model.parse_header(case.log)
    unwritable = set()
    if header is not None:
        record, annotator, _ = header
        if fs(record) + "." + fs(annotator) in (".", ".."):
            return []  # a name the library may not use; nothing to compare
        if b".." in record.split(b"/") or b"/" in annotator:
            unwritable.add(annotator)  # the library refuses such names
        elif b"/" in record:
            os.makedirs(os.path.join(workdir, os.path.dirname(fs(record))), exist_ok=True)
        base = fs(record) + "." + fs(annotator)
        if case.stored is not None:
            tools.load(workdir, record, annotator, case.stored, case.codes)
        elif case.damaged_input:
            with open(os.path.join(workdir, base), "wb") as f:
                f.write(b"\x89ANN\r\n\x1a\x01 not an annotation file")
        if case.stale_output is not None:
            tools.load(workdir, record, annotator + b"_", case.stale_output)
        out_name = annotator + b"_" if case.stored is not None else annotator
        if case.damaged_input:
            unwritable.add(annotator)
        if case.blocked:
            unwritable.add(out_name)
            target = os.path.join(workdir, fs(record) + "." + fs(out_name))
            if case.blocked == b"dir":
                os.makedirs(target)
            else:
                with open(target, "wb") as f:
                    f.write(b"not an annotation file\n")
    findings = []
    mnemonics = dict(tools.mnemonics)
    mnemonics.update((word, code) for code, word, _ in case.codes)
    want = model.run(case.log, case.stored, case.prog, mnemonics, unwritable, findings)
    if want.status == 0 and case.stale_output is not None and gone(case.stale_output, want.annotations):
        findings.insert(0, (1, "warning"))  # the earlier output holds what the result does not
    before = snapshot(workdir)
    diffs = check_findings(tools, case, workdir, want, findings)
    p = subprocess.run([case.prog], executable=tools.annapply, cwd=workdir, input=case.log,
                       capture_output=True, timeout=60)
    if p.stderr != want.stderr:
        diffs.append("stderr: want %r\n             got  %r" % (want.stderr, p.stderr))
    if p.returncode != want.status:
        diffs.append("status: want %d, got %d" % (want.status, p.returncode))
    if p.stdout:
        diffs.append("stdout: want nothing, got %r" % p.stdout)
    after = snapshot(workdir)
    written = None
    if want.written is not None:
        written = fs(want.record) + "." + fs(want.written)
    for name in sorted(set(before) | set(after)):
        if name == written:
            continue
        if before.get(name) != after.get(name):
            what = "created" if name not in before else "removed" if name not in after else "changed"
            diffs.append("file %s %s" % (name, what))
    if written is not None:
        if written not in after:
            diffs.append("file %s not written" % written)
        else:
            got = tools.dump(workdir, want.record, want.written)
            if got != want.annotations:
                diffs.append("annotations of %s:\n  want %s\n  got  %s"
                             % (written, want.annotations, got))
            # The output carries the input's own codes.
            table = tools.own_codes(workdir, want.record, want.written)
            if table != case.codes:
                diffs.append("own codes of %s:\n  want %s\n  got  %s" % (written, case.codes, table))
    return diffs


def check_findings(tools, case, workdir, want, findings):
    """annfile check on the case's log, against what the model found."""
    p = subprocess.run([tools.annfile, "check"], cwd=workdir, input=case.log,
                       capture_output=True, timeout=60)
    diffs = []
    status = 2 if want.status != 0 else 1 if findings else 0
    if p.returncode != status:
        diffs.append("check status: want %d, got %d (%r)" % (status, p.returncode, p.stderr))
    if status == 2:
        return diffs
    got = []
    for line in p.stdout.split(b"\n"):
        parts = line.split(b": ", 2)
        if len(parts) == 3 and parts[0].startswith(b"<stdin>:"):
            got.append((int(parts[0][8:]), parts[1].decode()))
    if got != findings:
        diffs.append("check findings: want %s\n             got  %s" % (findings, got))
    return diffs


def split_log(log):
    header = model.parse_header(log)
    if header is None:
        return log, []
    pos = header[2]
    return log[:pos], list(model.entry_lines(log, pos))


def shrink(tools, case, workdir):
    """Drops entry lines, stored annotations and runs of bytes within lines,
    and tries a plain header naming the same annotator, while the case still
    disagrees."""
    head, lines = split_log(case.log)
    stored = case.stored

    def fails(h, ls, st):
        return bool(check(tools, dataclasses.replace(case, log=h + b"".join(ls), stored=st),
                          workdir))

    parsed = model.parse_header(case.log)
    if parsed is not None:
        plain = (HEADER_MAGIC + parsed[0] + b", annotator " + parsed[1]
                 + b" (360 samples/second)\n\n")
        if plain != head and fails(plain, lines, stored):
            head = plain
    changed = True
    while changed:
        changed = False
        for i in range(len(lines) - 1, -1, -1):
            trial = lines[:i] + lines[i + 1:]
            if fails(head, trial, stored):
                lines, changed = trial, True
        for i in range(len(stored or []) - 1, -1, -1):
            trial = stored[:i] + stored[i + 1:]
            if fails(head, lines, trial):
                stored, changed = trial, True
        for i in range(len(lines)):
            for size in (256, 64, 16, 4, 1):
                at = 0
                while at < len(lines[i]):
                    line = lines[i][:at] + lines[i][at + size:]
                    trial = lines[:i] + [line] + lines[i + 1:]
                    if line and fails(head, trial, stored):
                        lines, changed = trial, True
                    else:
                        at += size
    return dataclasses.replace(case, log=head + b"".join(lines), stored=stored)


def report(tools, case, label, workdir):
    small = shrink(tools, case, workdir)
    diffs = check(tools, small, workdir)
    print("=" * 72)
    print("DISAGREEMENT in %s" % label)
    print("invocation name: %r" % small.prog)
    if small.damaged_input or small.blocked or small.stale_output:
        print("setup: damaged input=%s, in the output's way=%r, earlier output=%r"
              % (small.damaged_input, small.blocked, small.stale_output))
    print("log (python bytes): %r" % small.log)
    if small.stored is None:
        print("stored: none (no input annotator)")
    else:
        print("stored (annfile load text):")
        sys.stdout.write(os.fsdecode(to_tsv(small.stored)) or "  (empty)\n")
    for d in diffs:
        print("  " + d)
    sys.stdout.flush()


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("build", help="directory holding annapply and annfile")
    ap.add_argument("cases", nargs="?", type=int, default=2000)
    ap.add_argument("seed", nargs="?", type=int, default=1)
    ap.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    ap.add_argument("--show", type=int, default=10, help="shrink and print at most this many")
    args = ap.parse_args()

    tools = Tools(os.path.abspath(args.build))
    cases = []
    for i in range(args.cases):
        g = Gen(random.Random("%d/%d" % (args.seed, i)), tools.mnemonics)
        cases.append(g.case())

    root = tempfile.mkdtemp(prefix="annapply-diff-")
    try:
        def one(i):
            return i, check(tools, cases[i], os.path.join(root, "w%d" % i))

        failing = []
        with ThreadPoolExecutor(args.jobs) as pool:
            for i, diffs in pool.map(one, range(len(cases))):
                shutil.rmtree(os.path.join(root, "w%d" % i), ignore_errors=True)
                if diffs:
                    failing.append(i)
        for i in failing[:args.show]:
            report(tools, cases[i], "case %d of seed %d" % (i, args.seed), os.path.join(root, "shrink"))
    finally:
        shutil.rmtree(root, ignore_errors=True)
    print("%d cases, seed %d: %d disagreements" % (len(cases), args.seed, len(failing)))
    if failing:
        print("disagreeing cases: %s%s" % (failing[:50], " ..." if len(failing) > 50 else ""))
    return 1 if failing else 0


if __name__ == "__main__":
    sys.exit(main())
