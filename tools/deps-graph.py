#!/usr/bin/env python3
"""make deps-graph: the include graph between the folders of src/.

Reads the layer table of CMakeLists.txt (the owl_layer lines, bottom
first), then every #include "folder/file.h" of src/, and prints the layer
order and, per folder, the folders it includes. An arrow to a folder that
is not below the including one (not named in its layer line, nor below one
that is) is printed with the files that make it, and so is a cycle; either
makes the exit status 1.

    tools/deps-graph.py [--root DIR]
"""
import argparse
import os
import re
import sys

LAYER = re.compile(r"^\s*owl_layer\(([^)]*)\)", re.M)
INCLUDE = re.compile(r'^\s*#\s*include\s+"([A-Za-z0-9_]+)/[^"]+"', re.M)


def read_layers(root):
    """The table as (order, direct) where direct maps a folder to its deps."""
    with open(os.path.join(root, "CMakeLists.txt")) as f:
        text = f.read()
    order, direct = [], {}
    for match in LAYER.finditer(text):
        name, *below = match.group(1).split()
        order.append(name)
        direct[name] = below
    return order, direct


def below(order, direct):
    """Each folder's allowed folders: its own line and, through it, theirs."""
    allowed = {}
    for name in order:
        seen = set()
        for dep in direct[name]:
            seen.add(dep)
            seen |= allowed.get(dep, set())
        allowed[name] = seen
    return allowed


def read_includes(root):
    """{(from, to): [files]} for every include of another folder of src/."""
    arrows = {}
    src = os.path.join(root, "src")
    for folder in sorted(os.listdir(src)):
        path = os.path.join(src, folder)
        if not os.path.isdir(path):
            continue
        for name in sorted(os.listdir(path)):
            if not name.endswith((".h", ".cpp")):
                continue
            with open(os.path.join(path, name), errors="replace") as f:
                for target in INCLUDE.findall(f.read()):
                    if target != folder and os.path.isdir(os.path.join(src, target)):
                        arrows.setdefault((folder, target), []).append(f"src/{folder}/{name}")
    return arrows


def find_cycle(nodes, edges):
    """One cycle of the graph as a list of folders, or None."""
    state = {}

    def visit(node, stack):
        state[node] = 1
        stack.append(node)
        for nxt in sorted(edges.get(node, ())):
            if state.get(nxt) == 1:
                return stack[stack.index(nxt):] + [nxt]
            if nxt not in state:
                found = visit(nxt, stack)
                if found:
                    return found
        stack.pop()
        state[node] = 2
        return None

    for node in sorted(nodes):
        if node not in state:
            found = visit(node, [])
            if found:
                return found
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", default=os.path.join(os.path.dirname(__file__), ".."))
    root = parser.parse_args().root
    order, direct = read_layers(root)
    allowed = below(order, direct)
    arrows = read_includes(root)
    folders = sorted({f for pair in arrows for f in pair} | set(order))

    print("layers, bottom first: " + " -> ".join(order))
    edges = {}
    for a, b in arrows:
        edges.setdefault(a, set()).add(b)
    for name in order + [f for f in folders if f not in order]:
        print(f"  {name:<10} -> {' '.join(sorted(edges.get(name, ()))) or '(nothing)'}")

    faults = []
    for folder in folders:
        if folder not in direct:
            faults.append(f"src/{folder} has no owl_layer line in CMakeLists.txt")
    for (a, b), files in sorted(arrows.items()):
        if a in allowed and b not in allowed[a]:
            faults.append(f"{a} -> {b} points up or sideways: {', '.join(files)}")
    cycle = find_cycle(folders, edges)
    if cycle:
        faults.append("cycle: " + " -> ".join(cycle))
    for fault in faults:
        print("error: " + fault)
    if not faults:
        print("no upward, sideways or circular include between folders")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
