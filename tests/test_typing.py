"""The type stub of the extension module agrees with it, and vocarix_tools
type-checks strictly against both stubs."""
import ast
import inspect
import os
import site
import subprocess
import sys
from pathlib import Path

import pytest

import vocarix

ROOT = Path(__file__).resolve().parents[1]
STUB_DIR = ROOT / "src" / "bindings" / "vocarix"
STUB = STUB_DIR / "vocarix.pyi"


def run_mypy_tool(args, cwd):
    pytest.importorskip("mypy.stubtest")
    env = dict(os.environ, MYPYPATH=str(STUB_DIR))
    # The child process must import the same extension as this test run (a
    # development build may come from a directory given only to this process).
    where = str(Path(vocarix.__file__).parent)
    if where not in site.getsitepackages() + [site.getusersitepackages()]:
        env["PYTHONPATH"] = os.pathsep.join(p for p in [where, env.get("PYTHONPATH")] if p)
        env["MYPYPATH"] = os.pathsep.join([str(STUB_DIR), where])
    done = subprocess.run([sys.executable, "-m", *args], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr


def test_stubtest(tmp_path):
    run_mypy_tool(["mypy.stubtest", "vocarix"], tmp_path)


def test_installed_stub_copies_are_current():
    where = Path(vocarix.__file__).parent
    if str(where) not in site.getsitepackages() + [site.getusersitepackages()]:
        pytest.skip("vocarix is not imported from an installation")
    for copy in [where / "vocarix.pyi", where / "vocarix-stubs" / "__init__.pyi"]:
        assert copy.read_bytes() == STUB.read_bytes(), copy


def test_tools_package_type_checks_strictly(tmp_path):
    import vocarix_tools

    package = Path(vocarix_tools.__file__).parent
    assert (package / "py.typed").exists() and (package / "_native.pyi").exists()
    run_mypy_tool(["mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), "-p", "vocarix_tools"], tmp_path)


def stub_method_signatures():
    """'(self, count, min_id=0)'-style signatures of the stub's Vocarix methods."""
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    (cls,) = [node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == "Vocarix"]
    signatures = {}
    for node in cls.body:
        if not isinstance(node, ast.FunctionDef):
            continue
        decorators = {ast.unparse(d) for d in node.decorator_list}
        if "property" in decorators:
            continue
        args = node.args.args
        defaults = [None] * (len(args) - len(node.args.defaults)) + node.args.defaults
        params = [a.arg if d is None else f"{a.arg}={ast.unparse(d)}" for a, d in zip(args, defaults)]
        signatures[node.name] = "(" + ", ".join(params) + ")"
    return signatures


def test_method_signatures_match_runtime():
    # What inspect (and so help() and editors) reads from the module must be
    # exactly the stub's parameters.
    stub = stub_method_signatures()
    runtime = {
        name: str(inspect.signature(getattr(vocarix.Vocarix, name))).replace("self, /, ", "self, ").replace(
            "(self, /)", "(self)")
        for name, value in vars(vocarix.Vocarix).items()
        if not name.startswith("_") and callable(getattr(vocarix.Vocarix, name))
    }
    runtime["__init__"] = "(self, " + str(inspect.signature(vocarix.Vocarix))[1:]
    assert stub == runtime
