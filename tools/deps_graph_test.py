#!/usr/bin/env python3
"""deps-graph.py over small trees: what it lets pass and what it refuses."""
import pathlib
import subprocess
import sys
import tempfile
import unittest

TOOL = pathlib.Path(__file__).resolve().parent / "deps-graph.py"
LAYERS = "owl_layer(text)\nowl_layer(net text)\nowl_layer(fs text)\nowl_layer(server fs net)\n"


def run(files, layers=LAYERS):
    """(exit status, output) of the tool over a tree of files {path: text}."""
    with tempfile.TemporaryDirectory() as root:
        base = pathlib.Path(root)
        (base / "CMakeLists.txt").write_text(layers)
        for folder in ("text", "net", "fs", "server"):
            (base / "src" / folder).mkdir(parents=True)
        for path, text in files.items():
            (base / path).parent.mkdir(parents=True, exist_ok=True)
            (base / path).write_text(text)
        out = subprocess.run([sys.executable, str(TOOL), "--root", root],
                             capture_output=True, text=True)
        return out.returncode, out.stdout


class DepsGraph(unittest.TestCase):
    def test_verdicts(self):
        cases = [
            ("down through a layer", "src/server/a.cpp", '#include "text/s.h"', 0, "no upward"),
            ("its own folder", "src/fs/a.cpp", '#include "fs/a.h"', 0, "no upward"),
            ("a system header", "src/text/a.cpp", "#include <net/if.h>", 0, "no upward"),
            ("up", "src/text/a.h", '  #  include "fs/a.h"', 1,
             "text -> fs points up or sideways: src/text/a.h"),
            ("sideways", "src/fs/a.cpp", '#include "net/s.h"', 1, "fs -> net points up"),
            ("no layer line", "src/proc/a.cpp", '#include "text/s.h"', 1,
             "src/proc has no owl_layer line"),
        ]
        for name, path, line, status, text in cases:
            with self.subTest(name):
                code, out = run({path: line + "\n"})
                self.assertEqual(code, status, out)
                self.assertIn(text, out)

    def test_a_cycle_is_named_even_when_the_table_allows_it(self):
        layers = "owl_layer(text)\nowl_layer(net text fs)\nowl_layer(fs text net)\n"
        files = {"src/net/a.cpp": '#include "fs/a.h"\n', "src/fs/a.cpp": '#include "net/a.h"\n'}
        code, out = run(files, layers)
        self.assertEqual(code, 1, out)
        self.assertIn("cycle: fs -> net -> fs", out)


if __name__ == "__main__":
    unittest.main()
