"""The module as a user installs it: stubs beside it, its license, one exported symbol.

The type checks run mypy from the interpreter under test, so they see exactly
what a user's editor or CI sees in that environment's site-packages.
"""

import ast
import importlib.metadata
import inspect
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import vennu_mesh
from vennu_mesh import VennuMesh

ROOT = Path(__file__).resolve().parents[1]
STUB = ROOT / "stubs" / "vennu_mesh-stubs" / "__init__.pyi"
TYPED_USE = Path(__file__).resolve().parent / "typed_use"


def stub_class():
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    [cls] = [node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == "VennuMesh"]
    return tree, cls


def stub_parameters(function):
    """(name, default) pairs after self/cls; the default is ... when there is none."""
    args = function.args
    assert not args.posonlyargs and not args.kwonlyargs and not args.vararg and not args.kwarg
    positional = args.args[1:]
    defaults = [...] * (len(positional) - len(args.defaults)) + [ast.literal_eval(d) for d in args.defaults]
    return [(arg.arg, default) for arg, default in zip(positional, defaults)]


def runtime_parameters(signature):
    parameters = list(signature.parameters.values())
    if parameters and parameters[0].name == "self":
        parameters = parameters[1:]
    for parameter in parameters:
        assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD, parameter
    return [(p.name, ... if p.default is inspect.Parameter.empty else p.default) for p in parameters]


class TestStubs:
    def test_installed_beside_the_module(self):
        installed = Path(vennu_mesh.__file__).parent / "vennu_mesh-stubs" / "__init__.pyi"
        assert installed.read_text(encoding="utf-8") == STUB.read_text(encoding="utf-8")

    def test_module_attributes(self):
        tree, _ = stub_class()
        [names] = [node.value for node in tree.body
                   if isinstance(node, ast.Assign) and node.targets[0].id == "__all__"]
        assert ast.literal_eval(names) == vennu_mesh.__all__
        assert ast.get_docstring(tree) == vennu_mesh.__doc__

    def test_every_method_with_its_parameters_and_docstring(self):
        _, cls = stub_class()
        functions = {node.name: node for node in cls.body if isinstance(node, ast.FunctionDef)}
        # Underscored names are test-build hooks, never part of an installed module.
        runtime = [name for name, value in vars(VennuMesh).items()
                   if not name.startswith("_") and callable(value)]
        assert sorted(functions) == sorted(runtime + ["__new__", "__repr__", "app_name"])
        assert ast.get_docstring(cls) == VennuMesh.__doc__
        assert ast.get_docstring(functions["app_name"]) == VennuMesh.app_name.__doc__
        assert stub_parameters(functions["__new__"]) == runtime_parameters(inspect.signature(VennuMesh))
        for name in runtime:
            method = getattr(VennuMesh, name)
            assert stub_parameters(functions[name]) == runtime_parameters(inspect.signature(method)), name
            assert ast.get_docstring(functions[name]) == method.__doc__, name


class TestDistribution:
    def test_license_ships_with_the_metadata(self):
        distribution = importlib.metadata.distribution("vennu-mesh")
        assert distribution.metadata["License-Expression"] == "MIT"
        assert distribution.metadata.get_all("License-File") == ["LICENSE"]
        [license_file] = [f for f in distribution.files if f.parts[-2:] == ("licenses", "LICENSE")]
        text = license_file.read_text(encoding="utf-8")
        assert text == (ROOT / "LICENSE").read_text(encoding="utf-8")
        assert text.startswith("MIT License\n")

    @pytest.mark.skipif(not sys.platform.startswith("linux") or shutil.which("nm") is None,
                        reason="needs an ELF module and nm")
    def test_only_the_entry_point_is_exported(self):
        output = subprocess.run(["nm", "-D", "--defined-only", vennu_mesh.__file__],
                                capture_output=True, text=True, check=True).stdout
        assert [line.split()[-1] for line in output.splitlines()] == ["PyInit_vennu_mesh"]


@pytest.fixture(scope="module")
def mypy(tmp_path_factory):
    pytest.importorskip("mypy", reason="mypy is not installed here (scripts/test installs it for the wheel)")
    cache = tmp_path_factory.mktemp("mypy-cache")

    def run(*arguments):
        return subprocess.run([sys.executable, "-m", "mypy", "--cache-dir", str(cache), *arguments],
                              capture_output=True, text=True, cwd=ROOT)
    return run


@pytest.mark.native_only
class TestTypeChecking:
    def test_stubs_agree_with_the_module(self, mypy):
        result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "vennu_mesh"],
                                capture_output=True, text=True, cwd=ROOT)
        assert result.returncode == 0, result.stdout + result.stderr
        assert "Success: no issues found in 1 module" in result.stdout

    def test_strict_mode_accepts_correct_use(self, mypy):
        result = mypy("--strict", "examples", str(TYPED_USE / "usage.py"))
        assert result.returncode == 0, result.stdout + result.stderr

    def test_strict_mode_reports_wrong_use(self, mypy):
        result = mypy("--strict", str(TYPED_USE / "wrong_use.py"))
        assert result.returncode == 1, result.stdout + result.stderr
        assert result.stdout.splitlines()[0].endswith(
            'wrong_use.py:6: error: Incompatible types in assignment (expression has type "str | None",'
            ' variable has type "int")  [assignment]'), result.stdout
