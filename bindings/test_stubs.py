"""Every module's type stub names exactly what the module defines."""

import ast
import pathlib

import pytest

ROOT = pathlib.Path(__file__).parent
STUBS = sorted(ROOT.glob("*/*.pyi"))


def stub_names(tree):
    names = {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            names[node.name] = {n.name for n in node.body
                                if isinstance(n, ast.FunctionDef) and not n.name.startswith("_")}
        elif isinstance(node, ast.FunctionDef):
            names[node.name] = None
        elif isinstance(node, ast.AnnAssign) and not node.target.id.startswith("_"):
            names[node.target.id] = None
    return names


@pytest.mark.parametrize("stub", STUBS, ids=lambda p: p.stem)
def test_stub_matches_module(stub):
    module = pytest.importorskip(stub.stem)  # the benchmark module is built with benchmarks only
    declared = stub_names(ast.parse(stub.read_text()))
    defined = {name for name in vars(module)
               if not name.startswith("_") and getattr(getattr(module, name), "__module__",
                                                        stub.stem) == stub.stem}
    defined -= {"qnst_error", "qnst"}  # the imported error object is not part of the API
    assert set(declared) == defined
    for name, methods in declared.items():
        if methods is not None:
            cls = getattr(module, name)
            public = {m for m in vars(cls) if not m.startswith("_")}
            assert methods == public, name


def test_every_module_has_a_stub():
    modules = {p.stem for p in ROOT.glob("*/*.pyx")}
    assert modules == {p.stem for p in STUBS}
