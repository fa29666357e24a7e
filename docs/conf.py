"""Sphinx configuration of the corvalink site.

Built by tools/docs (inside the development root), which builds the module
first: the reference is read from the extension itself, so the package staged
at build/debug/python must be importable.
"""

import os
import sys

_here = os.path.dirname(os.path.abspath(__file__))
_repo = os.path.dirname(_here)
_package = os.environ.get("CORVALINK_PACKAGE_DIR", os.path.join(_repo, "build", "debug", "python"))
sys.path.insert(0, _package)

import corvalink  # noqa: E402

project = "corvalink"
author = "the corvalink developers"
copyright = "the corvalink developers"
release = version = corvalink.__version__

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinx.ext.doctest",
    "sphinx.ext.intersphinx",
]

source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
root_doc = "index"
exclude_patterns = ["_build"]
templates_path = []

myst_enable_extensions = ["colon_fence", "deflist"]
myst_heading_anchors = 3

nitpicky = True
# Names that Python's own inventory does not carry as targets.
nitpick_ignore = [
    ("py:class", "collections.abc.Buffer"),
    # ReaderThread's type variable (the protocol's type), shown in its bases.
    ("py:class", "corvalink.threaded.P"),
]

# Links to Python's documentation use the inventory that Debian's python3.14-doc
# ships, so the build reads nothing from the network.
_python_inventory = "/usr/share/doc/python3.14/html/objects.inv"
intersphinx_mapping = {
    "python": ("https://docs.python.org/3.14", _python_inventory if os.path.exists(_python_inventory) else None),
}

autodoc_default_options = {"members": True, "undoc-members": True, "member-order": "bysource"}
autodoc_class_signature = "mixed"
add_module_names = False
default_role = "corvalink-name"

html_theme = "pydata_sphinx_theme"
html_title = f"corvalink {release}"
html_static_path = ["_static"]
html_theme_options = {
    "navigation_with_keys": False,
    "show_prev_next": True,
    "secondary_sidebar_items": ["page-toc"],
    "footer_start": ["copyright"],
    "footer_end": [],
}
html_sidebars = {"index": []}
html_context = {"default_mode": "light"}
html_favicon = "_static/favicon.svg"
html_show_sourcelink = False
html_copy_source = False

# The examples run against loop:// and against a pseudo-terminal that stands
# in for a device; docs/_doctest_devices.py makes those.
doctest_path = [_here, os.path.join(_repo, "examples"), os.path.join(_repo, "tests", "python")]
doctest_global_setup = f"""
import corvalink
import corvalink.aio
EXAMPLES = {os.path.join(_repo, "examples")!r}
"""
doctest_default_flags = (
    __import__("doctest").ELLIPSIS | __import__("doctest").NORMALIZE_WHITESPACE
)
trim_doctest_flags = True


def _drop_builtin_docs(app, what, name, obj, options, lines):
    # A constant's docstring is its type's (str, int, ...): say nothing rather
    # than describe the built-in type.
    if what in ("data", "attribute") and type(obj) in (str, bytes, int, float, dict, tuple):
        if "\n".join(lines).strip() == (type(obj).__doc__ or "").strip():
            lines[:] = []


def _name_role(name, rawtext, text, lineno, inliner, options=None, content=None):
    """The default role, which the module's docstrings use for `names`: a
    link when the text names an object of the package (or of asyncio), else
    code (an argument such as `size`)."""
    from docutils import nodes
    from sphinx import addnodes

    target = _resolve(text)
    literal = nodes.literal(rawtext, text, classes=["xref", "py", "py-obj"])
    if target is None:
        return [literal], []
    ref = addnodes.pending_xref(
        rawtext, refdomain="py", reftype="obj", reftarget=target, refexplicit=True, refwarn=True
    )
    ref += literal
    return [ref], []


def _resolve(text):
    import importlib

    name = text.removesuffix("()")
    for prefix in ("", "corvalink.", "corvalink.aio.", "corvalink.SerialBase.", "corvalink.tools.list_ports.",
                   "asyncio."):
        full = prefix + name
        if not full.startswith(("corvalink", "asyncio.")):
            continue
        parts = full.split(".")
        for cut in range(len(parts), 0, -1):
            try:
                obj = importlib.import_module(".".join(parts[:cut]))
            except ImportError:
                continue
            try:
                for attr in parts[cut:]:
                    obj = getattr(obj, attr)
            except AttributeError:
                break
            return full
    return None


# Debian's build of the theme ships a scripts/bootstrap.js whose bundled
# Bootstrap exports nothing, so its start-up code fails ("e.Tooltip is not a
# constructor") and the theme's own script finds no `bootstrap`. The site gets
# a bootstrap.js made of Debian's Bootstrap bundle (libjs-bootstrap5) and that
# same start-up code.
_BOOTSTRAP_BUNDLE = "/usr/share/javascript/bootstrap5/js/bootstrap.bundle.min.js"
_THEME_START_UP = """
(function () {
  "use strict";
  var bs = window.bootstrap;
  function ready(f) {
    document.readyState != "loading" ? f() : document.addEventListener("DOMContentLoaded", f);
  }
  ready(function () {
    document.querySelectorAll('[data-bs-toggle="tooltip"]').forEach(function (t) {
      new bs.Tooltip(t, { delay: { show: 500, hide: 100 } });
    });
  });
  ready(function () {
    var t = document.querySelector(".theme-switch-container");
    if (!t) return;
    var tip = bs.Tooltip.getInstance(t);
    if (tip) {
      t.addEventListener("show.bs.dropdown", function () { tip.hide(); tip.disable(); });
      t.addEventListener("hide.bs.dropdown", function () { tip.enable(); });
    }
  });
  ready(function () {
    var b = document.getElementById("pst-back-to-top");
    if (!b) return;
    b.addEventListener("click", function () {
      document.body.scrollTop = 0;
      document.documentElement.scrollTop = 0;
    });
    var header = document.getElementsByClassName("bd-header")[0].getBoundingClientRect();
    window.addEventListener("scroll", function () {
      b.style.display = this.oldScroll > this.scrollY && this.scrollY > header.bottom ? "block" : "none";
      this.oldScroll = this.scrollY;
    });
  });
})();
"""


def _replace_theme_bootstrap(app, exception):
    if exception or app.builder.format != "html" or not os.path.exists(_BOOTSTRAP_BUNDLE):
        return
    target = os.path.join(app.outdir, "_static", "scripts", "bootstrap.js")
    with open(_BOOTSTRAP_BUNDLE, encoding="utf-8") as f:
        bundle = f.read().replace("//# sourceMappingURL=bootstrap.bundle.min.js.map", "")
    with open(target, "w", encoding="utf-8") as f:
        f.write(bundle + "\n" + _THEME_START_UP)
    stale_map = target + ".map"
    if os.path.exists(stale_map):
        os.remove(stale_map)


def setup(app):
    from docutils.parsers.rst import roles

    app.connect("autodoc-process-docstring", _drop_builtin_docs)
    app.connect("build-finished", _replace_theme_bootstrap)
    roles.register_local_role("corvalink-name", _name_role)
