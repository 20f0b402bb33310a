#!/usr/bin/env python3
"""Fails on an #include "folder/..." of the product that layers.txt does not allow."""
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"/]+)/[^"]+"', re.M)


def read_layers():
    layers = {}
    with open(os.path.join(ROOT, "layers.txt")) as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if line:
                name, _, below = line.partition(":")
                layers[name.strip()] = set(below.split())
    return layers


def violations(layers):
    for layer, below in sorted(layers.items()):
        folder = os.path.join(ROOT, layer)
        if not os.path.isdir(folder):
            yield "%s: listed in layers.txt, but there is no such folder" % layer
            continue
        for name in sorted(os.listdir(folder)):
            if not name.endswith((".cpp", ".h")):
                continue
            with open(os.path.join(folder, name), encoding="utf-8") as f:
                text = f.read()
            for target in INCLUDE.findall(text):
                if target != layer and target not in below:
                    yield "%s/%s includes %s/, which %s may not use" % (layer, name, target, layer)


def main():
    layers = read_layers()
    found = list(violations(layers))
    # Product code in a folder the table does not know would escape the check.
    for name in sorted(os.listdir(ROOT)):
        path = os.path.join(ROOT, name)
        if name not in layers and name not in ("tests", "bench", "fuzz") and os.path.isdir(path) \
                and any(f.endswith(".cpp") for f in os.listdir(path)):
            found.append("%s/: C++ sources in a folder that layers.txt does not list" % name)
    for line in found:
        print(line)
    print("%d include rules broken" % len(found))
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
