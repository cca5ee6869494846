#!/usr/bin/env python3
"""Regenerates data/dict_words.txt, the word list built into the library.

Source: the word-frequency file jieba/dict.txt of the python3-jieba package
(MIT/Expat licence, see data/dict_words.LICENSE). Fetch it without
installing the package:

    apt-get download python3-jieba
    dpkg-deb -x python3-jieba_*.deb /tmp/jieba
    tools/make_dict_words.py /tmp/jieba/usr/lib/python3/dist-packages/jieba/dict.txt

Each line of the source is "word frequency tag"; only the word is kept.
Words of 1 to 8 code points are kept, duplicates removed, and the list is
sorted by unsigned bytes of the UTF-8 encoding (the order the segmenter's
binary search relies on). The output holds one word per line.
"""
import sys

MAX_CODEPOINTS = 8


def main(argv):
    if len(argv) != 2:
        sys.exit("usage: make_dict_words.py path/to/jieba/dict.txt [> out]")
    words = set()
    with open(argv[1], encoding="utf-8") as source:
        for line in source:
            fields = line.split()
            if not fields:
                continue
            word = fields[0]
            if 1 <= len(word) <= MAX_CODEPOINTS:
                words.add(word.encode("utf-8"))
    ordered = sorted(words)
    out_path = "data/dict_words.txt"
    with open(out_path, "wb") as out:
        for word in ordered:
            out.write(word + b"\n")
    pool = sum(len(w) + 1 for w in ordered)
    print(f"{out_path}: {len(ordered)} words, pool of {pool} bytes")


if __name__ == "__main__":
    main(sys.argv)
