"""Sphinx configuration of marlet's documentation; scripts/docs builds it.

The API reference is generated from the installed package's docstrings, and
the C reference from the comments of include/marlet.h.  The build fails
(with warnings as errors) when a public name of ``marlet``, ``marlet.dask``
or ``marlet.polars`` has no reference entry or no docstring, or when a
function of marlet.h has no comment.
"""

from __future__ import annotations

import inspect
import re
import sys
from pathlib import Path
from typing import Any, List

from docutils import nodes
from docutils.statemachine import StringList
from sphinx.pycode import ModuleAnalyzer
from sphinx.util import logging
from sphinx.util.docutils import SphinxDirective

import marlet
import marlet.dask
import marlet.polars

ROOT = Path(__file__).resolve().parent.parent
HEADER = ROOT / "include" / "marlet.h"

project = "marlet"
author = "the marlet developers"
copyright = "the marlet developers"
release = version = marlet.__version__

extensions = ["myst_parser", "sphinx.ext.autodoc"]
source_suffix = {".md": "markdown"}
myst_enable_extensions = ["colon_fence"]
myst_heading_anchors = 3
exclude_patterns = ["_build", "speed/*.json"]
html_theme = "alabaster"
html_static_path: List[str] = []
html_theme_options = {"description": "Marlet documents from Python and C", "fixed_sidebar": True}

autodoc_member_order = "bysource"
autodoc_typehints = "signature"

logger = logging.getLogger("marlet.docs")


def public_names() -> dict[str, Any]:
    """Every public name of the package, qualified, with its object."""
    names = {f"marlet.{n}": getattr(marlet, n) for n in marlet.__all__}
    for module in (marlet.dask, marlet.polars):
        names.update({f"{module.__name__}.{n}": getattr(module, n) for n in module.__all__})
    return names


def data_doc(name: str, obj: Any) -> List[str]:
    """The ``#:`` comment on the assignment of a public data object, from
    the module of the package that defines it (a value such as a dict has
    no docstring of its own)."""
    attr = name.rpartition(".")[2]
    for module_name, module in list(sys.modules.items()):
        if module_name.startswith("marlet.") and module is not None and getattr(module, attr, None) is obj:
            docs = ModuleAnalyzer.for_module(module_name).find_attr_docs()
            if ("", attr) in docs:
                return list(docs[("", attr)])
    return []


def document_data(app: Any, what: str, name: str, obj: Any, options: Any, lines: List[str]) -> None:
    """Give a data entry its ``#:`` comment rather than its type's docstring."""
    if what == "data" and name.startswith("marlet."):
        lines[:] = data_doc(name, obj)


def check_reference(app: Any, env: Any) -> None:
    """Warn about a public name without an entry or without a docstring."""
    documented = set(env.get_domain("py").objects)
    for name, obj in public_names().items():
        if name not in documented:
            logger.warning("%s has no entry in the API reference", name)
        if callable(obj) or inspect.isclass(obj):
            documented_text = inspect.getdoc(obj)
        else:
            documented_text = "".join(data_doc(name, obj))
        if not documented_text:
            logger.warning("%s has no docstring", name)


# A function's comment in marlet.h, then its declaration:
#   /*
#    * name - summary ...
#    */
#   MARLET_API type name(params);
HEADER_FUNCTION = re.compile(r"/\*\n((?: \*(?: [^\n]*)?\n)+?) \*/\nMARLET_API ([^;]+);")
HEADER_SECTION = re.compile(r"/\* =+\n \* ([^\n]+)\n \* =+ \*/")


def comment_lines(block: str) -> List[str]:
    """The text of a ``/* ... */`` block, without the leading `` * ``."""
    return [line[3:] if line.startswith(" * ") else "" for line in block.splitlines()]


def as_rst(lines: List[str]) -> List[str]:
    """Comment text as reStructuredText: paragraphs stay prose (with the
    header's `quotes` as literals), indented runs become literal blocks."""
    out: List[str] = []
    paragraphs: List[List[str]] = [[]]
    for line in lines:
        if line.strip():
            paragraphs[-1].append(line)
        elif paragraphs[-1]:
            paragraphs.append([])
    paragraphs = list(filter(None, paragraphs))
    if paragraphs and re.match(r"\S+ - ", paragraphs[0][0]):
        # "name - summary": the entry already shows the name.
        first = paragraphs[0][0].split(" - ", 1)[1]
        paragraphs[0][0] = first[:1].upper() + first[1:]
    for para in paragraphs:
        if para[0].startswith(" "):
            out += ["::", ""] + ["   " + line for line in para] + [""]
        else:
            text = [line.replace("\\", "\\\\").replace("*", "\\*") for line in para]
            out += [re.sub(r"`([^`]+)`", r"``\1``", line) for line in text] + [""]
    return out


class CHeader(SphinxDirective):
    """``marlet-c-header``: the conventions and every function of marlet.h,
    as the header's comments say them, section by section."""

    def run(self) -> List[nodes.Node]:
        text = HEADER.read_text(encoding="utf-8")
        self.env.note_dependency(str(HEADER))
        intro = text[text.index("/*\n") : text.index("*/")]
        rst = as_rst(comment_lines(intro)[1:])
        declared = re.findall(r"MARLET_API [^;(]*?\b(marlet_\w+)\(", text)
        found = []
        cursor = 0
        for match in HEADER_FUNCTION.finditer(text):
            for section in HEADER_SECTION.finditer(text, cursor, match.start()):
                rst += ["", f".. rubric:: {section.group(1)}", ""]
            cursor = match.end()
            signature = " ".join(match.group(2).split())
            name = re.search(r"(marlet_\w+)\(", signature).group(1)
            found.append(name)
            rst += [f".. c:function:: {signature}", ""]
            rst += ["   " + line if line else "" for line in as_rst(comment_lines(match.group(1)))]
        for name in declared:
            if name not in found:
                logger.warning("%s: %s has no comment the reference can show", HEADER, name)
        node = nodes.section()
        self.state.nested_parse(StringList(rst, str(HEADER)), self.content_offset, node)
        return node.children


def setup(app: Any) -> dict[str, Any]:
    app.add_directive("marlet-c-header", CHeader)
    app.connect("autodoc-process-docstring", document_data)
    app.connect("env-check-consistency", check_reference)
    return {"parallel_read_safe": True}
