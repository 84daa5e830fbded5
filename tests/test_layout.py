"""The import arrows between the package's modules: one way, down the layers (tools/imports.py)."""

import importlib.util
import os
import textwrap

import pytest

from conftest import ROOT

TOOL = os.path.join(ROOT, "tools", "imports.py")
if not os.path.exists(TOOL):
    pytest.skip("the checkout's tools are not here (an installed copy of the tests)", allow_module_level=True)
spec = importlib.util.spec_from_file_location("imports_tool", TOOL)
imports = importlib.util.module_from_spec(spec)
spec.loader.exec_module(imports)


def test_the_package_has_no_cycle_and_no_arrow_up():
    graph = imports.arrows(imports.modules())
    assert imports.cycles(graph) == [] and imports.upward(graph) == []
    assert {"factsift.batchapi.split", "factsift.pools"} <= graph["factsift.batchapi"]


def a_package(tmp_path, files):
    for name, text in files.items():
        path = tmp_path / "factsift" / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(text))
    return imports.arrows(imports.modules(tmp_path))


CASES = [
    pytest.param({"records.py": "def f():\n    from factsift import cli\n",
                  "cli/__init__.py": "from factsift import records\n"},
                 [["factsift.cli", "factsift.records"]],
                 ["factsift.records (plain data) -> factsift.cli (the command line)"], id="import-inside-a-function"),
    pytest.param({"pools/__init__.py": "from .threads import Threads\n", "pools/threads.py": "from . import helper\n",
                  "pools/helper.py": "from ..clients import x\n", "clients/__init__.py": ""},
                 [], [], id="relative-imports-down"),
    pytest.param({"clients/__init__.py":
                  "TYPE_CHECKING = False\nif TYPE_CHECKING:\n    from factsift.pools import Spec\n",
                  "pools/__init__.py": "import factsift.clients\n"},
                 [], [], id="type-checking-only"),
    pytest.param({"clients/__init__.py": "from factsift.online import run\n",
                  "online.py": "from factsift import clients\n"},
                 [["factsift.clients", "factsift.online"]],
                 ["factsift.clients (the client layer) -> factsift.online (runs)"], id="cycle-across-layers"),
    pytest.param({"devserver/__init__.py": "from factsift import records\n", "records.py": ""},
                 [], ["factsift.devserver (the local service) -> factsift.records (plain data)"],
                 id="local-service-apart"),
]


@pytest.mark.parametrize("files, cycles, up", CASES)
def test_the_tool_finds_cycles_and_arrows_up(tmp_path, files, cycles, up):
    graph = a_package(tmp_path, files)
    assert imports.cycles(graph) == cycles
    assert imports.upward(graph) == up


def test_a_module_in_no_layer_is_named(tmp_path):
    graph = a_package(tmp_path, {"stray.py": ""})
    with pytest.raises(ValueError, match="factsift.stray is in no layer"):
        imports.upward(graph)
