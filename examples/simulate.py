#!/usr/bin/env python3
"""Makes the bundled example data sets by simulation along a fixed tree.

Substitutions follow Jukes-Cantor (branch lengths in PAM units, 0.01
expected substitutions per site each); insertions and deletions of single
residues happen at a small rate per site.  Run from this folder:
python3 simulate.py
"""
import math
import random

TREE = ("((((s1:4,s2:6):3,s3:8):2,(s4:5,s5:7):4):3,"
        "((s6:6,s7:5):3,s8:9):2)")
GUIDE = "((s1,s2,s3),(s4,s5),(s6,s7,s8));\n"

DNA = "ACGT"
PROTEIN = "ARNDCQEGHILKMFPSTWYV"


def parse(text):
    """Newick with lengths to nested (name, length, children)."""
    pos = 0

    def node():
        nonlocal pos
        children = []
        name = ""
        if text[pos] == "(":
            pos += 1
            while True:
                children.append(node())
                if text[pos] == ",":
                    pos += 1
                    continue
                pos += 1  # ')'
                break
        while pos < len(text) and text[pos] not in ":,)":
            name += text[pos]
            pos += 1
        length = 0.0
        if pos < len(text) and text[pos] == ":":
            pos += 1
            start = pos
            while pos < len(text) and text[pos] not in ",)":
                pos += 1
            length = float(text[start:pos])
        return (name, length, children)

    return node()


def evolve(seq, length, alphabet, rng, indel_rate):
    k = len(alphabet)
    change = (k - 1) / k * (1.0 - math.exp(-k / (k - 1) * length / 100.0))
    out = []
    for c in seq:
        if rng.random() < indel_rate * length:
            continue  # deletion
        out.append(rng.choice(alphabet) if rng.random() < change * k / (k - 1) else c)
        if rng.random() < indel_rate * length:
            out.append(rng.choice(alphabet))  # insertion
    return out


def simulate(alphabet, root_length, seed, indel_rate):
    rng = random.Random(seed)
    leaves = {}

    def walk(node, seq):
        name, length, children = node
        seq = evolve(seq, length, alphabet, rng, indel_rate)
        if children:
            for child in children:
                walk(child, seq)
        else:
            leaves[name] = "".join(seq)

    walk(parse(TREE), [rng.choice(alphabet) for _ in range(root_length)])
    return leaves


def write_fasta(path, leaves):
    with open(path, "w") as f:
        for name in sorted(leaves):
            seq = leaves[name]
            f.write(">%s\n" % name)
            for i in range(0, len(seq), 60):
                f.write(seq[i:i + 60] + "\n")


def main():
    dna = simulate(DNA, 150, 20261210, 0.002)
    write_fasta("dna/seqs.fasta", dna)
    protein = simulate(PROTEIN, 90, 4711, 0.002)
    write_fasta("protein/seqs.fasta", protein)
    for folder in ("dna", "protein"):
        with open(folder + "/guide.tree", "w") as f:
            f.write(GUIDE)


if __name__ == "__main__":
    main()
