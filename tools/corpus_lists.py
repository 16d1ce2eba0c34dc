#!/usr/bin/env python3
"""Builds the training and held-out file lists of the model corpus.

Usage: corpus_lists.py GENERATED_DIR OUT_DIR [--holdout-percent N] [--max-elf N] [--seed N]

Benign files: the operating system's own ELF programs and libraries, every
PE image on the machine's package-managed and tool folders (the emulator's
Windows libraries, the .NET runtime's assemblies, the installer builder's
stubs and plug-ins, the cross-compiler's runtime libraries, Python's launcher
stubs), PDF documents shipped by packages, and the generated benign builds.
Malicious files: only the generated stand-ins.

Identical contents are kept once. Files are split by group: a generated
build's variants share one group, every other file is a group of its own
(by content digest); a group is held out when a keyed digest of its name falls
in the held-out share, so the split is stable across runs.
Writes OUT_DIR/train.list and OUT_DIR/holdout.list ("<label> <path>" lines)
and prints the counts per kind.
"""
import argparse
import hashlib
import os
import random
import sys

ELF_ROOTS = ["/usr/bin", "/usr/sbin", "/usr/lib/x86_64-linux-gnu", "/usr/libexec", "/usr/lib/gcc"]
PE_ROOTS = ["/usr/lib/x86_64-linux-gnu/wine", "/usr/lib/mono", "/usr/share/nsis", "/usr/lib/gcc/i686-w64-mingw32",
            "/usr/lib/gcc/x86_64-w64-mingw32", "/usr/i686-w64-mingw32", "/usr/x86_64-w64-mingw32", "/usr/lib/python3",
            "/usr/share/python-wheels", "/root/.pyenv/versions", "/usr/lib/google-cloud-sdk", "/usr/share/doc"]
PDF_ROOTS = ["/usr/share/doc", "/usr/share/texlive", "/usr/share/texmf", "/usr/share/texmf-dist"]
MAX_SIZE = 32 * 1024 * 1024


def walk(root):
    for dirpath, dirnames, filenames in os.walk(root, followlinks=False):
        for n in filenames:
            p = os.path.join(dirpath, n)
            if os.path.islink(p) or not os.path.isfile(p):
                continue
            yield p


def head(path, n=1024):
    try:
        with open(path, "rb") as f:
            return f.read(n)
    except OSError:
        return b""


def digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()


def kind_of(b):
    if b[:2] == b"MZ":
        return "pe"
    if b[:4] == b"\x7fELF":
        return "elf"
    if b"%PDF-" in b[:1024]:
        return "pdf"
    return None


def system_files(max_elf, rng):
    found = {"pe": [], "elf": [], "pdf": []}
    for kind, roots in (("elf", ELF_ROOTS), ("pe", PE_ROOTS), ("pdf", PDF_ROOTS)):
        seen = set()
        for r in roots:
            if not os.path.isdir(r):
                continue
            for p in walk(r):
                if p in seen:
                    continue
                seen.add(p)
                try:
                    size = os.path.getsize(p)
                except OSError:
                    continue
                if size < 64 or size > MAX_SIZE:
                    continue
                if kind_of(head(p)) == kind:
                    found[kind].append(p)
    found["elf"].sort()
    rng.shuffle(found["elf"])
    found["elf"] = found["elf"][:max_elf]
    return found


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("generated")
    ap.add_argument("out")
    ap.add_argument("--holdout-percent", type=int, default=30)
    ap.add_argument("--max-elf", type=int, default=2500)
    ap.add_argument("--seed", type=int, default=15)
    a = ap.parse_args()
    rng = random.Random(a.seed)

    entries = []  # (label, kind, group, path)
    for label, cls in ((0, "benign"), (1, "malicious")):
        base = os.path.join(a.generated, cls)
        if not os.path.isdir(base):
            continue
        for kind in sorted(os.listdir(base)):
            for group in sorted(os.listdir(os.path.join(base, kind))):
                gdir = os.path.join(base, kind, group)
                for n in sorted(os.listdir(gdir)):
                    entries.append((label, kind, f"gen:{cls}/{kind}/{group}", os.path.join(gdir, n)))
    sysf = system_files(a.max_elf, rng)
    for kind, paths in sysf.items():
        for p in sorted(paths):
            entries.append((0, "sys-" + kind, None, p))

    seen = set()
    train, held = [], []
    counts = {}
    for label, kind, group, path in entries:
        try:
            d = digest(path)
        except OSError:
            continue
        if d in seen:
            continue
        seen.add(d)
        g = group or "sys:" + d
        share = int(hashlib.sha256(("split15:" + g).encode()).hexdigest()[:8], 16) % 100
        side = "holdout" if share < a.holdout_percent else "train"
        (held if side == "holdout" else train).append(f"{label} {path}")
        key = (kind, label, side)
        counts[key] = counts.get(key, 0) + 1

    os.makedirs(a.out, exist_ok=True)
    for name, lines in (("train.list", train), ("holdout.list", held)):
        with open(os.path.join(a.out, name), "w") as f:
            f.write("\n".join(lines) + "\n")
    print("source                 label      train  holdout")
    for kind in sorted({k for k, _, _ in counts}):
        for label in (0, 1):
            t = counts.get((kind, label, "train"), 0)
            h = counts.get((kind, label, "holdout"), 0)
            if t or h:
                print(f"{kind:22} {'malicious' if label else 'benign':9} {t:7d} {h:8d}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
