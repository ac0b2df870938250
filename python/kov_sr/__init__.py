from kov_sr import _core
from kov_sr._core import *  # noqa: F401,F403  (re-exports exactly the compiled module's __all__)
from kov_sr.selection import select  # noqa: F401  (a helper beside the classes, not in __all__)
from kov_sr.versions import package_version as _package_version

__doc__ = _core.__doc__
__all__ = list(_core.__all__)
__version__ = _package_version()
