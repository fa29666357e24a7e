"""The documentation site against the package: every public name of the type
stubs is in the reference, and the README's examples run.

The reference check reads the inventory of a site built just before:
`tools/docs` builds it and then runs this file with CORVALINK_DOCS_HTML set to
the site's directory. Without it that test is skipped, so that a site left
from an earlier build is never judged against newer stubs.
"""

import ast
import os
import pathlib
import re
import subprocess
import sys

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
SITE = os.environ.get("CORVALINK_DOCS_HTML")
STUBS = {
    "corvalink": REPO / "corvalink" / "__init__.pyi",
    "corvalink.aio": REPO / "corvalink" / "aio.pyi",
    "corvalink.rs485": REPO / "corvalink" / "rs485.pyi",
    "corvalink.tools.list_ports": REPO / "corvalink" / "tools" / "list_ports" / "__init__.pyi",
}


def _public(name: str) -> bool:
    return not name.startswith("_")


def _assigned_names(node: ast.stmt) -> list[str]:
    if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
        return [node.target.id]
    if isinstance(node, ast.Assign):
        return [t.id for t in node.targets if isinstance(t, ast.Name)]
    return []


def stub_names(module: str, path: pathlib.Path) -> set[str]:
    """The qualified public names a stub declares: what its __all__ lists (or
    its public top-level names), and the public members of its classes."""
    tree = ast.parse(path.read_text(), str(path))
    exported = None
    top: dict[str, ast.stmt] = {}
    for node in tree.body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            top[node.name] = node
        for name in _assigned_names(node):
            if name == "__all__":
                exported = [ast.literal_eval(e) for e in node.value.elts]  # type: ignore[union-attr]
            else:
                top[name] = node
    names = set()
    for name in exported if exported is not None else [n for n in top if _public(n)]:
        names.add(f"{module}.{name}")
        node = top.get(name)
        if isinstance(node, ast.ClassDef):
            for member in node.body:
                members = [member.name] if isinstance(member, ast.FunctionDef) else _assigned_names(member)
                names.update(f"{module}.{name}.{m}" for m in members if _public(m))
    return names


def test_stub_parser_sees_members_and_exports():
    # The parser itself: a miss here would let names slip past the check below.
    names = stub_names("corvalink.aio", STUBS["corvalink.aio"])
    assert {"corvalink.aio.Future", "corvalink.aio.Future.wait", "corvalink.aio.SerialTransport.flush",
            "corvalink.aio.open_serial_connection"} <= names
    assert not any(part.startswith("_") for name in names for part in name.split(".")[2:])
    assert "corvalink.aio._T_co" not in names


@pytest.mark.skipif(not SITE, reason="needs a freshly built site: tools/env.sh run tools/docs runs this test")
def test_every_public_name_of_the_stubs_is_in_the_reference():
    from sphinx.util.inventory import InventoryFile

    with open(pathlib.Path(SITE) / "objects.inv", "rb") as f:
        inventory = InventoryFile.load(f, "", posixpath_join)
    documented = {name for domain, entries in inventory.items() if domain.startswith("py:") for name in entries}
    missing = sorted(name for module, path in STUBS.items() for name in stub_names(module, path) - documented)
    assert not missing, f"public names of the stubs missing from the reference: {missing}"


def posixpath_join(*parts: str) -> str:
    return "/".join(parts)


def readme_examples() -> list[str]:
    text = (REPO / "README.md").read_text()
    return re.findall(r"^```python\n(.*?)^```", text, flags=re.S | re.M)


def test_readme_examples_run():
    examples = readme_examples()
    assert examples, "README.md has no python example"
    for code in examples:
        # In a process of its own, as a reader would run it.
        result = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True, timeout=60,
                                env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
        assert result.returncode == 0, f"README example failed:\n{code}\n{result.stderr}"
        assert "b'AT\\r\\n'" in result.stdout
