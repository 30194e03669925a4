"""A plain, slow, second account of what annapply does with one edit log.

run() takes the log's bytes and the stored annotations and returns what the
program should print, how it should end, which annotator it should write and
what that annotator should hold.  It keeps the list as a Python list in key
order and reads the log the way the program does: in pieces of at most 499
bytes for the header, one line per entry after it.

An annotation is a tuple (time, type, subtype, channel, number, aux), aux a
bytes object (its counted bytes) or None.
"""

from bisect import bisect_left
from dataclasses import dataclass, field

MAGIC = b"[RQEditLog-1.0] Record "
LABEL = b" annotator "
UNIT = b"samples/second)"
PIECE = 499  # one read takes at most this many bytes
TIME_MAX = 2147483647
LINE_ENDS = b"\r\n"
SPACE = b" \t\n\v\f\r"


def read_piece(data, pos):
    """One read: up to 499 bytes, stopping after a line end. None at the end."""
    if pos >= len(data):
        return None, pos
    nl = data.find(b"\n", pos, pos + PIECE)
    end = nl + 1 if nl >= 0 else min(len(data), pos + PIECE)
    return data[pos:end], end


def parse_header(data):
    """(record, annotator, position after the header) or None when rejected."""
    line, pos = read_piece(data, 0)
    if line is None:
        return None
    line = line.split(b"\0", 1)[0]  # the buffer is read as a C string
    if line[:23] != MAGIC:
        return None
    comma = line.find(b",", 23)
    if comma < 0 or line[comma + 1:comma + 12] != LABEL:
        return None
    record = line[23:comma]
    start = comma + 12
    space = line.find(b" ", start)
    if space < 0 or line[space + 1:space + 2] != b"(":
        return None
    annotator = line[start:space]
    space2 = line.find(b" ", space + 2)
    if space2 < 0 or line[space2 + 1:space2 + 16] != UNIT:
        return None
    second, pos = read_piece(data, pos)
    if second is None or second[:1] not in (b"\r", b"\n"):
        return None
    return record, annotator, pos


def entry_lines(data, pos):
    """The entry lines from pos on, each with its line end (the last may lack one)."""
    while pos < len(data):
        nl = data.find(b"\n", pos)
        end = nl + 1 if nl >= 0 else len(data)
        yield data[pos:end]
        pos = end


def to_int8(value, signed):
    value %= 256
    if signed and value >= 128:
        value -= 256
    return value


def attribute(text, signed):
    """A decimal field: leading white space, a sign, digits; its low 8 bits."""
    i = 0
    while i < len(text) and text[i] in SPACE:
        i += 1
    negative = False
    if i < len(text) and text[i] in b"+-":
        negative = text[i] == ord("-")
        i += 1
    j = i
    while j < len(text) and 0x30 <= text[j] <= 0x39:
        j += 1
    value = int(text[i:j]) if j > i else 0
    return to_int8(-value if negative else value, signed)


def digits_at(text, i):
    j = i
    while j < len(text) and 0x30 <= text[j] <= 0x39:
        j += 1
    return j


@dataclass
class Entry:
    delete: bool
    time: int
    type: int = 1
    subtype: int = 0
    channel: int = 0
    number: int = 0
    aux: bytes | None = None  # the counted bytes only
    warnings: list = field(default_factory=list)
    note: bytes | None = None  # the type word, when it is no mnemonic


def parse_entry(line, mnemonics):
    """An Entry, or (None, warnings) for a malformed line."""
    if b"\0" in line:
        return None, []
    piece = line[:PIECE]
    if not piece.endswith(b"\n"):
        piece += b"\n"  # the end of the text is a line end like any other
    if piece.endswith(b"\r\n"):
        text = piece[:-2]
    elif piece.endswith(b"\n"):
        text = piece[:-1]
    else:
        text = piece
    warnings = []

    def ends_line(i):  # the end of the text counts as a line end
        return i >= len(text) or text[i] in LINE_ENDS

    delete = text[:1] == b"-"
    start = 1 if delete else 0
    after = digits_at(text, start)
    if after == start:
        return None, warnings
    time = int(text[start:after])
    if time > TIME_MAX:
        return None, warnings
    entry = Entry(delete, time, warnings=warnings)
    if ends_line(after):
        return entry, warnings
    if text[after] == ord("-"):
        end_after = digits_at(text, after + 1)
        if end_after == after + 1:
            return None, warnings
        end_time = int(text[after + 1:end_after])
        if end_time > TIME_MAX or end_time < time:
            return None, warnings
        warnings.append(b"(warning): no support for tf at %d" % time)
        if ends_line(end_after):
            return entry, warnings
        separator = end_after
    elif text[after] == ord(","):
        separator = after
    else:
        return None, warnings

    # The type word keeps its first character whatever it is.
    first = separator + 1
    if first >= len(text):
        word_end = len(text)
    else:
        word_end = len(text)
        for stop in (b",", b"{"):
            k = text.find(stop, first + 1)
            if 0 <= k < word_end:
                word_end = k
    word = text[first:word_end]
    code = mnemonics.get(word, 0)
    note = None
    if code:
        entry.type = code
    else:
        entry.type = 22
        note = word
        entry.note = word
    aux_text = None
    stop = text[word_end:word_end + 1]
    if stop == b"{":
        s1 = text.find(b"/", word_end + 1)
        if s1 < 0:
            return None, warnings
        s2 = text.find(b"/", s1 + 1)
        if s2 < 0:
            return None, warnings
        s3 = text.find(b"}", s2 + 1)
        if s3 < 0:
            return None, warnings
        entry.subtype = attribute(text[word_end + 1:s1], True)
        entry.channel = attribute(text[s1 + 1:s2], False)
        entry.number = attribute(text[s2 + 1:s3], True)
        if text[s3 + 1:s3 + 2] == b",":
            aux_text = text[s3 + 2:]
    elif stop == b",":
        aux_text = text[word_end + 1:]

    if note is not None and aux_text is not None:
        stored = note + b":" + aux_text
    elif note is not None:
        stored = note
    else:
        stored = aux_text
    if stored is not None:
        if len(stored) > 255:
            warnings.append(b"(warning): aux will be truncated at %d" % time)
        entry.aux = stored[:255]
    return entry, warnings


def sort_key(time, channel, number):
    return (time << 16) + (channel << 8) + (number + 128)


class AnnList:
    """The annotation list: ascending keys, a new node before equal keys."""

    def __init__(self):
        self.keys = []
        self.nodes = []  # (key, type, subtype, aux)

    def insert(self, time, type_, subtype, channel, number, aux):
        key = sort_key(time, channel, number)
        if aux is not None and len(aux) == 0:
            aux = None
        i = bisect_left(self.keys, key)
        self.keys.insert(i, key)
        self.nodes.insert(i, (key, type_, subtype, aux))

    def delete(self, time, type_, subtype, channel, number, aux):
        key = sort_key(time, channel, number)
        for i in range(len(self.nodes) - 1, -1, -1):
            if self.nodes[i] == (key, type_, subtype, aux):
                del self.nodes[i]
                del self.keys[i]
                return True
        return False

    def written(self):
        out = []
        for key, type_, subtype, aux in self.nodes:
            out.append((key >> 16, to_int8(type_, True), subtype,
                        (key >> 8) & 255, (key & 255) - 128, aux))
        return out


@dataclass
class Result:
    stderr: bytes
    status: int
    record: bytes | None = None
    written: bytes | None = None  # the annotator name written, if any
    annotations: list | None = None


def dropped(line):
    """Bytes of a line past its first 499, its line end not counted."""
    rest = line[PIECE:]
    if rest.endswith(b"\n"):
        rest = rest[:-1]
    if rest.endswith(b"\r"):
        rest = rest[:-1]
    return len(rest)


def looks_like_mnemonic(word, longest):
    """A note that annfile check takes for a mistyped mnemonic: no longer
    than the longest mnemonic, and made of what a mnemonic may hold."""
    return (word is not None and 0 < len(word) <= longest
            and all(0x20 < b < 0x7F and b not in b",{" for b in word))


def run(log, stored, prog, mnemonics, unwritable=(), findings=None):
    """What annapply does with log on its input.

    stored: the annotations of the annotator the header names, in file order,
    or None when it cannot be opened.  prog: the invocation name (bytes).
    mnemonics: {word: code}.  unwritable: annotator names whose output open
    fails.  findings: a list to which what annfile check reports is added, as
    (line number, kind) in log order.
    """
    header = parse_header(log)
    if header is None:
        return Result(prog + b": can't parse input file (format error)\n", 1)
    record, annotator, pos = header
    annotations = AnnList()
    name = annotator
    if stored is not None:
        for a in stored:
            annotations.insert(*a)
        name = annotator + b"_"
    if name in unwritable:
        return Result(prog + b": can't write output annotation file '"
                      + record + b"." + name + b"\n", 2, record)
    err = []
    found = [] if findings is None else findings
    if stored is None:
        found.append((1, "warning"))  # the annotator does not exist
    longest = max(len(w) for w in mnemonics)
    for number, line in enumerate(entry_lines(log, pos), log[:pos].count(b"\n") + 1):
        entry, warnings = parse_entry(line, mnemonics)
        err.extend(prog + w for w in warnings)
        if entry is None:
            found.append((number, "skipped"))
            continue
        if looks_like_mnemonic(entry.note, longest):
            found.append((number, "warning"))
        fields = (entry.time, entry.type, entry.subtype, entry.channel,
                  entry.number, entry.aux)
        if entry.delete:
            if not annotations.delete(*fields):
                found.append((number, "unmatched"))
        else:
            annotations.insert(*fields)
        found.extend((number, "warning") for _ in warnings)
        if dropped(line):
            found.append((number, "warning"))
    return Result(b"".join(err), 0, record, name, annotations.written())
