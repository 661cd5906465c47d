#!/usr/bin/env python3
"""The site finder of mutants.py: what is a site and what is not."""
import pathlib
import sys
import unittest

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import mutants  # noqa: E402


def mutated(code):
    """{(operator, the code after the mutation)} of a snippet."""
    return {(m.operator, mutants.apply(code, m.edits)) for m in mutants.sites(code)}


class Sites(unittest.TestCase):
    def test_texts_that_are_never_sites(self):
        cases = [
            ("a string", 'void f() { x = g("a < b == c && d"); }'),
            ("a character", "void f() { x = h('<', '='); }"),
            ("a raw string", 'void f() { x = g(R"x(a < b)x"); }'),
            ("comments", "void f() { // a < b\n /* c == d */ }"),
            ("directives", "#include <vector>\n#define LESS(a, b) ((a) < (b))\n"),
            ("templates", "void f() { std::vector<std::map<int, T>> v; static_cast<int>(x); }"),
            ("arrows and shifts", "void f() { x = p->y << k >> k; }"),
            ("static_assert", 'void f() { static_assert(sizeof(int) == 4, "int"); }'),
            ("outside functions", "const int kLimit = 5;\nstruct S { int a = 1 < 2; };"),
            ("a table", "void f() { static const int k[] = {1, 2}; }"),
            ("an rvalue reference", "void f(T&& x) { T&& y = g(); }"),
        ]
        for name, code in cases:
            with self.subTest(name):
                self.assertEqual(mutated(code), set())

    def test_each_operator(self):
        code = "bool f(int a) {\n    if (a < b && ok) g(a);\n    return a == 3;\n}\n"
        cases = [
            ("rel-flip", "if (a > b && ok)"),
            ("boundary", "if (a <= b && ok)"),
            ("and-or", "if (a < b || ok)"),
            ("negate", "if (!(a < b && ok))"),
            ("delete-call", "ok) {}"),
            ("eq-flip", "return a != 3;"),
            ("boundary", "return a == 4;"),
            ("return", "return !(a == 3);"),
        ]
        found = mutated(code)
        for op, text in cases:
            with self.subTest(op=op, text=text):
                self.assertTrue(any(o == op and text in c for o, c in found), found)
        self.assertEqual(len(found), len(cases))

    def test_returned_values(self):
        cases = [
            ("int f() { return 5; }", {"return 6;", "return 0;"}),
            ("int f() { return -1; }", {"return 0;"}),
            ("long f() { return n; }", {"return 0;", "return (n) + 1;"}),
            ("const char* f() { return p; }", {"return nullptr;"}),
            ("bool f() { return true; }", {"return false;"}),
            ("String f() { return s; }", set()),
            ("void f() { auto g = [] { return 1; }; }", set()),
        ]
        for code, texts in cases:
            with self.subTest(code):
                found = {c.split("{ ")[-1].split(" }")[0]
                         for o, c in mutated(code) if o == "return"}
                self.assertEqual(found, texts)

    def test_operator_declarations_are_not_sites(self):
        code = "bool operator<(const A& o) const { return a < o.a; }"
        self.assertTrue(any("return a > o.a;" in c for _, c in mutated(code)))
        self.assertTrue(all(c.startswith("bool operator<(") for _, c in mutated(code)))

    def test_same_seed_same_draw(self):
        files = ["src/config/ipfilter.cpp"]
        first, total = mutants.draw(files, 5, 1)
        self.assertEqual(first, mutants.draw(files, 5, 1)[0])
        self.assertNotEqual(first, mutants.draw(files, 5, 2)[0])
        self.assertGreater(total, 5)


if __name__ == "__main__":
    unittest.main()
