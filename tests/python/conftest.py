"""Set-up shared by the Python tests: they import the installed package, as a user would."""

import os
import sys

_CHECKOUT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

# `python -m pytest` run from the checkout puts the checkout first on the module path, where the
# source folder meshvolt/ (without the built module) would hide the installed package.
sys.path[:] = [entry for entry in sys.path if os.path.abspath(entry or os.curdir) != _CHECKOUT]
