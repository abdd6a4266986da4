"""Sphinx configuration of varkel's documentation site (bash tools/docs.sh)."""

import os
import sys

sys.path.insert(0, os.path.abspath("."))

project = "varkel"
author = "the varkel developers"
copyright = "2026, the varkel developers"
from varkel import __version__ as release  # noqa: E402

version = release
extensions = ["sphinx.ext.autodoc", "sphinx.ext.napoleon", "sphinx.ext.doctest",
              "sphinx.ext.viewcode"]
napoleon_numpy_docstring = True
napoleon_google_docstring = False
autodoc_member_order = "bysource"
autodoc_typehints = "description"
html_theme = "furo"
html_title = f"varkel {release}"
exclude_patterns = ["_build"]
# The example report is served beside the pages, as it is.
html_extra_path = ["report-example.html"]
# The tutorials' code runs in the doctest build, from the checkout's root
# (where docs/example.csv is found), with these names already imported.
doctest_global_setup = "import numpy as np\nimport varkel\nimport warnings"
nitpicky = False
