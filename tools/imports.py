"""The import arrows between factsift's Python modules, those made inside functions included.

    python tools/imports.py            # the cycles, then each module's arrows
    python tools/imports.py --check    # only what is wrong; exit 1 if anything is

An arrow goes from a module to each module of the package it imports: `import
factsift.a.b` and `from factsift.a import b` (b a module) reach factsift.a.b;
`from factsift.a import name` reaches factsift.a. Imports only for the type
checker (under `if TYPE_CHECKING:`) are left out: they run no code. A package's
`__init__` is the package itself.

The layers, from the top: an arrow may go down or stay within its layer, never
up; the local service stands apart and imports nothing of the rest.
"""

from __future__ import annotations

import argparse
import ast
import pathlib
import sys
from collections.abc import Iterator

ROOT = pathlib.Path(__file__).resolve().parent.parent
PACKAGE = "factsift"
LAYERS = (
    ("the local service", ("factsift.devserver",)),
    ("the command line", ("factsift.cli", "factsift.__main__")),
    ("runs", ("factsift.batch", "factsift.online", "factsift.batchapi")),
    ("what runs share", ("factsift.repeats", "factsift.options")),
    ("pools", ("factsift.pools", "factsift.limits", "factsift.budget", "factsift.tokens")),
    ("the client layer", ("factsift.clients",)),
    ("plain data", ("factsift.records", "factsift.usage", "factsift")),
)


def modules(root: pathlib.Path = ROOT) -> dict[str, pathlib.Path]:
    """Every module of the package: its dotted name and its file."""
    found = {}
    for path in sorted((root / PACKAGE).rglob("*.py")):
        parts = list(path.relative_to(root).with_suffix("").parts)
        if parts[-1] == "__init__":
            parts.pop()
        found[".".join(parts)] = path
    return found


def _type_only(node: ast.If) -> bool:
    test = node.test
    return (isinstance(test, ast.Name) and test.id == "TYPE_CHECKING") or (
        isinstance(test, ast.Attribute) and test.attr == "TYPE_CHECKING")


def _imports(tree: ast.AST) -> Iterator[ast.Import | ast.ImportFrom]:
    """The imports of a module, in functions too, but not those for the type checker alone."""
    stack = [tree]
    while stack:
        node = stack.pop()
        if isinstance(node, ast.If) and _type_only(node):
            stack.extend(node.orelse)
            continue
        if isinstance(node, (ast.Import, ast.ImportFrom)):
            yield node
        stack.extend(ast.iter_child_nodes(node))


def _absolute(name: str, node: ast.ImportFrom, path: pathlib.Path) -> str:
    if not node.level:
        return node.module or ""
    base = name.split(".") if path.name == "__init__.py" else name.split(".")[:-1]
    base = base[:len(base) - node.level + 1]
    return ".".join(base + ([node.module] if node.module else []))


def arrows(known: dict[str, pathlib.Path]) -> dict[str, set[str]]:
    """For each module, the modules of the package it imports."""
    graph: dict[str, set[str]] = {name: set() for name in known}
    for name, path in known.items():
        for node in _imports(ast.parse(path.read_text(encoding="utf-8"), str(path))):
            if isinstance(node, ast.Import):
                targets = [alias.name for alias in node.names]
            else:
                source = _absolute(name, node, path)
                targets = [f"{source}.{alias.name}" if f"{source}.{alias.name}" in known else source
                           for alias in node.names]
            graph[name].update(target for target in targets if target in known and target != name)
    return graph


def cycles(graph: dict[str, set[str]]) -> list[list[str]]:
    """The strongly connected groups of more than one module (Tarjan's), each sorted."""
    index: dict[str, int] = {}
    low: dict[str, int] = {}
    stack: list[str] = []
    groups: list[list[str]] = []

    def visit(node: str) -> None:
        index[node] = low[node] = len(index)
        stack.append(node)
        for target in sorted(graph[node]):
            if target not in index:
                visit(target)
                low[node] = min(low[node], low[target])
            elif target in stack:
                low[node] = min(low[node], index[target])
        if low[node] == index[node]:
            group = []
            while True:
                member = stack.pop()
                group.append(member)
                if member == node:
                    break
            if len(group) > 1:
                groups.append(sorted(group))

    for node in sorted(graph):
        if node not in index:
            visit(node)
    return sorted(groups)


def layer(name: str) -> int:
    """The place of a module's layer in LAYERS: that of the longest prefix that names it (the
    package alone names only itself)."""
    matches = [(len(prefix), place) for place, (_, prefixes) in enumerate(LAYERS) for prefix in prefixes
               if name == prefix or (prefix != PACKAGE and name.startswith(prefix + "."))]
    if not matches:
        raise ValueError(f"{name} is in no layer")
    return max(matches)[1]


def upward(graph: dict[str, set[str]]) -> list[str]:
    """The arrows that go up the layers, or out of the local service or into it; every module must
    be in a layer."""
    places = {name: layer(name) for name in graph}
    found = []
    for name, targets in sorted(graph.items()):
        for target in sorted(targets):
            here, there = places[name], places[target]
            apart = (here == 0) != (there == 0)
            if there < here or apart:
                found.append(f"{name} ({LAYERS[here][0]}) -> {target} ({LAYERS[there][0]})")
    return found


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="print only the cycles and the arrows up")
    args = parser.parse_args(argv)
    graph = arrows(modules())
    wrong = [f"cycle: {' '.join(group)}" for group in cycles(graph)] + [f"up: {arrow}" for arrow in upward(graph)]
    print("\n".join(wrong) if wrong else "no cycle, no arrow up")
    if not args.check:
        for name in sorted(graph):
            print(f"{name} -> {' '.join(sorted(graph[name])) or '-'}")
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main())
