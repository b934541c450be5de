#!/usr/bin/env python3
"""Writes the benchmark inputs into a folder; the same bytes on every run.

text.txt   lines of about 60 characters, the word "qxz" about one word in
           twelve, and 100 lines holding "qjk"; "qvw" never occurs
line.txt   one line of dense text, ended only at the end of the file
small.txt  1 MB of the same kind as text.txt
many/      small files with a few "qxz" each
"""
import argparse
import os
import random

WORDS = (
    "the and of to in is that for it as with was on be by at this have from or one had "
    "not but what all were when we there can an your which their said each about how up "
    "out them then she many some so these would other into has more her two like him see "
    "time could make than first been its who now people made over did down only way find "
    "use may water long little very after words called just where most know get through "
    "back much before go good new write our used number great tell small every found "
    "still between name"
).split()

LINE_LENGTH = 60
SEGMENTS = 100  # text.txt is this many copies of one segment: one "qjk" each
SPARSE_LINE = "one line of the sparse kind holds qjk once\n"


def text(rng, size, search_every, line_end="\n"):
    """About `size` characters of lines; about one word in `search_every` is qxz."""
    lines = []
    total = 0
    line = []
    length = 0
    while total < size:
        word = WORDS[int(rng.random() * len(WORDS))]
        if search_every and rng.random() * search_every < 1:
            word = "qxz"
        if line and length + 1 + len(word) > LINE_LENGTH:
            lines.append(" ".join(line))
            total += length + 1
            line, length = [], 0
        length += len(word) + (1 if line else 0)
        line.append(word)
    if line:
        lines.append(" ".join(line))
    return line_end.join(lines) + line_end


def write_segments(path, segment, count):
    data = segment.encode()
    with open(path, "wb") as out:
        for _ in range(count):
            out.write(data)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("folder")
    parser.add_argument("--text-bytes", type=int, required=True)
    parser.add_argument("--line-bytes", type=int, required=True)
    parser.add_argument("--files", type=int, required=True)
    parser.add_argument("--file-bytes", type=int, default=4096)
    args = parser.parse_args()

    rng = random.Random(20240603)
    segment_bytes = max(1, args.text_bytes // SEGMENTS)
    segment = text(rng, segment_bytes - len(SPARSE_LINE), 12) + SPARSE_LINE
    write_segments(os.path.join(args.folder, "text.txt"), segment, SEGMENTS)

    small = text(random.Random(7), 1 << 20, 12)
    with open(os.path.join(args.folder, "small.txt"), "w") as out:
        out.write(small)

    piece = text(random.Random(11), max(1, args.line_bytes // SEGMENTS), 12, " ")
    with open(os.path.join(args.folder, "line.txt"), "w") as out:
        for _ in range(SEGMENTS - 1):
            out.write(piece)
        out.write(piece[:-1] + "\n")

    many = os.path.join(args.folder, "many")
    os.makedirs(many)
    rng = random.Random(13)
    for i in range(args.files):
        # A few occurrences: about one word in 200 of a 4 KiB file.
        content = text(rng, args.file_bytes, 200)
        if "qxz" not in content:
            content = "qxz " + content
        with open(os.path.join(many, "f%04d.txt" % i), "w") as out:
            out.write(content)


if __name__ == "__main__":
    main()
